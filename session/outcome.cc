// The outcome of a waited request and its statistics.
#include "session/outcome.h"

#include <cstring>
#include <optional>
#include <string>

#include "base/owners.h"
#include "base/platform.h"
#include "log/log.h"
#include "session/error_code.h"
#include "session/reply.h"
#include "session/request_url.h"
#include "session/response_buffer.h"
#include "session/wire_text.h"

namespace {

void SetResult(Tcl_Interp* interp, const char* text) {
  Tcl_SetObjResult(interp, Tcl_NewStringObj(text, -1));
}

// Evaluates the callback prefix with `name` and `value` appended, in the
// caller's scope. A prefix that is no list gets nothing appended.
int Report(Tcl_Interp* interp, Tcl_Obj* callback, const char* name, Tcl_WideInt value) {
  qsn::ObjRef command(Tcl_DuplicateObj(callback));
  if (Tcl_ListObjAppendElement(nullptr, command.get(), Tcl_NewStringObj(name, -1)) ==
      TCL_OK)
    Tcl_ListObjAppendElement(nullptr, command.get(), Tcl_NewWideIntObj(value));
  return Tcl_EvalObjEx(interp, command.get(), TCL_EVAL_DIRECT);
}

// What the statistics callback is told of one request.
struct Figures {
  long code = 0;  // the HTTP status
  int32_t sent = 0;
  int32_t received = 0;
  int32_t speed = 0;
};

// How a transfer that libcurl says did not complete is worded: the host's
// own words where it knows the cause better than libcurl's text (a reply
// it refused, a socket the system could not give), else libcurl's text,
// which may be empty. `kind` and `detail` make its errorCode.
struct Transport {
  std::string text;
  bool own = false;
  const char* kind = "TRANSPORT";
  const char* detail = nullptr;
};

Transport DescribeTransport(const Session* session) {
  Transport t;
  t.detail = CurlCodeName(session->transfer_result);
  switch (ResponseRefusal()) {
    case Refusal::kLimit:
      t.text =
          "the reply is over the limit of " + std::to_string(kResponseLimit) + " bytes";
      t.kind = "LIMIT";
      t.detail = nullptr;
      t.own = true;
      return t;
    case Refusal::kMemory:
      t.text = "out of memory for the reply";
      t.own = true;
      return t;
    case Refusal::kNone:
      break;
  }
  // libcurl words a socket it could not open as a connection refused.
  if (qsn::IsDescriptorShortage(session->socket_error)) {
    t.text = "cannot open a socket: " + qsn::OsErrorText(session->socket_error);
    t.own = true;
    return t;
  }
  t.text = session->errbuf;
  return t;
}

// What concludes a request once its statistics are out, taken from the
// session and the buffer before the callback runs: the callback may close
// the session or send another request on it, which refills both.
struct Ending {
  long code;
  ResponseBody body;
  std::string errtext;  // libcurl's error text
  std::string url;      // the request's
  bool completed;       // libcurl says the transfer completed
  CURLcode result;      // how libcurl says it ended
  Transport transport;  // for one that did not complete
};

// The log lines of the bytes of one direction: its head (request line or
// status line, with the headers) as a long, its body and the two together
// as doubles. Whole formats rather than names put in through "%s": the
// formatting copies literal text for less, and these lines go out with
// every request.
struct ByteLines {
  const char* head;
  const char* body;
  const char* total;
};
constexpr ByteLines kSentLines = {"отправлено байт запроса=%ld\n", "заслано байт=%g\n",
                                  "отправлено байт всего=%g\n"};
constexpr ByteLines kReceivedLines = {"получено байт заголовка=%ld\n",
                                      "получено байт=%g\n", "получено байт всего=%g\n"};

// Logs the bytes of one direction, each figure only when libcurl knows it,
// and returns the head and the body together.
curl_off_t LogBytes(CURL* easy, CURLINFO head_info, CURLINFO body_info,
                    const ByteLines& lines) {
  long head = 0;
  if (curl_easy_getinfo(easy, head_info, &head) == CURLE_OK)
    LogPrintf(3, lines.head, head);
  curl_off_t body = 0;
  if (curl_easy_getinfo(easy, body_info, &body) == CURLE_OK)
    LogPrintf(3, lines.body, static_cast<double>(body));
  LogPrintf(3, lines.total, static_cast<double>(head + body));
  return head + body;
}

// Step 1: whether the transfer failed, judged by the OS error number: only
// a transfer that left one (or whose number cannot be read) fails here, with
// the error text and the URL, or the number's words. A number left on the
// handle by an earlier failed transfer does not fail one that libcurl says
// completed. Returns TCL_OK, or TCL_ERROR with the message set.
int JudgeTransfer(Session* session, Tcl_Interp* interp) {
  long errcode = 0;
  bool known =
      curl_easy_getinfo(session->easy.get(), CURLINFO_OS_ERRNO, &errcode) == CURLE_OK;
  if (known) LogPrintf(1, "error code=%ld\n", errcode);
  bool completed = session->transfer_done && session->transfer_result == CURLE_OK;
  if (known && (errcode == 0 || completed)) return TCL_OK;

  Transport t = DescribeTransport(session);
  if (!t.text.empty())
    return FailTransfer(interp, t.text, session->request_url.value(), t.kind, t.detail);
  SetResult(interp,
            errcode != 0 ? qsn::OsErrorText(errcode).c_str() : "Неопределённая ошибка");
  SetQsnErrorCode(interp, t.kind, t.detail);
  return TCL_ERROR;
}

// Step 2: logs the statistics of the ended transfer, each line only when
// libcurl knows its figure, and adds the bytes to the session's totals.
Figures LogStatistics(Session* session, std::time_t t1) {
  CURL* easy = session->easy.get();
  Figures figures;
  std::time_t t2 = std::time(nullptr);
  char* replyurl = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &replyurl) == CURLE_OK && replyurl)
    LogPrintf(3, "reply from url=%s\n", replyurl);
  if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &figures.code) == CURLE_OK)
    LogPrintf(3, "response code=%ld\n", figures.code);
  figures.sent = static_cast<int32_t>(
      LogBytes(easy, CURLINFO_REQUEST_SIZE, CURLINFO_SIZE_UPLOAD_T, kSentLines));
  session->sent_total += figures.sent;
  figures.received = static_cast<int32_t>(
      LogBytes(easy, CURLINFO_HEADER_SIZE, CURLINFO_SIZE_DOWNLOAD_T, kReceivedLines));
  session->received_total += figures.received;
  curl_off_t downspeed = 0;
  if (curl_easy_getinfo(easy, CURLINFO_SPEED_DOWNLOAD_T, &downspeed) == CURLE_OK)
    LogPrintf(3, "скорость заполучения=%g\n", static_cast<double>(downspeed));
  figures.speed = static_cast<int32_t>(downspeed);
  LogPrintf(3, "Длительность выполнения запроса=%g\n", std::difftime(t2, t1));
  return figures;
}

