// The qsn:: commands an application script uses while it serves a request.
#pragma once

#include <tcl.h>

#include <optional>
#include <string>

#include "server/app_call.h"

// What the commands read and change; lives for one request.
struct RequestContext {
  const AppRequest* request;
  AppReply* reply;
  std::optional<std::string> changeurl;
  // The application answered for itself (qsn::raw, qsn::cut): its reply is
  // sent as it stands, not wrapped in a reply list.
  bool raw = false;
};

// The request being served, or null between requests.
void SetRequestContext(RequestContext* context);

// Installs qsn::path, qsn::header, qsn::cookie, qsn::setcookie,
// qsn::changeurl, qsn::raw, qsn::delay and qsn::cut, and replaces `exit`
// so that an application cannot stop the server.
void RegisterQsnCommands(Tcl_Interp* interp);
