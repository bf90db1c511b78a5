// The qsn:: commands an application script uses while it serves a request.
#pragma once

#include <tcl.h>

#include <optional>
#include <string>

#include "server/app_call.h"

namespace qsn {

// What the commands read and change. One per interpreter; it points at a
// request only while one is served.
struct RequestContext {
  const AppRequest* request = nullptr;
  AppReply* reply = nullptr;
  std::optional<std::string> changeurl;
  // The application answered for itself (qsn::raw, qsn::cut): its reply is
  // sent as it stands, not wrapped in a reply list.
  bool raw = false;
};

// Points a context at one request, with nothing changed yet, for its own
// lifetime; the commands then fail again until the next.
class ServingRequest {
 public:
  ServingRequest(RequestContext* context, const AppRequest& request, AppReply* reply)
      : context_(context) {
    *context_ = RequestContext{&request, reply, std::nullopt, false};
  }
  ~ServingRequest() { *context_ = RequestContext{}; }
  ServingRequest(const ServingRequest&) = delete;
  ServingRequest& operator=(const ServingRequest&) = delete;

 private:
  RequestContext* context_;
};

// Installs qsn::path, qsn::header, qsn::cookie, qsn::setcookie,
// qsn::changeurl, qsn::raw, qsn::delay and qsn::cut, working on `context`,
// which must outlive the interpreter; and replaces `exit` so that an
// application cannot stop the server.
void RegisterQsnCommands(Tcl_Interp* interp, RequestContext* context);

}  // namespace qsn
