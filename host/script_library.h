// Where the interpreter takes its script library from: Tcl's, Tk's, the
// packages' and modules' folders and the encodings. Only from the working
// folder's `lib` and, where the system's Tcl may serve
// (SystemTclLibraryMayServe), from that Tcl's own folders: never from the
// folders Tcl would otherwise search beside the program or above it, which
// on Windows any user may create (a pkgIndex.tcl there runs on the next
// `package require`).
#pragma once

#include <tcl.h>

#include <string>

namespace qsn {

// The working folder's Tcl library, lib/tcl8.5 (which holds the library of
// the Tcl the host is built with).
std::string WorkingTclLibrary();

// Whether the interpreter will have a Tcl library: the working folder's
// (lib/tcl8.5/init.tcl), with the table of the system's encoding
// (lib/tcl8.5/encoding) unless Tcl has that encoding built in, or the
// system's Tcl where it may serve. False with the reason, naming where it
// was looked for, in *error. Called before Tcl_FindExecutable.
bool CheckScriptLibrary(std::string* error);

// The libraries ChooseTclLibrary found.
struct ScriptLibrary {
  std::string tcl;     // the one Tcl_Init is to take
  std::string system;  // the system's, where it may serve; else empty
};

// Before Tcl_Init: makes the working folder's library the only one Tcl_Init
// tries, or, when the folder has none, the system's.
ScriptLibrary ChooseTclLibrary(Tcl_Interp* interp);

// After Tcl_Init, before Tk_Init: keeps of `auto_path`, the module path and
// the encoding folders only what lies in the working folder's lib or the
// system's Tcl folders (where it may serve), and names Tk's library beside
// Tcl's (lib/tk8.6) the same way: the working folder's when it has one.
void ConfineScriptLibrary(Tcl_Interp* interp, const ScriptLibrary& library);

}  // namespace qsn
