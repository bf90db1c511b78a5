// The seam's counter, and the wrappers of the calls both programs make:
// the C library's files and working directory, iconv, OpenSSL and the
// encodings asked of Tcl.
#include "tests/torture/seam.h"

#include <fcntl.h>
#include <iconv.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <tcl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

extern "C" int __real_open(const char* path, int flags, ...);

namespace qsn::torture {
namespace {

struct Seam {
  Seam() {
    if (const char* k = std::getenv("QSN_FAIL_CALL")) fail_at = std::atol(k);
    if (const char* path = std::getenv("QSN_CALL_TRACE"))
      trace =
          __real_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  }
  long fail_at = 0;
  int trace = -1;  // left open to the end: the last call may come at exit
  std::atomic<long> count{0};
};

Seam& TheSeam() {
  static Seam seam;
  return seam;
}

}  // namespace

bool FailThisCall(const char* name) {
  Seam& seam = TheSeam();
  long k = ++seam.count;
  bool fail = k == seam.fail_at;
  if (seam.trace >= 0) dprintf(seam.trace, "%ld %s%s\n", k, name, fail ? " failed" : "");
  return fail;
}

}  // namespace qsn::torture

using qsn::torture::FailThisCall;

namespace {

// A stream whose read or write failed says so through ferror(), as after a
// real failure.
void MarkStreamFailed(FILE* stream) { stream->_flags |= _IO_ERR_SEEN; }

}  // namespace

extern "C" {

FILE* __real_fopen(const char* path, const char* mode);
size_t __real_fread(void* data, size_t size, size_t count, FILE* stream);
size_t __real_fwrite(const void* data, size_t size, size_t count, FILE* stream);
int __real_fflush(FILE* stream);
int __real_fclose(FILE* stream);
int __real_fseek(FILE* stream, long offset, int whence);
long __real_ftell(FILE* stream);
ssize_t __real_write(int fd, const void* data, size_t size);
char* __real_getcwd(char* buf, size_t size);
int __real_setenv(const char* name, const char* value, int overwrite);
iconv_t __real_iconv_open(const char* to, const char* from);
Tcl_Encoding __real_Tcl_GetEncoding(Tcl_Interp* interp, const char* name);
size_t __real_iconv(iconv_t cd, char** in, size_t* inleft, char** out, size_t* outleft);
OSSL_PROVIDER* __real_OSSL_PROVIDER_try_load(OSSL_LIB_CTX* ctx, const char* name,
                                             int retain_fallbacks);
EVP_CIPHER* __real_EVP_CIPHER_fetch(OSSL_LIB_CTX* ctx, const char* algorithm,
                                    const char* properties);
EVP_CIPHER_CTX* __real_EVP_CIPHER_CTX_new();
int __real_EVP_CipherInit_ex(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* cipher,
                             ENGINE* engine, const unsigned char* key,
                             const unsigned char* iv, int enc);
int __real_EVP_CipherUpdate(EVP_CIPHER_CTX* ctx, unsigned char* out, int* outl,
                            const unsigned char* in, int inl);
int __real_EVP_CipherFinal_ex(EVP_CIPHER_CTX* ctx, unsigned char* out, int* outl);

FILE* __wrap_fopen(const char* path, const char* mode) {
  if (FailThisCall("fopen")) {
    errno = ENOMEM;
    return nullptr;
  }
  return __real_fopen(path, mode);
}

size_t __wrap_fread(void* data, size_t size, size_t count, FILE* stream) {
  if (FailThisCall("fread")) {
    MarkStreamFailed(stream);
    errno = EIO;
    return 0;
  }
  return __real_fread(data, size, count, stream);
}

size_t __wrap_fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  if (FailThisCall("fwrite")) {
    MarkStreamFailed(stream);
    errno = EIO;
    return 0;
  }
  return __real_fwrite(data, size, count, stream);
}

int __wrap_fflush(FILE* stream) {
  if (FailThisCall("fflush")) {
    if (stream) MarkStreamFailed(stream);
    errno = EIO;
    return EOF;
  }
  return __real_fflush(stream);
}

// A failing fclose still releases the stream, as the real one does.
int __wrap_fclose(FILE* stream) {
  bool fail = FailThisCall("fclose");
  int result = __real_fclose(stream);
  if (!fail) return result;
  errno = EIO;
  return EOF;
}

