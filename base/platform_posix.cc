// The platform's differences on POSIX systems.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/iconv_owner.h"
#include "base/platform.h"
#include "base/utf8.h"

namespace qsn {

std::string PathInWorkingDirectory(std::string_view name) {
  char cwd[1024];
  if (!getcwd(cwd, sizeof cwd)) return "./" + std::string(name);
  return std::string(cwd) + "/" + std::string(name);
}

bool SetEnvironment(const char* name, const char* value) {
  return setenv(name, value, 1) == 0;
}

struct AppendFile::System {
  int fd = -1;
};

AppendFile::AppendFile() = default;
AppendFile::~AppendFile() {
  if (system_) close(system_->fd);
}
AppendFile::AppendFile(AppendFile&&) noexcept = default;
AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (system_) close(system_->fd);
  system_ = std::move(other.system_);
  return *this;
}

AppendFile::operator bool() const { return system_ != nullptr; }

bool AppendFile::Append(const char* data, size_t length) const {
  if (!system_) return false;
  while (length > 0) {
    ssize_t n = write(system_->fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

AppendFile OpenEmptiedForAppending(const std::string& path) {
  // O_APPEND puts each write at the end of whatever the file then is, so an
  // instance that had it open before the emptying leaves no hole of zeros
  // before its next line.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
  AppendFile file;
  if (fd < 0) return file;
  file.system_ = std::make_unique<AppendFile::System>();
  file.system_->fd = fd;
  return file;
}

void ShowOnConsole(std::string_view text) {
  std::string shown = FirstLines(text);
  DString native;
  Tcl_UtfToExternalDString(nullptr, shown.data(), static_cast<int>(shown.size()),
                           native.get());
  std::fwrite(native.value(), 1, native.length(), stderr);
  std::fflush(stderr);
}

void ShowFailureBox(std::string_view, std::string_view) {
  // Whoever started the program has its standard error.
}

bool SystemTclLibraryMayServe() { return true; }

std::time_t TimeNow() { return std::time(nullptr); }

std::tm LocalTime(std::time_t t) {
  std::tm broken_down{};
  localtime_r(&t, &broken_down);
  return broken_down;
}

bool IsConnectInProgress(long os_error) { return os_error == EINPROGRESS; }

long LastSocketError() { return errno; }

bool IsDescriptorShortage(long os_error) {
  return os_error == EMFILE || os_error == ENFILE;
}

std::string OsErrorText(long os_error) {
  return std::strerror(static_cast<int>(os_error));
}

struct Cp866Fallback::System {
  Iconv converter{"CP866", "UTF-8"};
};

Cp866Fallback::Cp866Fallback() : system_(std::make_unique<System>()) {}
Cp866Fallback::~Cp866Fallback() = default;

bool Cp866Fallback::ok() const { return system_->converter.ok(); }

size_t Cp866Fallback::Convert(const char* text, size_t length, char* out) const {
  if (!ok()) return 0;
  iconv_t cd = system_->converter.get();
  char* inptr = const_cast<char*>(text);
  size_t inleft = length;
  char* outptr = out;
  size_t outleft = length;
  // Back to the initial state, whatever an earlier call stopped in.
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  // Stops at the first invalid or unconvertible sequence; what was
  // converted before it stays.
  iconv(cd, &inptr, &inleft, &outptr, &outleft);
  return outptr - out;
}

void SetBinaryMode(FILE*) {
  // Streams pass bytes unchanged here.
}

namespace {

bool Failed(std::string* error) {
  *error = std::strerror(errno);
  return false;
}

void StatusOf(const struct stat& info, FileStatus* status) {
  status->exists = true;
  status->regular = S_ISREG(info.st_mode);
  status->mode = info.st_mode & 07777;
  status->size = static_cast<unsigned long long>(info.st_size);
}

}  // namespace

bool StatPath(const std::string& path, FileStatus* status, std::string* error) {
  *status = FileStatus();
  struct stat info;
  if (stat(path.c_str(), &info) == 0) {
    StatusOf(info, status);
    return true;
  }
  return errno == ENOENT || Failed(error);
}

bool StatOpenFile(FILE* file, FileStatus* status, std::string* error) {
  *status = FileStatus();
  struct stat info;
  if (fstat(fileno(file), &info) != 0) return Failed(error);
  StatusOf(info, status);
  return true;
}

bool OpenFile(const std::string& path, const char* mode, FilePtr* file,
              std::string* error) {
  file->reset(std::fopen(path.c_str(), mode));
  return *file || Failed(error);
}

unsigned NewFileMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

bool OpenToWriteThrough(const std::string& path, int* fd, std::string* error) {
  *fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  return *fd >= 0 || Failed(error);
}

bool CreateTemporaryFile(std::string* name_template, int* fd, std::string* error) {
  *fd = mkstemp(name_template->data());
  return *fd >= 0 || Failed(error);
}

bool SetFileMode(int fd, unsigned mode, std::string* error) {
  return fchmod(fd, mode) == 0 || Failed(error);
}

bool WriteToFile(int fd, std::string_view data, std::string* error) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return Failed(error);
    }
    done += n;
  }
  return true;
}

bool WriteAndClose(int fd, std::string_view data, std::string* error) {
  if (!WriteToFile(fd, data, error)) {
    close(fd);
    return false;
  }
  return close(fd) == 0 || Failed(error);
}

bool RenameOver(const std::string& from, const std::string& to, std::string* error) {
  return std::rename(from.c_str(), to.c_str()) == 0 || Failed(error);
}

void RemoveFile(const std::string& path) { unlink(path.c_str()); }

bool ResolvedPath(const std::string& path, std::string* resolved, std::string* error) {
  char* full = realpath(path.c_str(), nullptr);
  if (!full) return Failed(error);
  *resolved = full;
  std::free(full);
  return true;
}

}  // namespace qsn
