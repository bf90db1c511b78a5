// The background error handler that logs before the usual handling.
#include "host/background_error.h"

#include <initializer_list>

#include "base/owners.h"
#include "log/log.h"

namespace qsn {
namespace {

constexpr char kHandler[] = "::qsnclient::bgerror";

// ::qsnclient::bgerror previous message options
// Tcl calls the handler with the message and the return options appended;
// `previous` is the command prefix that handled background errors before.
int LogBackgroundErrorCmd(ClientData, Tcl_Interp* interp, int objc,
                          Tcl_Obj* const objv[]) noexcept {
  if (objc != 4) {
    Tcl_WrongNumArgs(interp, 1, objv, "previous message options");
    return TCL_ERROR;
  }
  ObjRef key(Tcl_NewStringObj("-errorinfo", -1));
  Tcl_Obj* info = nullptr;
  if (Tcl_DictObjGet(nullptr, objv[3], key.get(), &info) != TCL_OK || !info)
    info = objv[2];
  LogPrintf(1, "%s\n", Tcl_GetString(info));

  ObjRef command(Tcl_DuplicateObj(objv[1]));
  if (Tcl_ListObjAppendElement(interp, command.get(), objv[2]) != TCL_OK ||
      Tcl_ListObjAppendElement(interp, command.get(), objv[3]) != TCL_OK)
    return TCL_ERROR;
  // The break of Tk's "skip messages" passes through as it is.
  return Tcl_EvalObjEx(interp, command.get(), TCL_EVAL_GLOBAL);
}

// interp bgerror {} ?handler?
int InterpBgerror(Tcl_Interp* interp, Tcl_Obj* handler) {
  // A pure list is evaluated word by word, never parsed again.
  ObjRef command(Tcl_NewListObj(0, nullptr));
  for (const char* word : {"interp", "bgerror", ""})
    Tcl_ListObjAppendElement(nullptr, command.get(), Tcl_NewStringObj(word, -1));
  if (handler) Tcl_ListObjAppendElement(nullptr, command.get(), handler);
  return Tcl_EvalObjEx(interp, command.get(), TCL_EVAL_GLOBAL);
}

}  // namespace

void InstallBackgroundErrorLog(Tcl_Interp* interp) {
  Tcl_CreateObjCommand(interp, kHandler, LogBackgroundErrorCmd, nullptr, nullptr);
  if (InterpBgerror(interp, nullptr) != TCL_OK) return;
  ObjRef previous(Tcl_GetObjResult(interp));
  Tcl_Obj* parts[] = {Tcl_NewStringObj(kHandler, -1), previous.get()};
  InterpBgerror(interp, Tcl_NewListObj(2, parts));
  Tcl_ResetResult(interp);
}

}  // namespace qsn
