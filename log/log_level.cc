// `loglevel` through a variable trace rather than Tcl's integer link: the
// link also takes "", "+", "-", "0x" and the like (the beginnings of a
// number typed into an entry) and reads them back as they were written.
#include "log/log_level.h"

#include <climits>

#include "log/log.h"

namespace qsn {

namespace {

constexpr char kName[] = "loglevel";
constexpr char kNotAnInteger[] = "variable must have integer value";

void Publish(Tcl_Interp* interp) {
  Tcl_SetVar2Ex(interp, kName, nullptr, Tcl_NewIntObj(LogLevel), TCL_GLOBAL_ONLY);
}

// Tcl runs a variable's traces with its traces off, so Publish inside one
// does not come back here.
char* TraceLogLevel(ClientData, Tcl_Interp* interp, const char*, const char*,
                    int flags) noexcept {
  if (flags & TCL_TRACE_UNSETS) {
    if ((flags & TCL_TRACE_DESTROYED) && !Tcl_InterpDeleted(interp)) LinkLogLevel(interp);
    return nullptr;
  }
  if (flags & TCL_TRACE_WRITES) {
    Tcl_Obj* value = Tcl_GetVar2Ex(interp, kName, nullptr, TCL_GLOBAL_ONLY);
    // Tcl's int reader takes 2147483648 and wraps it to a level below 0,
    // which silences the log: the wide reader and a range check instead.
    Tcl_WideInt level;
    if (!value || Tcl_GetWideIntFromObj(nullptr, value, &level) != TCL_OK ||
        level < INT_MIN || level > INT_MAX) {
      Publish(interp);
      return const_cast<char*>(kNotAnInteger);
    }
    LogLevel = static_cast<int>(level);
  }
  // A read sees the level as the host holds it now; a write reads back as
  // the number it was taken for.
  Publish(interp);
  return nullptr;
}

}  // namespace

void LinkLogLevel(Tcl_Interp* interp) {
  Publish(interp);
  Tcl_TraceVar2(interp, kName, nullptr,
                TCL_GLOBAL_ONLY | TCL_TRACE_READS | TCL_TRACE_WRITES | TCL_TRACE_UNSETS,
                TraceLogLevel, nullptr);
}

}  // namespace qsn
