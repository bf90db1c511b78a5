// The script variable `loglevel`, tied both ways to the log's threshold.
#pragma once

#include <tcl.h>

namespace qsn {

// Creates the global variable `loglevel` in `interp`. Reading it gives
// LogLevel as it is now; setting it to an integer in any form Tcl reads as
// one ("5", " 5 ", "0x10", "-1") changes LogLevel at once, and the variable
// then reads back as the plain number. Any other value, an integer past
// what an int holds among them, is refused with
// "variable must have integer value", and the level and the variable stay
// as they were. Unset, the variable comes back at once.
void LinkLogLevel(Tcl_Interp* interp);

}  // namespace qsn
