// The HTTP side of a request: every POST in multipart/form-data with the
// fields "command" and "arglist" goes to the application; anything else is
// refused with a body that a client of the protocol reads as an error.
#include "server/http_handlers.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "server/connection.h"
#include "server/tcl_app.h"

namespace {

using httplib::Request;
using httplib::Response;
using HandlerResponse = httplib::Server::HandlerResponse;

std::mutex log_mutex;
// Per HTTP thread: when the request being answered started (left unset for
// a request the library refused before it reached us), its command, and
// whether the application answered it.
thread_local std::chrono::steady_clock::time_point request_start;
thread_local std::string request_command;
thread_local bool app_answered = false;

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
    std::printf("%s %s %s %s %d %zu %s\n", when, Printable(req.method).c_str(),
                Printable(req.path).c_str(), Printable(request_command).c_str(),
                res.status, bytes, ms.c_str());
    std::fflush(stdout);
  }
  request_start = {};
  request_command = std::string();
  app_answered = false;
}

// A refusal, as a reply list the client raises as an error. `message` is
// one of the fixed texts below: no braces or backslashes, so the braces
// around it make a well-formed list. OnError closes the connection unless
// the request was read to its end.
void Refuse(Response& res, int status, const char* message) {
  res.status = status;
  res.set_content(std::string("-error 1 -errormsg {") + message + "}",
                  "text/plain; charset=utf-8");
}

constexpr char kNotMultipart[] = "the request is not multipart/form-data";

// Hands the request to the application and turns its reply into the
// response.
void Answer(TclApp& app, StopFlag& stop, AppRequest request, Response& res) {
  AppReply reply = app.Call(std::move(request));
  // Replies held back by qsn::delay go out at once when the server stops.
  if (reply.delay_ms > 0) stop.Sleep(std::chrono::milliseconds(reply.delay_ms));
  app_answered = true;
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

// Reads the body as it arrives, so that the limit holds for chunked bodies
// too, and keeps the first "command" and "arglist" fields. The connection
// carries another request only when this one was read to its end.
void Serve(const Request& req, Response& res, const httplib::ContentReader& reader,
           size_t max_body, TclApp& app, StopFlag& stop) {
  if (req.get_header_value<uint64_t>("Content-Length") > max_body)
    return Refuse(res, 413, "the request body is over the limit");
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
  if (too_big) return Refuse(res, 413, "the request body is over the limit");
  if (read) {
    KeepConnection();
  } else {
    res.set_header("Connection", "close");
    request.protocol_error = "the request body is not well-formed multipart/form-data";
  }
  request_command = request.command.substr(0, 64);  // all the log shows
  Answer(app, stop, std::move(request), res);
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

// After the head, before the body is read.
HandlerResponse PreRoute(const Request& req, Response& res, TclApp& app, StopFlag& stop) {
  request_start = std::chrono::steady_clock::now();
  EndOfHead();
  bool has_body = req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
  if (const char* problem = FramingProblem(req)) {
    Refuse(res, 400, problem);
  } else if (req.method != "POST") {
    Refuse(res, 405,
           "send a POST in multipart/form-data with the fields command and arglist");
    res.set_header("Allow", "POST");
    // A body sent with another method is never read: the connection goes
    // on only if there is none.
    if (!has_body) KeepConnection();
  } else if (!has_body) {
    // A POST that announces no body has none: answer it now, or the library
    // would wait for a body until its read times out.
    AppRequest request;
    request.path = req.path;
    request.protocol_error = kNotMultipart;
    KeepConnection();
    Answer(app, stop, std::move(request), res);
  } else {
    return HandlerResponse::Unhandled;
  }
  return HandlerResponse::Handled;
}

// Refusals the library makes on its own (a malformed head, a request line
// too long, a failed handler) come without a body: give them one a client of
// the protocol reads as an error. Answers of the application stay as made.
HandlerResponse OnError(const Request&, Response& res) {
  if (app_answered) return HandlerResponse::Unhandled;
  if (!ConnectionKept()) res.set_header("Connection", "close");
  if (!res.body.empty() || res.content_provider_) return HandlerResponse::Unhandled;
  res.set_content("-error 1 -errormsg {the server could not read the request}",
                  "text/plain; charset=utf-8");
  return HandlerResponse::Handled;
}

}  // namespace

void InstallHandlers(httplib::Server& server, size_t max_body, TclApp& app,
                     StopFlag& stop) {
  server.set_pre_routing_handler([&app, &stop](const Request& req, Response& res) {
    return PreRoute(req, res, app, stop);
  });
  server.Post(".*", [max_body, &app, &stop](const Request& req, Response& res,
                                            const httplib::ContentReader& reader) {
    Serve(req, res, reader, max_body, app, stop);
  });
  server.set_error_handler(httplib::Server::HandlerWithResponse(OnError));
  server.set_logger(LogRequest);
}