// Step 3: the five reports to the callback, in order; the first code other
// than TCL_OK ends them.
int ReportFigures(Session* session, Tcl_Interp* interp, Tcl_Obj* callback,
                  const Figures& figures) {
  const struct {
    const char* name;
    Tcl_WideInt value;
  } reports[] = {{"artotal", session->received_total},
                 {"astotal", session->sent_total},
                 {"rtotal", figures.received},
                 {"stotal", figures.sent},
                 {"rspeed", figures.speed}};
  for (const auto& report : reports) {
    int result = Report(interp, callback, report.name, report.value);
    if (result != TCL_OK) return result;
  }
  return TCL_OK;
}

// A status that is no success: neither 2xx nor missing (0, no answer).
bool FailingStatus(long code) { return code >= 100 && (code < 200 || code > 299); }

// A body that is no reply, under a status that is no success, most likely
// comes from something between client and server (a proxy's error page):
// the status after the parser's message says so.
int FailForStatus(Tcl_Interp* interp, long code, bool parsed) {
  Tcl_Obj* message = parsed ? Tcl_DuplicateObj(Tcl_GetObjResult(interp))
                            : Tcl_NewStringObj("no reply", -1);
  Tcl_AppendPrintfToObj(message, " (HTTP %ld)", code);
  Tcl_SetObjResult(interp, message);
  SetHttpErrorCode(interp, code);
  return TCL_ERROR;
}

