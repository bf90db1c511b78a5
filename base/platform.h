// The few calls that differ between the systems the host runs on, each
// behind one function. Every system has its own file beside this one
// (platform_posix.cc, platform_windows.cc); nothing outside them asks which
// system it is on.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "base/owners.h"

namespace qsn {

// `name` (UTF-8) in the working directory (a name with "/" between folders
// gets the system's separator). A working directory that cannot be read
// (deleted, or too deep for the host's buffer of 1024 bytes) gives a name
// relative to "." instead: it still means here, where an empty directory
// would mean the root folder. The path is UTF-8, as every path in this
// file takes it: on Windows any folder name, whatever the code page; on
// POSIX systems the system's bytes.
std::string PathInWorkingDirectory(std::string_view name);

// Sets `name` to `value` (both UTF-8) in the process's environment, replacing any value
// it had, where both the system's calls and the C runtime read it. Returns
// false when the system refuses.
bool SetEnvironment(const char* name, const char* value);

// A file open for appending: whatever else writes to it (another instance
// of the host, a reader that appends), every Append lands at its end, in
// one call of the system. Bytes go to the file as they are (the caller
// writes CR LF itself, the same bytes everywhere). Other processes may read
// it, write it, and rename it away while it is open. Empty (false) when the
// file could not be opened; appending to it then does nothing.
class AppendFile {
 public:
  AppendFile();
  ~AppendFile();
  AppendFile(AppendFile&&) noexcept;
  AppendFile& operator=(AppendFile&&) noexcept;

  explicit operator bool() const;

  // Writes all `length` bytes at the end of the file in one call (a second
  // one only when the system takes fewer bytes than asked). False when the
  // system refuses.
  bool Append(const char* data, size_t length) const;

 private:
  friend AppendFile OpenEmptiedForAppending(const std::string& path);
  struct System;  // the system's handle
  std::unique_ptr<System> system_;
};

// Empties the file at `path` where it is, following a symbolic link to the
// file it names (a device or a pipe is left as it is), or creates it, and
// opens it for appending. An instance that has it open already writes on at
// its new end, never at an offset past it.
AppendFile OpenEmptiedForAppending(const std::string& path);

// Shows the beginning of `text` (UTF-8; FirstLines in base/utf8.h) to
// whoever started the program from a terminal: on standard error, in the
// terminal's encoding (the system encoding the Tcl library took from the
// locale at start-up), a character that encoding lacks as "?". Where the
// program has no console (a GUI program on Windows) it shows nothing.
void ShowOnConsole(std::string_view text);

// The environment variable that keeps ShowFailureBox from showing anything,
// for unattended runs: any value but the empty one.
constexpr char kNoMessageBoxVariable[] = "QSNCLIENT_NO_MESSAGE_BOX";

// Shows a failure to the user of a program that has no console, in the
// user's language: `russian` (UTF-8) where the user's interface language is
// Russian, `english` elsewhere. On Windows a message box, which waits until
// the user closes it; on POSIX systems nothing, as ShowOnConsole has said it
// on standard error already.
void ShowFailureBox(std::string_view english, std::string_view russian);

// Whether the system's own Tcl (the library Tcl was built to find, and its
// package folders) may serve the host where the working folder has none.
// On POSIX systems it is the distribution's, installed by the
// administrator; on Windows the statically linked Tcl names folders of the
// machine it was built on, which on the user's machine anyone may create.
bool SystemTclLibraryMayServe();

// The current time in seconds, as time() counts them, for asking often:
// Windows' C runtime works out the time zone on every call of time(), the
// system's own clock does not.
std::time_t TimeNow();

// `t` broken down in the local time zone.
std::tm LocalTime(std::time_t t);

// The OS error number libcurl reports for a transfer (CURLINFO_OS_ERRNO):
// an errno value on POSIX systems, a Winsock code on Windows. True when it
// says a connection was still being made when the transfer ended
// (EINPROGRESS; on Windows WSAEINPROGRESS or WSAEWOULDBLOCK).
bool IsConnectInProgress(long os_error);

// The system's error number of the last socket call that failed on this
// thread: errno on POSIX systems, WSAGetLastError() on Windows.
long LastSocketError();

// True when such a number says the process or the system has no
// descriptor left for a socket (EMFILE, ENFILE; WSAEMFILE on Windows).
bool IsDescriptorShortage(long os_error);

// The words for such a number, in UTF-8. Where the systems share a meaning
// (a refused connection, a timeout) the words are the same everywhere.
std::string OsErrorText(long os_error);

// The system's converter from UTF-8 to CP866, for the characters the log's
// own table leaves to it. Opening it may fail (ok() is false then).
class Cp866Fallback {
 public:
  Cp866Fallback();
  ~Cp866Fallback();
  Cp866Fallback(const Cp866Fallback&) = delete;
  Cp866Fallback& operator=(const Cp866Fallback&) = delete;

