// The reply of the application server: a Tcl list of option/value pairs
// (-qsnreply, -error, -errormsg, -errorinfo, -changeurl).
#pragma once

#include <tcl.h>

#include <cstddef>
#include <optional>
#include <string>

namespace qsn {

// What a reply body turned out to be.
enum class ReplyKind {
  kValue,        // no true -error: the result is -qsnreply's value, or untouched
  kNoOption,     // pairs without -qsnreply and without -error: result untouched
  kServerError,  // -error true
  kMalformed,    // no list, an odd number of elements, or an -error that is no
                 // boolean with no -qsnreply beside it
  kTooLarge,     // more elements than Tcl can split into one block
};

struct ReplyOutcome {
  ReplyKind kind = ReplyKind::kMalformed;
  // The reply's -changeurl, the session's next path, when the body is a list
  // of pairs that holds one, whatever its outcome.
  std::optional<std::string> changeurl;
};

// Turns `body`, the reply as a Tcl string of `length` bytes with no NUL
// before its end, into the result of requestQSN: the value of -qsnreply, or
// TCL_ERROR with -errormsg as the message and -errorinfo at the head of the
// error information (with neither, the message is empty). An -error that is
// not a boolean fails with Tcl's message about it, unless a -qsnreply is
// there to return (the oddity is then logged at level 1). Touches no session
// and sets no errorCode: the caller knows whether the session is still open
// and what the status makes of the outcome.
int ParseReply(Tcl_Interp* interp, const char* body, size_t length,
               ReplyOutcome* outcome);

}  // namespace qsn
