// The platform's differences on POSIX systems.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "base/iconv_owner.h"
#include "base/platform.h"

namespace qsn {

std::string PathInWorkingDirectory(std::string_view name) {
  char cwd[1024];
  if (!getcwd(cwd, sizeof cwd)) return "./" + std::string(name);
  return std::string(cwd) + "/" + std::string(name);
}

bool SetEnvironment(const char* name, const char* value) {
  return setenv(name, value, 1) == 0;
}

FilePtr OpenSharedLogFile(const std::string& path) {
  // POSIX locks no file against other processes: a plain open shares it.
  return FilePtr(std::fopen(path.c_str(), "wb"));
}

void ShowOnConsole(std::string_view text) {
  DString native;
  Tcl_UtfToExternalDString(nullptr, text.data(), static_cast<int>(text.size()),
                           native.get());
  std::fwrite(native.value(), 1, native.length(), stderr);
  std::fflush(stderr);
}

std::tm LocalTime(std::time_t t) {
  std::tm broken_down{};
  localtime_r(&t, &broken_down);
  return broken_down;
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

}  // namespace qsn
