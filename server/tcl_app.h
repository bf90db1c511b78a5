// The application script and the one thread its interpreter lives on. HTTP
// worker threads hand requests over and wait for the reply; the interpreter
// itself is never touched by any other thread.
#pragma once

#include <string>

#include "server/app_call.h"

// Starts the Tcl thread and loads `script` there. Returns false with the
// script's error trace in *error when it does not load.
bool StartTclApp(const char* argv0, const std::string& script, std::string* error);

// Runs one request on the Tcl thread and waits for its reply. Safe to call
// from any number of threads at once; requests run one at a time.
AppReply CallTclApp(AppRequest request);

// Ends the Tcl thread after the requests already handed over.
void StopTclApp();
