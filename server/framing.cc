// The checks of a request's framing made before its body is read.
#include "server/framing.h"

#include <strings.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "server/text_checks.h"

namespace qsn {

namespace {

// The characters of a field name (RFC 9110 §5.6.2).
bool IsTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != 0 &&
          std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos);
}

bool IsNamed(std::string_view name, std::string_view wanted) {
  return name.size() == wanted.size() &&
         strncasecmp(name.data(), wanted.data(), name.size()) == 0;
}

// A header line without its line break: a name, a colon right after it,
// and no %-escape in the value of a length or coding.
bool IsSoundFieldLine(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  std::string_view name = line.substr(0, colon);
  for (char c : name)
    if (!IsTokenChar(c)) return false;
  if (IsNamed(name, "Content-Length") || IsNamed(name, "Transfer-Encoding"))
    return line.find('%', colon) == std::string_view::npos;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Chunk extensions are ignored, but a control character in one (a bare CR
// above all) may end the line for a proxy.
bool IsExtensionChar(char c) {
  auto byte = static_cast<unsigned char>(c);
  return byte == '\t' || (byte >= 0x20 && byte != 0x7f);
}

// Chunk sizes stay below 2^63, which every reader of 64-bit sizes, signed
// or not, takes alike.
constexpr uint64_t kMaxChunkSize = uint64_t{1} << 63;

}  // namespace

bool HeadCheck::Take(char c) {
  if (c != '\n') {
    line_ += c;
    return true;
  }
  // Every line ends in CR LF, and holds no other CR, nor NUL.
  if (line_.empty() || line_.back() != '\r') return false;
  line_.pop_back();
  bool sound = line_.find_first_of(std::string_view("\r\0", 2)) == std::string::npos &&
               (request_line_ || line_.empty() || IsSoundFieldLine(line_));
  request_line_ = false;
  line_.clear();
  return sound;
}

size_t ChunkCheck::Take(const char* data, size_t n) {
  size_t taken = 0;
  while (taken < n && !refused_) {
    if (state_ == State::kData) {
      // The data itself, in runs: it may be anything.
      size_t run = static_cast<size_t>(std::min<uint64_t>(left_, n - taken));
      taken += run;
      left_ -= run;
      if (left_ == 0) state_ = State::kDataCr;
    } else if (TakeByte(data[taken])) {
      ++taken;
    } else {
      refused_ = true;
    }
  }
  return taken;
}

bool ChunkCheck::TakeByte(char c) {
  switch (state_) {
    case State::kSize:
    case State::kBlank:
    case State::kExtension:
      return TakeSizeByte(c);
    case State::kSizeLf:
      state_ = left_ == 0 ? State::kLastCr : State::kData;
      return c == '\n';
    case State::kDataCr:
    case State::kLastCr:
      state_ = state_ == State::kDataCr ? State::kDataLf : State::kLastLf;
      return c == '\r';
    case State::kDataLf:
      *this = ChunkCheck();
      return c == '\n';
    case State::kLastLf:
      state_ = State::kEnded;
      return c == '\n';
    default:  // past the body's end
      return false;
  }
}

bool ChunkCheck::TakeSizeByte(char c) {
  if (++line_ > kMaxChunkLine) return false;
  if (c == '\r') {
    bool sound = digits_ > 0 && state_ != State::kBlank;
    state_ = State::kSizeLf;
    return sound;
  }
  if (state_ == State::kExtension) return IsExtensionChar(c);
  if (c == ';' && digits_ > 0) {
    state_ = State::kExtension;
    return true;
  }
  if ((c == ' ' || c == '\t') && digits_ > 0) {
    state_ = State::kBlank;
    return true;
  }
  int digit = HexDigit(c);
  if (digit < 0 || state_ != State::kSize || left_ >= kMaxChunkSize / 16) return false;
  left_ = left_ * 16 + static_cast<uint64_t>(digit);
  ++digits_;
  return true;
}

const char* FramingProblem(const httplib::Request& req) {
  size_t lengths = req.get_header_value_count("Content-Length");
  size_t encodings = req.get_header_value_count("Transfer-Encoding");
  if (lengths > 0 && encodings > 0)
    return "the request has both Transfer-Encoding and Content-Length";
  if (lengths > 1 || encodings > 1) return "the request gives its length more than once";
  if (encodings == 1 &&
      strcasecmp(req.get_header_value("Transfer-Encoding").c_str(), "chunked") != 0)
    return "the only Transfer-Encoding accepted is chunked";
  if (lengths == 1 && !IsDigits(req.get_header_value("Content-Length")))
    return "the Content-Length is not a number";
  return nullptr;
}

}  // namespace qsn
