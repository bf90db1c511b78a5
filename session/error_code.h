// What a failing session command leaves the script: its message as the
// result, and an errorCode that starts with QSN, so that a script can tell
// the kinds of failure apart without reading their messages, which stay as
// they were. The words, and what each means,
// are in session/texts.h with the other texts scripts rely on.
#pragma once

#include <curl/curl.h>
#include <tcl.h>

namespace qsn {

// Sets the result to the text, copied.
void SetResult(Tcl_Interp* interp, const char* text);

// Sets errorCode to QSN and `kind`, and `detail` when it is not null.
void SetQsnErrorCode(Tcl_Interp* interp, const char* kind, const char* detail = nullptr);

// QSN HTTP <status>.
void SetHttpErrorCode(Tcl_Interp* interp, long status);

// The name of libcurl's code as its header spells it ("CURLE_COULDNT_CONNECT"),
// or "CURLE_" and the number for a code this build does not know.
const char* CurlCodeName(CURLcode code);
const char* CurlMultiCodeName(CURLMcode code);

}  // namespace qsn
