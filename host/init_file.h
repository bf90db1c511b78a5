// Reading the application script from BASE.dat in the working directory.
#pragma once

#include <tcl.h>

// Initialises `out` and fills it with the deciphered script converted from
// KOI8-R to UTF-8, or leaves it empty: no file ("Init file not found" in the
// log), an empty file, a text that begins with NUL, no "koi8-r" encoding, or
// no Blowfish cipher at all. A file that fails to decipher cleanly still
// gives the text of the blocks that did: the interpreter judges it.
void LoadInitScript(Tcl_Interp* interp, const char* base_name, Tcl_DString* out);
