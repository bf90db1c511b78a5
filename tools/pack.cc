// qsnpack's conversions: strict in both directions, so what the host runs is
// exactly what the author wrote.
#include "tools/pack.h"

#include <tcl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/utf8.h"
#include "cipher/init_cipher.h"

namespace qsn {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

struct Position {
  int line = 1;
  int column = 1;
};

std::string At(const Position& p) {
  return "line " + std::to_string(p.line) + ", column " + std::to_string(p.column);
}

// Checks the UTF-8 text up to `stop` bytes; on a fault says what and where.
// With `stop` inside the text, reports the position of that byte instead.
bool ScanUtf8(std::string_view text, size_t stop, std::string* error) {
  Position p;
  size_t i = 0;
  while (i < text.size()) {
    unsigned cp = 0;
    size_t n = DecodeUtf8(text.substr(i), &cp);
    if (n == 0) {
      *error = "invalid UTF-8 at " + At(p);
      return false;
    }
    if (cp == 0) {
      *error = "NUL byte at " + At(p);
      return false;
    }
    if (i == stop) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "U+%04X", cp);
      *error = "character " + std::string(hex) + " at " + At(p) + " has no KOI8-R form";
      return false;
    }
    if (cp == '\n') {
      ++p.line;
      p.column = 1;
    } else {
      ++p.column;
    }
    i += n;
  }
  return true;
}

// Tcl's own words for what an unfinished command lacks.
const char* Missing(int error_type) {
  switch (error_type) {
    case TCL_PARSE_MISSING_BRACKET:
      return "missing close-bracket";
    case TCL_PARSE_MISSING_PAREN:
      return "missing )";
    case TCL_PARSE_MISSING_QUOTE:
      return "missing \"";
    case TCL_PARSE_MISSING_VAR_BRACE:
      return "missing close-brace for variable name";
    default:
      return "missing close-brace";
  }
}

// Tcl's parser and encodings need its subsystems, which the first call of
// this sets up.
void TclReady() {
  static const bool ready = (Tcl_FindExecutable(nullptr), true);
  (void)ready;
}

// Tcl's "koi8-r" encoding, held for the life of the process; null with the
// reason in *error when Tcl's library has no such table.
Tcl_Encoding Koi8r(std::string* error) {
  TclReady();
  static const Tcl_Encoding koi8 = Tcl_GetEncoding(nullptr, "koi8-r");
  if (!koi8) {
    Tcl_Obj* dirs = Tcl_GetEncodingSearchPath();
    *error =
        std::string("no KOI8-R encoding: Tcl's library has no koi8-r.enc (looked in ") +
        (dirs ? Tcl_GetString(dirs) : "") + ")";
  }
  return koi8;
}

// Runs one of Tcl's conversions over all of `in`, a piece at a time so that
// no length passes an int, stopping at a character the target lacks: false
// then, with *stop the offset of its first byte. `to_external` converts
// UTF-8 to the encoding, otherwise the encoding to UTF-8.
bool ConvertWithTcl(Tcl_Encoding encoding, bool to_external, std::string_view in,
                    std::string* out, size_t* stop) {
  constexpr size_t kPiece = 1 << 20;
  // Four bytes out for each byte in covers every conversion of a piece.
  std::vector<char> buffer(4 * std::min(kPiece, in.size()) + 16);
  Tcl_EncodingState state = nullptr;
  out->clear();
  size_t done = 0;
  for (bool first = true; first || done < in.size(); first = false) {
    size_t piece = std::min(kPiece, in.size() - done);
    int flags = TCL_ENCODING_STOPONERROR | (first ? TCL_ENCODING_START : 0) |
                (done + piece == in.size() ? TCL_ENCODING_END : 0);
    int read = 0, wrote = 0;
    int result =
        to_external
            ? Tcl_UtfToExternal(nullptr, encoding, in.data() + done,
                                static_cast<int>(piece), flags, &state, buffer.data(),
                                static_cast<int>(buffer.size()), &read, &wrote, nullptr)
            : Tcl_ExternalToUtf(nullptr, encoding, in.data() + done,
                                static_cast<int>(piece), flags, &state, buffer.data(),
                                static_cast<int>(buffer.size()), &read, &wrote, nullptr);
    out->append(buffer.data(), wrote);
    done += read;
    // A character cut by the piece's end is read with the next piece.
    bool cut = result == TCL_CONVERT_MULTIBYTE && read > 0 && done < in.size();
    if ((result != TCL_OK && !cut) || (read == 0 && piece > 0)) {
      *stop = done;
      return false;
    }
  }
  *stop = done;
  return true;
}

}  // namespace

bool CheckComplete(std::string_view source, std::string* error) {
  TclReady();
  // Command by command, as `info complete` goes: each command is parsed
  // once, so the check is linear in the script. A command with another
  // syntax error ends the check, as it ends Tcl's.
  const char* p = source.data();
  const char* end = p + source.size();
  Tcl_Parse parse;
  while (p < end) {
    int result = Tcl_ParseCommand(nullptr, p, static_cast<int>(end - p), 0, &parse);
    if (result != TCL_OK) {
      bool incomplete = parse.incomplete;
      int line = 1 + std::count(source.data(), parse.commandStart, '\n');
      const char* missing = Missing(parse.errorType);
      Tcl_FreeParse(&parse);
      if (!incomplete) return true;
      *error = std::string(missing) + ": the command at line " + std::to_string(line) +
               " is not finished";
      return false;
    }
    p = parse.commandStart + parse.commandSize;
    Tcl_FreeParse(&parse);
  }
  return true;
}

