// Text between the wire (UTF-8 bytes) and Tcl strings. Tcl keeps NUL and
// characters past the BMP in forms of its own, so both ways go through its
// encoding layer. Only for the Tcl thread.
#pragma once

#include <tcl.h>

#include <string>

namespace qsn {

// Looks the UTF-8 encoding up; call once on the Tcl thread before the rest.
void InitTclText();
void FreeTclText();

Tcl_Obj* FromUtf8(const std::string& bytes);
std::string ToUtf8(Tcl_Obj* obj);

// The bytes to send for a body: a byte array (from `binary format` or
// `encoding convertto`) as its bytes, any other value as UTF-8.
std::string BodyBytes(Tcl_Obj* obj);

}  // namespace qsn
