// The cipher of init.dat: Blowfish-CBC with PKCS#5 padding under a key and
// vector fixed in the host. The file has no header: it is the ciphertext.
#pragma once

#include <openssl/evp.h>

#include <string>

namespace qsn {

extern const unsigned char InitCipherKey[16];
extern const unsigned char InitCipherIv[8];

// The Blowfish-CBC cipher, or null when OpenSSL cannot provide it (on
// OpenSSL 3 it lives in the legacy provider, which is loaded on first use).
const EVP_CIPHER* InitCipher();

// Deciphers `in`. `out` must have room for in_length plus one block. False
// with the reason in *error only when OpenSSL cannot run the cipher at all
// (no Blowfish-CBC, no memory for its context); *out_length is 0 then.
// Otherwise *clean says whether the input deciphered whole: a bad padding
// or a length not a multiple of 8 leaves it false, with *out_length holding
// what the cipher produced before the last block (every block but the
// last), which the host still runs and the packer refuses.
bool DecryptInitData(const unsigned char* in, int in_length, unsigned char* out,
                     int* out_length, bool* clean, std::string* error);

// The inverse. `out` must have room for in_length plus 8 bytes. Any input
// enciphers: false with the reason in *error only when OpenSSL cannot run
// the cipher.
bool EncryptInitData(const unsigned char* in, int in_length, unsigned char* out,
                     int* out_length, std::string* error);

}  // namespace qsn
