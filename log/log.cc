// The log file and LogPrintf.
#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "base/owners.h"
#include "base/platform.h"

int LogLevel = 3;

namespace {

constexpr size_t kLogBufSize = 1024;
// A longer message is cut here and ends in kCutMark.
constexpr size_t kMaxMessage = 1004;
constexpr char kCutMark[] = "\n...\n";

qsn::FilePtr log_file;
// Opened by the log's first user and closed by its last; empty also when
// the system has none.
std::optional<qsn::Cp866Fallback> fallback;
int LogUseCount = 0;

// Writes `text` turning every line break into CR LF, as the log's readers on
// DOS-descended systems expect. The file is open in binary mode on every
// system, so these are the bytes on disk everywhere.
void WriteCrLf(const char* text, size_t length) {
  const char* end = text + length;
  while (text < end) {
    const char* nl = static_cast<const char*>(std::memchr(text, '\n', end - text));
    if (!nl) {
      std::fwrite(text, 1, end - text, log_file.get());
      return;
    }
    std::fwrite(text, 1, nl - text, log_file.get());
    std::fwrite("\r\n", 1, 2, log_file.get());
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
  // character the system's converter takes over the rest and the bytes are
  // the same.
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
    if (!fallback) break;
    // o <= i, so the rest fits: CP866 is never longer than UTF-8.
    return o + fallback->Convert(text + i, length - i, out + o);
  }
  return o;
}

void OpenLog() {
  // The old file is closed before the new one truncates it.
  log_file.reset();
  log_file = qsn::OpenSharedLogFile(qsn::PathInWorkingDirectory("qsnclient.log"));
  if (LogUseCount == 0) {
    fallback.emplace();
    if (!fallback->ok()) fallback.reset();
  }
  ++LogUseCount;
}

void CloseLog() {
  if (LogUseCount <= 0) return;
  if (--LogUseCount > 0) return;
  fallback.reset();
  log_file.reset();
}

void LogPrintf(int level, const char* format, ...) {
  if (level > LogLevel || !log_file || !fallback) return;

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
  std::fflush(log_file.get());
}

void LogFailure(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(n > 0 ? n : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  LogPrintf(1, "%s", text.c_str());
  qsn::ShowOnConsole(text);
}

void AppendTimestamp(Tcl_DString* dstring) {
  std::tm bt = qsn::LocalTime(std::time(nullptr));
  char rs[30];
  size_t n = std::strftime(rs, sizeof rs, "%d.%m.%Y %H:%M:%S", &bt);
  Tcl_DStringAppend(dstring, rs, static_cast<int>(n));
}
