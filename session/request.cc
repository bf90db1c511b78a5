// requestQSN: one request of the application protocol on a session, an HTTP
// POST in multipart/form-data with the fields "command" and "arglist".
#include <cstring>
#include <ctime>

#include "log/log.h"
#include "session/outcome.h"
#include "session/request_url.h"
#include "session/session.h"
#include "session/transfer.h"

namespace {

constexpr long kEInProgress = 115;

// Sets up every option of the request on the session's easy handle. Returns
// false with a message in the result when libcurl refuses one.
bool SetUpTransfer(Session* session, Tcl_Interp* interp, Tcl_Obj* command,
                   Tcl_Obj* arglist) {
  CURL* easy = session->easy;
  curl_easy_reset(easy);
  ComposeRequestUrl(session);
  curl_easy_setopt(easy, CURLOPT_URL, Tcl_DStringValue(&session->request_url));
  if (Tcl_DStringLength(&session->proxy) > 0) {
    curl_easy_setopt(easy, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
    curl_easy_setopt(easy, CURLOPT_PROXY, Tcl_DStringValue(&session->proxy));
  }
  LogPrintf(3, "url='%s'\n", Tcl_DStringValue(&session->request_url));
  // Peer verification is off by design: deployments reach servers whose
  // certificates the desktop does not know.
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
  // Cookies the server sets stay in this handle and go back with later
  // requests of this session only. The engine is switched on with an empty
  // cookie line rather than an empty cookie file name: libcurl 7.88 loses
  // the list of file names on every reset, a leak per request.
  curl_easy_setopt(easy, CURLOPT_COOKIELIST, "Set-Cookie:");
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, WriteToResponse);
  Tcl_DStringSetLength(&ResponseBuffer, 0);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &ResponseBuffer);
  session->errbuf[0] = '\0';
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, session->errbuf);
  curl_easy_setopt(easy, CURLOPT_POST, 1L);

  // An empty Expect header keeps libcurl from waiting for 100-continue
  // before large bodies.
  session->headers = curl_slist_append(nullptr, "Expect:");
  session->form = curl_mime_init(easy);
  if (!session->headers || !session->form) {
    Tcl_SetObjResult(interp, Tcl_NewStringObj("out of memory for the request", -1));
    return false;
  }
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, session->headers);

  struct {
    const char* name;
    Tcl_Obj* value;
  } fields[] = {{"command", command}, {"arglist", arglist}};
  for (const auto& field : fields) {
    int length;
    const char* value = Tcl_GetStringFromObj(field.value, &length);
    LogPrintf(3, "%s=%s\n", field.name, value);
    curl_mimepart* part = curl_mime_addpart(session->form);
    if (!part || curl_mime_name(part, field.name) != CURLE_OK ||
        curl_mime_data(part, value, length) != CURLE_OK) {
      Tcl_SetObjResult(interp, Tcl_NewStringObj("cannot build the request form", -1));
      return false;
    }
  }
  curl_easy_setopt(easy, CURLOPT_MIMEPOST, session->form);
  return true;
}

}  // namespace

// requestQSN sessionId command arglist ?nowait? ?statisticsCallback?
int RequestCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
  if (objc < 4 || objc > 6) {
    Tcl_WrongNumArgs(interp, 1, objv, "<session id> ?command? ?arglist? ?nowait no?");
    return TCL_ERROR;
  }
  Session* session = FindSession(Tcl_GetString(objv[1]));
  if (!session) {
    Tcl_SetObjResult(interp, Tcl_NewStringObj("Wrong session id", -1));
    return TCL_ERROR;
  }
  SessionUse use(session);

  int nowait = 0;
  if (objc > 4 && Tcl_GetBooleanFromObj(interp, objv[4], &nowait) != TCL_OK) nowait = 0;
  Tcl_Obj* callback = objc > 5 ? objv[5] : nullptr;

  // A transfer left running by an earlier no-wait request ends now; its
  // reply is dropped when the buffer is emptied below.
  if (!session->transfer_done) DrainTransfer(session, interp);
  curl_multi_remove_handle(session->multi, session->easy);
  FreeTransferParts(session);

  long errcode = 0;
  if (curl_easy_getinfo(session->easy, CURLINFO_OS_ERRNO, &errcode) == CURLE_OK &&
      errcode == kEInProgress) {
    LogPrintf(3, "Переинициализируем curl из-за ошибки 115 (Operation in progress)\n");
    CURL* fresh = curl_easy_init();
    if (fresh) {
      curl_easy_cleanup(session->easy);
      session->easy = fresh;
    }
  }

  if (!SetUpTransfer(session, interp, objv[2], objv[3])) {
    FreeTransferParts(session);
    return TCL_ERROR;
  }
  session->transfer_done = false;
  session->transfer_result = CURLE_OK;
  CURLMcode added = curl_multi_add_handle(session->multi, session->easy);
  if (added != CURLM_OK) {
    Tcl_SetObjResult(interp, Tcl_NewStringObj(curl_multi_strerror(added), -1));
    return TCL_ERROR;
  }
  LogPrintf(3, "perform %s\n", nowait ? "with no wait" : "and wait");

  std::time_t t1 = std::time(nullptr);
  int still_running = PerformTransfer(session);
  if (nowait) {
    Tcl_ResetResult(interp);
    LogPrintf(2, "NOWAIT empty result\n");
    return TCL_OK;
  }
  LogPrintf(3, "Waiting for perform finish...\n");
  WaitTransfer(session, interp, still_running);
  return FinishWaitedRequest(session, interp, t1, callback);
}
