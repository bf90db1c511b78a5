// The conversions behind qsnpack: UTF-8 Tcl source to init.dat and back.
// Each returns false with a one-line reason in *error (no file name) when
// its input is unfit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "cipher/init_file_limit.h"

namespace qsn {

// The largest inputs: an init file the host loads, and a source that always
// packs into one (KOI8-R is never longer than the UTF-8 it comes from, and
// the cipher adds at most one block).
constexpr size_t kMaxInitData = kMaxInitDataSize;
constexpr size_t kMaxSource = kMaxInitDataSize - 8;

// The reason given for an input over `limit` bytes.
std::string TooLarge(size_t limit);

// Both conversions go through Tcl's own "koi8-r" encoding, the one the host
// reads init.dat with, so that packer and host agree on every byte by
// construction on every system (the systems' own converters need not share
// Tcl's table). Its table comes from the Tcl library's encoding folder:
// the system's Tcl on Linux, lib\tcl8.5 beside qsnpack.exe on Windows.

// UTF-8 to KOI8-R. Refuses invalid UTF-8, a NUL byte (the host ignores the
// rest of a script from it on) and a character with no KOI8-R form, naming
// the line and column (in characters, from 1). A leading byte-order mark is
// dropped.
bool Utf8ToKoi8r(std::string_view utf8, std::string* koi8, std::string* error);

// KOI8-R to UTF-8; every byte but NUL has a form.
bool Koi8rToUtf8(std::string_view koi8, std::string* utf8, std::string* error);

// Refuses a UTF-8 script the interpreter would take for unfinished (Tcl's
// own rule, as `info complete` applies it): a command whose brace,
// bracket, quote or parenthesis is never closed. The reason gives Tcl's
// words for what is missing and the line where that command starts.
// Other syntax errors pass: the interpreter reports them when it meets
// them, with their line.
bool CheckComplete(std::string_view source, std::string* error);

// The script of a development init file: it sources the UTF-8 script at
// `absolute_path` (UTF-8 too), written with escapes so that any path packs
// into KOI8-R. Refuses a path that is not valid UTF-8.
bool DevScript(std::string_view absolute_path, std::string* script, std::string* error);

// UTF-8 source to the bytes of init.dat, and back. Each refuses an input
// over its limit above; packing refuses an unfinished script too.
bool PackScript(std::string_view source, std::string* init_data, std::string* error);
bool UnpackScript(std::string_view init_data, std::string* source, std::string* error);

}  // namespace qsn
