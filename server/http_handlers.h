// What the server does with each HTTP request: the checks before the body
// is read, the reading of the form, the hand-over to the application, the
// refusals and the request log.
#pragma once

#include <httplib.h>

#include <cstddef>

// Installs the handlers, the error handler and the request log on `server`;
// bodies over `max_body` bytes are refused.
void InstallHandlers(httplib::Server& server, size_t max_body);

// The server is stopping: replies held back by qsn::delay go out at once.
void ReleaseDelayedReplies();
