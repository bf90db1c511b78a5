// The Tcl thread: loads the application script, then runs one request at a
// time by calling the proc ::rpc::<command> with the elements of the
// argument list, and builds the reply list with Tcl's own list routines.
#include "server/tcl_app.h"

#include <tcl.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/owners.h"
#include "server/qsn_commands.h"
#include "server/reply_list.h"
#include "server/tcl_text.h"

namespace {

struct Job {
  AppRequest request;
  std::promise<AppReply> reply;
};

std::mutex queue_mutex;
std::condition_variable queue_ready;
std::deque<Job*> queue;
bool stopping = false;
std::thread tcl_thread;
int call_timeout_s = 0;

// The interpreter, for the one thing another thread may do to it: cancel
// the evaluation running in it when the server stops.
std::mutex interp_mutex;
Tcl_Interp* live_interp = nullptr;

// A fixed text in braces: a well-formed list the client raises as an error.
AppReply Refused() {
  AppReply refused;
  refused.status = 503;
  refused.body = "-error 1 -errormsg {the server is stopping}";
  return refused;
}

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
void Call(Tcl_Interp* interp, const RequestContext& context, int argc, Tcl_Obj** argv,
          AppReply* reply) {
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
  if (call_timeout_s > 0) {
    Tcl_Time limit;
    Tcl_GetTime(&limit);
    limit.sec += call_timeout_s;
    Tcl_LimitSetTime(interp, &limit);
    Tcl_LimitTypeSet(interp, TCL_LIMIT_TIME);
  }
  int code = Tcl_EvalObjv(interp, count, objv, TCL_EVAL_GLOBAL);
  if (call_timeout_s > 0) Tcl_LimitTypeReset(interp, TCL_LIMIT_TIME);

  // An application that answered for itself has its reply made.
  if (!context.raw) reply->body = CallReply(interp, code, context.changeurl);
}

// The command is looked up before its argument list is touched: a request
// for no proc costs nothing however large its arguments.
AppReply Dispatch(Tcl_Interp* interp, RequestContext* context,
                  const AppRequest& request) {
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
      Call(interp, *context, argc, argv, &reply);
  }
  Tcl_ResetResult(interp);
  return reply;
}

void TclThread(std::string script, std::promise<std::string> loaded) {
  RequestContext context;
  Tcl_Interp* interp = Tcl_CreateInterp();
  InitTclText();
  std::string error;
  if (Tcl_Init(interp) != TCL_OK) {
    error = Tcl_GetStringResult(interp);
  } else {
    RegisterQsnCommands(interp, &context);
    if (Tcl_EvalFile(interp, script.c_str()) != TCL_OK) {
      const char* info = Tcl_GetVar(interp, "errorInfo", TCL_GLOBAL_ONLY);
      error = info ? info : Tcl_GetStringResult(interp);
    }
  }
  bool ok = error.empty();
  if (ok) {
    std::lock_guard<std::mutex> lock(interp_mutex);
    live_interp = interp;
  }
  loaded.set_value(error);
  while (ok) {
    Job* job;
    bool refuse;
    {
      std::unique_lock<std::mutex> lock(queue_mutex);
      queue_ready.wait(lock, [] { return stopping || !queue.empty(); });
      if (queue.empty()) break;
      job = queue.front();
      queue.pop_front();
      refuse = stopping;
    }
    job->reply.set_value(refuse ? Refused() : Dispatch(interp, &context, job->request));
  }
  {
    std::lock_guard<std::mutex> lock(interp_mutex);
    live_interp = nullptr;
  }
  FreeTclText();
  Tcl_DeleteInterp(interp);
  Tcl_FinalizeThread();
}

}  // namespace

bool StartTclApp(const char* argv0, const std::string& script, int call_timeout,
                 std::string* error) {
  call_timeout_s = call_timeout;
  Tcl_FindExecutable(argv0);
  std::promise<std::string> loaded;
  std::future<std::string> result = loaded.get_future();
  tcl_thread = std::thread(TclThread, script, std::move(loaded));
  *error = result.get();
  if (!error->empty()) {
    tcl_thread.join();
    return false;
  }
  return true;
}

AppReply CallTclApp(AppRequest request) {
  Job job{std::move(request), {}};
  std::future<AppReply> reply = job.reply.get_future();
  {
    std::lock_guard<std::mutex> lock(queue_mutex);
    if (stopping) return Refused();
    queue.push_back(&job);
  }
  queue_ready.notify_one();
  return reply.get();
}

namespace {

void StopTakingRequests() {
  {
    std::lock_guard<std::mutex> lock(queue_mutex);
    stopping = true;
  }
  queue_ready.notify_all();
}

}  // namespace

void CancelTclApp() {
  StopTakingRequests();
  std::lock_guard<std::mutex> lock(interp_mutex);
  if (live_interp) Tcl_CancelEval(live_interp, nullptr, nullptr, TCL_CANCEL_UNWIND);
}

void StopTclApp() {
  StopTakingRequests();
  if (tcl_thread.joinable()) tcl_thread.join();
}
