// The outcome of a waited request and its statistics.
#include "session/outcome.h"

#include <cstring>
#include <string>

#include "base/owners.h"
#include "log/log.h"
#include "session/reply.h"

namespace {

void SetResult(Tcl_Interp* interp, const char* text) {
  Tcl_SetObjResult(interp, Tcl_NewStringObj(text, -1));
}

// Moves the body out of ResponseBuffer without copying a large one: a
// statistics callback may send another request, which refills the buffer.
void TakeResponse(Tcl_DString* to) {
  Tcl_DString* from = &ResponseBuffer;
  if (from->string == from->staticSpace) {
    Tcl_DStringAppend(to, from->string, from->length);
    Tcl_DStringSetLength(from, 0);
    return;
  }
  Tcl_DStringFree(to);
  to->string = from->string;
  to->length = from->length;
  to->spaceAvl = from->spaceAvl;
  Tcl_DStringInit(from);
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

}  // namespace

int FinishWaitedRequest(Session* session, Tcl_Interp* interp, std::time_t t1,
                        Tcl_Obj* callback) {
  CURL* easy = session->easy;
  long errcode = 0;
  bool failed = true;
  if (curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &errcode) == CURLE_OK) {
    LogPrintf(1, "error code=%ld\n", errcode);
    // libcurl keeps the OS error of an earlier failed transfer on the handle
    // until another one replaces it: a transfer it reports as complete and
    // successful has not failed, whatever number is left over.
    bool succeeded = session->transfer_done && session->transfer_result == CURLE_OK;
    failed = errcode != 0 && !succeeded;
  }
  if (failed) {
    if (session->errbuf[0]) {
      LogPrintf(1, "errbuf=%s\n", session->errbuf);
      std::string message =
          std::string(session->errbuf) + " " + Tcl_DStringValue(&session->request_url);
      SetResult(interp, message.c_str());
    } else if (errcode != 0) {
      SetResult(interp, std::strerror(errcode));
    } else {
      SetResult(interp, "Неопределённая ошибка");
    }
    return TCL_ERROR;
  }

  std::time_t t2 = std::time(nullptr);
  char* replyurl = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &replyurl) == CURLE_OK && replyurl)
    LogPrintf(3, "reply from url=%s\n", replyurl);
  long code = 0;
  if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK)
    LogPrintf(3, "response code=%ld\n", code);
  long rr = 0;
  if (curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &rr) == CURLE_OK)
    LogPrintf(3, "отправлено байт запроса=%ld\n", rr);
  curl_off_t uploaded = 0;
  if (curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &uploaded) == CURLE_OK)
    LogPrintf(3, "заслано байт=%g\n", static_cast<double>(uploaded));
  LogPrintf(3, "отправлено байт всего=%g\n", static_cast<double>(rr + uploaded));
  int32_t sent = static_cast<int32_t>(uploaded + rr);
  session->sent_total += sent;
  long hs = 0;
  if (curl_easy_getinfo(easy, CURLINFO_HEADER_SIZE, &hs) == CURLE_OK)
    LogPrintf(3, "получено байт заголовка=%ld\n", hs);
  curl_off_t downloaded = 0;
  if (curl_easy_getinfo(easy, CURLINFO_SIZE_DOWNLOAD_T, &downloaded) == CURLE_OK)
    LogPrintf(3, "получено байт=%g\n", static_cast<double>(downloaded));
  LogPrintf(3, "получено байт всего=%g\n", static_cast<double>(hs + downloaded));
  int32_t received = static_cast<int32_t>(downloaded + hs);
  session->received_total += received;
  curl_off_t downspeed = 0;
  if (curl_easy_getinfo(easy, CURLINFO_SPEED_DOWNLOAD_T, &downspeed) == CURLE_OK)
    LogPrintf(3, "скорость заполучения=%g\n", static_cast<double>(downspeed));
  LogPrintf(3, "Длительность выполнения запроса=%g\n", std::difftime(t2, t1));

  // Everything the rest needs from the session and the buffer is taken
  // now: the callback may close the session or send another request on it.
  qsn::DString body;
  TakeResponse(body.get());
  std::string errtext = session->errbuf;
  bool cut_short = session->transfer_done && session->transfer_result != CURLE_OK;

  int result = TCL_OK;
  if (callback) {
    const struct {
      const char* name;
      Tcl_WideInt value;
    } reports[] = {{"artotal", session->received_total},
                   {"astotal", session->sent_total},
                   {"rtotal", received},
                   {"stotal", sent},
                   {"rspeed", static_cast<int32_t>(downspeed)}};
    for (const auto& report : reports) {
      result = Report(interp, callback, report.name, report.value);
      if (result != TCL_OK) return result;
    }
  }
  Session* live = session->closed ? nullptr : session;

  if (code == 404) {
    SetResult(interp, "Сервер умер");
    if (live) Tcl_DStringSetLength(&live->path, 0);
    return TCL_ERROR;
  }
  // A transfer libcurl reports as failed without an OS error (a connection
  // closed mid-body) leaves a partial body that must not pass for a reply.
  if (body.length() > 0 && !(cut_short && !errtext.empty())) {
    LogPrintf(4, "preresult=%s\n", body.value());
    result = ParseReply(live, interp, body.value());
    LogPrintf(4, "postresult=%s\n", Tcl_GetStringResult(interp));
    return result;
  }
  if (!errtext.empty()) {
    SetResult(interp, errtext.c_str());
    return TCL_ERROR;
  }
  Tcl_ResetResult(interp);
  LogPrintf(2, "empty result\n");
  return TCL_OK;
}
