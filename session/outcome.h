// What a waited request returns once its transfer has ended: a transport
// error, "Сервер умер" on HTTP 404, a failing statistics callback, the
// parsed reply, or an empty result. Logs the statistics on the way, and
// sets errorCode on every failure of its own (session/error_code.h).
#pragma once

#include <tcl.h>

#include <ctime>
#include <string>

#include "session/session.h"

// `t1` is when the transfer started; `callback` the statistics command
// prefix, or null. Returns TCL_OK, TCL_ERROR, or whatever other code the
// callback returned.
int FinishWaitedRequest(Session* session, Tcl_Interp* interp, std::time_t t1,
                        Tcl_Obj* callback);

// A transfer that did not complete: logs `text` at level 1 as "errbuf=...",
// sets the result to `text`, a blank and `url`, and errorCode to QSN, `kind`
// and `detail` (may be null), frees what the response buffer holds, and
// returns TCL_ERROR.
int FailTransfer(Tcl_Interp* interp, const std::string& text, const char* url,
                 const char* kind, const char* detail);
