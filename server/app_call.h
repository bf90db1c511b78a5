// One request of the application protocol as the Tcl thread sees it, and
// what the application made of it.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qsn {

struct AppRequest {
  std::string path;
  std::multimap<std::string, std::string> headers;  // names as sent
  std::string command;                              // UTF-8
  std::string arglist;                              // UTF-8
  // Set when the HTTP request itself is unfit; the reply then says so.
  std::string protocol_error;
};

struct AppReply {
  int status = 200;
  std::string body;
  std::string content_type = "text/plain; charset=utf-8";
  std::vector<std::pair<std::string, std::string>> headers;  // Set-Cookie etc.
  int delay_ms = 0;
  // With cut_after >= 0, the full length is announced but only this many
  // bytes are sent before the connection is closed.
  long cut_after = -1;
  // The body is an error reply the server made (-error 1): the request log
  // marks it, whatever the status.
  bool error = false;
};

// How the HTTP side hands a request to the application: the call returns
// once the reply is made. Safe to call from many threads at once.
using AppCall = std::function<AppReply(AppRequest)>;

// How the application runs.
struct AppSettings {
  std::string script;          // the application script's file
  int call_timeout = 60;       // seconds a call may run before it ends in an
                               // error reply; 0 for no limit
  bool trace = false;          // error replies are told on standard error
  int max_arguments = 100000;  // elements of arglist one call may take
};

}  // namespace qsn
