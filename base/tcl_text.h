// Text between Tcl strings and the UTF-8 of the wire, for the client and
// the server alike, through one handle on Tcl's UTF-8 encoding. Tcl keeps NUL
// as the two bytes C0 80 and a character past U+FFFF as two three-byte
// surrogates; the wire carries UTF-8, where they are one 0x00 byte and four
// bytes.
//
// The client's two (ToWireText, FromWireText) convert only text that holds
// such a character (a reply also when it holds any byte of F0 or above):
// any other text, invalid UTF-8 included, passes byte for byte and is not
// copied, so a large reply is scanned, never copied. The server's
// (FromUtf8, ToUtf8, BodyBytes) always go through the encoding, as the
// server's applications have always seen their text. Only for the thread
// that runs Tcl.
#pragma once

#include <tcl.h>

#include <cstddef>
#include <string>

namespace qsn {

// Sets *wire and *wire_length to the UTF-8 bytes to send for the Tcl string
// `text` of `length` bytes: `text` itself, or the converted copy in
// `scratch`, which must be empty; the caller frees it. False, with the
// reason in *error, when the text needs converting and Tcl has no UTF-8
// encoding to give.
bool ToWireText(const char* text, int length, Tcl_DString* scratch, const char** wire,
                int* wire_length, std::string* error);

// Sets *text and *text_length to the Tcl string for the `length` bytes of a
// reply body, which a NUL byte must follow: `body` itself, or, when it holds
// a NUL byte or a byte of F0 or above, its conversion in `scratch`, which
// must be empty. Either way the text holds no NUL before its end. The
// conversion is made piece by piece, so a body of any size converts (a
// Tcl_DString stops growing safely at 1 GiB). False, with the reason in
// *error, when the body needs converting and Tcl has no UTF-8 encoding to
// give.
bool FromWireText(const char* body, size_t length, std::string* scratch,
                  const char** text, size_t* text_length, std::string* error);

// Looks up the UTF-8 encoding, if it has not been yet; a lookup that fails
// is made again by the next conversion. FreeTclText lets it go: the server
// does at its end, so a leak check sees Tcl's tables whole.
void InitTclText();
void FreeTclText();

// The server's: a Tcl string for UTF-8 bytes, and the UTF-8 of a Tcl value.
Tcl_Obj* FromUtf8(const std::string& bytes);
std::string ToUtf8(Tcl_Obj* obj);

// The bytes to send for a body: a byte array (from `binary format` or
// `encoding convertto`) as its bytes, any other value as UTF-8.
std::string BodyBytes(Tcl_Obj* obj);

}  // namespace qsn