// Moves the session to the server's path, unless libcurl could not use the
// URL it makes: the session would then fail every request until a 404.
void ChangePath(Session* live, const std::string& path) {
  if (!UsableUrl(live->base_url, path.data(), static_cast<int>(path.size()))) {
    LogPrintf(1, "-changeurl %s ignored: libcurl cannot use it\n", path.c_str());
    return;
  }
  Tcl_DStringSetLength(live->path.get(), 0);
  Tcl_DStringAppend(live->path.get(), path.data(), static_cast<int>(path.size()));
}

// The reply in a body that arrived whole.
int ConcludeReply(Session* live, Tcl_Interp* interp, const Ending& ending) {
  std::string& body = *ending.body;
  // Servers written in C often send their string's terminating NUL too.
  size_t length = body.size();
  while (length > 0 && body[length - 1] == '\0') --length;
  body.resize(length);
  LogPrintf(4, "preresult=%s\n", body.c_str());
  std::string scratch;
  size_t text_length = 0;
  const char* text = FromWireText(body.data(), length, &scratch, &text_length);
  if (!text) {
    SetResult(interp, "cannot convert the reply from UTF-8: Tcl has no utf-8 encoding");
    SetQsnErrorCode(interp, "REPLY");
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
    SetQsnErrorCode(interp, "SERVER");
  } else if (outcome.kind == ReplyKind::kMalformed) {
    SetQsnErrorCode(interp, "REPLY");
  } else if (outcome.kind == ReplyKind::kTooLarge) {
    SetQsnErrorCode(interp, "LIMIT");
  }
  if (live && outcome.changeurl) ChangePath(live, *outcome.changeurl);
  LogPrintf(4, "postresult=%s\n", Tcl_GetStringResult(interp));
  return result;
}

// A transfer that libcurl says did not complete but that left no OS error
// number. With no body, libcurl's text alone is the message, as it always
// was ("Empty reply from server"); a partial body, or a failure the host
// words itself, fails with the text and the URL instead of being parsed.
int ConcludeIncomplete(Tcl_Interp* interp, const Ending& ending) {
  const Transport& t = ending.transport;
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
    SetResult(interp, "Сервер умер");
    SetHttpErrorCode(interp, 404);
    if (live) Tcl_DStringSetLength(live->path.get(), 0);
    return TCL_ERROR;
  }
  if (!ending.completed) return ConcludeIncomplete(interp, ending);
  if (ending.body && !ending.body->empty()) return ConcludeReply(live, interp, ending);
  if (!ending.errtext.empty()) {
    SetResult(interp, ending.errtext.c_str());
    SetQsnErrorCode(interp, "TRANSPORT", CurlCodeName(CURLE_OK));
    return TCL_ERROR;
  }
  if (FailingStatus(ending.code)) return FailForStatus(interp, ending.code, false);
  Tcl_ResetResult(interp);
  LogPrintf(2, "empty result\n");
  return TCL_OK;
}

}  // namespace

int FailTransfer(Tcl_Interp* interp, const std::string& text, const char* url,
                 const char* kind, const char* detail) {
  LogPrintf(1, "errbuf=%s\n", text.c_str());
  std::string message = text + " " + url;
  SetResult(interp, message.c_str());
  SetQsnErrorCode(interp, kind, detail);
  ResetResponseBuffer();
  return TCL_ERROR;
}

int FinishWaitedRequest(Session* session, Tcl_Interp* interp, std::time_t t1,
                        Tcl_Obj* callback) {
  if (JudgeTransfer(session, interp) != TCL_OK) return TCL_ERROR;
  Figures figures = LogStatistics(session, t1);
  bool completed = session->transfer_done && session->transfer_result == CURLE_OK;
  Ending ending{figures.code,
                TakeResponseBuffer(),
                session->errbuf,
                session->request_url.value(),
                completed,
                session->transfer_result,
                completed ? Transport{} : DescribeTransport(session)};
  if (callback) {
    int result = ReportFigures(session, interp, callback, figures);
    if (result != TCL_OK) return result;
  }
  return Conclude(session->closed ? nullptr : session, interp, ending);
}
