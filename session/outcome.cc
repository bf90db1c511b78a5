// The outcome of a waited request and its statistics.
#include "session/outcome.h"

#include <cstring>
#include <optional>
#include <string>

#include "base/owners.h"
#include "base/platform.h"
#include "log/log.h"
#include "session/reply.h"
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

// What concludes a request once its statistics are out, taken from the
// session and the buffer before the callback runs: the callback may close
// the session or send another request on it, which refills both.
struct Ending {
  long code;
  ResponseBody body;
  std::string errtext;
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

// Step 1: whether the transfer completed. How libcurl says it ended decides,
// not the OS error number: a malformed URL or a refused write leaves none,
// and the number of an earlier failed transfer stays on the handle until
// another replaces it. Returns TCL_OK, or TCL_ERROR with the message set.
int JudgeTransfer(Session* session, Tcl_Interp* interp) {
  long errcode = 0;
  bool known =
      curl_easy_getinfo(session->easy.get(), CURLINFO_OS_ERRNO, &errcode) == CURLE_OK;
  if (known) LogPrintf(1, "error code=%ld\n", errcode);
  bool completed = session->transfer_done && session->transfer_result == CURLE_OK;
  if (known && completed) return TCL_OK;

  bool ended = session->transfer_done && session->transfer_result != CURLE_OK;
  // The write callback is the only writer that refuses: past the limit, or
  // without memory for the buffer.
  if (ended && session->transfer_result == CURLE_WRITE_ERROR) {
    std::string text = ResponseRefusedForMemory()
                           ? "out of memory for the reply"
                           : "the reply is over the limit of " +
                                 std::to_string(kResponseLimit) + " bytes";
    return FailTransfer(session, interp, text.c_str());
  }
  if (session->errbuf[0]) return FailTransfer(session, interp, session->errbuf);
  if (ended)
    return FailTransfer(session, interp, curl_easy_strerror(session->transfer_result));
  SetResult(interp,
            errcode != 0 ? qsn::OsErrorText(errcode).c_str() : "Неопределённая ошибка");
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

// A body that is no reply, under a status that is no success, most likely
// comes from something between client and server (a proxy's error page):
// the status after the parser's message says so.
void AppendStatus(Tcl_Interp* interp, long code) {
  Tcl_Obj* message = Tcl_DuplicateObj(Tcl_GetObjResult(interp));
  Tcl_AppendPrintfToObj(message, " (HTTP %ld)", code);
  Tcl_SetObjResult(interp, message);
}

// Step 4: the result of the request. `live` is its session, or null when
// the callback closed it: the server's path then goes nowhere.
int Conclude(Session* live, Tcl_Interp* interp, const Ending& ending) {
  if (ending.code == 404) {
    SetResult(interp, "Сервер умер");
    if (live) Tcl_DStringSetLength(live->path.get(), 0);
    return TCL_ERROR;
  }
  if (ending.body && ending.body->length() > 0) {
    const qsn::DString& body = *ending.body;
    LogPrintf(4, "preresult=%s\n", body.value());
    qsn::DString scratch;
    const char* text = FromWireText(body.value(), body.length(), scratch.get());
    if (!text) {
      SetResult(interp, "cannot convert the reply from UTF-8: Tcl has no utf-8 encoding");
      return TCL_ERROR;
    }
    std::optional<std::string> changeurl;
    bool malformed = false;
    int result = ParseReply(interp, text, &changeurl, &malformed);
    if (malformed && ending.code >= 100 && (ending.code < 200 || ending.code > 299))
      AppendStatus(interp, ending.code);
    if (live && changeurl) {
      Tcl_DStringSetLength(live->path.get(), 0);
      Tcl_DStringAppend(live->path.get(), changeurl->data(), -1);
    }
    LogPrintf(4, "postresult=%s\n", Tcl_GetStringResult(interp));
    return result;
  }
  if (!ending.errtext.empty()) {
    SetResult(interp, ending.errtext.c_str());
    return TCL_ERROR;
  }
  Tcl_ResetResult(interp);
  LogPrintf(2, "empty result\n");
  return TCL_OK;
}

}  // namespace

int FailTransfer(Session* session, Tcl_Interp* interp, const char* text) {
  LogPrintf(1, "errbuf=%s\n", text);
  std::string message = std::string(text) + " " + session->request_url.value();
  SetResult(interp, message.c_str());
  ResetResponseBuffer();
  return TCL_ERROR;
}

int FinishWaitedRequest(Session* session, Tcl_Interp* interp, std::time_t t1,
                        Tcl_Obj* callback) {
  if (JudgeTransfer(session, interp) != TCL_OK) return TCL_ERROR;
  Figures figures = LogStatistics(session, t1);
  Ending ending{figures.code, TakeResponseBuffer(), session->errbuf};
  if (callback) {
    int result = ReportFigures(session, interp, callback, figures);
    if (result != TCL_OK) return result;
  }
  return Conclude(session->closed ? nullptr : session, interp, ending);
}
