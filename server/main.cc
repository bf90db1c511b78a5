// qsnserver: the reference application server. Serves HTTP or HTTPS; every
// POST in multipart/form-data with the fields "command" and "arglist" calls
// the proc ::rpc::<command> of the application script.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/http_front.h"
#include "server/options.h"
#include "server/stop_flag.h"
#include "server/tcl_app.h"

namespace qsn {
namespace {

// How long a stopping server waits for its connections.
constexpr auto kStopGrace = std::chrono::seconds(3);

// A forked child starts with the mask of the thread that forked it, and
// keeps it through exec: a program the application starts would never see
// the SIGTERM of `timeout`, or of a service manager's stop. Tcl's exec sets
// the ignored signals back to their defaults itself, but not the mask.
void UnblockSignalsInChild() noexcept {
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);
}

// Signals go to one thread that waits for them; every other thread,
// started after this, has them blocked. A client that goes away must not
// kill the server with SIGPIPE.
sigset_t BlockSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  pthread_atfork(nullptr, nullptr, UnblockSignalsInChild);
  signal(SIGPIPE, SIG_IGN);
  return signals;
}

// The front for the options in *front, bound to its address, which is on
// *port.
bool OpenFront(const Options& options, TclApp& app, StopFlag& stop,
               std::unique_ptr<HttpFront>* front, int* port, std::string* error) {
  SslContext tls;
  if (!options.cert.empty() && !NewTlsContext(options.cert, options.key, &tls, error))
    return false;
  ConnectionLimits limits;
  limits.head_timeout = options.head_timeout;
  AppCall call = [&app](AppRequest request) { return app.Call(std::move(request)); };
  *front = std::make_unique<HttpFront>(std::move(call), stop, std::move(tls), limits,
                                       options.max_body);
  return (*front)->Bind(options.host, options.port, port, error);
}

void AnnounceAddress(const Options& options, int port) {
  bool ipv6 = options.host.find(':') != std::string::npos;
  std::printf("listening on %s://%s%s%s:%d/\n", options.cert.empty() ? "http" : "https",
              ipv6 ? "[" : "", options.host.c_str(), ipv6 ? "]" : "", port);
  std::fflush(stdout);
}

// The stop: replies held back go out, calls are refused, the front accepts
// no more, the call running is cancelled. Connections kept alive by their
// clients, or answers still being sent, would hold the server up to their
// time-outs: after a grace the process ends without them.
void Stop(StopFlag& stop, HttpFront& front, TclApp& app) {
  stop.Request();
  front.Stop();
  app.CancelCall();
  if (!front.WaitForConnections(std::chrono::steady_clock::now() + kStopGrace)) {
    app.End();
    std::printf("stopped with connections still open\n");
    std::fflush(stdout);
    _exit(0);
  }
}

// Serves until a stop signal, or until the front fails on its own; SIGHUP
// reloads the application.
bool ServeUntilStopped(StopFlag& stop, HttpFront& front, TclApp& app,
                       const sigset_t& signals) {
  std::mutex ended_mutex;
  bool serving_ended = false;
  std::thread waiter([&] {
    for (;;) {
      int sig;
      sigwait(&signals, &sig);
      {
        std::lock_guard<std::mutex> lock(ended_mutex);
        if (serving_ended) return;  // woken below: the front stopped on its own
      }
      if (sig != SIGHUP) break;
      app.RequestReload();
    }
    Stop(stop, front, app);
  });
  bool served = front.Serve(WorkerCount(ThreadsAllowed()));
  {
    std::lock_guard<std::mutex> lock(ended_mutex);
    serving_ended = true;
  }
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  return served;
}

}  // namespace

// The server from its command line to its exit status.
int Main(int argc, char** argv) {
  Options options;
  switch (ParseOptions(argc, argv, &options)) {
    case Invocation::kServe:
      break;
    case Invocation::kHelp:
      std::fputs(kUsage, stdout);
      return 0;
    case Invocation::kMisuse:
      std::fputs(kUsage, stderr);
      return 2;
  }
  sigset_t signals = BlockSignals();
  RaiseDescriptorLimit();

  StopFlag stop;
  TclApp app(stop);
  std::string error;
  AppSettings settings{options.app, options.call_timeout, options.trace,
                       options.max_arguments};
  if (!app.Start(argv[0], std::move(settings), &error)) {
    std::fprintf(stderr, "qsnserver: %s: %s\n", options.app.c_str(), error.c_str());
    return 1;
  }
  int port = -1;
  std::unique_ptr<HttpFront> front;
  if (!OpenFront(options, app, stop, &front, &port, &error)) {
    std::fprintf(stderr, "qsnserver: %s\n", error.c_str());
    return 1;
  }
  AnnounceAddress(options, port);
  // The application's thread ends as `app` goes out of scope.
  return ServeUntilStopped(stop, *front, app, signals) ? 0 : 1;
}

}  // namespace qsn

int main(int argc, char** argv) { return qsn::Main(argc, argv); }
