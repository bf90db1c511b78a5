// The host's log file qsnclient.log in the working directory: every
// diagnostic goes through LogPrintf, which filters by level, bounds the
// message, converts it from UTF-8 to CP866 and writes it with CR LF line
// breaks, each message reaching the file in one write before the caller
// goes on.
#pragma once

#include <tcl.h>

#include <cstddef>

namespace qsn {

// Messages of a level above this threshold are dropped; 0 or less silences
// the log. The script sees and sets it as the linked variable `loglevel`.
extern int LogLevel;

// Starts the log in the current working directory afresh: a copy of the
// last run's qsnclient.log is kept as qsnclient.log.1, and qsnclient.log is
// emptied where it is (a symbolic link followed) and opened for appending,
// so that every instance writing the same folder's log, however many, adds
// its lines at the end of that one file. For the first user, also opens the
// CP866 converter. When either cannot be opened, LogPrintf writes nothing.
void OpenLog();

// Closes the converter and the file when the last user closes.
void CloseLog();

// Whether the log's file is open: false before OpenLog, and after it where
// the file could not be opened (a read-only folder), when nothing reaches it.
bool LogFileOpen();

// printf-style. A message longer than 1004 bytes is cut there and ends in
// "\n...\n"; conversion stops at the first character that is not valid
// UTF-8 or has no CP866 form, and the message is written up to it, in one
// write. Allocates nothing.
void LogPrintf(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Several messages of one level that reach the file together, in one write:
// each is bounded, converted and given CR LF on its own, byte for byte as
// LogPrintf(level, "%s", message) would write it. A line longer than about
// 14 KiB on disk goes out in several writes, each of whole messages.
// Allocates nothing; meant to live on the stack for one line.
class LogLine {
 public:
  // Nothing is assembled or written when `level` is above the threshold or
  // the log is not open.
  explicit LogLine(int level);
  ~LogLine();
  LogLine(const LogLine&) = delete;
  LogLine& operator=(const LogLine&) = delete;

  bool wanted() const { return wanted_; }

  // The message of `length` bytes of UTF-8 at `text`.
  void Add(const char* text, size_t length);

  // Writes what has been added, if anything. The destructor does it too.
  void Write();

 private:
  static constexpr size_t kRoom = 16384;
  bool wanted_;
  size_t used_ = 0;
  char buffer_[kRoom];
};

// For the failures that leave the user with nothing to see: no init file,
// no cipher, a script that ends in an error. Logs the printf-style message
// at level 1 like LogPrintf, and shows its first lines on the console as
// well (ShowOnConsole), whatever the threshold: the threshold is the script's
// choice for its log, the console belongs to whoever started the host.
void LogFailure(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Converts `length` bytes of UTF-8 to CP866 into `out`, which has room for
// `length` bytes, stopping at the first invalid sequence or character with
// no CP866 form. Returns the number of bytes written. Characters other than
// ASCII and Cyrillic letters need the log's converter (OpenLog).
size_t ConvertToCp866(const char* text, size_t length, char* out);

// Appends the local time as "dd.mm.YYYY HH:MM:SS". The system is asked for
// the local time only when the second has changed since the last call.
void AppendTimestamp(Tcl_DString* dstring);

}  // namespace qsn
