// The keep-alive loop of a connection, the checks made before a body is
// read, the hand-over to the application and the refusals. The HTTP library
// parses each request and writes each answer; this loop decides when a
// connection may carry the next request.
#include "server/connection_loop.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "server/access_log.h"
#include "server/body_reader.h"
#include "server/framing.h"
#include "server/reply_list.h"

namespace qsn {

namespace {

using Clock = std::chrono::steady_clock;
using httplib::Request;
using httplib::Response;
using HandlerResponse = httplib::Server::HandlerResponse;

// The longest one read of a body or one write of an answer may wait.
constexpr std::chrono::seconds kIoTimeout(5);

constexpr char kTooBig[] = "the request body is over the limit";
constexpr char kBadChunks[] = "the request body is not well-formed chunked";

// One request on its way through the loop, from its first byte to its line
// in the access log.
struct Exchange {
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
  // The library was told to close the connection after the answer, and
  // says so in it.
  bool library_closes = false;
};

// Says in the answer that the connection closes after it, unless the
// library does: it adds its own "Connection: close" when it was told to
// close, or when the client asked for it in those very words.
void SayClose(const Exchange& exchange, const Request& req, Response& res) {
  if (!exchange.library_closes && req.get_header_value("Connection") != "close")
    res.set_header("Connection", "close");
}

// The library's request parsing and answer writing for one connection, its
// callbacks bound to the exchange being served.
class ConnectionLoop : public httplib::Server {
 public:
  ConnectionLoop(Connection& connection, const FrontShared& shared);

  void Run();

 private:
  HandlerResponse PreRoute(Exchange& exchange, const Request& req, Response& res);
  void ReadAndAnswer(Exchange& exchange, const Request& req, Response& res,
                     const httplib::ContentReader& reader);
  void Answer(Exchange& exchange, AppRequest request, Response& res);
  HandlerResponse OnError(Exchange& exchange, const Request& req, Response& res);
  void Log(const Exchange& exchange, const Request& req, const Response& res);