int __wrap_fseek(FILE* stream, long offset, int whence) {
  if (FailThisCall("fseek")) {
    errno = EIO;
    return -1;
  }
  return __real_fseek(stream, offset, whence);
}

long __wrap_ftell(FILE* stream) {
  if (FailThisCall("ftell")) {
    errno = EIO;
    return -1;
  }
  return __real_ftell(stream);
}

// The seam's own trace file is opened with __real_open, not counted.
int __wrap_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  if (FailThisCall("open")) {
    errno = EMFILE;
    return -1;
  }
  return __real_open(path, flags, mode);
}

ssize_t __wrap_write(int fd, const void* data, size_t size) {
  if (FailThisCall("write")) {
    errno = EIO;
    return -1;
  }
  return __real_write(fd, data, size);
}

// As when the working directory has been removed.
char* __wrap_getcwd(char* buf, size_t size) {
  if (FailThisCall("getcwd")) {
    errno = ENOENT;
    return nullptr;
  }
  return __real_getcwd(buf, size);
}

int __wrap_setenv(const char* name, const char* value, int overwrite) {
  if (FailThisCall("setenv")) {
    errno = ENOMEM;
    return -1;
  }
  return __real_setenv(name, value, overwrite);
}

Tcl_Encoding __wrap_Tcl_GetEncoding(Tcl_Interp* interp, const char* name) {
  if (FailThisCall("Tcl_GetEncoding")) {
    if (interp) Tcl_SetObjResult(interp, Tcl_ObjPrintf("unknown encoding \"%s\"", name));
    return nullptr;
  }
  return __real_Tcl_GetEncoding(interp, name);
}

iconv_t __wrap_iconv_open(const char* to, const char* from) {
  if (FailThisCall("iconv_open")) {
    errno = ENOMEM;
    return reinterpret_cast<iconv_t>(-1);
  }
  return __real_iconv_open(to, from);
}

// The one way a conversion stops with nothing converted: the first input
// sequence is taken for invalid.
size_t __wrap_iconv(iconv_t cd, char** in, size_t* inleft, char** out, size_t* outleft) {
  if (FailThisCall("iconv")) {
    errno = EILSEQ;
    return static_cast<size_t>(-1);
  }
  return __real_iconv(cd, in, inleft, out, outleft);
}

OSSL_PROVIDER* __wrap_OSSL_PROVIDER_try_load(OSSL_LIB_CTX* ctx, const char* name,
                                             int retain_fallbacks) {
  if (FailThisCall("OSSL_PROVIDER_try_load")) return nullptr;
  return __real_OSSL_PROVIDER_try_load(ctx, name, retain_fallbacks);
}

EVP_CIPHER* __wrap_EVP_CIPHER_fetch(OSSL_LIB_CTX* ctx, const char* algorithm,
                                    const char* properties) {
  if (FailThisCall("EVP_CIPHER_fetch")) return nullptr;
  return __real_EVP_CIPHER_fetch(ctx, algorithm, properties);
}

EVP_CIPHER_CTX* __wrap_EVP_CIPHER_CTX_new() {
  if (FailThisCall("EVP_CIPHER_CTX_new")) return nullptr;
  return __real_EVP_CIPHER_CTX_new();
}

int __wrap_EVP_CipherInit_ex(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* cipher,
                             ENGINE* engine, const unsigned char* key,
                             const unsigned char* iv, int enc) {
  if (FailThisCall("EVP_CipherInit_ex")) return 0;
  return __real_EVP_CipherInit_ex(ctx, cipher, engine, key, iv, enc);
}

int __wrap_EVP_CipherUpdate(EVP_CIPHER_CTX* ctx, unsigned char* out, int* outl,
                            const unsigned char* in, int inl) {
  if (FailThisCall("EVP_CipherUpdate")) return 0;
  return __real_EVP_CipherUpdate(ctx, out, outl, in, inl);
}

int __wrap_EVP_CipherFinal_ex(EVP_CIPHER_CTX* ctx, unsigned char* out, int* outl) {
  if (FailThisCall("EVP_CipherFinal_ex")) return 0;
  return __real_EVP_CipherFinal_ex(ctx, out, outl);
}

}  // extern "C"
