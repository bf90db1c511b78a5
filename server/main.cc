// qsnserver: the reference application server. Serves HTTP or HTTPS; every
// POST in multipart/form-data with the fields "command" and "arglist" calls
// the proc ::rpc::<command> of the application script.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
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
    "                 [--max-body BYTES] APP.tcl\n"
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
    "                      port 0 picks a free port\n"
    "  --tls-cert FILE     certificate for HTTPS\n"
    "  --tls-key FILE      private key for HTTPS\n"
    "  --max-body BYTES    largest request body accepted (default 67108864)\n"
    "  --help              this text\n"
    "\n"
    "The first line on standard output is the address, for example\n"
    "  listening on http://127.0.0.1:8080/\n"
    "then one line per request: time, path, command, status, bytes, ms.\n"
    "SIGTERM or SIGINT stops the server. See server/README.md for the qsn::\n"
    "commands an application can use.\n";

// Enough threads for every client that keeps its connection open.
constexpr size_t kWorkers = 256;

struct Options {
  std::string host = "127.0.0.1";
  int port = 8080;
  std::string cert, key, app;
  size_t max_body = 64 << 20;
};

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
      options->host = text.substr(0, colon);
      char* end;
      long port = std::strtol(text.c_str() + colon + 1, &end, 10);
      if (*end || port < 0 || port > 65535 || colon + 1 == text.size()) return false;
      options->port = static_cast<int>(port);
    } else if (arg == "--tls-cert") {
      if (!value(&options->cert)) return false;
    } else if (arg == "--tls-key") {
      if (!value(&options->key)) return false;
    } else if (arg == "--max-body") {
      if (!value(&text)) return false;
      char* end;
      unsigned long long n = std::strtoull(text.c_str(), &end, 10);
      if (*end || text.empty() || n == 0) return false;
      options->max_body = n;
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
thread_local std::chrono::steady_clock::time_point request_start;

std::string Printable(std::string text) {
  if (text.size() > 60) text = text.substr(0, 57) + "...";
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  return text.empty() ? "-" : text;
}

void LogRequest(const httplib::Request& req, const httplib::Response& res) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - request_start)
                .count();
  std::time_t now = std::time(nullptr);
  std::tm tm;
  localtime_r(&now, &tm);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  std::string command =
      req.has_file("command") ? req.get_file_value("command").content : "";
  size_t bytes = res.content_length_ ? res.content_length_ : res.body.size();
  std::lock_guard<std::mutex> lock(log_mutex);
  std::printf("%s %s %s %s %d %zu %lld\n", when, req.method.c_str(),
              Printable(req.path).c_str(), Printable(command).c_str(), res.status, bytes,
              static_cast<long long>(ms));
  std::fflush(stdout);
}

void Serve(const httplib::Request& req, httplib::Response& res) {
  AppRequest request;
  request.path = req.path;
  for (const auto& header : req.headers) request.headers.insert(header);
  if (!req.is_multipart_form_data()) {
    request.protocol_error = "the request is not multipart/form-data";
  } else if (!req.has_file("command") || !req.has_file("arglist")) {
    request.protocol_error = "the request lacks the field \"command\" or \"arglist\"";
  } else {
    request.command = req.get_file_value("command").content;
    request.arglist = req.get_file_value("arglist").content;
  }

  AppReply reply = CallTclApp(std::move(request));
  if (reply.delay_ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(reply.delay_ms));
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
  if (!StartTclApp(argv[0], options.app, &error)) {
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
  server->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  // Head and body go out in separate writes; without this the body waits
  // for the client's delayed acknowledgement of the head.
  server->set_tcp_nodelay(true);
  server->set_keep_alive_max_count(1000000);
  server->set_keep_alive_timeout(30);
  server->set_payload_max_length(options.max_body);
  server->set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
    request_start = std::chrono::steady_clock::now();
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server->Post(".*", Serve);
  server->Get(".*", [](const httplib::Request&, httplib::Response& res) {
    res.status = 405;
    res.set_header("Allow", "POST");
    res.set_content(
        "qsnserver: send a POST in multipart/form-data with the fields "
        "command and arglist\n",
        "text/plain; charset=utf-8");
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
  std::printf("listening on %s://%s:%d/\n", tls ? "https" : "http", options.host.c_str(),
              port);
  std::fflush(stdout);

  std::thread waiter([&] {
    int sig;
    sigwait(&stop_signals, &sig);
    server->stop();
  });
  bool served = server->listen_after_bind();
  // Wakes the waiter when the server stopped on its own.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  StopTclApp();
  return served ? 0 : 1;
}