  bool ok() const;

  // Converts the `length` bytes of UTF-8 at `text` into `out`, which has
  // room for `length` bytes (CP866 is never longer), stopping at the first
  // invalid or cut sequence or character with no CP866 form; what came
  // before it is converted. Keeps no state between calls. Returns the number
  // of bytes written. Allocates nothing.
  size_t Convert(const char* text, size_t length, char* out) const;

 private:
  struct System;  // whatever the system's conversion needs
  std::unique_ptr<System> system_;
};

// Makes `stream` (standard input or output) pass bytes unchanged, as files
// opened in binary mode do: where the C runtime translates line breaks (and
// ends text at ^Z) by default, it no longer does.
void SetBinaryMode(FILE* stream);

// Files by name, for the packer and the log. Every path is UTF-8: on
// Windows it goes to the system's wide calls, so any name works whatever the
// ANSI code page lacks; on POSIX systems its bytes go to the system as they
// are. A call that fails returns false with the system's words for why in
// *error.

// What is at a path, symbolic links followed.
struct FileStatus {
  bool exists = false;
  bool regular = false;  // a regular file, not a device, pipe or folder
  unsigned mode = 0;     // the permission bits where the system has them
  unsigned long long size = 0;
};

// A path that does not exist is no failure: status->exists is false. A
// link to nothing is one that does not exist; a loop of links fails.
bool StatPath(const std::string& path, FileStatus* status, std::string* error);

// The same for a file open as `file`.
bool StatOpenFile(FILE* file, FileStatus* status, std::string* error);

// fopen's, with the path in UTF-8 and `mode` as fopen takes it.
bool OpenFile(const std::string& path, const char* mode, FilePtr* file,
              std::string* error);

// The permission bits a new file gets (0666 less the process's umask where
// the system has one).
unsigned NewFileMode();

// Opens the existing file `path` for writing into *fd, neither creating nor
// truncating it: a device or a pipe named as the output is written through.
bool OpenToWriteThrough(const std::string& path, int* fd, std::string* error);

// Creates a new file for writing in binary mode, readable and writable by
// its owner only, named after `name_template`, whose last six characters
// "XXXXXX" are replaced to make the name unused; its descriptor in *fd.
bool CreateTemporaryFile(std::string* name_template, int* fd, std::string* error);

// Gives the open file `fd` the permission bits `mode` where the system has
// them (POSIX); elsewhere there is nothing to do.
bool SetFileMode(int fd, unsigned mode, std::string* error);

// Writes all of `data` to `fd`.
bool WriteToFile(int fd, std::string_view data, std::string* error);

// Writes all of `data` to `fd` and closes it, whatever happens.
bool WriteAndClose(int fd, std::string_view data, std::string* error);

// Renames `from` to `to`, replacing `to` when it exists: readers see the old
// file or the new one, never a mix.
bool RenameOver(const std::string& from, const std::string& to, std::string* error);

// Removes the file `path`, as far as it can: for clearing up after a
// failure, which has its own message already.
void RemoveFile(const std::string& path);

// The absolute name of the existing file `path` into *resolved, with its
// symbolic links followed where the system has them (POSIX).
bool ResolvedPath(const std::string& path, std::string* resolved, std::string* error);

}  // namespace qsn
