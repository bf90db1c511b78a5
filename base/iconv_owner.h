// The owner of an iconv descriptor, for the code that converts through the
// system's iconv: the POSIX platform file and the fuzzers' references.
#pragma once

#include <iconv.h>

namespace qsn {

// Owns an iconv descriptor; (iconv_t)-1 means none.
class Iconv {
 public:
  Iconv() = default;
  Iconv(const char* to, const char* from) { Open(to, from); }
  ~Iconv() { Close(); }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  bool ok() const { return cd_ != NoDescriptor(); }
  iconv_t get() const { return cd_; }
  // Leaves errno as iconv_open left it.
  void Open(const char* to, const char* from) {
    Close();
    cd_ = iconv_open(to, from);
  }
  void Close() {
    if (ok()) iconv_close(cd_);
    cd_ = NoDescriptor();
  }

 private:
  static iconv_t NoDescriptor() { return reinterpret_cast<iconv_t>(-1); }
  iconv_t cd_ = NoDescriptor();
};

}  // namespace qsn
