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
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/tcl_app.h"

namespace {

constexpr char kUsage[] =
    "Usage: qsnserver [--listen HOST:PORT] [--tls-cert FILE --tls-key FILE]\n"
    "                 [--max-body BYTES] [--call-timeout SECONDS] APP.tcl\n"
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
    "  --help              this text\n"
    "\n"
    "The first line on standard output is the address, for example\n"
    "  listening on http://127.0.0.1:8080/\n"
    "then one line per request: time, path, command, status, bytes, ms.\n"
    "SIGTERM or SIGINT stops the server: the call running is cancelled and\n"
    "connections get up to three seconds to finish. See server/README.md for the qsn::\n"
    "commands an application can use.\n";

// Each open connection holds a thread while it is kept alive; a client
// beyond this many waits until an idle connection times out.
constexpr size_t kWorkers = 1024;
constexpr time_t kKeepAliveSeconds = 10;
// Fewer where the system allows fewer threads: the library cannot recover
// from a thread it fails to start.
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

// How long a stopping server waits for its connections.
constexpr auto kStopGrace = std::chrono::seconds(3);

struct Options {
  std::string host = "127.0.0.1";
  int port = 8080;
  std::string cert, key, app;
  size_t max_body = 64 << 20;
  int call_timeout = 60;
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

std::mutex log_mutex;
// Per HTTP thread: when the request being answered started (left unset for
// a request the library refused before it reached us) and its command.
thread_local std::chrono::steady_clock::time_point request_start;
thread_local std::string request_command;

std::string Printable(std::string text) {
  if (text.size() > 60) text = text.substr(0, 57) + "...";
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  return text.empty() ? "-" : text;
}

void LogRequest(const httplib::Request& req, const httplib::Response& res) {
  std::string ms = "-";
  if (request_start != std::chrono::steady_clock::time_point()) {
    ms = std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - request_start)
                            .count());
  }
  std::time_t now = std::time(nullptr);
  std::tm tm;
  localtime_r(&now, &tm);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  size_t bytes = res.content_length_ ? res.content_length_ : res.body.size();
  {
    std::lock_guard<std::mutex> lock(log_mutex);
    std::printf("%s %s %s %s %d %zu %s\n", when, req.method.c_str(),
                Printable(req.path).c_str(), Printable(request_command).c_str(),
                res.status, bytes, ms.c_str());
    std::fflush(stdout);
  }
  request_start = {};
  request_command = std::string();
}

// Set when the server stops: replies held back by qsn::delay go out at once.
std::mutex stop_mutex;
std::condition_variable stop_changed;
bool stop_requested = false;
bool listen_ended = false;

void WaitOrStop(int ms) {
  std::unique_lock<std::mutex> lock(stop_mutex);
  stop_changed.wait_for(lock, std::chrono::milliseconds(ms), [] { return stop_requested; });
}

// Hands the request to the application and turns its reply into the
// response.
void Answer(AppRequest request, httplib::Response& res) {
  AppReply reply = CallTclApp(std::move(request));
  if (reply.delay_ms > 0) WaitOrStop(reply.delay_ms);
  res.status = reply.status;
  for (const auto& [name, value] : reply.headers) res.set_header(name.c_str(), value);
  if (reply.cut_after < 0) {
    res.set_content(reply.body, reply.content_type.c_str());
    return;
  }
  // Announce the whole body, send the start of it, then drop the connection.
  auto body = std::make_shared<std::string>(std::move(reply.body));
  size_t cut = static_cast<size_t>(reply.cut_after);
  res.set_content_provider(
      body->size(), reply.content_type.c_str(),
      [body, cut](size_t offset, size_t length, httplib::DataSink& sink) {
        if (offset >= cut) return false;
        sink.write(body->data() + offset, std::min(length, cut - offset));
        return true;
      });
}

constexpr char kNotMultipart[] = "the request is not multipart/form-data";

// The rest of the body is never read, so the connection cannot carry
// another request.
void RefuseOverLimit(httplib::Response& res) {
  res.set_header("Connection", "close");
  res.status = 413;
  res.set_content("qsnserver: the request body is over the limit\n",
                  "text/plain; charset=utf-8");
}

// Reads the body as it arrives, so that the limit holds for chunked bodies
// too, and keeps the first "command" and "arglist" fields.
void Serve(const httplib::Request& req, httplib::Response& res,
           const httplib::ContentReader& reader, size_t max_body) {
  const std::string declared = req.get_header_value("Content-Length");
  if (!declared.empty() && std::strtoull(declared.c_str(), nullptr, 10) > max_body)
    return RefuseOverLimit(res);
  size_t received = 0;
  bool too_big = false;
  auto count = [&](size_t length) {
    received += length;
    too_big = received > max_body;
    return !too_big;
  };

  AppRequest request;
  request.path = req.path;
  for (const auto& header : req.headers) request.headers.insert(header);
  bool read;
  if (req.is_multipart_form_data()) {
    std::string* target = nullptr;
    bool has_command = false, has_arglist = false;
    read = reader(
        [&](const httplib::MultipartFormData& field) {
          target = nullptr;
          if (field.name == "command" && !has_command) {
            has_command = true;
            target = &request.command;
          } else if (field.name == "arglist" && !has_arglist) {
            has_arglist = true;
            target = &request.arglist;
          }
          return true;
        },
        [&](const char* data, size_t length) {
          if (!count(length)) return false;
          if (target) target->append(data, length);
          return true;
        });
    if (read && (!has_command || !has_arglist))
      request.protocol_error = "the request lacks the field \"command\" or \"arglist\"";
  } else {
    read = reader([&](const char*, size_t length) { return count(length); });
    request.protocol_error = kNotMultipart;
  }
  if (too_big) return RefuseOverLimit(res);
  if (!read) {
    // What is left of the body cannot be told from the next request.
    res.set_header("Connection", "close");
    request.protocol_error = "the request body is not well-formed multipart/form-data";
  }
  request_command = request.command.substr(0, 64);  // all the log shows
  Answer(std::move(request), res);
}

