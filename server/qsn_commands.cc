// The qsn:: command set.
#include "server/qsn_commands.h"

#include <strings.h>

#include <optional>

#include "server/cookies.h"
#include "server/tcl_text.h"

namespace {

RequestContext* current = nullptr;

bool InRequest(Tcl_Interp* interp, Tcl_Obj* const objv[]) {
  if (current) return true;
  Tcl_SetObjResult(
      interp, Tcl_ObjPrintf("%s: no request is being served", Tcl_GetString(objv[0])));
  return false;
}

const std::string* Header(const char* name) {
  for (const auto& [key, value] : current->request->headers)
    if (strcasecmp(key.c_str(), name) == 0) return &value;
  return nullptr;
}

// qsn::path
int PathCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
  if (objc != 1) {
    Tcl_WrongNumArgs(interp, 1, objv, "");
    return TCL_ERROR;
  }
  if (!InRequest(interp, objv)) return TCL_ERROR;
  Tcl_SetObjResult(interp, FromUtf8(current->request->path));
  return TCL_OK;
}

// qsn::header name
int HeaderCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
  if (objc != 2) {
    Tcl_WrongNumArgs(interp, 1, objv, "name");
    return TCL_ERROR;
  }
  if (!InRequest(interp, objv)) return TCL_ERROR;
  const std::string* value = Header(Tcl_GetString(objv[1]));
  if (value) Tcl_SetObjResult(interp, FromUtf8(*value));
  return TCL_OK;
}

// qsn::cookie name
int CookieCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
  if (objc != 2) {
    Tcl_WrongNumArgs(interp, 1, objv, "name");
    return TCL_ERROR;
  }
  if (!InRequest(interp, objv)) return TCL_ERROR;
  std::optional<std::string> value =
      FindCookie(current->request->headers, Tcl_GetString(objv[1]));
  if (value) Tcl_SetObjResult(interp, FromUtf8(*value));
  return TCL_OK;
}

// qsn::setcookie name value ?attributes?
int SetCookieCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
  if (objc < 3 || objc > 4) {
    Tcl_WrongNumArgs(interp, 1, objv, "name value ?attributes?");
    return TCL_ERROR;
  }
  if (!InRequest(interp, objv)) return TCL_ERROR;
  std::string cookie = ToUtf8(objv[1]) + "=" + ToUtf8(objv[2]) + "; " +
                       (objc == 4 ? ToUtf8(objv[3]) : std::string("Path=/"));
  if (cookie.find_first_of("\r\n") != std::string::npos) {
    Tcl_SetObjResult(interp, Tcl_NewStringObj("cookie holds a line break", -1));
    return TCL_ERROR;
  }
  current->reply->headers.emplace_back("Set-Cookie", cookie);
  return TCL_OK;
}

// qsn::changeurl path
int ChangeUrlCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
  if (objc != 2) {
    Tcl_WrongNumArgs(interp, 1, objv, "path");
    return TCL_ERROR;
  }
  if (!InRequest(interp, objv)) return TCL_ERROR;
  current->changeurl = Tcl_GetString(objv[1]);
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
int RawCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
  if (objc != 3) {
    Tcl_WrongNumArgs(interp, 1, objv, "status body");
    return TCL_ERROR;
  }
  if (!InRequest(interp, objv)) return TCL_ERROR;
  int status;
  if (!GetStatus(interp, objv[1], &status)) return TCL_ERROR;
  std::string body = BodyBytes(objv[2]);
  if ((status == 204 || status == 304) && !body.empty()) {
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("status %d carries no body", status));
    return TCL_ERROR;
  }
  current->reply->status = status;
  current->reply->body = std::move(body);
  current->raw = true;
  return TCL_OK;
}

// qsn::delay milliseconds
int DelayCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
  if (objc != 2) {
    Tcl_WrongNumArgs(interp, 1, objv, "milliseconds");
    return TCL_ERROR;
  }
  if (!InRequest(interp, objv)) return TCL_ERROR;
  int ms;
  if (Tcl_GetIntFromObj(interp, objv[1], &ms) != TCL_OK) return TCL_ERROR;
  if (ms < 0 || ms > 600000) {
    Tcl_SetObjResult(interp, Tcl_NewStringObj("delay must be 0 to 600000 ms", -1));
    return TCL_ERROR;
  }
  // The HTTP thread waits, not this one: other clients go on being served.
  current->reply->delay_ms = ms;
  return TCL_OK;
}

// qsn::cut body bytes
int CutCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
  if (objc != 3) {
    Tcl_WrongNumArgs(interp, 1, objv, "body bytes");
    return TCL_ERROR;
  }
  if (!InRequest(interp, objv)) return TCL_ERROR;
  int bytes;
  if (Tcl_GetIntFromObj(interp, objv[2], &bytes) != TCL_OK) return TCL_ERROR;
  std::string body = BodyBytes(objv[1]);
  if (bytes < 0 || static_cast<size_t>(bytes) >= body.size()) {
    Tcl_SetObjResult(interp,
                     Tcl_NewStringObj("bytes must be below the body's length", -1));
    return TCL_ERROR;
  }
  current->reply->body = std::move(body);
  current->reply->cut_after = bytes;
  current->raw = true;
  return TCL_OK;
}

}  // namespace

void SetRequestContext(RequestContext* context) { current = context; }

void RegisterQsnCommands(Tcl_Interp* interp) {
  Tcl_Eval(interp, "namespace eval ::qsn {}; namespace eval ::rpc {}");
  Tcl_CreateObjCommand(interp, "::qsn::path", PathCmd, nullptr, nullptr);
  Tcl_CreateObjCommand(interp, "::qsn::header", HeaderCmd, nullptr, nullptr);
  Tcl_CreateObjCommand(interp, "::qsn::cookie", CookieCmd, nullptr, nullptr);
  Tcl_CreateObjCommand(interp, "::qsn::setcookie", SetCookieCmd, nullptr, nullptr);
  Tcl_CreateObjCommand(interp, "::qsn::changeurl", ChangeUrlCmd, nullptr, nullptr);
  Tcl_CreateObjCommand(interp, "::qsn::raw", RawCmd, nullptr, nullptr);
  Tcl_CreateObjCommand(interp, "::qsn::delay", DelayCmd, nullptr, nullptr);
  Tcl_CreateObjCommand(interp, "::qsn::cut", CutCmd, nullptr, nullptr);
  Tcl_Eval(interp,
           "rename ::exit {}\n"
           "proc ::exit {args} {\n"
           "    error \"exit is not available to an application of the server\"\n"
           "}");
}
