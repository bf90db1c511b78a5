// The HTTP front: the keep-alive loop of each connection, the checks made
// before a body is read, the reading of the form, the hand-over to the
// application, the refusals and the access log.
#include "server/http_front.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

#include "server/workers.h"

namespace qsn {

namespace {

using Clock = std::chrono::steady_clock;
using httplib::Request;
using httplib::Response;
using HandlerResponse = httplib::Server::HandlerResponse;

// One request on its way through the front, from its first byte to its line
// in the access log.
struct Exchange {
  explicit Exchange(Connection& connection) : connection(connection) {}

  Connection& connection;
  // When its head had been read; unset for a request the library refused
  // before that.
  Clock::time_point start;
  std::string command;
  // The application made the answer: the error handler leaves it alone.
  bool answered = false;
  // The request was read to its end: the connection may carry another one.
  // Without this the connection is closed after the answer.
  bool keep = false;
  // The answer is an error reply of the server's: the log says so.
  bool error = false;
};

// The exchange being served on this thread. The library hands its handlers
// only the request and the response, with no room for data of ours; the
// connection loop points this at each request's exchange while the library
// serves it.
thread_local Exchange* serving = nullptr;

std::mutex log_mutex;

// For the log: cut, with control characters (a terminal's escapes among
// them) shown as '?'.
std::string Printable(std::string text) {
  if (text.size() > 60) text = text.substr(0, 57) + "...";
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return text.empty() ? "-" : text;
}

void LogRequest(const Request& req, const Response& res) {
  std::string ms = "-";
  if (serving->start != Clock::time_point()) {
    ms = std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                            Clock::now() - serving->start)
                            .count());
  }
  std::time_t now = std::time(nullptr);
  std::tm tm;
  localtime_r(&now, &tm);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  size_t bytes = res.content_length_ ? res.content_length_ : res.body.size();
  std::lock_guard<std::mutex> lock(log_mutex);
  std::printf("%s %s %s %s %d %zu %s%s\n", when, Printable(req.method).c_str(),
              Printable(req.path).c_str(), Printable(serving->command).c_str(),
              res.status, bytes, ms.c_str(), serving->error ? " error" : "");
  std::fflush(stdout);
}

// A refusal, as a reply list the client raises as an error. `message` is
// one of the fixed texts below: no braces or backslashes, so the braces
// around it make a well-formed list. OnError closes the connection unless
// the request was read to its end.
void Refuse(Response& res, int status, const char* message) {
  serving->error = true;
  res.status = status;
  res.set_content(std::string("-error 1 -errormsg {") + message + "}",
                  "text/plain; charset=utf-8");
}

constexpr char kNotMultipart[] = "the request is not multipart/form-data";
constexpr char kTooBig[] = "the request body is over the limit";

// Refusals the library makes on its own (a malformed head, a request line
// too long, a failed handler) come without a body: give them one a client of
// the protocol reads as an error. Answers of the application stay as made.
HandlerResponse OnError(const Request&, Response& res) {
  if (serving->answered) return HandlerResponse::Unhandled;
  if (!serving->keep) res.set_header("Connection", "close");
  if (!res.body.empty() || res.content_provider_) return HandlerResponse::Unhandled;
  res.set_content("-error 1 -errormsg {the server could not read the request}",
                  "text/plain; charset=utf-8");
  serving->error = true;
  return HandlerResponse::Handled;
}

