// The script command configureQSNsession: a session's options, read and
// set the way Tcl's `chan configure` reads and sets a channel's.
#pragma once

#include <tcl.h>

namespace qsn {

// configureQSNsession sessionId ?option value ...?
// Alone, a dict of every option and its value; with one option, its value;
// with pairs, sets them all or, when one is refused, none.
int ConfigureCmd(ClientData, Tcl_Interp* interp, int objc,
                 Tcl_Obj* const objv[]) noexcept;

}  // namespace qsn
