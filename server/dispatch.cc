// One request on the interpreter. The command is looked up before its
// argument list is touched: a request for no proc costs nothing however
// large its arguments.
#include "server/dispatch.h"

#include <memory>
#include <string>

#include "base/owners.h"
#include "server/reply_list.h"
#include "server/tcl_text.h"

namespace {

// Each element of an argument list becomes a Tcl object, and the
// interpreter's allocator keeps that memory for good: one call may take at
// most this many arguments.
constexpr int kMaxArguments = 10000;

// The array Tcl_SplitList allocates.
struct TclFree {
  void operator()(const char** parts) const { Tcl_Free(reinterpret_cast<char*>(parts)); }
};
using SplitParts = std::unique_ptr<const char*, TclFree>;

// "::rpc::" followed by the command's name, as a fresh object.
Tcl_Obj* RpcName(const std::string& command) {
  Tcl_Obj* name = Tcl_NewStringObj("::rpc::", -1);
  qsn::ObjRef tail(FromUtf8(command));
  Tcl_AppendObjToObj(name, tail.get());
  return name;
}

// Only procs defined directly in ::rpc can be called: no "::" to leave the
// namespace, no glob characters for `info procs` to expand.
bool IsRpcProc(Tcl_Interp* interp, const std::string& name) {
  if (name.empty() || name.find("::") != std::string::npos ||
      name.find_first_of("*?[]\\") != std::string::npos)
    return false;
  qsn::ObjRef info(Tcl_NewStringObj("info", -1)), procs(Tcl_NewStringObj("procs", -1)),
      pattern(RpcName(name));
  Tcl_Obj* words[] = {info.get(), procs.get(), pattern.get()};
  bool found = Tcl_EvalObjv(interp, 3, words, TCL_EVAL_GLOBAL) == TCL_OK &&
               Tcl_GetCharLength(Tcl_GetObjResult(interp)) > 0;
  Tcl_ResetResult(interp);
  return found;
}

// At least the number of elements a list holds, counted without building
// anything: elements are separated by blanks, so there are no more of them
// than runs of other bytes.
size_t MostElements(const std::string& text) {
  size_t runs = 0;
  bool in_run = false;
  for (unsigned char c : text) {
    bool blank = c <= ' ';
    if (!blank && !in_run) ++runs;
    in_run = !blank;
  }
  return runs;
}

// The elements of the request's argument list, or false with the error
// reply made. Only a list that may be too long is counted exactly, with
// memory that is freed at once.
bool SplitArguments(Tcl_Interp* interp, const AppRequest& request, Tcl_Obj* arglist,
                    int* argc, Tcl_Obj*** argv, AppReply* reply) {
  int count = 0;
  const char** parts = nullptr;
  if (MostElements(request.arglist) > kMaxArguments &&
      Tcl_SplitList(interp, Tcl_GetString(arglist), &count, &parts) == TCL_OK) {
    SplitParts owner(parts);
    if (count > kMaxArguments) {
      reply->body = ProtocolErrorReply(
          "arglist has " + std::to_string(count) + " elements, more than the " +
          std::to_string(kMaxArguments) + " a call may take");
      return false;
    }
  }
  if (Tcl_ListObjGetElements(interp, arglist, argc, argv) != TCL_OK) {
    reply->body = ProtocolErrorReply("arglist is not a Tcl list: " +
                                     std::string(Tcl_GetStringResult(interp)));
    return false;
  }
  return true;
}

// Runs ::rpc::<command> with the arguments and makes the reply list.
void CallProc(Tcl_Interp* interp, const RequestContext& context, int argc, Tcl_Obj** argv,
              int call_timeout, AppReply* reply) {
  // The words are held by a list only this function knows of, so nothing
  // the call does can change them under it.
  qsn::ObjRef words(Tcl_NewListObj(argc, argv));
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
  if (!context.raw) reply->body = CallReply(interp, code, context.changeurl);
}

}  // namespace

AppReply Dispatch(Tcl_Interp* interp, RequestContext* context, const AppRequest& request,
                  int call_timeout) {
  AppReply reply;
  ServingRequest serving(context, request, &reply);
  if (!request.protocol_error.empty()) {
    reply.body = ProtocolErrorReply(request.protocol_error);
  } else if (!IsRpcProc(interp, request.command)) {
    reply.body = ProtocolErrorReply("unknown command \"" + request.command + "\"");
  } else {
    qsn::ObjRef arglist(FromUtf8(request.arglist));
    int argc;
    Tcl_Obj** argv;
    if (SplitArguments(interp, request, arglist.get(), &argc, &argv, &reply))
      CallProc(interp, *context, argc, argv, call_timeout, &reply);
  }
  Tcl_ResetResult(interp);
  return reply;
}
