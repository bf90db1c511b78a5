// The log file and LogPrintf. A message is assembled in memory as the file
// gets it (cut, CP866, CR LF) and handed to the system in one write: the
// log costs a system call per message, nothing more, and a crash cannot
// leave half of one.
#include "log/log.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/owners.h"
#include "base/platform.h"
#include "log/log_format.h"

namespace qsn {

int LogLevel = 3;

namespace {

constexpr size_t kLogBufSize = 1024;
// A longer message is cut here and ends in kCutMark.
constexpr size_t kMaxMessage = 1004;
constexpr char kCutMark[] = "\n...\n";
constexpr size_t kCutLength = kMaxMessage + sizeof kCutMark - 1;
// The most bytes one message can put in the file: every byte a line break.
constexpr size_t kMaxWritten = 2 * kCutLength;

AppendFile log_file;
// Opened by the log's first user and closed by its last; empty also when
// the system has none.
std::optional<Cp866Fallback> fallback;
int LogUseCount = 0;

// The CP866 bytes of the Cyrillic letters, by the low six bits of the second
// byte of their UTF-8 form, one row for each first byte (0xD0, 0xD1); 0
// where the pair is no letter CP866 has. А..П and а..п take 0x80..0xAF in
// one run, р..я sit at 0xE0, Ё and ё at 0xF0 and 0xF1.
struct CyrillicTable {
  unsigned char byte[2][64];
};

constexpr CyrillicTable MakeCyrillicTable() {
  CyrillicTable table{};
  for (unsigned code = 0x400; code < 0x480; ++code) {
    unsigned mapped = 0;
    if (code >= 0x410 && code <= 0x43F) mapped = 0x80 + (code - 0x410);
    if (code >= 0x440 && code <= 0x44F) mapped = 0xE0 + (code - 0x440);
    if (code == 0x401) mapped = 0xF0;
    if (code == 0x451) mapped = 0xF1;
    table.byte[(code >> 6) & 1][code & 0x3F] = static_cast<unsigned char>(mapped);
  }
  return table;
}

constexpr CyrillicTable kCyrillic = MakeCyrillicTable();

// Copies `length` bytes of `text` to `out` with every line break as CR LF.
size_t ExpandLineBreaks(const char* text, size_t length, char* out) {
  const char* end = text + length;
  char* o = out;
  while (const char* nl = static_cast<const char*>(std::memchr(text, '\n', end - text))) {
    std::memcpy(o, text, nl - text);
    o += nl - text;
    *o++ = '\r';
    *o++ = '\n';
    text = nl + 1;
  }
  std::memcpy(o, text, end - text);
  return o + (end - text) - out;
}

// Eight bytes of ASCII with no line break among them.
bool PlainAscii(uint64_t eight) {
  constexpr uint64_t kOnes = 0x0101010101010101u, kHighs = 0x8080808080808080u;
  uint64_t breaks = eight ^ (kOnes * '\n');  // a zero byte where a '\n' was
  return (eight & kHighs) == 0 && ((breaks - kOnes) & ~breaks & kHighs) == 0;
}

// Converts `length` bytes of UTF-8 at `text` to CP866 at `out`, stopping at
// the first invalid sequence or character CP866 lacks. With kCrLf every line
// break becomes CR LF, as the log's readers on DOS-descended systems expect
// (the file is opened in binary mode on every system, so these are the
// bytes on disk everywhere), and `out` needs room for twice `length`, which
// must be below kLogBufSize; without, room for `length`.
//
// ASCII and the Cyrillic letters, nearly every character the log sees, are
// mapped here: glibc's iconv costs a few hundred instructions per character.
// The conversion keeps no state, so at the first other character the
// system's converter takes over the rest and the bytes are the same.
template <bool kCrLf>
size_t Convert(const char* text, size_t length, char* out) {
  auto in = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0, o = 0;
  while (i < length) {
    uint64_t eight;
    if (length - i >= 8 && (std::memcpy(&eight, in + i, 8), PlainAscii(eight))) {
      std::memcpy(out + o, &eight, 8);
      i += 8;
      o += 8;
      continue;
    }
    unsigned char c = in[i];
    if (c < 0x80) {
      if (kCrLf && c == '\n') out[o++] = '\r';
      out[o++] = static_cast<char>(c);
      ++i;
      continue;
    }
    if ((c & 0xFE) == 0xD0 && i + 1 < length && (in[i + 1] & 0xC0) == 0x80) {
      unsigned char mapped = kCyrillic.byte[c & 1][in[i + 1] & 0x3F];
      if (mapped) {
        out[o++] = static_cast<char>(mapped);
        i += 2;
        continue;
      }
    }
    if (!fallback) break;
    if (!kCrLf) return o + fallback->Convert(text + i, length - i, out + o);
    // Into a buffer of its own: glibc's UTF-8 decoder aborts the process
    // when converting in place meets a character with no CP866 form after a
    // multi-byte one. CP866 is never longer than its UTF-8.
    char rest[kLogBufSize];
    return o +
           ExpandLineBreaks(rest, fallback->Convert(text + i, length - i, rest), out + o);
  }
  return o;
}

// The bytes one message puts in the file, at `out`, which has room for
// kMaxWritten: cut after kMaxMessage bytes with the mark, converted, every
// line break as CR LF. Returns their number.
size_t RenderMessage(const char* text, size_t length, char* out) {
  char cut[kLogBufSize];
  if (length > kMaxMessage) {
    std::memcpy(cut, text, kMaxMessage);
    std::memcpy(cut + kMaxMessage, kCutMark, sizeof kCutMark - 1);
    text = cut;
    length = kCutLength;
  }
  return Convert<true>(text, length, out);
}

bool LogWanted(int level) { return level <= LogLevel && log_file && fallback; }

// Copies what remains of `in` to `fd`.
bool CopyRest(FILE* in, int fd, std::string* error) {
  std::vector<char> chunk(1 << 20);
  size_t n;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), in)) > 0)
    if (!WriteToFile(fd, std::string_view(chunk.data(), n), error)) return false;
  if (!std::ferror(in)) return true;
  *error = "read error";
  return false;
}

