// The cipher of init.dat: Blowfish-CBC with PKCS#5 padding under a key and
// vector fixed in the host. The file has no header: it is the ciphertext.
#pragma once

#include <openssl/evp.h>

#include <cstdint>

// The largest init.dat the host loads: the cipher takes int lengths, and
// the loader adds room for a block and the NUL after the text.
constexpr long kMaxInitDataSize = INT32_MAX - 100;

extern const unsigned char InitCipherKey[16];
extern const unsigned char InitCipherIv[8];

// The Blowfish-CBC cipher, or null when OpenSSL cannot provide it (on
// OpenSSL 3 it lives in the legacy provider, which is loaded on first use).
const EVP_CIPHER* InitCipher();

// What the cipher returns when OpenSSL cannot run it at all (no Blowfish-CBC,
// no memory for its context), whatever the input; *out_length is 0 then.
constexpr int kCipherUnavailable = -1;

// Deciphers `in`. `out` must have room for in_length plus one block. Returns
// 1 on success; 0 when the input does not decipher (bad padding, length not a
// multiple of 8), with *out_length still holding what the cipher produced
// before the last block: every block but the last; or kCipherUnavailable.
int DecryptInitData(const unsigned char* in, int in_length, unsigned char* out,
                    int* out_length);

// The inverse. `out` must have room for in_length plus 8 bytes. Returns 1,
// or kCipherUnavailable: any input enciphers.
int EncryptInitData(const unsigned char* in, int in_length, unsigned char* out,
                    int* out_length);
