// The Tcl thread: loads the application script, then serves the queued
// requests one at a time until the server stops.
#include "server/tcl_app.h"

#include <tcl.h>

#include <cstdio>

#include "base/owners.h"
#include "base/tcl_text.h"
#include "server/dispatch.h"
#include "server/qsn_commands.h"
#include "server/reply_list.h"

namespace qsn {

namespace {

// A reply list the client raises as an error.
AppReply Refused() {
  AppReply refused;
  refused.status = 503;
  refused.body = FixedErrorReply("the server is stopping");
  refused.error = true;
  return refused;
}

// While it lives, the thread's standard output channel is its standard
// error: the first line on the server's standard output is its address, a
// promise to whoever started it, and the lines after it are the request
// log. The interpreter must already know both channels.
class StdoutToStderr {
 public:
  StdoutToStderr() : stdout_(Tcl_GetStdChannel(TCL_STDOUT)) {
    Tcl_SetStdChannel(Tcl_GetStdChannel(TCL_STDERR), TCL_STDOUT);
  }
  ~StdoutToStderr() { Tcl_SetStdChannel(stdout_, TCL_STDOUT); }
  StdoutToStderr(const StdoutToStderr&) = delete;
  StdoutToStderr& operator=(const StdoutToStderr&) = delete;

 private:
  Tcl_Channel stdout_;
};

// The procs of ::rpc named as a global command: inside the namespace, the
// name now calls the proc, and the script's own calls of the command there
// break.
constexpr char kHidingProcs[] = R"(apply {{} {
    set hiding {}
    foreach proc [info procs ::rpc::*] {
        set name [namespace tail $proc]
        if {[namespace which -command ::$name] ne ""} { lappend hiding $name }
    }
    return $hiding
}})";

void WarnOfHidingProcs(Tcl_Interp* interp, const std::string& script) {
  if (Tcl_EvalEx(interp, kHidingProcs, -1, TCL_EVAL_GLOBAL) != TCL_OK) return;
  ObjRef names(Tcl_GetObjResult(interp));
  int count = 0;
  Tcl_Obj** name = nullptr;
  Tcl_ListObjGetElements(nullptr, names.get(), &count, &name);
  for (int i = 0; i < count; ++i) {
    std::string tail = ToUtf8(name[i]);
    std::fprintf(stderr,
                 "qsnserver: %s: warning: the proc ::rpc::%s hides the command %s: "
                 "in namespace rpc, %s calls the proc; write ::%s there for the "
                 "command, or name the proc otherwise\n",
                 script.c_str(), tail.c_str(), tail.c_str(), tail.c_str(), tail.c_str());
  }
  Tcl_ResetResult(interp);
}

// Sets the interpreter up and loads the script; its error trace in *error
// when it does not load.
bool Load(Tcl_Interp* interp, const std::string& script, RequestContext* context,
          std::string* error) {
  // Registers the standard channels with the interpreter as they are.
  Tcl_GetChannel(interp, "stdout", nullptr);
  StdoutToStderr load_output;
  if (Tcl_Init(interp) != TCL_OK) {
    *error = Tcl_GetStringResult(interp);
    return false;
  }
  RegisterQsnCommands(interp, context);
  if (Tcl_EvalFile(interp, script.c_str()) == TCL_OK) {
    WarnOfHidingProcs(interp, script);
    return true;
  }
  const char* info = Tcl_GetVar(interp, "errorInfo", TCL_GLOBAL_ONLY);
  *error = info ? info : Tcl_GetStringResult(interp);
  return false;
}

// A fresh interpreter with the script loaded, in *interp.
bool LoadApp(const std::string& script, RequestContext* context, Tcl_Interp** interp,
             std::string* error) {
  *interp = Tcl_CreateInterp();
  if (Load(*interp, script, context, error)) return true;
  Tcl_DeleteInterp(*interp);
  *interp = nullptr;
  return false;
}

}  // namespace

