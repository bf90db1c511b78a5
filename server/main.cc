// qsnserver: the reference application server. Serves HTTP or HTTPS; every
// POST in multipart/form-data with the fields "command" and "arglist" calls
// the proc ::rpc::<command> of the application script.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/connection.h"
#include "server/http_handlers.h"
#include "server/options.h"
#include "server/stop_flag.h"
#include "server/tcl_app.h"

namespace {

// How long a stopping server waits for its connections.
constexpr auto kStopGrace = std::chrono::seconds(3);

std::unique_ptr<QsnServer> MakeServer(const Options& options, TclApp& app, StopFlag& stop,
                                      std::string* error) {
  SslContext tls;
  if (!options.cert.empty()) {
    tls = NewTlsContext(options.cert, options.key, error);
    if (!tls) return nullptr;
  }
  ConnectionLimits limits;
  limits.head_timeout = options.head_timeout;
  auto server = std::make_unique<QsnServer>(std::move(tls), limits);
  // Head and body go out in separate writes; without this the body waits
  // for the client's delayed acknowledgement of the head.
  server->set_tcp_nodelay(true);
  server->set_payload_max_length(options.max_body);
  InstallHandlers(*server, options.max_body, app, stop);
  return server;
}

// Serves until a stop signal, or until the server fails on its own.
bool ServeUntilStopped(QsnServer& server, TclApp& app, StopFlag& stop,
                       const sigset_t& stop_signals) {
  std::unique_ptr<httplib::TaskQueue> workers(
      server.NewWorkers(WorkerCount(ThreadsAllowed())));
  server.new_task_queue = [&workers] { return workers.release(); };
  std::mutex ended_mutex;
  bool listen_ended = false;
  std::thread waiter([&] {
    int sig;
    sigwait(&stop_signals, &sig);
    {
      std::lock_guard<std::mutex> lock(ended_mutex);
      if (listen_ended) return;  // woken below: the server stopped on its own
    }
    stop.Request();
    server.Stop();
    app.CancelCall();
    // Connections kept alive by their clients, or answers still being
    // sent, hold the server up to their time-outs; do not wait that long.
    if (!server.WaitForConnections(std::chrono::steady_clock::now() + kStopGrace)) {
      app.End();
      std::printf("stopped with connections still open\n");
      std::fflush(stdout);
      _exit(0);
    }
  });
  bool served = server.listen_after_bind();
  {
    std::lock_guard<std::mutex> lock(ended_mutex);
    listen_ended = true;
  }
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  return served;
}

}  // namespace

int main(int argc, char** argv) {
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

  // Signals go to one thread that waits for them; every other thread,
  // started after this, has them blocked. A client that goes away must not
  // kill the server with SIGPIPE.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  RaiseDescriptorLimit();

  StopFlag stop;
  TclApp app(stop);
  std::string error;
  if (!app.Start(argv[0], options.app, options.call_timeout, &error)) {
    std::fprintf(stderr, "qsnserver: %s: %s\n", options.app.c_str(), error.c_str());
    return 1;
  }

  auto server = MakeServer(options, app, stop, &error);
  int port = server ? server->Bind(options.host, options.port) : -1;
  if (port <= 0) {
    if (server)
      error = "cannot listen on " + options.host + ":" + std::to_string(options.port);
    std::fprintf(stderr, "qsnserver: %s\n", error.c_str());
    return 1;
  }
  bool ipv6 = options.host.find(':') != std::string::npos;
  std::printf("listening on %s://%s%s%s:%d/\n", options.cert.empty() ? "http" : "https",
              ipv6 ? "[" : "", options.host.c_str(), ipv6 ? "]" : "", port);
  std::fflush(stdout);
  return ServeUntilStopped(*server, app, stop, stop_signals) ? 0 : 1;
}