bool Utf8ToKoi8r(std::string_view utf8, std::string* koi8, std::string* error) {
  if (utf8.substr(0, kByteOrderMark.size()) == kByteOrderMark)
    utf8.remove_prefix(kByteOrderMark.size());
  if (!ScanUtf8(utf8, std::string_view::npos, error)) return false;
  Tcl_Encoding encoding = Koi8r(error);
  if (!encoding) return false;
  size_t stop = 0;
  if (ConvertWithTcl(encoding, true, utf8, koi8, &stop)) return true;
  ScanUtf8(utf8, stop, error);
  return false;
}

bool Koi8rToUtf8(std::string_view koi8, std::string* utf8, std::string* error) {
  size_t nul = koi8.find('\0');
  if (nul != std::string_view::npos) {
    *error = "NUL byte at offset " + std::to_string(nul) +
             " (the host ignores the script from there on)";
    return false;
  }
  Tcl_Encoding encoding = Koi8r(error);
  if (!encoding) return false;
  size_t stop = 0;
  if (!ConvertWithTcl(encoding, false, koi8, utf8, &stop)) {
    *error = "cannot convert from KOI8-R at offset " + std::to_string(stop);
    return false;
  }
  return true;
}

// A path with a character past U+FFFF as Tcl code that gives it: every
// byte of its UTF-8 as an escape, converted at run time. A \U escape would
// not do: the host's Tcl makes two surrogates of it, a name no file has.
std::string Utf8BytesCommand(std::string_view utf8) {
  std::string bytes;
  for (unsigned char c : utf8) {
    char escape[8];
    bytes.append(escape, std::snprintf(escape, sizeof escape, "\\x%02X", c));
  }
  return "[encoding convertfrom utf-8 \"" + bytes + "\"]";
}

bool DevScript(std::string_view absolute_path, std::string* script, std::string* error) {
  // Inside double quotes only $ [ ] \ " mean something to Tcl: they,
  // control characters and whatever KOI8-R lacks become escapes the host's
  // Tcl reads back; printable ASCII and Cyrillic letters stay readable, as
  // they then appear in the traces of errors.
  std::string quoted;
  bool past_bmp = false;
  for (size_t i = 0; i < absolute_path.size();) {
    unsigned cp = 0;
    size_t n = DecodeUtf8(absolute_path.substr(i), &cp);
    if (n == 0 || cp == 0) {
      *error = "the absolute path of the script is not valid UTF-8";
      return false;
    }
    char escape[16];
    bool plain = cp >= 0x20 && cp < 0x7F && !std::strchr("$[]\\\"", static_cast<int>(cp));
    bool cyrillic = (cp >= 0x410 && cp <= 0x44F) || cp == 0x401 || cp == 0x451;
    if (plain || cyrillic)
      quoted.append(absolute_path.substr(i, n));
    else
      quoted.append(escape, std::snprintf(escape, sizeof escape, "\\u%04X", cp));
    past_bmp = past_bmp || cp > 0xFFFF;
    i += n;
  }
  std::string path = past_bmp ? Utf8BytesCommand(absolute_path) : "\"" + quoted + "\"";
  *script =
      "# Made by qsnpack dev, for development only: it holds no script, it runs\n"
      "# the one below from where it lies. Pack that script for shipping.\n"
      "source -encoding utf-8 " +
      path + "\n";
  return true;
}

std::string TooLarge(size_t limit) {
  return "over " + std::to_string(limit) + " bytes, more than the host loads";
}

bool PackScript(std::string_view source, std::string* init_data, std::string* error) {
  if (source.size() > kMaxSource) {
    *error = TooLarge(kMaxSource);
    return false;
  }
  std::string koi8;
  if (!Utf8ToKoi8r(source, &koi8, error)) return false;
  // Judged as the host will run it: without the byte-order mark, which
  // would make a first comment a command.
  if (source.substr(0, kByteOrderMark.size()) == kByteOrderMark)
    source.remove_prefix(kByteOrderMark.size());
  if (!CheckComplete(source, error)) return false;
  if (!InitCipher()) {
    *error = "cannot encipher: OpenSSL offers no Blowfish-CBC cipher";
    return false;
  }
  std::vector<unsigned char> out(koi8.size() + 8);
  int out_length = 0;
  if (!EncryptInitData(reinterpret_cast<const unsigned char*>(koi8.data()),
                       static_cast<int>(koi8.size()), out.data(), &out_length, error)) {
    *error = "cannot encipher: " + *error;
    return false;
  }
  init_data->assign(reinterpret_cast<const char*>(out.data()), out_length);
  return true;
}

bool UnpackScript(std::string_view init_data, std::string* source, std::string* error) {
  if (init_data.size() > kMaxInitData) {
    *error = TooLarge(kMaxInitData);
    return false;
  }
  if (init_data.empty() || init_data.size() % 8 != 0) {
    *error = "length " + std::to_string(init_data.size()) +
             " is not a positive multiple of 8: not an init file";
    return false;
  }
  if (!InitCipher()) {
    *error = "cannot decipher: OpenSSL offers no Blowfish-CBC cipher";
    return false;
  }
  std::vector<unsigned char> out(init_data.size() + 8);
  int out_length = 0;
  bool clean = false;
  if (!DecryptInitData(reinterpret_cast<const unsigned char*>(init_data.data()),
                       static_cast<int>(init_data.size()), out.data(), &out_length,
                       &clean, error)) {
    *error = "cannot decipher: " + *error;
    return false;
  }
  if (!clean) {
    *error = "does not decipher (bad padding): wrong key or damaged file";
    return false;
  }
  return Koi8rToUtf8(
      std::string_view(reinterpret_cast<const char*>(out.data()), out_length), source,
      error);
}

}  // namespace qsn
