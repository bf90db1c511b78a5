// Fuzzes the log's cut-and-convert step: any text through LogPrintf, with
// what lands in qsnclient.log checked byte for byte against the rules the
// log promises (bound, CP866, CR LF, stop at the first unconvertible
// character).
#include <iconv.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "base/iconv_owner.h"
#include "log/log.h"
#include "tests/fuzz/fuzz_util.h"

namespace {

// vsnprintf fills a 1024-byte buffer; past 1004 bytes the message is cut
// and the mark appended.
constexpr size_t kBuffer = 1024;
constexpr size_t kMaxMessage = 1004;
constexpr char kCutMark[] = "\n...\n";

std::string log_path;

long LogSize() {
  struct stat st;
  return stat(log_path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::string ReadLogFrom(long offset) {
  std::ifstream in(log_path, std::ios::binary);
  in.seekg(offset);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

// Runs all of `in` through a fresh descriptor. Returns how many bytes of
// `in` it took before it stopped.
size_t Convert(const char* to, const char* from, const std::string& in,
               std::string* out) {
  qsn::Iconv cd(to, from);
  FUZZ_CHECK(cd.ok(), "no %s to %s converter", from, to);
  out->assign(in.size() * 4 + 16, '\0');
  char* inptr = const_cast<char*>(in.data());
  size_t inleft = in.size();
  char* outptr = out->data();
  size_t outleft = out->size();
  iconv(cd.get(), &inptr, &inleft, &outptr, &outleft);
  out->resize(outptr - out->data());
  return in.size() - inleft;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qsn::fuzz::OpenScratchLog();
  log_path = std::string(qsn::fuzz::ScratchPath()) + "/qsnclient.log";
  FUZZ_CHECK(LogSize() == 0, "the log did not open");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qsn::fuzz::TrimLog(1000);
  // "%s" reads the text up to its first NUL.
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string text = input.c_str();

  // The message as it should stand before conversion.
  std::string bounded = text.substr(0, kBuffer - 1);
  if (bounded.size() > kMaxMessage) bounded = bounded.substr(0, kMaxMessage) + kCutMark;

  const long before = LogSize();
  qsn::LogPrintf(5, "%s", text.c_str());
  FUZZ_CHECK(LogSize() == before, "a level above the threshold was written");
  qsn::LogPrintf(1, "%s", text.c_str());
  const std::string written = ReadLogFrom(before);

  // Undo the CR LF expansion; a CR of the text's own stays.
  std::string raw;
  for (size_t i = 0; i < written.size(); ++i) {
    if (written[i] == '\n') {
      FUZZ_CHECK(i > 0 && written[i - 1] == '\r', "LF without CR at %zu", i);
      raw.pop_back();
    }
    raw += written[i];
  }
  FUZZ_CHECK(raw.size() <= kMaxMessage + sizeof kCutMark - 1,
             "%zu bytes written for one message", raw.size());
  FUZZ_CHECK(written.size() <= 2 * bounded.size(), "%zu bytes written for %zu",
             written.size(), bounded.size());

  // Every CP866 byte has a form, so the output reads back whole, and must
  // be the start of the message.
  std::string decoded;
  FUZZ_CHECK(Convert("UTF-8", "CP866", raw, &decoded) == raw.size(),
             "the log is not CP866");
  FUZZ_CHECK(bounded.compare(0, decoded.size(), decoded) == 0,
             "the log is not the start of the message");

  // It stops short only where the next character is invalid UTF-8 or has no
  // CP866 form: then not even one byte of the rest converts.
  if (decoded.size() < bounded.size()) {
    std::string ignored;
    const size_t taken =
        Convert("CP866", "UTF-8", bounded.substr(decoded.size()), &ignored);
    FUZZ_CHECK(taken == 0, "stopped after %zu of %zu bytes, %zu more would convert",
               decoded.size(), bounded.size(), taken);
  }
  return 0;
}
