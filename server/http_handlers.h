// What the server does with each HTTP request: the checks before the body
// is read, the reading of the form, the hand-over to the application, the
// refusals and the request log.
#pragma once

#include <httplib.h>

#include <cstddef>

#include "server/stop_flag.h"
#include "server/tcl_app.h"

// Installs the handlers, the error handler and the request log on `server`;
// bodies over `max_body` bytes are refused, requests go to `app`. `app` and
// `stop` must outlive the server.
void InstallHandlers(httplib::Server& server, size_t max_body, TclApp& app,
                     StopFlag& stop);
