// The event source that moves an interpreter's transfers on while the
// application waits for events (vwait, Tk's windows): sendQSN requests,
// and no-wait requests of requestQSN. It lives with the interpreter and
// goes away with it.
#pragma once

#include <tcl.h>

namespace qsn {

// While a transfer is in flight, Tcl's wait for events lasts at most this
// long, or less when libcurl's timer is due sooner; each wake-up lets
// libcurl work on every transfer. Tcl watches sockets on Unix only, so the
// source polls on every system. The figure weighs the delay a reply may
// wait before it is seen against the processor time a wait on a slow
// server costs (docs/PERFORMANCE.md).
constexpr long kPollMs = 5;

// Adds the event source to the calling thread for `interp`, whose session
// table must exist (RegisterSessionCommands); removed, with the events it
// queued, when the interpreter is deleted.
void InstallTransferSource(Tcl_Interp* interp);

}  // namespace qsn