// Keeps a copy of the log at `path` (a link followed) as `kept`, with the
// log's permission bits: written beside `kept` and renamed over it, so that
// `kept` is the last run's log whole or the one before, never part of one.
// The log itself stays where it is, for whoever still writes it. Nothing to
// keep when `path` is missing or no regular file.
bool KeepCopy(const std::string& path, const std::string& kept, std::string* error) {
  FileStatus status;
  if (!StatPath(path, &status, error)) return false;
  if (!status.exists || !status.regular) return true;
  FilePtr in;
  if (!OpenFile(path, "rb", &in, error)) return false;
  std::string temp = kept + ".XXXXXX", ignored;
  int fd;
  if (!CreateTemporaryFile(&temp, &fd, error)) return false;
  bool ok = SetFileMode(fd, status.mode, error) && CopyRest(in.get(), fd, error);
  ok = WriteAndClose(fd, "", ok ? error : &ignored) && ok;
  ok = ok && RenameOver(temp, kept, error);
  if (!ok) RemoveFile(temp);
  return ok;
}

}  // namespace

size_t ConvertToCp866(const char* text, size_t length, char* out) {
  return Convert<false>(text, length, out);
}

void OpenLog() {
  log_file = AppendFile();
  std::string path = PathInWorkingDirectory("qsnclient.log"), error;
  // A log that cannot be kept (the folder full or read-only) is emptied all
  // the same: the new run's lines must not follow the old run's.
  KeepCopy(path, PathInWorkingDirectory("qsnclient.log.1"), &error);
  log_file = OpenEmptiedForAppending(path);
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
  log_file = AppendFile();
}

bool LogFileOpen() { return static_cast<bool>(log_file); }

void LogPrintf(int level, const char* format, ...) {
  if (!LogWanted(level)) return;
  char logbuf[kLogBufSize];
  va_list args;
  va_start(args, format);
  int length = FormatLogMessage(logbuf, sizeof logbuf, format, args);
  va_end(args);
  if (length < 0) return;
  char out[kMaxWritten];
  log_file.Append(out, RenderMessage(logbuf, length, out));
}

LogLine::LogLine(int level) : wanted_(LogWanted(level)) {}

LogLine::~LogLine() { Write(); }

void LogLine::Add(const char* text, size_t length) {
  if (!wanted_) return;
  if (kRoom - used_ < kMaxWritten) Write();
  used_ += RenderMessage(text, length, buffer_ + used_);
}

void LogLine::Write() {
  if (used_ == 0) return;
  log_file.Append(buffer_, used_);
  used_ = 0;
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
  ShowOnConsole(text);
}

void AppendTimestamp(Tcl_DString* dstring) {
  // mputs asks for the time on every line; its text changes once a second.
  static struct {
    bool valid = false;
    std::time_t second;
    char text[30];
    size_t length;
  } shown;
  std::time_t now = TimeNow();
  if (!shown.valid || now != shown.second) {
    std::tm bt = LocalTime(now);
    shown.length = std::strftime(shown.text, sizeof shown.text, "%d.%m.%Y %H:%M:%S", &bt);
    shown.second = now;
    shown.valid = true;
  }
  Tcl_DStringAppend(dstring, shown.text, static_cast<int>(shown.length));
}

}  // namespace qsn
