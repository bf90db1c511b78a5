// The host's life cycle: environment, log, interpreter with Tk, init script.
#pragma once

#include <tcl.h>

namespace qsn {

class StartupFailures;

// Runs the application script from init.dat in the working directory and
// returns 0 when it returns; a script that calls `exit N` ends the process
// with N instead.
int ClientMain(int argc, char** argv);

// Creates the interpreter with the globals argv, argc, argv0 and
// tcl_interactive set from the command line, its script library taken
// from the working folder only (host/script_library.h), and standard
// channels that discard what is written where the process has none. A
// library that fails to initialise goes to `failures` (when given); the
// interpreter is made all the same.
Tcl_Interp* CreateInterpreter(int argc, char** argv, StartupFailures* failures = nullptr);

// Installs the host's script commands, the `loglevel` link and the log of
// background errors.
void RegisterCommands(Tcl_Interp* interp);

}  // namespace qsn