  Connection& connection_;
  const FrontShared& shared_;
  // The exchange the library is serving: its callbacks know only the
  // request and the response, and are made once for the connection.
  Exchange* exchange_ = nullptr;
};

// A refusal, as a reply list the client raises as an error. The connection
// is closed unless the request was read to its end.
void Refuse(Exchange& exchange, Response& res, int status, const char* message) {
  exchange.error = true;
  res.status = status;
  res.set_content(FixedErrorReply(message), "text/plain; charset=utf-8");
}

ConnectionLoop::ConnectionLoop(Connection& connection, const FrontShared& shared)
    : connection_(connection), shared_(shared) {
  // The count the Keep-Alive header announces; this loop sets none.
  set_keep_alive_max_count(1000000);
  set_keep_alive_timeout(shared.limits.keep_alive.count());
  set_payload_max_length(shared.max_body);
  set_pre_routing_handler([this](const Request& req, Response& res) {
    return PreRoute(*exchange_, req, res);
  });
  Post(".*",
       [this](const Request& req, Response& res, const httplib::ContentReader& reader) {
         ReadAndAnswer(*exchange_, req, res, reader);
       });
  set_error_handler(HandlerWithResponse([this](const Request& req, Response& res) {
    return OnError(*exchange_, req, res);
  }));
  set_logger(
      [this](const Request& req, const Response& res) { Log(*exchange_, req, res); });
}

// The library's own loop would take bytes it never read for the next
// request; this one closes the connection after any request that was not
// read to its end.
void ConnectionLoop::Run() {
  auto deadline = Clock::now() + shared_.limits.head_timeout;
  if (!connection_.Start(deadline)) return;
  for (bool first = true;; first = false) {
    if (!connection_.WaitForRequest(first ? deadline
                                          : Clock::now() + shared_.limits.keep_alive))
      return;
    if (!first) deadline = Clock::now() + shared_.limits.head_timeout;
    connection_.StartHead(deadline);
    Exchange exchange;
    exchange.library_closes = shared_.closing.load();
    // The library streams an answer's body (qsn::cut's) only while its
    // listening socket is valid, and this server listens on nothing: it is
    // shown the connection's socket, which it neither uses nor closes.
    svr_sock_ = exchange.library_closes ? INVALID_SOCKET : connection_.socket();
    bool client_closes = false;
    exchange_ = &exchange;
    bool written =
        process_request(connection_, exchange.library_closes, client_closes, nullptr);
    exchange_ = nullptr;
    if (!written) return;
    if (!exchange.keep) {
      // A client that never finished its head in time gets no grace.
      if (!connection_.InHead() || connection_.HeadRefused()) connection_.Linger();
      return;
    }
    if (client_closes || shared_.closing.load()) return;
  }
}

// After the head, before the body is read.
HandlerResponse ConnectionLoop::PreRoute(Exchange& exchange, const Request& req,
                                         Response& res) {
  exchange.start = Clock::now();
  connection_.EndHead();
  bool has_body = req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
  if (const char* problem = FramingProblem(req)) {
    Refuse(exchange, res, 400, problem);
  } else if (req.method != "POST") {
    Refuse(exchange, res, 405,
           "send a POST in multipart/form-data with the fields command and arglist");
    res.set_header("Allow", "POST");
    // A body sent with another method is never read: the connection goes
    // on only if there is none.
    if (!has_body) exchange.keep = true;
  } else if (!has_body) {
    // A POST that announces no body has none: answer it now, or the library
    // would wait for a body until its read times out.
    AppRequest request;
    request.path = req.path;
    request.protocol_error = kNotMultipart;
    exchange.keep = true;
    Answer(exchange, std::move(request), res);
  } else {
    // The library reads chunk sizes more loosely than a proxy in front may.
    if (req.has_header("Transfer-Encoding")) connection_.StartChunkedBody();
    return HandlerResponse::Unhandled;
  }
  return HandlerResponse::Handled;
}

// The connection carries another request only when this one was read to
// its end.
void ConnectionLoop::ReadAndAnswer(Exchange& exchange, const Request& req, Response& res,
                                   const httplib::ContentReader& reader) {
  if (req.get_header_value<uint64_t>("Content-Length") > shared_.max_body)
    return Refuse(exchange, res, 413, kTooBig);
  AppRequest request = RequestOf(req);
  bool too_big = false;
  bool read = ReadBody(req, reader, shared_.max_body, &request, &too_big);
  if (connection_.BodyRefused()) return Refuse(exchange, res, 400, kBadChunks);
  if (too_big) return Refuse(exchange, res, 413, kTooBig);
  if (read) {
    exchange.keep = true;
  } else {
    SayClose(exchange, req, res);
    request.protocol_error = "the request body is not well-formed multipart/form-data";
  }
  exchange.command = request.command.substr(0, 64);  // all the log shows
  Answer(exchange, std::move(request), res);
}

// Hands the request to the application and turns its reply into the
// response.
void ConnectionLoop::Answer(Exchange& exchange, AppRequest request, Response& res) {
  AppReply reply = shared_.call(std::move(request));
  // Replies held back by qsn::delay go out at once when the server stops.
  if (reply.delay_ms > 0) shared_.stop->Sleep(std::chrono::milliseconds(reply.delay_ms));
  exchange.answered = true;
  exchange.error = reply.error;
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

// Refusals the library makes on its own (a malformed head, a request line
// too long, a failed handler) come without a body: give them one a client of
// the protocol reads as an error. Answers of the application stay as made.
HandlerResponse ConnectionLoop::OnError(Exchange& exchange, const Request& req,
                                        Response& res) {
  if (exchange.answered) return HandlerResponse::Unhandled;
  if (!exchange.keep) SayClose(exchange, req, res);
  if (!res.body.empty() || res.content_provider_) return HandlerResponse::Unhandled;
  res.set_content(FixedErrorReply("the server could not read the request"),
                  "text/plain; charset=utf-8");
  exchange.error = true;
  return HandlerResponse::Handled;
}

void ConnectionLoop::Log(const Exchange& exchange, const Request& req,
                         const Response& res) {
  AccessRecord record;
  record.method = req.method;
  record.path = req.path;
  record.command = exchange.command;
  record.status = res.status;
  record.bytes = res.content_length_ ? res.content_length_ : res.body.size();
  if (exchange.start != Clock::time_point())
    record.ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                      exchange.start)
                    .count();
  record.error = exchange.error;
  LogAccess(record);
}

}  // namespace

void ServeConnection(int fd, const FrontShared& shared) {
  Connection connection(fd, shared.tls, shared.limits, shared.stop_fd, kIoTimeout);
  ConnectionLoop(connection, shared).Run();
}

}  // namespace qsn
