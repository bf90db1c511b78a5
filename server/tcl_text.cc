// Conversions between wire bytes and Tcl strings.
#include "server/tcl_text.h"

#include "base/owners.h"

namespace qsn {

namespace {
Tcl_Encoding utf8 = nullptr;
}

void InitTclText() { utf8 = Tcl_GetEncoding(nullptr, "utf-8"); }

void FreeTclText() {
  Tcl_FreeEncoding(utf8);
  utf8 = nullptr;
}

Tcl_Obj* FromUtf8(const std::string& bytes) {
  DString ds;
  Tcl_ExternalToUtfDString(utf8, bytes.data(), static_cast<int>(bytes.size()), ds.get());
  return Tcl_NewStringObj(ds.value(), ds.length());
}

std::string ToUtf8(Tcl_Obj* obj) {
  int length;
  const char* text = Tcl_GetStringFromObj(obj, &length);
  DString ds;
  Tcl_UtfToExternalDString(utf8, text, length, ds.get());
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
