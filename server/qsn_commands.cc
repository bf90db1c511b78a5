// The qsn:: command set. Each command body below runs only while a request
// is served, its argument count checked: see RunQsnCommand.
#include "server/qsn_commands.h"

#include <strings.h>

#include <optional>

#include "base/tcl_text.h"
#include "server/cookies.h"

namespace qsn {

namespace {

const std::string* Header(const AppRequest& request, const char* name) {
  for (const auto& [key, value] : request.headers)
    if (strcasecmp(key.c_str(), name) == 0) return &value;
  return nullptr;
}

// qsn::path
int PathCmd(RequestContext& context, Tcl_Interp* interp, int, Tcl_Obj* const[]) {
  Tcl_SetObjResult(interp, FromUtf8(context.request->path));
  return TCL_OK;
}

// qsn::header name
int HeaderCmd(RequestContext& context, Tcl_Interp* interp, int, Tcl_Obj* const objv[]) {
  const std::string* value = Header(*context.request, Tcl_GetString(objv[1]));
  if (value) Tcl_SetObjResult(interp, FromUtf8(*value));
  return TCL_OK;
}

// qsn::cookie name
int CookieCmd(RequestContext& context, Tcl_Interp* interp, int, Tcl_Obj* const objv[]) {
  std::optional<std::string> value =
      FindCookie(context.request->headers, Tcl_GetString(objv[1]));
  if (value) Tcl_SetObjResult(interp, FromUtf8(*value));
  return TCL_OK;
}

// qsn::setcookie name value ?attributes?
int SetCookieCmd(RequestContext& context, Tcl_Interp* interp, int objc,
                 Tcl_Obj* const objv[]) {
  std::string cookie = ToUtf8(objv[1]) + "=" + ToUtf8(objv[2]) + "; " +
                       (objc == 4 ? ToUtf8(objv[3]) : std::string("Path=/"));
  if (cookie.find_first_of("\r\n") != std::string::npos) {
    Tcl_SetObjResult(interp, Tcl_NewStringObj("cookie holds a line break", -1));
    return TCL_ERROR;
  }
  context.reply->headers.emplace_back("Set-Cookie", cookie);
  return TCL_OK;
}

// qsn::changeurl path
int ChangeUrlCmd(RequestContext& context, Tcl_Interp*, int, Tcl_Obj* const objv[]) {
  context.changeurl = Tcl_GetString(objv[1]);
  return TCL_OK;
}

bool GetStatus(Tcl_Interp* interp, Tcl_Obj* obj, int* status) {
  if (Tcl_GetIntFromObj(interp, obj, status) != TCL_OK) return false;
  // 1xx answers are interim: the real answer still has to follow them.
  if (*status < 200 || *status > 599) {
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("status %d is not 200 to 599", *status));
    return false;
  }
  return true;
}

// qsn::raw status body
int RawCmd(RequestContext& context, Tcl_Interp* interp, int, Tcl_Obj* const objv[]) {
  int status;
  if (!GetStatus(interp, objv[1], &status)) return TCL_ERROR;
  std::string body = BodyBytes(objv[2]);
  if ((status == 204 || status == 304) && !body.empty()) {
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("status %d carries no body", status));
    return TCL_ERROR;
  }
  context.reply->status = status;
  context.reply->body = std::move(body);
  context.raw = true;
  return TCL_OK;
}

// qsn::delay milliseconds
int DelayCmd(RequestContext& context, Tcl_Interp* interp, int, Tcl_Obj* const objv[]) {
  int ms;
  if (Tcl_GetIntFromObj(interp, objv[1], &ms) != TCL_OK) return TCL_ERROR;
  if (ms < 0 || ms > 600000) {
    Tcl_SetObjResult(interp, Tcl_NewStringObj("delay must be 0 to 600000 ms", -1));
    return TCL_ERROR;
  }
  // The HTTP thread waits, not this one: other clients go on being served.
  context.reply->delay_ms = ms;
  return TCL_OK;
}

// qsn::cut body bytes
int CutCmd(RequestContext& context, Tcl_Interp* interp, int, Tcl_Obj* const objv[]) {
  int bytes;
  if (Tcl_GetIntFromObj(interp, objv[2], &bytes) != TCL_OK) return TCL_ERROR;
  std::string body = BodyBytes(objv[1]);
  if (bytes < 0 || static_cast<size_t>(bytes) >= body.size()) {
    Tcl_SetObjResult(interp,
                     Tcl_NewStringObj("bytes must be below the body's length", -1));
    return TCL_ERROR;
  }
  context.reply->body = std::move(body);
  context.reply->cut_after = bytes;
  context.raw = true;
  return TCL_OK;
}

using CommandBody = int (*)(RequestContext& context, Tcl_Interp* interp, int objc,
                            Tcl_Obj* const objv[]);

struct QsnCommand {
  const char* name;
  CommandBody body;
  int least_words, most_words;  // the command's name counted
  const char* usage;
};

constexpr QsnCommand kCommands[] = {
    {"::qsn::path", PathCmd, 1, 1, ""},
    {"::qsn::header", HeaderCmd, 2, 2, "name"},
    {"::qsn::cookie", CookieCmd, 2, 2, "name"},
    {"::qsn::setcookie", SetCookieCmd, 3, 4, "name value ?attributes?"},
    {"::qsn::changeurl", ChangeUrlCmd, 2, 2, "path"},
    {"::qsn::raw", RawCmd, 3, 3, "status body"},
    {"::qsn::delay", DelayCmd, 2, 2, "milliseconds"},
    {"::qsn::cut", CutCmd, 3, 3, "body bytes"},
};

// The client data of each registered command.
struct Binding {
  const QsnCommand* command;
  RequestContext* context;
};

void FreeBinding(ClientData data) noexcept { delete static_cast<Binding*>(data); }

// Every qsn:: command: its argument count is checked first, then that a
// request is being served, then its body runs.
int RunQsnCommand(ClientData data, Tcl_Interp* interp, int objc,
                  Tcl_Obj* const objv[]) noexcept {
  const auto& [command, context] = *static_cast<Binding*>(data);
  if (objc < command->least_words || objc > command->most_words) {
    Tcl_WrongNumArgs(interp, 1, objv, command->usage);
    return TCL_ERROR;
  }
  if (!context->request) {
    Tcl_SetObjResult(
        interp, Tcl_ObjPrintf("%s: no request is being served", Tcl_GetString(objv[0])));
    return TCL_ERROR;
  }
  return command->body(*context, interp, objc, objv);
}

}  // namespace

void RegisterQsnCommands(Tcl_Interp* interp, RequestContext* context) {
  Tcl_Eval(interp, "namespace eval ::qsn {}; namespace eval ::rpc {}");
  for (const QsnCommand& command : kCommands) {
    Tcl_CreateObjCommand(interp, command.name, RunQsnCommand,
                         new Binding{&command, context}, FreeBinding);
  }
  Tcl_Eval(interp,
           "rename ::exit {}\n"
           "proc ::exit {args} {\n"
           "    error \"exit is not available to an application of the server\"\n"
           "}");
}

}  // namespace qsn
