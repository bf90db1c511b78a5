// Driving a session's transfer with libcurl's multi interface.
#pragma once

#include <tcl.h>

#include <cstddef>

#include "session/session.h"

// libcurl's write callback: appends the bytes to the Tcl_DString `buffer`
// and takes them all.
size_t WriteToResponse(char* data, size_t size, size_t count, void* buffer) noexcept;

// Drives the session's multi handle until no transfer runs on it, waiting
// in select for at most one second at a time (less when libcurl's own timer
// is due sooner). A failing select ends the wait early, with its message in
// the interpreter's result. Records how the transfer ended in the session.
void DrainTransfer(Session* session, Tcl_Interp* interp);
