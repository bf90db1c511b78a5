// The script command requestQSN: one request on a session, waited for or
// left running. A no-wait request returns an empty result at once, and its
// reply is dropped when the session's next request starts.
#pragma once

#include <tcl.h>

namespace qsn {

// requestQSN sessionId command arglist ?nowait? ?statisticsCallback?
int RequestCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) noexcept;

}  // namespace qsn
