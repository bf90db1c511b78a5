// The init script loader: read whole, decipher, cut at NUL, KOI8-R to UTF-8.
#include "host/init_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/owners.h"
#include "host/init_cipher.h"
#include "log/log.h"

void LoadInitScript(Tcl_Interp* interp, const char* base_name, Tcl_DString* out) {
  Tcl_DStringInit(out);
  std::string file_name = std::string(base_name) + ".dat";

  // Only a regular file (or a link to one) is read: a FIFO would keep the
  // host waiting for a writer, a device would be read without end; a
  // directory opens on Linux but has no size to read. Each counts as absent.
  std::error_code failure;
  bool regular = std::filesystem::is_regular_file(file_name, failure);
  qsn::FilePtr file(regular ? std::fopen(file_name.c_str(), "rb") : nullptr);
  long size = -1;
  if (file && std::fseek(file.get(), 0, SEEK_END) == 0) size = std::ftell(file.get());
  if (!file || size < 0 || size > kMaxInitDataSize ||
      std::fseek(file.get(), 0, SEEK_SET) != 0) {
    LogFailure("Init file not found\n");
    return;
  }

  if (!InitCipher()) {
    LogFailure(
        "Cannot decipher %s: OpenSSL offers no Blowfish-CBC cipher "
        "(is its legacy provider installed?)\n",
        file_name.c_str());
    return;
  }

  std::vector<unsigned char> ciphertext(size + 100);
  std::vector<unsigned char> plaintext(size + 100);
  size_t got = std::fread(ciphertext.data(), 1, size, file.get());
  // A read that fails would leave a script cut short, or none and no word
  // of why. A file that only shrank meanwhile is deciphered as it came.
  if (std::ferror(file.get())) {
    LogFailure("Cannot read %s: %s\n", file_name.c_str(), std::strerror(errno));
    return;
  }
  file.reset();

  int outlen = 0;
  if (DecryptInitData(ciphertext.data(), static_cast<int>(got), plaintext.data(),
                      &outlen) == kCipherUnavailable) {
    LogFailure("Cannot decipher %s: OpenSSL failed to run Blowfish-CBC\n",
               file_name.c_str());
    return;
  }
  plaintext[outlen] = '\0';
  const char* text = reinterpret_cast<const char*>(plaintext.data());
  LogPrintf(4, "init script: %d,\n%s\n", outlen, text);

  Tcl_Encoding koi8 = Tcl_GetEncoding(interp, "koi8-r");
  if (!koi8) {
    const char* info = Tcl_GetVar(interp, "errorInfo", TCL_GLOBAL_ONLY);
    LogPrintf(4, "Encoding error:%s\n", info ? info : "");
    // The threshold is still its initial 3 here, so the line above is never
    // written: without this one the host would end without a word.
    LogFailure("Cannot convert %s from KOI8-R: %s\n", file_name.c_str(),
               Tcl_GetStringResult(interp));
    return;
  }
  Tcl_ExternalToUtfDString(koi8, text, -1, out);
  Tcl_FreeEncoding(koi8);
}
