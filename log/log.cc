// The log file and LogPrintf.
#include "log/log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/owners.h"

int LogLevel = 3;

namespace {

constexpr size_t kLogBufSize = 1024;
// A longer message is cut here and ends in kCutMark.
constexpr size_t kMaxMessage = 1004;
constexpr char kCutMark[] = "\n...\n";

FILE* log_file = nullptr;
qsn::Iconv converter;
int LogUseCount = 0;

// Writes `text` turning every line break into CR LF, as the log's readers on
// DOS-descended systems expect.
void WriteCrLf(const char* text, size_t length) {
  const char* end = text + length;
  while (text < end) {
    const char* nl = static_cast<const char*>(std::memchr(text, '\n', end - text));
    if (!nl) {
      std::fwrite(text, 1, end - text, log_file);
      return;
    }
    std::fwrite(text, 1, nl - text, log_file);
    std::fwrite("\r\n", 1, 2, log_file);
    text = nl + 1;
  }
}

// The Cyrillic letters' two UTF-8 bytes to CP866: А..П and а..п take
// 0x80..0xAF in one run, р..я sit at 0xE0, Ё and ё at 0xF0 and 0xF1.
int CyrillicToCp866(unsigned char lead, unsigned char trail) {
  unsigned code = ((lead & 0x1Fu) << 6) | (trail & 0x3Fu);
  if (code >= 0x410 && code <= 0x43F) return 0x80 + (code - 0x410);
  if (code >= 0x440 && code <= 0x44F) return 0xE0 + (code - 0x440);
  if (code == 0x401) return 0xF0;
  if (code == 0x451) return 0xF1;
  return -1;
}

}  // namespace

size_t ConvertToCp866(const char* text, size_t length, char* out) {
  // ASCII and the Cyrillic letters, nearly every character the log sees,
  // are mapped here: glibc's iconv costs a few hundred instructions per
  // character. The conversion keeps no state, so at the first other
  // character iconv takes over the rest and the bytes are the same.
  size_t i = 0, o = 0;
  while (i < length) {
    unsigned char c = text[i];
    if (c < 0x80) {
      out[o++] = static_cast<char>(c);
      ++i;
      continue;
    }
    if ((c == 0xD0 || c == 0xD1) && i + 1 < length) {
      int mapped = CyrillicToCp866(c, text[i + 1]);
      if (mapped >= 0 && (text[i + 1] & 0xC0) == 0x80) {
        out[o++] = static_cast<char>(mapped);
        i += 2;
        continue;
      }
    }
    if (!converter.ok()) break;
    char* inptr = const_cast<char*>(text + i);
    size_t inleft = length - i;
    char* outptr = out + o;
    size_t outleft = length - o;  // CP866 is never longer than UTF-8
    iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);
    // Stops at the first invalid or unconvertible sequence; what was
    // converted before it is still written.
    iconv(converter.get(), &inptr, &inleft, &outptr, &outleft);
    return outptr - out;
  }
  return o;
}

void OpenLog() {
  char cwd[1024];
  // An unknown working directory (deleted, or deeper than the buffer) must
  // not send the log to the root folder: the relative name still means here.
  if (!getcwd(cwd, sizeof cwd)) std::snprintf(cwd, sizeof cwd, ".");
  char buf[sizeof cwd + 32];
  std::snprintf(buf, sizeof buf, "%s/qsnclient.log", cwd);

  if (log_file) std::fclose(log_file);
  log_file = std::fopen(buf, "wb");
  if (LogUseCount == 0) converter.Reset("CP866", "UTF-8");
  ++LogUseCount;
}

void CloseLog() {
  if (LogUseCount <= 0) return;
  if (--LogUseCount > 0) return;
  converter.Close();
  if (log_file) std::fclose(log_file);
  log_file = nullptr;
}

void LogPrintf(int level, const char* format, ...) {
  if (level > LogLevel || !log_file || !converter.ok()) return;

  char logbuf[kLogBufSize];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(logbuf, sizeof logbuf, format, args);
  va_end(args);
  if (n < 0) return;
  size_t length = static_cast<size_t>(n) < sizeof logbuf ? n : sizeof logbuf - 1;
  if (length > kMaxMessage) {
    std::memcpy(logbuf + kMaxMessage, kCutMark, sizeof kCutMark);
    length = kMaxMessage + sizeof kCutMark - 1;
  }

  // The converted text goes to a second buffer: converting in place makes
  // glibc's UTF-8 decoder abort the process when a character with no CP866
  // form follows a multi-byte one. CP866 output is never longer than its
  // UTF-8 input, so the same size suffices.
  char converted[kLogBufSize];
  size_t written = ConvertToCp866(logbuf, length, converted);
  WriteCrLf(converted, written);
  std::fflush(log_file);
}

void AppendTimestamp(Tcl_DString* dstring) {
  std::time_t t = std::time(nullptr);
  std::tm bt;
  localtime_r(&t, &bt);
  char rs[30];
  size_t n = std::strftime(rs, sizeof rs, "%d.%m.%Y %H:%M:%S", &bt);
  Tcl_DStringAppend(dstring, rs, static_cast<int>(n));
}
