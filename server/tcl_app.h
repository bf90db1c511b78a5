// The application script and the one thread its interpreter lives on. HTTP
// worker threads hand requests over and wait for the reply; the interpreter
// itself is never touched by any other thread.
#pragma once

#include <string>

#include "server/app_call.h"

// Starts the Tcl thread and loads `script` there. A call running longer
// than `call_timeout` seconds (0: no limit) ends in an error reply. Returns
// false with the script's error trace in *error when it does not load.
bool StartTclApp(const char* argv0, const std::string& script, int call_timeout,
                 std::string* error);

// Runs one request on the Tcl thread and waits for its reply. Safe to call
// from any number of threads at once; requests run one at a time.
AppReply CallTclApp(AppRequest request);

// Stops taking requests: the call running now is cancelled, those still
// waiting are answered with HTTP 503. Safe to call from any thread.
void CancelTclApp();

// Ends the Tcl thread, refusing requests still waiting, and waits for it.
void StopTclApp();
