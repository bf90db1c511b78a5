// The seam's wrappers of the calls only the packer makes: writing its
// output through a temporary file renamed into place.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tests/torture/seam.h"

using qsn::torture::FailThisCall;

extern "C" {

int __real_mkstemp(char* name_template);
int __real_fchmod(int fd, mode_t mode);
int __real_close(int fd);
int __real_rename(const char* from, const char* to);
char* __real_realpath(const char* path, char* resolved);

int __wrap_mkstemp(char* name_template) {
  if (FailThisCall("mkstemp")) {
    errno = ENOSPC;
    return -1;
  }
  return __real_mkstemp(name_template);
}

int __wrap_fchmod(int fd, mode_t mode) {
  if (FailThisCall("fchmod")) {
    errno = EIO;
    return -1;
  }
  return __real_fchmod(fd, mode);
}

// A failing close still releases the descriptor, as on Linux.
int __wrap_close(int fd) {
  bool fail = FailThisCall("close");
  int result = __real_close(fd);
  if (!fail) return result;
  errno = EIO;
  return -1;
}

int __wrap_rename(const char* from, const char* to) {
  if (FailThisCall("rename")) {
    errno = EIO;
    return -1;
  }
  return __real_rename(from, to);
}

char* __wrap_realpath(const char* path, char* resolved) {
  if (FailThisCall("realpath")) {
    errno = ENOMEM;
    return nullptr;
  }
  return __real_realpath(path, resolved);
}

}  // extern "C"