void NotAllowed(const httplib::Request&, httplib::Response& res) {
  res.status = 405;
  res.set_header("Allow", "POST");
  res.set_content(
      "qsnserver: send a POST in multipart/form-data with the fields "
      "command and arglist\n",
      "text/plain; charset=utf-8");
}

// Before the body is read. A POST that announces no body at all has none:
// answer it now, or the library would wait for a body until its read
// times out.
httplib::Server::HandlerResponse PreRoute(const httplib::Request& req,
                                          httplib::Response& res) {
  request_start = std::chrono::steady_clock::now();
  bool has_body = req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
  if (req.method != "POST") {
    // A body sent with another method is never read.
    if (has_body) res.set_header("Connection", "close");
    NotAllowed(req, res);
    return httplib::Server::HandlerResponse::Handled;
  }
  if (!has_body) {
    AppRequest request;
    request.path = req.path;
    request.protocol_error = kNotMultipart;
    Answer(std::move(request), res);
    return httplib::Server::HandlerResponse::Handled;
  }
  return httplib::Server::HandlerResponse::Unhandled;
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

  std::string error;
  if (!StartTclApp(argv[0], options.app, options.call_timeout, &error)) {
    std::fprintf(stderr, "qsnserver: %s: %s\n", options.app.c_str(), error.c_str());
    return 1;
  }

  std::unique_ptr<httplib::Server> server;
  bool tls = !options.cert.empty();
  if (tls) {
    server =
        std::make_unique<httplib::SSLServer>(options.cert.c_str(), options.key.c_str());
  } else {
    server = std::make_unique<httplib::Server>();
  }
  if (!server->is_valid()) {
    std::fprintf(stderr, "qsnserver: cannot use the certificate %s with the key %s\n",
                 options.cert.c_str(), options.key.c_str());
    StopTclApp();
    return 1;
  }
  // Head and body go out in separate writes; without this the body waits
  // for the client's delayed acknowledgement of the head.
  server->set_tcp_nodelay(true);
  server->set_keep_alive_max_count(1000000);
  server->set_keep_alive_timeout(kKeepAliveSeconds);
  server->set_payload_max_length(options.max_body);
  server->set_pre_routing_handler(PreRoute);
  size_t max_body = options.max_body;
  server->Post(".*", [max_body](const httplib::Request& req, httplib::Response& res,
                                const httplib::ContentReader& reader) {
    Serve(req, res, reader, max_body);
  });
  server->set_logger(LogRequest);

  int port = options.port == 0 ? server->bind_to_any_port(options.host.c_str())
                               : (server->bind_to_port(options.host.c_str(), options.port)
                                      ? options.port
                                      : -1);
  if (port <= 0) {
    std::fprintf(stderr, "qsnserver: cannot listen on %s:%d\n", options.host.c_str(),
                 options.port);
    StopTclApp();
    return 1;
  }
  // The workers start before the address is announced, not when the server
  // starts listening: on a loaded machine a thousand threads take seconds to
  // start, and requests sent meanwhile would wait unaccepted, and be lost if
  // the server stopped.
  std::unique_ptr<httplib::TaskQueue> workers(new httplib::ThreadPool(WorkerCount()));
  server->new_task_queue = [&workers] { return workers.release(); };
  bool ipv6 = options.host.find(':') != std::string::npos;
  std::printf("listening on %s://%s%s%s:%d/\n", tls ? "https" : "http", ipv6 ? "[" : "",
              options.host.c_str(), ipv6 ? "]" : "", port);
  std::fflush(stdout);

  std::thread waiter([&] {
    int sig;
    sigwait(&stop_signals, &sig);
    std::unique_lock<std::mutex> lock(stop_mutex);
    if (listen_ended) return;  // woken by main: the server stopped on its own
    stop_requested = true;
    stop_changed.notify_all();
    lock.unlock();
    server->stop();
    CancelTclApp();
    lock.lock();
    // Connections kept alive by their clients, or answers still being
    // sent, hold the server up to their time-outs; do not wait that long.
    if (!stop_changed.wait_for(lock, kStopGrace, [] { return listen_ended; })) {
      StopTclApp();
      std::printf("stopped with connections still open\n");
      std::fflush(stdout);
      _exit(0);
    }
  });
  bool served = server->listen_after_bind();
  {
    std::lock_guard<std::mutex> lock(stop_mutex);
    listen_ended = true;
  }
  stop_changed.notify_all();
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  StopTclApp();
  return served ? 0 : 1;
}
