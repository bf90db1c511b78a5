// The reply of the application server: a Tcl list of option/value pairs
// (-qsnreply, -error, -errormsg, -errorinfo, -changeurl).
#pragma once

#include <tcl.h>

#include "session/session.h"

// Turns `body`, the reply as a Tcl string, into the result of requestQSN:
// the value of -qsnreply, or TCL_ERROR with -errormsg as the message and
// -errorinfo at the head of the error information (with neither, the message
// is empty). An -error that is not a boolean fails with Tcl's message about
// it. -changeurl becomes the session's path, unless `session` is null (it
// was closed meanwhile).
int ParseReply(Session* session, Tcl_Interp* interp, const char* body);
