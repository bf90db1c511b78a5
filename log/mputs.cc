// mputs: each piece is its own LogPrintf call, so each is filtered, bounded,
// converted and flushed on its own.
#include "log/mputs.h"

#include "base/owners.h"
#include "log/log.h"

// mputs ?word ...?
int MputsCmd(ClientData, Tcl_Interp*, int objc, Tcl_Obj* const objv[]) noexcept {
  qsn::DString prefix;
  AppendTimestamp(prefix.get());
  LogPrintf(3, "[%s]:", prefix.value());
  for (int i = 1; i < objc; ++i) {
    if (i > 1) LogPrintf(3, " ");
    LogPrintf(3, "%s", Tcl_GetString(objv[i]));
  }
  LogPrintf(3, "\n");
  return TCL_OK;
}
