// The Tcl thread: loads the application script, then serves the queued
// requests one at a time until the server stops.
#include "server/tcl_app.h"

#include <tcl.h>

#include "server/dispatch.h"
#include "server/qsn_commands.h"
#include "server/tcl_text.h"

namespace {

// A fixed text in braces: a well-formed list the client raises as an error.
AppReply Refused() {
  AppReply refused;
  refused.status = 503;
  refused.body = "-error 1 -errormsg {the server is stopping}";
  return refused;
}

// Sets the interpreter up and loads the script; the error trace, or empty
// when it loaded.
std::string Load(Tcl_Interp* interp, const std::string& script, RequestContext* context) {
  if (Tcl_Init(interp) != TCL_OK) return Tcl_GetStringResult(interp);
  RegisterQsnCommands(interp, context);
  if (Tcl_EvalFile(interp, script.c_str()) == TCL_OK) return std::string();
  const char* info = Tcl_GetVar(interp, "errorInfo", TCL_GLOBAL_ONLY);
  return info ? info : Tcl_GetStringResult(interp);
}

}  // namespace

bool TclApp::Start(const char* argv0, const std::string& script, int call_timeout,
                   std::string* error) {
  call_timeout_ = call_timeout;
  Tcl_FindExecutable(argv0);
  std::promise<std::string> loaded;
  std::future<std::string> result = loaded.get_future();
  thread_ = std::thread(&TclApp::Run, this, script, std::move(loaded));
  *error = result.get();
  if (!error->empty()) {
    thread_.join();
    return false;
  }
  return true;
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
// here.
void TclApp::Run(std::string script, std::promise<std::string> loaded) {
  RequestContext context;
  Tcl_Interp* interp = Tcl_CreateInterp();
  InitTclText();
  std::string error = Load(interp, script, &context);
  if (error.empty()) SetLiveInterp(interp);
  loaded.set_value(error);
  if (error.empty()) ServeJobs(interp, &context);
  SetLiveInterp(nullptr);
  FreeTclText();
  Tcl_DeleteInterp(interp);
  Tcl_FinalizeThread();
}

// Serves until the stop, then refuses what is still queued.
void TclApp::ServeJobs(Tcl_Interp* interp, RequestContext* context) {
  for (;;) {
    Job* job;
    bool refuse;
    {
      std::unique_lock<std::mutex> lock(queue_mutex_);
      queue_ready_.wait(lock, [this] { return stop_.requested() || !queue_.empty(); });
      if (queue_.empty()) return;
      job = queue_.front();
      queue_.pop_front();
      refuse = stop_.requested();
    }
    job->reply.set_value(refuse ? Refused()
                                : Dispatch(interp, context, job->request, call_timeout_));
  }
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
