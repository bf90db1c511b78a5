// Conversions between Tcl strings and the UTF-8 of the wire: the client's,
// made only when a text needs one, so a large reply is scanned, never
// copied; the server's, always made.
#include "base/tcl_text.h"

#include <cstdint>
#include <cstring>

#include "base/owners.h"

namespace qsn {

namespace {

constexpr char kNoUtf8[] = "Tcl has no utf-8 encoding";

constexpr uint64_t kOnes = 0x0101010101010101;
constexpr uint64_t kHighs = 0x8080808080808080;

// Non-zero when a byte of `word` is zero.
uint64_t ZeroByte(uint64_t word) { return (word - kOnes) & ~word & kHighs; }

// Whether `marks` flags any eight-byte word of `text`: a 40 MB reply is
// scanned in milliseconds, and the exact checks that follow run only on the
// rare text that has such a byte. The last word is padded with a byte no
// mark flags.
template <typename Marks>
bool AnyWord(const unsigned char* text, size_t length, Marks marks) {
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t word;
    std::memcpy(&word, text + i, 8);
    if (marks(word)) return true;
  }
  uint64_t word = kOnes * 'a';
  std::memcpy(&word, text + i, length - i);
  return marks(word) != 0;
}

bool HoldsTclOnlyForm(const unsigned char* text, size_t length) {
  auto c0_or_ed = [](uint64_t word) {
    return ZeroByte(word ^ (kOnes * 0xC0)) | ZeroByte(word ^ (kOnes * 0xED));
  };
  if (!AnyWord(text, length, c0_or_ed)) return false;
  for (size_t i = 0; i + 1 < length; ++i) {
    // C0 80 is NUL; ED A0..BF opens a surrogate.
    if ((text[i] == 0xC0 && text[i + 1] == 0x80) ||
        (text[i] == 0xED && text[i + 1] >= 0xA0 && text[i + 1] <= 0xBF))
      return true;
  }
  return false;
}

// Whether the body holds a NUL or a byte of F0 or above: the lead of a
// four-byte sequence, cut or whole, or a byte UTF-8 never uses. Tcl 8.6's
// list parser writes past its buffer on a backslash followed by a cut
// four-byte sequence ("\\ F1 B5 B5"); converted, such bytes become the
// characters Tcl reads them as anyway, in forms the parser copes with.
bool HoldsNulOrHighByte(const unsigned char* body, size_t length) {
  // A byte of F0 or above has its four high bits set: shifted onto the top
  // bit of the same byte, they leave it set in all four copies.
  auto nul_or_f0 = [](uint64_t word) {
    return ZeroByte(word) | (word & (word << 1) & (word << 2) & (word << 3) & kHighs);
  };
  if (!AnyWord(body, length, nul_or_f0)) return false;
  for (size_t i = 0; i < length; ++i) {
    if (body[i] == 0 || body[i] >= 0xF0) return true;
  }
  return false;
}

// The one handle on the encoding, held until FreeTclText; the client never
// lets it go (Tcl keeps every encoding it has loaded anyway).
Tcl_Encoding utf8_handle = nullptr;

// Null when Tcl cannot give it; asked again next time. With no encoding
// Tcl would convert through the system's, which is not UTF-8 everywhere.
Tcl_Encoding Utf8() {
  if (!utf8_handle) utf8_handle = Tcl_GetEncoding(nullptr, "utf-8");
  return utf8_handle;
}

// Converts `length` bytes of UTF-8 into Tcl's form, appending to *out, in
// pieces that each fit an int. A piece that ends inside a sequence leaves
// the sequence's bytes to the next.
bool ConvertFromUtf8(Tcl_Encoding utf8, const char* src, size_t length,
                     std::string* out) {
  constexpr size_t kPiece = size_t{1} << 20;
  char chunk[65536];
  int flags = TCL_ENCODING_START;
  Tcl_EncodingState state = nullptr;
  while (length > 0) {
    size_t take = length < kPiece ? length : kPiece;
    int read = 0, wrote = 0;
    Tcl_ExternalToUtf(nullptr, utf8, src, static_cast<int>(take),
                      flags | (take == length ? TCL_ENCODING_END : 0), &state, chunk,
                      sizeof chunk, &read, &wrote, nullptr);
    if (read == 0 && wrote == 0) return false;
    out->append(chunk, wrote);
    src += read;
    length -= read;
    flags = 0;
  }
  return true;
}

}  // namespace

bool ToWireText(const char* text, int length, Tcl_DString* scratch, const char** wire,
                int* wire_length, std::string* error) {
  *wire = text;
  *wire_length = length;
  if (!HoldsTclOnlyForm(reinterpret_cast<const unsigned char*>(text), length))
    return true;
  Tcl_Encoding utf8 = Utf8();
  if (!utf8) {
    *error = kNoUtf8;
    return false;
  }
  Tcl_UtfToExternalDString(utf8, text, length, scratch);
  *wire = Tcl_DStringValue(scratch);
  *wire_length = Tcl_DStringLength(scratch);
  return true;
}

bool FromWireText(const char* body, size_t length, std::string* scratch,
                  const char** text, size_t* text_length, std::string* error) {
  *text = body;
  *text_length = length;
  if (!HoldsNulOrHighByte(reinterpret_cast<const unsigned char*>(body), length))
    return true;
  Tcl_Encoding utf8 = Utf8();
  if (!utf8 || !ConvertFromUtf8(utf8, body, length, scratch)) {
    *error = kNoUtf8;
    return false;
  }
  *text = scratch->c_str();
  *text_length = scratch->size();
  return true;
}

void InitTclText() { Utf8(); }

void FreeTclText() {
  if (utf8_handle) Tcl_FreeEncoding(utf8_handle);
  utf8_handle = nullptr;
}

Tcl_Obj* FromUtf8(const std::string& bytes) {
  DString ds;
  Tcl_ExternalToUtfDString(Utf8(), bytes.data(), static_cast<int>(bytes.size()),
                           ds.get());
  return Tcl_NewStringObj(ds.value(), ds.length());
}

std::string ToUtf8(Tcl_Obj* obj) {
  int length;
  const char* text = Tcl_GetStringFromObj(obj, &length);
  DString ds;
  Tcl_UtfToExternalDString(Utf8(), text, length, ds.get());
  return std::string(ds.value(), ds.length());
}

std::string BodyBytes(Tcl_Obj* obj) {
  static const Tcl_ObjType* byte_array = Tcl_GetObjType("bytearray");
  if (obj->typePtr == byte_array && byte_array) {
    int length;
    unsigned char* bytes = Tcl_GetByteArrayFromObj(obj, &length);
    return std::string(reinterpret_cast<char*>(bytes), length);
  }
  return ToUtf8(obj);
}

}  // namespace qsn
