// The script command `mputs`: a timestamped line in the log at level 3.
#pragma once

#include <tcl.h>

namespace qsn {

// mputs ?word ...?
int MputsCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) noexcept;

}  // namespace qsn
