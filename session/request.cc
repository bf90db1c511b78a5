// requestQSN: one request of the application protocol on a session, an HTTP
// POST in multipart/form-data with the fields "command" and "arglist", and
// what a waited request returns once its transfer has ended. Sets errorCode
// on every failure of its own (session/error_code.h).
#include "session/request.h"

#include <string>

#include "base/owners.h"
#include "base/platform.h"
#include "base/tcl_text.h"
#include "log/log.h"
#include "session/error_code.h"
#include "session/reply.h"
#include "session/send.h"
#include "session/session.h"
#include "session/session_table.h"
#include "session/texts.h"

namespace qsn {

namespace {

// Evaluates the callback prefix with `name` and `value` appended, in the
// scope `eval_flags` say. A prefix that is no list gets nothing appended.
int Report(Tcl_Interp* interp, Tcl_Obj* callback, const char* name, Tcl_WideInt value,
           int eval_flags) {
  ObjRef command(Tcl_DuplicateObj(callback));
  if (Tcl_ListObjAppendElement(nullptr, command.get(), Tcl_NewStringObj(name, -1)) ==
      TCL_OK)
    Tcl_ListObjAppendElement(nullptr, command.get(), Tcl_NewWideIntObj(value));
  return Tcl_EvalObjEx(interp, command.get(), eval_flags);
}

// A transfer that did not complete: logs `text` at level 1 as "errbuf=...",
// sets the result to `text`, a blank and `url`, and errorCode to QSN, `kind`
// and `detail` (may be null).
int FailTransfer(Tcl_Interp* interp, const std::string& text, const char* url,
                 const char* kind, const char* detail) {
  LogPrintf(1, kLogErrbuf, text.c_str());
  std::string message = text + " " + url;
  SetResult(interp, message.c_str());
  SetQsnErrorCode(interp, kind, detail);
  return TCL_ERROR;
}

// How a transfer that libcurl says did not complete is worded: the host's
// own words where it knows the cause better than libcurl's text (a reply
// it refused, a socket the system could not give), else libcurl's text,
// which may be empty. `kind` and `detail` make its errorCode.
struct Transport {
  std::string text;
  bool own = false;
  const char* kind = kErrorTransport;
  const char* detail = nullptr;
};

Transport DescribeTransport(const Session* session) {
  Transport t;
  t.detail = CurlCodeName(session->transfer_result());
  switch (session->refusal()) {
    case Refusal::kLimit:
      char text[80];
      std::snprintf(text, sizeof text, kReplyOverLimit, kReplyLimit);
      t.text = text;
      t.kind = kErrorLimit;
      t.detail = nullptr;
      t.own = true;
      return t;
    case Refusal::kMemory:
      t.text = kNoReplyMemory;
      t.own = true;
      return t;
    case Refusal::kNone:
      break;
  }
  // libcurl words a socket it could not open as a connection refused.
  if (IsDescriptorShortage(session->socket_error())) {
    t.text = kNoSocket + OsErrorText(session->socket_error());
    t.own = true;
    return t;
  }
  t.text = session->errbuf();
  return t;
}

// What concludes a request once its statistics are out, taken from the
// session and the buffer before the callback runs: the callback may close
// the session or send another request on it, which refills both.
struct Ending {
  long code;
  ReplyBody body;
  std::string errtext;  // libcurl's error text
  std::string url;      // the request's
  bool completed;       // libcurl says the transfer completed
  CURLcode result;      // how libcurl says it ended
  Transport transport;  // for one that did not complete
};

// A status that is no success: neither 2xx nor missing (0, no answer).
bool FailingStatus(long code) { return code >= 100 && (code < 200 || code > 299); }

// Step 1: whether the transfer failed, judged by the OS error number: only
// a transfer that left one (or whose number cannot be read) fails here, with
// the error text and the URL, or the number's words. A number left on the
// handle by an earlier failed transfer does not fail one that libcurl says
// completed, nor one whose peer had answered with a status that is no
// success: that answer tells what happened (ConcludeIncomplete). Returns
// TCL_OK, or TCL_ERROR with the message set.
int JudgeTransfer(Session* session, Tcl_Interp* interp) {
  long errcode = 0;
  bool known = session->OsError(&errcode);
  if (known) LogPrintf(1, kLogOsError, errcode);
  if (known && (errcode == 0 || session->completed())) return TCL_OK;
  if (FailingStatus(session->ResponseCode())) return TCL_OK;

  Transport t = DescribeTransport(session);
  if (!t.text.empty()) {
    session->DropReply();
    return FailTransfer(interp, t.text, session->request_url(), t.kind, t.detail);
  }
  SetResult(interp, errcode != 0 ? OsErrorText(errcode).c_str() : kUnknownError);
  SetQsnErrorCode(interp, t.kind, t.detail);
  return TCL_ERROR;
}

// Step 3: the five reports to the callback, in order; the first code other
// than TCL_OK ends them.
int ReportFigures(Session* session, Tcl_Interp* interp, Tcl_Obj* callback,
                  const Figures& figures, int eval_flags) {
  const struct {
    const char* name;
    Tcl_WideInt value;
  } reports[] = {{kStatReceivedTotal, session->received_total()},
                 {kStatSentTotal, session->sent_total()},
                 {kStatReceived, figures.received},
                 {kStatSent, figures.sent},
                 {kStatSpeed, figures.speed}};
  for (const auto& report : reports) {
    int result = Report(interp, callback, report.name, report.value, eval_flags);
    if (result != TCL_OK) return result;
  }
  return TCL_OK;
}

// A body that is no reply, under a status that is no success, most likely
// comes from something between client and server (a proxy's error page):
// the status after the parser's message says so.
int FailForStatus(Tcl_Interp* interp, long code, bool parsed) {
  Tcl_Obj* message = parsed ? Tcl_DuplicateObj(Tcl_GetObjResult(interp))
                            : Tcl_NewStringObj(kNoReply, -1);
  Tcl_AppendPrintfToObj(message, kStatusSuffix, code);
  Tcl_SetObjResult(interp, message);
  SetHttpErrorCode(interp, code);
  return TCL_ERROR;
}

// The reply in a body that arrived whole.
int ConcludeReply(Session* live, Tcl_Interp* interp, const Ending& ending) {
  std::string& body = *ending.body;
  // Servers written in C often send their string's terminating NUL too.
  size_t length = body.size();
  while (length > 0 && body[length - 1] == '\0') --length;
  body.resize(length);
  LogPrintf(4, kLogPreresult, body.c_str());
  std::string scratch, error;
  const char* text = nullptr;
  size_t text_length = 0;
  if (!FromWireText(body.data(), length, &scratch, &text, &text_length, &error)) {
    error = kReplyNotUtf8 + error;
    SetResult(interp, error.c_str());
    SetQsnErrorCode(interp, kErrorReply);
    return TCL_ERROR;
  }
  ReplyOutcome outcome;
  int result = ParseReply(interp, text, text_length, &outcome);
  bool no_reply =
      outcome.kind == ReplyKind::kMalformed || outcome.kind == ReplyKind::kNoOption;
  if (no_reply && FailingStatus(ending.code)) {
    result = FailForStatus(interp, ending.code, outcome.kind == ReplyKind::kMalformed);
    if (outcome.kind == ReplyKind::kNoOption) outcome.changeurl.reset();
  } else if (outcome.kind == ReplyKind::kServerError) {
    SetQsnErrorCode(interp, kErrorServer);
  } else if (outcome.kind == ReplyKind::kMalformed) {
    SetQsnErrorCode(interp, kErrorReply);
  } else if (outcome.kind == ReplyKind::kTooLarge) {
    SetQsnErrorCode(interp, kErrorLimit);
  }
  if (live && outcome.changeurl) live->MoveTo(*outcome.changeurl);
  LogPrintf(4, kLogPostresult, Tcl_GetStringResult(interp));
  return result;
}

// A transfer that libcurl says did not complete but that left no OS error
// number, or whose peer had answered with a failing status. With no body,
// libcurl's text alone is the message, as it always was ("Empty reply from
// server"); a partial body, or a failure the host words itself, fails with
// the text and the URL instead of being parsed.
int ConcludeIncomplete(Tcl_Interp* interp, const Ending& ending) {
  const Transport& t = ending.transport;
  // A refusal whose page was cut short is told by its status, as a whole
  // page that is no reply is: a proxy that answers 407 to a request whose
  // body it has not read resets the connection while its page is on the
  // way, and a script must still tell that from a broken network. libcurl's
  // words go to the log.
  if (!t.own && FailingStatus(ending.code)) {
    LogPrintf(1, kLogErrbuf,
              t.text.empty() ? curl_easy_strerror(ending.result) : t.text.c_str());
    return FailForStatus(interp, ending.code, false);
  }
  bool body = ending.body && !ending.body->empty();
  if (!body && !t.own && !t.text.empty()) {
    SetResult(interp, t.text.c_str());
    SetQsnErrorCode(interp, t.kind, t.detail);
    return TCL_ERROR;
  }
  std::string text = t.text.empty() ? curl_easy_strerror(ending.result) : t.text;
  return FailTransfer(interp, text, ending.url.c_str(), t.kind, t.detail);
}

// Step 4: the result of the request. `live` is its session, or null when
// the callback closed it: the server's path then goes nowhere.
int Conclude(Session* live, Tcl_Interp* interp, const Ending& ending) {
  if (ending.code == 404) {
    SetResult(interp, kServerDied);
    SetHttpErrorCode(interp, 404);
    if (live) live->ForgetPath();
    return TCL_ERROR;
  }
  if (!ending.completed) return ConcludeIncomplete(interp, ending);
  if (ending.body && !ending.body->empty()) return ConcludeReply(live, interp, ending);
  if (!ending.errtext.empty()) {
    SetResult(interp, ending.errtext.c_str());
    SetQsnErrorCode(interp, kErrorTransport, CurlCodeName(CURLE_OK));
    return TCL_ERROR;
  }
  if (FailingStatus(ending.code)) return FailForStatus(interp, ending.code, false);
  Tcl_ResetResult(interp);
  LogPrintf(2, kLogEmptyResult);
  return TCL_OK;
}

}  // namespace

int RequestOutcome(Session* session, Tcl_Interp* interp, Tcl_Obj* callback,
                   int eval_flags) {
  if (JudgeTransfer(session, interp) != TCL_OK) return TCL_ERROR;
  Figures figures = session->LogStatistics();
  bool completed = session->completed();
  Ending ending{figures.code,
                session->TakeReply(),
                session->errbuf(),
                session->request_url(),
                completed,
                session->transfer_result(),
                completed ? Transport{} : DescribeTransport(session)};
  if (callback) {
    int result = ReportFigures(session, interp, callback, figures, eval_flags);
    if (result != TCL_OK) return result;
  }
  return Conclude(session->closed ? nullptr : session, interp, ending);
}

namespace {

// The fifth word. A word that is no boolean leaves the request waited for,
// as it always did, with Tcl's message in the result until the request
// replaces it, and a line in the log naming the word.
int ReadNowait(Tcl_Interp* interp, Tcl_Obj* word) {
  int nowait = 0;
  if (Tcl_GetBooleanFromObj(interp, word, &nowait) != TCL_OK) {
    LogPrintf(1, kLogNowaitNotBoolean, Tcl_GetString(word));
    return 0;
  }
  return nowait;
}

// A request that failed before its outcome: its message, errorCode QSN
// TRANSPORT and libcurl's code.
int FailRequest(Session* session, Tcl_Interp* interp, const std::string& message) {
  SetResult(interp, message.c_str());
  SetQsnErrorCode(interp, kErrorTransport, session->error_name());
  return TCL_ERROR;
}

}  // namespace

// requestQSN sessionId command arglist ?nowait? ?statisticsCallback?
int RequestCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) noexcept {
  if (objc < 4 || objc > 6) {
    Tcl_WrongNumArgs(interp, 1, objv, kRequestUsage);
    SetQsnErrorCode(interp, kErrorUsage);
    return TCL_ERROR;
  }
  Session* session = FindSession(interp, objv[1]);
  if (!session) return TCL_ERROR;
  int nowait = objc > 4 ? ReadNowait(interp, objv[4]) : 0;
  Tcl_Obj* callback = objc > 5 ? objv[5] : nullptr;
  SessionUse use(session);
  // The session's sendQSN requests go first; one of their done commands
  // may close the session.
  SendsFirst sends_first(interp, session);
  if (session->closed) {
    SetResult(interp, kSessionClosed);
    SetQsnErrorCode(interp, kErrorClosed);
    return TCL_ERROR;
  }

  std::string error;
  if (!session->Finish(&error) || !session->Start(objv[2], objv[3], !nowait, &error))
    return FailRequest(session, interp, error);
  if (nowait) {
    Tcl_ResetResult(interp);
    LogPrintf(2, kLogNowaitEmpty);
    return TCL_OK;
  }
  return RequestOutcome(session, interp, callback, TCL_EVAL_DIRECT);
}

}  // namespace qsn
