// The reply of the application server: a Tcl list of option/value pairs
// (-qsnreply, -error, -errormsg, -errorinfo, -changeurl).
#pragma once

#include <tcl.h>

#include <optional>
#include <string>

// Turns `body`, the reply as a Tcl string, into the result of requestQSN:
// the value of -qsnreply, or TCL_ERROR with -errormsg as the message and
// -errorinfo at the head of the error information (with neither, the message
// is empty). An -error that is not a boolean fails with Tcl's message about
// it. A reply that is a list of pairs leaves its -changeurl, the session's
// next path, in *changeurl whatever its outcome; otherwise *changeurl is
// left empty. Touches no session: the caller knows whether it is still open.
// When `malformed` is given, it tells whether the body failed as a reply (no
// list, an odd number of elements, an -error that is no boolean) rather than
// being one, an error reply included.
int ParseReply(Tcl_Interp* interp, const char* body,
               std::optional<std::string>* changeurl, bool* malformed = nullptr);
