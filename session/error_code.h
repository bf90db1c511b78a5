// The errorCode of a failing session command: a list that starts with QSN,
// so that a script can tell the kinds of failure apart without reading
// their messages, which stay as they were.
//   QSN SERVER                the reply's -error is true
//   QSN HTTP <status>         HTTP 404, or another status other than 2xx
//                             whose body is no reply
//   QSN REPLY                 a body that is not a well-formed reply
//   QSN TRANSPORT <name>      the transfer did not complete; <name> is
//                             libcurl's, such as CURLE_COULDNT_CONNECT
//   QSN LIMIT                 a reply over what the host takes
//   QSN USAGE                 wrong arguments, an unknown session id
// These words are a contract with scripts: tests/script/errors.test pins them.
#pragma once

#include <curl/curl.h>
#include <tcl.h>

namespace qsn {

// Sets errorCode to QSN and `kind`, and `detail` when it is not null.
void SetQsnErrorCode(Tcl_Interp* interp, const char* kind, const char* detail = nullptr);

// QSN HTTP <status>.
void SetHttpErrorCode(Tcl_Interp* interp, long status);

// The name of libcurl's code as its header spells it ("CURLE_COULDNT_CONNECT"),
// or "CURLE_" and the number for a code this build does not know.
const char* CurlCodeName(CURLcode code);
const char* CurlMultiCodeName(CURLMcode code);

}  // namespace qsn
