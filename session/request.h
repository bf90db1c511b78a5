// The script command requestQSN: one request on a session, waited for or
// left running. A no-wait request returns an empty result at once, and its
// reply is dropped when the session's next request starts. What an ended
// request returns is shared with sendQSN.
#pragma once

#include <tcl.h>

#include "session/session.h"

namespace qsn {

// requestQSN sessionId command arglist ?nowait? ?statisticsCallback?
int RequestCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) noexcept;

// What a request returns once its transfer has ended on `session`: a
// transport error, "Сервер умер" on HTTP 404, a failing statistics
// callback, the parsed reply, or an empty result; the statistics are
// logged on the way. `callback` (may be null) is evaluated with
// `eval_flags`: in the caller's scope for requestQSN, at global level for
// sendQSN. The callback may close the session or send on it: what concludes
// the request is read from the session before it runs.
int RequestOutcome(Session* session, Tcl_Interp* interp, Tcl_Obj* callback,
                   int eval_flags);

}  // namespace qsn
