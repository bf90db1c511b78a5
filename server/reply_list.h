// The reply lists the server sends back, as UTF-8 bytes. They are made with
// Tcl's own list routines, so that a client splitting a reply as a list
// gets back exactly the values the application gave.
#pragma once

#include <tcl.h>

#include <optional>
#include <string>
#include <string_view>

namespace qsn {

// For a call that ended with `code`, its value or error message being the
// interpreter's result: -qsnreply VALUE, or -error 1 -errormsg MESSAGE
// -errorinfo TRACE; with -changeurl PATH when `changeurl` holds one.
std::string CallReply(Tcl_Interp* interp, int code,
                      const std::optional<std::string>& changeurl);

// -error 1 -errormsg MESSAGE, for a request the server could not run.
std::string ProtocolErrorReply(const std::string& message);

// The same for the server's fixed refusals, made without Tcl, on any
// thread: `message` holds no braces or backslashes, so braces around it
// make one list element.
std::string FixedErrorReply(std::string_view message);

}  // namespace qsn
