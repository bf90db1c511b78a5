// One request on the interpreter. The command is looked up before its
// argument list is touched: a request for no proc costs nothing however
// large its arguments.
#include "server/dispatch.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "base/owners.h"
#include "base/tcl_text.h"
#include "server/list_length.h"
#include "server/reply_list.h"
#include "server/text_checks.h"

namespace qsn {

namespace {

// "::rpc::" followed by the command's name, as a fresh object.
Tcl_Obj* RpcName(const std::string& command) {
  Tcl_Obj* name = Tcl_NewStringObj("::rpc::", -1);
  ObjRef tail(FromUtf8(command));
  Tcl_AppendObjToObj(name, tail.get());
  return name;
}

// Only procs defined directly in ::rpc can be called: no "::" to leave the
// namespace, no glob characters for `info procs` to expand, and the proc
// found must have the very name asked for (Tcl reads ":::hello" as
// "::hello").
bool IsRpcProc(Tcl_Interp* interp, const std::string& name) {
  if (name.empty() || name.find("::") != std::string::npos ||
      name.find_first_of("*?[]\\") != std::string::npos)
    return false;
  ObjRef info(Tcl_NewStringObj("info", -1)), procs(Tcl_NewStringObj("procs", -1)),
      pattern(RpcName(name));
  Tcl_Obj* words[] = {info.get(), procs.get(), pattern.get()};
  int count = 0;
  Tcl_Obj** found = nullptr;
  bool is_proc = Tcl_EvalObjv(interp, 3, words, TCL_EVAL_GLOBAL) == TCL_OK &&
                 Tcl_ListObjGetElements(nullptr, Tcl_GetObjResult(interp), &count,
                                        &found) == TCL_OK &&
                 count == 1 &&
                 std::strcmp(Tcl_GetString(found[0]), Tcl_GetString(pattern.get())) == 0;
  Tcl_ResetResult(interp);
  return is_proc;
}

// Each element of an argument list becomes a Tcl object, and the
// interpreter's allocator keeps that memory for good: a list is counted
// before any is made, and one that holds more than the settings allow is
// refused, with the reason in *error.
bool WithinArgumentLimit(const std::string& arglist, const AppSettings& settings,
                         std::string* error) {
  size_t most = static_cast<size_t>(settings.max_arguments);
  if (ListLength(arglist, most) <= most) return true;
  *error =
      "arglist has more than the " + std::to_string(most) + " elements a call may take";
  return false;
}

// The elements of the argument list; the refusal's reason in *error.
bool SplitArguments(Tcl_Interp* interp, Tcl_Obj* arglist, int* argc, Tcl_Obj*** argv,
                    std::string* error) {
  if (Tcl_ListObjGetElements(interp, arglist, argc, argv) != TCL_OK) {
    *error = "arglist is not a Tcl list: " + std::string(Tcl_GetStringResult(interp));
    return false;
  }
  return true;
}

// For --trace: an error reply told on standard error, with the call's
// trace when it has one. The trace holds what the request carried.
void TraceError(const AppRequest& request, const std::string& what) {
  std::fprintf(stderr, "qsnserver: error reply to \"%s\" on %s:\n%s\n",
               Printable(request.command, false).c_str(),
               Printable(request.path, false).c_str(), Printable(what, true).c_str());
}

// Runs ::rpc::<command> with the arguments and makes the reply list.
void CallProc(Tcl_Interp* interp, const RequestContext& context, int argc, Tcl_Obj** argv,
              const AppSettings& settings, AppReply* reply) {
  int call_timeout = settings.call_timeout;
  // The words are held by a list only this function knows of, so nothing
  // the call does can change them under it.
  ObjRef words(Tcl_NewListObj(argc, argv));
  Tcl_Obj* name = RpcName(context.request->command);
  Tcl_ListObjReplace(nullptr, words.get(), 0, 0, 1, &name);
  int count;
  Tcl_Obj** objv;
  Tcl_ListObjGetElements(nullptr, words.get(), &count, &objv);
  // A proc that never returns (an endless loop, a vwait nothing ends)
  // would hold every later request; its time limit turns it into an
  // error reply.
  if (call_timeout > 0) {
    Tcl_Time limit;
    Tcl_GetTime(&limit);
    limit.sec += call_timeout;
    Tcl_LimitSetTime(interp, &limit);
    Tcl_LimitTypeSet(interp, TCL_LIMIT_TIME);
  }
  int code = Tcl_EvalObjv(interp, count, objv, TCL_EVAL_GLOBAL);
  if (call_timeout > 0) Tcl_LimitTypeReset(interp, TCL_LIMIT_TIME);

  // An application that answered for itself has its reply made.
  if (context.raw) return;
  reply->body = CallReply(interp, code, context.changeurl);
  reply->error = code != TCL_OK && code != TCL_RETURN;
  if (reply->error && settings.trace) {
    Tcl_Obj* info = Tcl_GetVar2Ex(interp, "errorInfo", nullptr, TCL_GLOBAL_ONLY);
    TraceError(*context.request,
               ToUtf8(code == TCL_ERROR && info ? info : Tcl_GetObjResult(interp)));
  }
}

// An error reply for a request the application never saw.
void RefuseRequest(const AppRequest& request, const std::string& message,
                   const AppSettings& settings, AppReply* reply) {
  reply->body = ProtocolErrorReply(message);
  reply->error = true;
  if (settings.trace) TraceError(request, message);
}

}  // namespace

AppReply Dispatch(Tcl_Interp* interp, RequestContext* context, const AppRequest& request,
                  const AppSettings& settings) {
  AppReply reply;
  ServingRequest serving(context, request, &reply);
  std::string refusal;
  if (!request.protocol_error.empty()) {
    RefuseRequest(request, request.protocol_error, settings, &reply);
  } else if (!IsRpcProc(interp, request.command)) {
    RefuseRequest(request, "unknown command \"" + request.command + "\"", settings,
                  &reply);
  } else if (!WithinArgumentLimit(request.arglist, settings, &refusal)) {
    RefuseRequest(request, refusal, settings, &reply);
  } else {
    ObjRef arglist(FromUtf8(request.arglist));
    int argc;
    Tcl_Obj** argv;
    if (SplitArguments(interp, arglist.get(), &argc, &argv, &refusal))
      CallProc(interp, *context, argc, argv, settings, &reply);
    else
      RefuseRequest(request, refusal, settings, &reply);
  }
  Tcl_ResetResult(interp);
  return reply;
}

}  // namespace qsn
