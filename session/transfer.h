// Driving a session's transfer with libcurl's multi interface.
#pragma once

#include <curl/curl.h>
#include <tcl.h>

#include "session/session.h"

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

// One step of a transfer left running: waits at most `wait_ms` for libcurl's
// sockets, lets it do what it can, and records in the session when the
// transfer has ended.
CURLMcode StepTransfer(Session* session, int wait_ms);

// PerformTransfer, then WaitTransfer.
CURLMcode DrainTransfer(Session* session);
