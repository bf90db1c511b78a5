// The application script and the one thread its interpreter lives on. HTTP
// worker threads hand requests over and wait for the reply; the interpreter
// itself is never touched by any other thread. The script can be loaded
// again, into a fresh interpreter, between two requests.
#pragma once

#include <tcl.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "server/app_call.h"
#include "server/stop_flag.h"

namespace qsn {

struct RequestContext;

class TclApp {
 public:
  // Once `stop` is requested, calls are refused with HTTP 503. `stop` must
  // outlive this object.
  explicit TclApp(StopFlag& stop) : stop_(stop) {}
  // Ends the Tcl thread as End() does.
  ~TclApp() { End(); }
  TclApp(const TclApp&) = delete;
  TclApp& operator=(const TclApp&) = delete;

  // Starts the Tcl thread and loads the settings' script there. What the
  // script writes to standard output while it loads goes to standard error,
  // and a proc of ::rpc that hides a global command is warned of there.
  // Returns false with the script's error trace in *error when it does not
  // load.
  bool Start(const char* argv0, AppSettings settings, std::string* error);

  // Asks the Tcl thread to load the script again, into a fresh interpreter,
  // before it serves the next request; the call running, if any, ends on
  // the interpreter it began on. When the script fails to load, standard
  // error says why and the interpreter loaded before serves on. Safe to
  // call from any thread.
  void RequestReload();

  // Runs one request on the Tcl thread and waits for its reply. Safe to call
  // from any number of threads at once; requests run one at a time.
  AppReply Call(AppRequest request);

  // For a stop already requested: requests still waiting are answered now,
  // and the call running is cancelled. Safe to call from any thread.
  void CancelCall();

  // Requests the stop if nothing has, lets the Tcl thread refuse what
  // still waits, and waits for it to end.
  void End();

 private:
  struct Job {
    AppRequest request;
    std::promise<AppReply> reply;
  };

  void Run(std::promise<bool> loaded, std::string* load_error);
  void ServeJobs(Tcl_Interp** interp, RequestContext* context);
  void Reload(Tcl_Interp** interp, RequestContext* context);
  void WakeQueue();
  void SetLiveInterp(Tcl_Interp* interp);

  StopFlag& stop_;
  AppSettings settings_;
  std::thread thread_;
  std::mutex queue_mutex_;
  std::condition_variable queue_ready_;
  std::deque<Job*> queue_;
  bool reload_ = false;  // under queue_mutex_
  // The interpreter, for the one thing another thread may do to it: cancel
  // the evaluation running in it when the server stops.
  std::mutex interp_mutex_;
  Tcl_Interp* live_interp_ = nullptr;
};

}  // namespace qsn
