// Small RAII owners for the C resources every layer holds: each frees its
// resource exactly once and cannot be copied.
#pragma once

#include <openssl/evp.h>
#include <tcl.h>

#include <cstdio>
#include <memory>

namespace qsn {

// Owns a Tcl_DString. Not movable: a short string lives inside the struct.
class DString {
 public:
  DString() { Tcl_DStringInit(&ds_); }
  ~DString() { Tcl_DStringFree(&ds_); }
  DString(const DString&) = delete;
  DString& operator=(const DString&) = delete;

  Tcl_DString* get() { return &ds_; }
  const char* value() const { return ds_.string; }
  int length() const { return ds_.length; }

 private:
  Tcl_DString ds_;
};

// Owns one reference to a Tcl_Obj.
class ObjRef {
 public:
  explicit ObjRef(Tcl_Obj* obj = nullptr) : obj_(obj) {
    if (obj_) Tcl_IncrRefCount(obj_);
  }
  ~ObjRef() {
    if (obj_) Tcl_DecrRefCount(obj_);
  }
  ObjRef(const ObjRef&) = delete;
  ObjRef& operator=(const ObjRef&) = delete;

  Tcl_Obj* get() const { return obj_; }

 private:
  Tcl_Obj* obj_;
};

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

}  // namespace qsn
