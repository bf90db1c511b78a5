// Standard channels for a host started with none: from Explorer or a
// shortcut, a GUI program has no standard input, output or error, and Tcl
// then has no stdin, stdout or stderr: `puts hi` would fail with "can not
// find channel named "stdout"" and end the script.
#pragma once

namespace qsn {

// Gives Tcl, for each standard channel it cannot open, one that discards
// what is written and reads end of file at once. Call after
// Tcl_FindExecutable and before the first interpreter is created, which
// takes the standard channels it finds then.
void ProvideStandardChannels();

}  // namespace qsn
