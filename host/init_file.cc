// The init script loader: read whole, decipher, cut at NUL, KOI8-R to UTF-8.
#include "host/init_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "base/owners.h"
#include "cipher/init_cipher.h"
#include "cipher/init_file_limit.h"
#include "log/log.h"

namespace qsn {

bool ReadInitFile(const std::string& file_name, std::string* data, std::string* error) {
  // Only a regular file (or a link to one) is read: a FIFO would keep the
  // host waiting for a writer, a device would be read without end; a
  // directory opens on Linux but has no size to read. Each counts as absent.
  std::error_code failure;
  bool regular = std::filesystem::is_regular_file(file_name, failure);
  FilePtr file(regular ? std::fopen(file_name.c_str(), "rb") : nullptr);
  long size = -1;
  if (file && std::fseek(file.get(), 0, SEEK_END) == 0) size = std::ftell(file.get());
  if (!file || size < 0 || size > kMaxInitDataSize ||
      std::fseek(file.get(), 0, SEEK_SET) != 0) {
    *error = "Init file not found";
    return false;
  }
  data->resize(size);
  size_t got = std::fread(data->data(), 1, size, file.get());
  // A read that fails would leave a script cut short, or none and no word
  // of why. A file that only shrank meanwhile is deciphered as it came.
  if (std::ferror(file.get())) {
    *error = "Cannot read " + file_name + ": " + std::strerror(errno);
    return false;
  }
  data->resize(got);
  return true;
}

bool DecipherInitData(const std::string& data, std::string* text, std::string* error) {
  // Room for a block more than the input, as the cipher asks.
  text->resize(data.size() + 100);
  int length = 0;
  bool clean = false;
  bool ran = DecryptInitData(
      reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()),
      reinterpret_cast<unsigned char*>(text->data()), &length, &clean, error);
  text->resize(ran ? length : 0);
  return ran;
}

bool ConvertInitScript(Tcl_Interp* interp, const std::string& text, Tcl_DString* out,
                       std::string* error) {
  Tcl_DStringInit(out);
  Tcl_Encoding koi8 = Tcl_GetEncoding(interp, "koi8-r");
  if (!koi8) {
    const char* info = Tcl_GetVar(interp, "errorInfo", TCL_GLOBAL_ONLY);
    LogPrintf(4, "Encoding error:%s\n", info ? info : "");
    *error = Tcl_GetStringResult(interp);
    return false;
  }
  // Up to the first NUL: the rest of the text is ignored.
  Tcl_ExternalToUtfDString(koi8, text.c_str(), -1, out);
  Tcl_FreeEncoding(koi8);
  return true;
}

bool LoadInitScript(Tcl_Interp* interp, const char* base_name, Tcl_DString* out,
                    std::string* error) {
  Tcl_DStringInit(out);
  std::string file_name = std::string(base_name) + ".dat";
  std::string data, text;
  if (!ReadInitFile(file_name, &data, error)) return false;
  if (!InitCipher()) {
    *error = "Cannot decipher " + file_name +
             ": OpenSSL offers no Blowfish-CBC cipher "
             "(is its legacy provider installed?)";
    return false;
  }
  if (!DecipherInitData(data, &text, error)) {
    *error = "Cannot decipher " + file_name + ": " + *error;
    return false;
  }
  data.clear();
  data.shrink_to_fit();
  LogPrintf(4, "init script: %d,\n%s\n", static_cast<int>(text.size()), text.c_str());
  Tcl_DStringFree(out);
  if (!ConvertInitScript(interp, text, out, error)) {
    *error = "Cannot convert " + file_name + " from KOI8-R: " + *error;
    return false;
  }
  return true;
}

}  // namespace qsn
