// Driving a session's transfer with libcurl's multi interface.
#pragma once

#include <tcl.h>

#include <cstddef>

#include "session/session.h"

// libcurl's write callback: appends the bytes to the Tcl_DString `buffer`
// and takes them all.
size_t WriteToResponse(char* data, size_t size, size_t count, void* buffer) noexcept;

// Lets libcurl do what it can on the session's transfer without waiting.
// Returns the number of transfers still running.
int PerformTransfer(Session* session);

// Drives the session's multi handle until no transfer runs on it, given
// what the last PerformTransfer returned, waiting in select for at most one
// second at a time (less when libcurl's own timer is due sooner). A failing
// select ends the wait early, with its message in the interpreter's result.
// Records how the transfer ended in the session.
void WaitTransfer(Session* session, Tcl_Interp* interp, int still_running);

// PerformTransfer, then WaitTransfer.
void DrainTransfer(Session* session, Tcl_Interp* interp);
