// The sessions of an interpreter: the table kept with it, the commands that
// open and close sessions, and the drain of no-wait requests at the end.
// Deleting the interpreter closes its sessions.
#pragma once

#include <tcl.h>

#include <functional>

#include "session/session.h"

namespace qsn {

// Creates the interpreter's session table and installs createQSNsession,
// requestQSN, sendQSN, closeQSNsession and configureQSNsession, and the
// event source that drives their transfers while the application waits
// for events.
void RegisterSessionCommands(Tcl_Interp* interp);

// The interpreter's live session named by the word `id`; or null, with
// "Wrong session id" as the result and errorCode QSN USAGE.
Session* FindSession(Tcl_Interp* interp, Tcl_Obj* id);

// Calls `visit` with each of the interpreter's live sessions, in no order.
// `visit` must not open or close sessions.
void ForEachSession(Tcl_Interp* interp, const std::function<void(Session*)>& visit);

// Gives the no-wait transfers still running on the interpreter's sessions
// at most `budget_ms` milliseconds in all to complete, then leaves them: a
// notice that is a script's last act still reaches the server. Called when
// the script returns, and by Tcl's exit handlers when it calls `exit`.
void FinishPendingTransfers(Tcl_Interp* interp, int budget_ms);

// How long the host lets pending no-wait transfers run at its end.
constexpr int kPendingBudgetMs = 2000;

}  // namespace qsn
