// Fuzzes the init-file path with any bytes as init.dat: the cipher, the
// host's loader (decipher, cut at NUL, KOI8-R to UTF-8) and the packer's two
// directions, each checked against the others.
#include <tcl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "base/owners.h"
#include "cipher/init_cipher.h"
#include "host/client_main.h"
#include "host/init_file.h"
#include "tests/fuzz/fuzz_util.h"
#include "tools/pack.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

Tcl_Interp* interp = nullptr;

std::string Encrypt(std::string_view plain) {
  std::vector<unsigned char> out(plain.size() + 8);
  int length = 0;
  std::string error;
  FUZZ_CHECK(
      qsn::EncryptInitData(reinterpret_cast<const unsigned char*>(plain.data()),
                           static_cast<int>(plain.size()), out.data(), &length, &error),
      "cannot encipher %zu bytes: %s", plain.size(), error.c_str());
  return std::string(reinterpret_cast<const char*>(out.data()), length);
}

// Deciphers the bytes as the loader does and checks what the cipher claims
// against enciphering its output again. Returns the plaintext it gave.
std::string CheckDecrypt(std::string_view in, bool* whole) {
  const int size = static_cast<int>(in.size());
  // Exactly the room the interface asks for, so that ASan sees any write past.
  std::vector<unsigned char> out(in.size() + 8);
  int length = -1;
  bool ok = false;
  std::string error;
  FUZZ_CHECK(qsn::DecryptInitData(reinterpret_cast<const unsigned char*>(in.data()), size,
                                  out.data(), &length, &ok, &error),
             "DecryptInitData failed: %s", error.c_str());
  *whole = ok;
  const std::string plain(reinterpret_cast<const char*>(out.data()),
                          length > 0 ? length : 0);
  if (ok) {
    // PKCS#5 adds one to eight bytes, and a valid padding is unique, so the
    // plaintext enciphers back to exactly the input.
    FUZZ_CHECK(size > 0 && size % 8 == 0 && length >= size - 8 && length < size,
               "deciphered %d bytes into %d", size, length);
    FUZZ_CHECK(Encrypt(plain) == in, "%d bytes do not encipher back", size);
  } else {
    // Every block but the last, whether the last is short or badly padded.
    const int want = size % 8 ? size - size % 8 : (size >= 8 ? size - 8 : 0);
    FUZZ_CHECK(length == want, "failed on %d bytes with %d out, want %d", size, length,
               want);
    // CBC: enciphering a prefix of the plaintext gives a prefix of the input.
    FUZZ_CHECK(Encrypt(plain).compare(0, plain.size(), in.substr(0, plain.size())) == 0,
               "the %d bytes deciphered before the failure are wrong", length);
  }
  return plain;
}

std::string LoadAsHost(std::string_view file) {
  qsn::fuzz::InScratch in;
  {
    qsn::FilePtr out(std::fopen("init.dat", "wb"));
    FUZZ_CHECK(out && std::fwrite(file.data(), 1, file.size(), out.get()) == file.size(),
               "cannot write init.dat");
  }
  qsn::DString script;
  std::string error;
  if (!qsn::LoadInitScript(interp, "init", script.get(), &error)) return "";
  return std::string(script.value(), script.length());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  qsn::fuzz::OpenScratchLog();
  // The host's own interpreter set-up, so the encodings come from the same
  // library the host finds.
  interp = qsn::CreateInterpreter(*argc, *argv);
  // Held for the whole run: the loader's own reference is its last one
  // otherwise, and Tcl would read the table from disk for every input.
  static Tcl_Encoding koi8 = Tcl_GetEncoding(interp, "koi8-r");
  FUZZ_CHECK(koi8, "Tcl has no koi8-r encoding");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  bool whole = false;
  const std::string plain = CheckDecrypt(input, &whole);

  // The loader runs the text up to its first NUL, converted from KOI8-R; the
  // packer's conversion must agree on every byte.
  const std::string loaded = LoadAsHost(input);
  std::string want, error;
  FUZZ_CHECK(qsn::Koi8rToUtf8(plain.substr(0, plain.find('\0')), &want, &error),
             "KOI8-R text rejected: %s", error.c_str());
  FUZZ_CHECK(loaded == want, "loader gave %zu bytes, want %zu", loaded.size(),
             want.size());

  // What unpacks packs back to the same file, and is what the host runs.
  std::string source;
  if (qsn::UnpackScript(input, &source, &error)) {
    FUZZ_CHECK(whole, "unpacked a file that does not decipher");
    FUZZ_CHECK(source == loaded, "unpack and the host disagree");
    // Packing refuses an unfinished script; any other must pack back.
    std::string again, unfinished;
    const bool complete = qsn::CheckComplete(source, &unfinished);
    const bool repacked = qsn::PackScript(source, &again, &error);
    FUZZ_CHECK(repacked == complete, "repack %s: %s",
               repacked ? "took an unfinished script" : "failed",
               repacked ? unfinished.c_str() : error.c_str());
    FUZZ_CHECK(!repacked || again == input, "repacked file differs");
  } else {
    FUZZ_CHECK(!error.empty(), "unpack failed without a reason");
  }

  // The input as a script: packing then unpacking gives it back, less a
  // leading byte-order mark.
  std::string packed;
  error.clear();
  const bool packs = qsn::PackScript(input, &packed, &error);
  // Only one mark is dropped, so a second one would be refused as a
  // character with no KOI8-R form.
  const std::string_view after_mark =
      input.substr(std::min(input.size(), kByteOrderMark.size()));
  if (input.substr(0, kByteOrderMark.size()) == kByteOrderMark &&
      after_mark.substr(0, kByteOrderMark.size()) != kByteOrderMark) {
    std::string packed_bare, ignored;
    const bool bare = qsn::PackScript(after_mark, &packed_bare, &ignored);
    FUZZ_CHECK(packs == bare && packed == packed_bare,
               "a leading byte-order mark changes what packs");
  }
  if (packs) {
    FUZZ_CHECK(!packed.empty() && packed.size() % 8 == 0, "packed to %zu bytes",
               packed.size());
    std::string back;
    FUZZ_CHECK(qsn::UnpackScript(packed, &back, &error), "unpack of a packed script: %s",
               error.c_str());
    std::string_view want_back = input;
    if (want_back.substr(0, kByteOrderMark.size()) == kByteOrderMark)
      want_back.remove_prefix(kByteOrderMark.size());
    FUZZ_CHECK(back == want_back, "round trip changed the script");
  } else {
    FUZZ_CHECK(!error.empty(), "pack failed without a reason");
  }

  qsn::fuzz::TrimLog(1000);
  return 0;
}
