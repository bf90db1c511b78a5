// The event source that moves an interpreter's transfers on while the
// application waits for events (vwait, Tk's windows): sendQSN requests,
// and no-wait requests of requestQSN. It lives with the interpreter and
// goes away with it.
#pragma once

#include <tcl.h>

namespace qsn {

// While a transfer is in flight, Tcl's wait for events is cut short, or
// shorter when libcurl's timer is due sooner; each wake-up lets libcurl
// work on every transfer. Tcl watches sockets on Unix only, so the source
// polls on every system. The wait is an eighth of the time the transfer
// has run so far, from 1 ms (Windows waits in whole milliseconds) up to
// kMaxPollMs: a quick reply is seen within about a millisecond, so a
// session's queue of quick requests keeps pace with the server, and a
// long wait costs one look every kMaxPollMs. That figure weighs the delay
// a reply may wait before it is seen against the processor time a wait on
// a slow server costs (docs/PERFORMANCE.md).
constexpr long kMinPollUs = 1000;
constexpr long kMaxPollMs = 5;
constexpr long kPollShare = 8;

// Adds the event source to the calling thread for `interp`, whose session
// table must exist (RegisterSessionCommands); removed, with the events it
// queued, when the interpreter is deleted.
void InstallTransferSource(Tcl_Interp* interp);

}  // namespace qsn
