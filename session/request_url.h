// The URL a request goes to: the session's base URL joined with the path
// the server assigned last.
#pragma once

#include <string>

#include "base/owners.h"

namespace qsn {

// Puts into `out`, emptied first, `base` and then `path`, with exactly one
// "/" between them where either side brings one, and one added where
// neither does (so an empty path gives the base URL with a trailing "/").
void ComposeUrl(const DString& base, const char* path, int path_length, Tcl_DString* out);

// Sets *wire to the bytes libcurl is given for a URL or a proxy held as a
// Tcl string: its UTF-8, as the request's fields go out (a character past
// U+FFFF as four bytes, not two surrogates). False, with the reason in
// *error, when it holds a NUL, which would cut it short, or cannot be
// converted. `scratch` must be empty.
bool WireUrl(const DString& url, Tcl_DString* scratch, const char** wire,
             std::string* error);

// Whether libcurl can parse the URL that `base` joined with `path` makes,
// as it parses the URL of a request: a path with a blank, a line break or
// another control character makes one it refuses.
bool UsableUrl(const DString& base, const char* path, int path_length);

}  // namespace qsn
