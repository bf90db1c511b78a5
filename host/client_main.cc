// Start-up, read top to bottom: environment, log, interpreter, Tk, script.
#include "host/client_main.h"

#include <tk.h>

#include <clocale>
#include <string>

#include "base/owners.h"
#include "base/platform.h"
#include "host/background_error.h"
#include "host/init_file.h"
#include "host/script_library.h"
#include "host/standard_channels.h"
#include "host/startup_failure.h"
#include "log/log.h"
#include "log/log_level.h"
#include "log/mputs.h"
#include "session/session_table.h"

namespace qsn {
namespace {

// Loads init.dat and runs it; what fails goes to `failures`.
void RunInitScript(Tcl_Interp* interp, StartupFailures* failures) {
  DString script;
  std::string error;
  if (!LoadInitScript(interp, "init", script.get(), &error)) {
    failures->Report(error + "\n");
    return;
  }
  if (script.length() == 0) return;
  RegisterCommands(interp);
  if (Tcl_EvalEx(interp, script.value(), script.length(), 0) == TCL_ERROR) {
    const char* info =
        Tcl_GetVar(interp, "errorInfo", TCL_GLOBAL_ONLY | TCL_LEAVE_ERR_MSG);
    failures->Report(std::string(info ? info : "") + "\n");
  }
  // A no-wait notice may be the script's last act.
  FinishPendingTransfers(interp, kPendingBudgetMs);
}

}  // namespace

int ClientMain(int argc, char** argv) {
  // Before Tcl is first called: it reads TCL_LIBRARY once, for its
  // encodings.
  SetEnvironment("TCL_LIBRARY", WorkingTclLibrary().c_str());
  std::setlocale(LC_CTYPE, "");

  OpenLog();
  StartupFailures failures;
  std::string error;
  if (!CheckScriptLibrary(&error)) {
    failures.Report(error + "\n");
  } else {
    Tcl_Interp* interp = CreateInterpreter(argc, argv, &failures);
    // Without a display Tk fails; the script still runs, and whatever it
    // needs from Tk fails inside it, so the log and the console say why.
    if (Tk_Init(interp) != TCL_OK)
      failures.Report(std::string("Tk_Init: ") + Tcl_GetStringResult(interp) + "\n");
    RunInitScript(interp, &failures);
  }
  failures.Show();
  CloseLog();
  return 0;
}

Tcl_Interp* CreateInterpreter(int argc, char** argv, StartupFailures* failures) {
  // execve may hand over an empty vector; the program name is then unknown.
  const char* argv0 = argc > 0 && argv[0] ? argv[0] : "";
  Tcl_FindExecutable(argc > 0 ? argv[0] : nullptr);
  ProvideStandardChannels();
  Tcl_Interp* interp = Tcl_CreateInterp();
  ScriptLibrary library = ChooseTclLibrary(interp);
  // A broken script library: the script still runs, and fails on what it
  // needs from the library, so the log and the console say why.
  if (Tcl_Init(interp) != TCL_OK) {
    std::string message = std::string("Tcl_Init: ") + Tcl_GetStringResult(interp) + "\n";
    if (failures)
      failures->Report(message);
    else
      LogFailure("%s", message.c_str());
  }
  ConfineScriptLibrary(interp, library);

  char* merged = Tcl_Merge(argc > 1 ? argc - 1 : 0, argv + (argc > 0 ? 1 : 0));
  DString arg_str;
  Tcl_ExternalToUtfDString(nullptr, merged, -1, arg_str.get());
  Tcl_SetVar(interp, "argv", arg_str.value(), TCL_GLOBAL_ONLY);
  Tcl_Free(merged);

  // The count of words including the program name; Tk_Init recounts it
  // after taking its own options out of argv.
  Tcl_SetVar2Ex(interp, "argc", nullptr, Tcl_NewIntObj(argc), TCL_GLOBAL_ONLY);
  Tcl_SetVar(interp, "argv0", argv0, TCL_GLOBAL_ONLY);
  Tcl_SetVar(interp, "tcl_interactive", "0", TCL_GLOBAL_ONLY);
  return interp;
}

void RegisterCommands(Tcl_Interp* interp) {
  RegisterSessionCommands(interp);
  Tcl_CreateObjCommand(interp, "mputs", MputsCmd, nullptr, nullptr);
  LinkLogLevel(interp);
  InstallBackgroundErrorLog(interp);
}

}  // namespace qsn
