// Driving a session's transfer with libcurl's multi interface.
#pragma once

#include <curl/curl.h>
#include <tcl.h>

#include <cstddef>

#include "session/session.h"

// The most a reply body may hold: 256 MiB. Well inside what a Tcl_DString
// can grow to (its doubling overflows an int past 1 GiB), and small enough
// that the buffer, the split reply and the result, all alive at once, still
// fit a 32-bit process.
constexpr size_t kResponseLimit = size_t{256} << 20;

// libcurl's write callback: appends the bytes to the Tcl_DString `buffer`.
// Refuses bytes that would take it past kResponseLimit, which makes libcurl
// end the transfer with CURLE_WRITE_ERROR.
size_t WriteToResponse(char* data, size_t size, size_t count, void* buffer) noexcept;

// Lets libcurl do what it can on the session's transfer without waiting,
// leaving the number of transfers still running in *still_running.
CURLMcode PerformTransfer(Session* session, int* still_running);

// Drives the session's multi handle until no transfer runs on it, given
// what the last PerformTransfer left in still_running, waiting for at most
// one second at a time (less when libcurl's own timer is due sooner). No
// events are processed meanwhile. Records how the transfer ended in the
// session. A failing multi call ends the wait early and is returned, the
// transfer still attached; otherwise CURLM_OK.
CURLMcode WaitTransfer(Session* session, int still_running);

// PerformTransfer, then WaitTransfer.
CURLMcode DrainTransfer(Session* session);
