// Blowfish-CBC for init.dat through OpenSSL's EVP interface.
#include "cipher/init_cipher.h"

#include <openssl/crypto.h>
#include <openssl/provider.h>

#include "base/owners.h"

namespace qsn {

const unsigned char InitCipherKey[16] = {0x5f, 0x1c, 0x2a, 0x9e, 0x07, 0xd3, 0xb4, 0x81,
                                         0x6e, 0x0f, 0x9a, 0x2c, 0xd3, 0x41, 0x7b, 0x58};
const unsigned char InitCipherIv[8] = {0xa3, 0xc9, 0x5e, 0x10, 0x77, 0xb2, 0xd0, 0x4f};

const EVP_CIPHER* InitCipher() {
  // Fetched once for the life of the process. The legacy provider is loaded
  // keeping the implicit default one beside it, which libcurl's TLS and
  // random numbers need: loading the default explicitly instead can fail on
  // its own, and would leave the legacy provider alone in the process.
  //
  // No OpenSSL configuration file is read, from OPENSSL_CONF or from
  // OpenSSL's own folder: the cipher needs none, and one planted by someone
  // else (a folder any user may create on Windows) could take Blowfish
  // away or pull in further files. The host and the packer come here
  // before anything else of theirs uses OpenSSL (the host deciphers
  // init.dat before libcurl starts), so the choice holds for the whole
  // process, libcurl's TLS included. A failure here shows as the fetch
  // failing.
  static const EVP_CIPHER* cipher = [] {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_try_load(nullptr, "legacy", 1);
    auto* fetched =
        static_cast<const EVP_CIPHER*>(EVP_CIPHER_fetch(nullptr, "BF-CBC", nullptr));
    // A provider that gave nothing is let go: OpenSSL frees at exit only
    // what no one holds.
    if (!fetched && legacy) OSSL_PROVIDER_unload(legacy);
    return fetched;
  }();
  return cipher;
}

namespace {

constexpr char kCannotRun[] = "OpenSSL failed to run Blowfish-CBC";

// Only the last step judges the input, by its padding and length; a step
// before it fails only when OpenSSL itself does.
bool RunCipher(bool encrypt, const unsigned char* in, int in_length, unsigned char* out,
               int* out_length, bool* clean, std::string* error) {
  *out_length = 0;
  *clean = false;
  const EVP_CIPHER* cipher = InitCipher();
  if (!cipher) {
    *error = "OpenSSL offers no Blowfish-CBC cipher";
    return false;
  }
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx ||
      !EVP_CipherInit_ex(ctx.get(), cipher, nullptr, InitCipherKey, InitCipherIv,
                         encrypt ? 1 : 0) ||
      !EVP_CipherUpdate(ctx.get(), out, out_length, in, in_length)) {
    *out_length = 0;
    *error = kCannotRun;
    return false;
  }
  int tmplen = 0;
  if (!EVP_CipherFinal_ex(ctx.get(), out + *out_length, &tmplen)) {
    if (!encrypt) return true;
    *out_length = 0;
    *error = kCannotRun;
    return false;
  }
  *out_length += tmplen;
  *clean = true;
  return true;
}

}  // namespace

bool DecryptInitData(const unsigned char* in, int in_length, unsigned char* out,
                     int* out_length, bool* clean, std::string* error) {
  return RunCipher(false, in, in_length, out, out_length, clean, error);
}

bool EncryptInitData(const unsigned char* in, int in_length, unsigned char* out,
                     int* out_length, std::string* error) {
  bool clean;
  return RunCipher(true, in, in_length, out, out_length, &clean, error);
}

}  // namespace qsn