bool TclApp::Start(const char* argv0, AppSettings settings, std::string* error) {
  settings_ = std::move(settings);
  Tcl_FindExecutable(argv0);
  std::promise<bool> loaded;
  std::future<bool> result = loaded.get_future();
  thread_ = std::thread(&TclApp::Run, this, std::move(loaded), error);
  if (result.get()) return true;
  thread_.join();
  return false;
}

AppReply TclApp::Call(AppRequest request) {
  Job job{std::move(request), {}};
  std::future<AppReply> reply = job.reply.get_future();
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (stop_.requested()) return Refused();
    queue_.push_back(&job);
  }
  queue_ready_.notify_one();
  return reply.get();
}

void TclApp::RequestReload() {
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    reload_ = true;
  }
  queue_ready_.notify_all();
}

void TclApp::CancelCall() {
  WakeQueue();
  std::lock_guard<std::mutex> lock(interp_mutex_);
  if (live_interp_) Tcl_CancelEval(live_interp_, nullptr, nullptr, TCL_CANCEL_UNWIND);
}

void TclApp::End() {
  stop_.Request();
  WakeQueue();
  if (thread_.joinable()) thread_.join();
}

// The Tcl thread's whole life: the interpreter is made, used and deleted
// here. *load_error is written before `loaded` is set, and not after.
void TclApp::Run(std::promise<bool> loaded, std::string* load_error) {
  RequestContext context;
  InitTclText();
  Tcl_Interp* interp = nullptr;
  bool ok = LoadApp(settings_.script, &context, &interp, load_error);
  if (ok) SetLiveInterp(interp);
  loaded.set_value(ok);
  if (ok) {
    ServeJobs(&interp, &context);
    SetLiveInterp(nullptr);
    Tcl_DeleteInterp(interp);
  }
  FreeTclText();
  Tcl_FinalizeThread();
}

// Serves until the stop, then refuses what is still queued. A reload asked
// for comes before the next request.
void TclApp::ServeJobs(Tcl_Interp** interp, RequestContext* context) {
  for (;;) {
    Job* job;
    bool refuse;
    {
      std::unique_lock<std::mutex> lock(queue_mutex_);
      queue_ready_.wait(
          lock, [this] { return stop_.requested() || reload_ || !queue_.empty(); });
      bool reload = reload_ && !stop_.requested();
      reload_ = false;
      if (reload) {
        lock.unlock();
        Reload(interp, context);
        continue;
      }
      if (queue_.empty()) {
        if (stop_.requested()) return;
        continue;
      }
      job = queue_.front();
      queue_.pop_front();
      refuse = stop_.requested();
    }
    job->reply.set_value(refuse ? Refused()
                                : Dispatch(*interp, context, job->request, settings_));
  }
}

// Between two requests: the interpreter in service is replaced only by one
// whose script loaded.
void TclApp::Reload(Tcl_Interp** interp, RequestContext* context) {
  std::string error;
  Tcl_Interp* fresh = nullptr;
  if (!LoadApp(settings_.script, context, &fresh, &error)) {
    std::fprintf(stderr,
                 "qsnserver: %s: the reload failed; the script loaded before "
                 "serves on:\n%s\n",
                 settings_.script.c_str(), error.c_str());
    return;
  }
  SetLiveInterp(fresh);
  Tcl_DeleteInterp(*interp);
  *interp = fresh;
  std::fprintf(stderr, "qsnserver: %s: reloaded\n", settings_.script.c_str());
}

// The queue's waiter checks the stop under the queue's lock: taking the
// lock before the notification means it cannot miss a stop requested just
// after it looked.
void TclApp::WakeQueue() {
  { std::lock_guard<std::mutex> lock(queue_mutex_); }
  queue_ready_.notify_all();
}

void TclApp::SetLiveInterp(Tcl_Interp* interp) {
  std::lock_guard<std::mutex> lock(interp_mutex_);
  live_interp_ = interp;
}

}  // namespace qsn
