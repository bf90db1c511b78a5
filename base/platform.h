// The few calls that differ between the systems the host runs on, each
// behind one function. Every system has its own file beside this one
// (platform_posix.cc); nothing outside them asks which system it is on.
#pragma once

#include <cstddef>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "base/owners.h"

namespace qsn {

// `name` in the working directory, as the system's file calls take it. A
// working directory that cannot be read (deleted, or too deep for the
// host's buffer of 1024 bytes) gives a name relative to "." instead: it
// still means here, where an empty directory would mean the root folder.
std::string PathInWorkingDirectory(std::string_view name);

// Sets `name` to `value` in the process's environment, replacing any value
// it had. Returns false when the system refuses.
bool SetEnvironment(const char* name, const char* value);

// Creates or truncates the file at `path` for writing, in binary mode (no
// line break is translated: the caller writes CR LF itself, the same bytes
// everywhere), and in a way that lets other processes read it and write it
// while it is open. Null when it cannot be opened.
FilePtr OpenSharedLogFile(const std::string& path);

// Shows `text` (UTF-8) to whoever started the program from a terminal: on
// standard error, in the terminal's encoding (the system encoding the Tcl
// library took from the locale at start-up), a character that encoding
// lacks as "?". Where the program has no console (a GUI program on
// Windows) it shows nothing.
void ShowOnConsole(std::string_view text);

// `t` broken down in the local time zone.
std::tm LocalTime(std::time_t t);

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
  // of bytes written.
  size_t Convert(const char* text, size_t length, char* out) const;

 private:
  struct System;  // whatever the system's conversion needs
  std::unique_ptr<System> system_;
};

}  // namespace qsn
