// Reading the application script from BASE.dat in the working directory, in
// its steps: read, decipher, convert.
#pragma once

#include <tcl.h>

#include <string>

namespace qsn {

// Reads the file `file_name` whole into *data. Only a regular file (or a
// link to one) of at most kMaxInitDataSize bytes is read: false with "Init
// file not found" in *error for anything else, or with why a read failed.
bool ReadInitFile(const std::string& file_name, std::string* data, std::string* error);

// Deciphers the init file's bytes into *text. A file
// that fails to decipher cleanly still gives the text of the blocks that
// did: the interpreter judges it. False with the reason in *error when
// OpenSSL cannot run the cipher.
bool DecipherInitData(const std::string& data, std::string* text, std::string* error);

// Converts the KOI8-R `text`, up to its first NUL, to UTF-8 into `out`
// (initialised here). False
// with the reason in *error when the interpreter has no "koi8-r" encoding.
bool ConvertInitScript(Tcl_Interp* interp, const std::string& text, Tcl_DString* out,
                       std::string* error);

// Initialises `out` and fills it with the script of BASE.dat: read,
// deciphered, converted. False with the reason in *error (for the log, the
// file named) when there is no script to run; an empty file is an empty
// script, no failure.
bool LoadInitScript(Tcl_Interp* interp, const char* base_name, Tcl_DString* out,
                    std::string* error);

}  // namespace qsn
