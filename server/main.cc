// qsnserver: the reference application server. Serves HTTP or HTTPS; every
// POST in multipart/form-data with the fields "command" and "arglist" calls
// the proc ::rpc::<command> of the application script.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
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
#include "server/tcl_app.h"

namespace {

constexpr char kUsage[] =
    "Usage: qsnserver [--listen HOST:PORT] [--tls-cert FILE --tls-key FILE]\n"
    "                 [--max-body BYTES] [--call-timeout SECONDS]\n"
    "                 [--head-timeout SECONDS] APP.tcl\n"
    "\n"
    "Serves the application script APP.tcl over HTTP, or HTTPS when given a\n"
    "certificate and its key (PEM files). Every POST in multipart/form-data\n"
    "with the fields \"command\" and \"arglist\", to any path, calls the proc\n"
    "::rpc::<command> with the elements of arglist and answers with a Tcl list:\n"
    "  -qsnreply VALUE                                    on a normal return\n"
    "  -error 1 -errormsg MESSAGE -errorinfo TRACE        on a Tcl error\n"
    "  -changeurl PATH is added when the proc called qsn::changeurl.\n"
    "\n"
    "  --listen HOST:PORT  address to listen on (default 127.0.0.1:8080);\n"
    "                      port 0 picks a free port; an IPv6 host goes in\n"
    "                      brackets, as in [::1]:8080\n"
    "  --tls-cert FILE     certificate for HTTPS\n"
    "  --tls-key FILE      private key for HTTPS\n"
    "  --max-body BYTES    largest request body accepted (default 67108864)\n"
    "  --call-timeout SECONDS\n"
    "                      longest a call may run before it ends in an error\n"
    "                      reply (default 60; 0 for no limit)\n"
    "  --head-timeout SECONDS\n"
    "                      longest a client may take to send the head of a\n"
    "                      request, TLS handshake included (default 10)\n"
    "  --help              this text\n"
    "\n"
    "The first line on standard output is the address, for example\n"
    "  listening on http://127.0.0.1:8080/\n"
    "then one line per request: time, method, path, command, status, bytes,\n"
    "ms.\n"
    "SIGTERM or SIGINT stops the server: the call running is cancelled and\n"
    "connections get up to three seconds to finish. See server/README.md for the qsn::\n"
    "commands an application can use.\n";

// Each open connection holds a thread while it is kept alive; a client
// beyond this many waits until an idle connection times out.
constexpr size_t kWorkers = 1024;
// Fewer where the system allows fewer threads, to leave some to the rest of
// the system.
size_t WorkerCount() {
  unsigned long long allowed = kWorkers * 2;
  rlimit limit;
  if (getrlimit(RLIMIT_NPROC, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    allowed = std::min<unsigned long long>(allowed, limit.rlim_cur);
  if (FILE* f = std::fopen("/sys/fs/cgroup/pids.max", "r")) {
    unsigned long long pids;
    if (std::fscanf(f, "%llu", &pids) == 1) allowed = std::min(allowed, pids);
    std::fclose(f);
  }
  return std::max<size_t>(8, std::min<unsigned long long>(kWorkers, allowed / 2));
}

// A connection takes a descriptor: allow as many as the system lets us, so
// that the workers, not a low default, bound the connections served.
void RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// How long a stopping server waits for its connections.
constexpr auto kStopGrace = std::chrono::seconds(3);

struct Options {
  std::string host = "127.0.0.1";
  int port = 8080;
  std::string cert, key, app;
  size_t max_body = 64 << 20;
  int call_timeout = 60;
  ConnectionLimits limits;
};

// Digits only: strtol and strtoull accept signs and blanks.
bool ParseCount(const std::string& text, unsigned long long limit,
                unsigned long long* out) {
  if (text.empty() || text.size() > 19 ||
      text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *out = std::strtoull(text.c_str(), nullptr, 10);
  return *out <= limit;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--listen") {
      if (!value(&text)) return false;
      size_t colon = text.rfind(':');
      if (colon == std::string::npos) return false;
      std::string host = text.substr(0, colon);
      if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
      unsigned long long port;
      if (host.empty() || !ParseCount(text.substr(colon + 1), 65535, &port)) return false;
      options->host = host;
      options->port = static_cast<int>(port);
    } else if (arg == "--tls-cert") {
      if (!value(&options->cert)) return false;
    } else if (arg == "--tls-key") {
      if (!value(&options->key)) return false;
    } else if (arg == "--max-body") {
      unsigned long long n;
      if (!value(&text) || !ParseCount(text, SIZE_MAX, &n) || n == 0) return false;
      options->max_body = n;
    } else if (arg == "--call-timeout") {
      unsigned long long n;
      if (!value(&text) || !ParseCount(text, 86400, &n)) return false;
      options->call_timeout = static_cast<int>(n);
    } else if (arg == "--head-timeout") {
      unsigned long long n;
      if (!value(&text) || !ParseCount(text, 3600, &n) || n == 0) return false;
      options->limits.head_timeout = std::chrono::seconds(n);
    } else if (!arg.empty() && arg[0] == '-') {
      return false;
    } else if (options->app.empty()) {
      options->app = arg;
    } else {
      return false;
    }
  }
  return !options->app.empty() && options->cert.empty() == options->key.empty();
}

std::unique_ptr<QsnServer> MakeServer(const Options& options, std::string* error) {
  SslContext tls;
  if (!options.cert.empty()) {
    tls = NewTlsContext(options.cert, options.key, error);
    if (!tls) return nullptr;
  }
  auto server = std::make_unique<QsnServer>(std::move(tls), options.limits);
  // Head and body go out in separate writes; without this the body waits
  // for the client's delayed acknowledgement of the head.
  server->set_tcp_nodelay(true);
  server->set_payload_max_length(options.max_body);
  InstallHandlers(*server, options.max_body);
  return server;
}

// Serves until a stop signal, or until the server fails on its own.
bool ServeUntilStopped(QsnServer& server, const sigset_t& stop_signals) {
  std::unique_ptr<httplib::TaskQueue> workers(server.NewWorkers(WorkerCount()));
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
    ReleaseDelayedReplies();
    server.Stop();
    CancelTclApp();
    // Connections kept alive by their clients, or answers still being
    // sent, hold the server up to their time-outs; do not wait that long.
    if (!server.WaitForConnections(std::chrono::steady_clock::now() + kStopGrace)) {
      StopTclApp();
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
  if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
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

  std::string error;
  if (!StartTclApp(argv[0], options.app, options.call_timeout, &error)) {
    std::fprintf(stderr, "qsnserver: %s: %s\n", options.app.c_str(), error.c_str());
    return 1;
  }

  auto server = MakeServer(options, &error);
  int port = server ? server->Bind(options.host, options.port) : -1;
  if (port <= 0) {
    if (server)
      error = "cannot listen on " + options.host + ":" + std::to_string(options.port);
    std::fprintf(stderr, "qsnserver: %s\n", error.c_str());
    StopTclApp();
    return 1;
  }
  bool ipv6 = options.host.find(':') != std::string::npos;
  std::printf("listening on %s://%s%s%s:%d/\n", options.cert.empty() ? "http" : "https",
              ipv6 ? "[" : "", options.host.c_str(), ipv6 ? "]" : "", port);
  std::fflush(stdout);
  bool served = ServeUntilStopped(*server, stop_signals);
  StopTclApp();
  return served ? 0 : 1;
}
