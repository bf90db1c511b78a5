// Errors no caller sees: an `after` script, a widget's command or a
// fileevent that fails goes to the interpreter's background error handler.
#pragma once

#include <tcl.h>

namespace qsn {

// Puts a handler in front of the one `interp` has now, which Tcl calls for
// every background error: it logs the error's errorInfo at level 1, then
// hands the error on. The handler it wraps is Tcl's own, which calls a
// `bgerror` command when there is one: Tk's dialog, or the script's own
// proc, even one defined later. A script that installs its own handler
// with `interp bgerror` replaces this one, and the log with it.
void InstallBackgroundErrorLog(Tcl_Interp* interp);

}  // namespace qsn