bool IsDigits(const std::string& text) {
  return !text.empty() && text.size() <= 19 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// Where the body ends must be beyond doubt: a server and a proxy in front of
// it that read it differently would each see requests the other does not.
// Null when the framing is plain; else why it is not.
const char* FramingProblem(const Request& req) {
  size_t lengths = req.get_header_value_count("Content-Length");
  size_t encodings = req.get_header_value_count("Transfer-Encoding");
  if (lengths > 0 && encodings > 0)
    return "the request has both Transfer-Encoding and Content-Length";
  if (lengths > 1 || encodings > 1) return "the request gives its length more than once";
  if (encodings == 1 &&
      strcasecmp(req.get_header_value("Transfer-Encoding").c_str(), "chunked") != 0)
    return "the only Transfer-Encoding accepted is chunked";
  if (lengths == 1 && !IsDigits(req.get_header_value("Content-Length")))
    return "the Content-Length is not a number";
  return nullptr;
}

// Headers the library adds with the connection's addresses, read from the
// socket. A client may send headers of the same names: the application
// must never take those for the addresses.
bool IsSocketHeader(const std::string& name) {
  for (const char* socket_header :
       {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT"})
    if (strcasecmp(name.c_str(), socket_header) == 0) return true;
  return false;
}

// The request as the application sees it, before its body is read.
AppRequest RequestOf(const Request& req) {
  AppRequest request;
  request.path = req.path;
  for (const auto& header : req.headers)
    if (!IsSocketHeader(header.first)) request.headers.insert(header);
  request.headers.emplace("REMOTE_ADDR", req.remote_addr);
  request.headers.emplace("REMOTE_PORT", std::to_string(req.remote_port));
  request.headers.emplace("LOCAL_ADDR", req.local_addr);
  request.headers.emplace("LOCAL_PORT", std::to_string(req.local_port));
  return request;
}

// Reads the body as it arrives, so that the limit holds for chunked bodies
// too, and keeps the first "command" and "arglist" fields in *request.
// False when the body could not be read to its end; *too_big when that was
// for its size.
bool ReadBody(const Request& req, const httplib::ContentReader& reader, size_t max_body,
              AppRequest* request, bool* too_big) {
  size_t received = 0;
  auto count = [&](size_t length) {
    received += length;
    *too_big = received > max_body;
    return !*too_big;
  };
  if (!req.is_multipart_form_data()) {
    request->protocol_error = kNotMultipart;
    return reader([&](const char*, size_t length) { return count(length); });
  }
  std::string* target = nullptr;
  bool has_command = false, has_arglist = false;
  bool read = reader(
      [&](const httplib::MultipartFormData& field) {
        target = nullptr;
        if (field.name == "command" && !has_command) {
          has_command = true;
          target = &request->command;
        } else if (field.name == "arglist" && !has_arglist) {
          has_arglist = true;
          target = &request->arglist;
        }
        return true;
      },
      [&](const char* data, size_t length) {
        if (!count(length)) return false;
        if (target) target->append(data, length);
        return true;
      });
  if (read && (!has_command || !has_arglist))
    request->protocol_error = "the request lacks the field \"command\" or \"arglist\"";
  return read;
}

}  // namespace

HttpFront::HttpFront(TclApp& app, StopFlag& stop, SslContext tls, ConnectionLimits limits,
                     size_t max_body)
    : app_(app), stop_(stop), tls_(std::move(tls)), limits_(limits), max_body_(max_body) {
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
  // The count the Keep-Alive header announces; our own loop sets none.
  set_keep_alive_max_count(1000000);
  set_keep_alive_timeout(limits.keep_alive.count());
  // Head and body go out in separate writes; without this the body waits
  // for the client's delayed acknowledgement of the head.
  set_tcp_nodelay(true);
  set_payload_max_length(max_body);
  set_pre_routing_handler(
      [this](const Request& req, Response& res) { return PreRoute(req, res); });
  Post(".*",
       [this](const Request& req, Response& res, const httplib::ContentReader& reader) {
         ReadAndAnswer(req, res, reader);
       });
  set_error_handler(httplib::Server::HandlerWithResponse(OnError));
  set_logger(LogRequest);
}

HttpFront::~HttpFront() {
  for (int fd : stop_pipe_)
    if (fd >= 0) close(fd);
}

bool HttpFront::Bind(const std::string& host, int port, int* bound_port,
                     std::string* error) {
  *bound_port = port == 0 ? bind_to_any_port(host) : bind_to_port(host, port) ? port : -1;
  if (*bound_port <= 0) {
    *error = "cannot listen on " + host + ":" + std::to_string(port);
    return false;
  }
  // The library listens with a queue of five: on a busy machine the accept
  // loop falls that far behind, and the kernel then drops new connections,
  // which retry only a second or more later. A second listen() lengthens
  // the queue.
  ::listen(svr_sock_, SOMAXCONN);
  return true;
}

bool HttpFront::Serve(size_t workers) {
  // The library takes the queue over once it asks for it.
  auto queue = std::make_unique<Workers>(
      workers, [this] { Opened(); }, [this] { Closed(); });
  new_task_queue = [&queue] { return queue.release(); };
  return listen_after_bind();
}

void HttpFront::Stop() {
  std::call_once(stopped_, [this] {
    // Closing the write end makes the read end readable for every waiter.
    close(stop_pipe_[1]);
    stop_pipe_[1] = -1;
    stop();
  });
}

void HttpFront::Opened() {
  std::lock_guard<std::mutex> lock(open_mutex_);
  ++open_;
}

void HttpFront::Closed() {
  std::lock_guard<std::mutex> lock(open_mutex_);
  if (--open_ == 0) open_changed_.notify_all();
}

bool HttpFront::WaitForConnections(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(open_mutex_);
  return open_changed_.wait_until(lock, deadline, [this] { return open_ == 0; });
}

// The library's own loop would take bytes it never read for the next
// request; this one closes the connection after any request that was not
// read to its end.
bool HttpFront::process_and_close_socket(socket_t sock) {
  Connection connection(sock, tls_.get(), limits_, stop_pipe_[0],
                        std::chrono::seconds(read_timeout_sec_));
  auto deadline = Clock::now() + limits_.head_timeout;
  if (!connection.Start(deadline)) return false;
  for (bool first = true;; first = false) {
    if (!connection.WaitForRequest(first ? deadline : Clock::now() + limits_.keep_alive))
      break;
    if (!first) deadline = Clock::now() + limits_.head_timeout;
    connection.StartHead(deadline);
    Exchange exchange(connection);
    bool client_closes = false;
    serving = &exchange;
    bool stopping = svr_sock_ == INVALID_SOCKET;
    bool written = process_request(connection, stopping, client_closes, nullptr);
    serving = nullptr;
    if (!written) break;
    if (!exchange.keep) {
      // A client that never finished its head gets no grace.
      if (!connection.InHead()) connection.Linger();
      break;
    }
    if (client_closes || svr_sock_ == INVALID_SOCKET) break;
  }
  return true;
}

// After the head, before the body is read.
HandlerResponse HttpFront::PreRoute(const Request& req, Response& res) {
  serving->start = Clock::now();
  serving->connection.EndHead();
  bool has_body = req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
  if (const char* problem = FramingProblem(req)) {
    Refuse(res, 400, problem);
  } else if (req.method != "POST") {
    Refuse(res, 405,
           "send a POST in multipart/form-data with the fields command and arglist");
    res.set_header("Allow", "POST");
    // A body sent with another method is never read: the connection goes
    // on only if there is none.
    if (!has_body) serving->keep = true;
  } else if (!has_body) {
    // A POST that announces no body has none: answer it now, or the library
    // would wait for a body until its read times out.
    AppRequest request;
    request.path = req.path;
    request.protocol_error = kNotMultipart;
    serving->keep = true;
    Answer(std::move(request), res);
  } else {
    return HandlerResponse::Unhandled;
  }
  return HandlerResponse::Handled;
}

// The connection carries another request only when this one was read to
// its end.
void HttpFront::ReadAndAnswer(const Request& req, Response& res,
                              const httplib::ContentReader& reader) {
  if (req.get_header_value<uint64_t>("Content-Length") > max_body_)
    return Refuse(res, 413, kTooBig);
  AppRequest request = RequestOf(req);
  bool too_big = false;
  bool read = ReadBody(req, reader, max_body_, &request, &too_big);
  if (too_big) return Refuse(res, 413, kTooBig);
  if (read) {
    serving->keep = true;
  } else {
    res.set_header("Connection", "close");
    request.protocol_error = "the request body is not well-formed multipart/form-data";
  }
  serving->command = request.command.substr(0, 64);  // all the log shows
  Answer(std::move(request), res);
}

// Hands the request to the application and turns its reply into the
// response.
void HttpFront::Answer(AppRequest request, Response& res) {
  AppReply reply = app_.Call(std::move(request));
  // Replies held back by qsn::delay go out at once when the server stops.
  if (reply.delay_ms > 0) stop_.Sleep(std::chrono::milliseconds(reply.delay_ms));
  serving->answered = true;
  serving->error = reply.error;
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

}  // namespace qsn
