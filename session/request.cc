// requestQSN: one request of the application protocol on a session, an HTTP
// POST in multipart/form-data with the fields "command" and "arglist".
#include "session/request.h"

#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "base/owners.h"
#include "base/platform.h"
#include "log/log.h"
#include "session/error_code.h"
#include "session/outcome.h"
#include "session/request_url.h"
#include "session/response_buffer.h"
#include "session/transfer.h"
#include "session/wire_text.h"

namespace {

void SetResult(Tcl_Interp* interp, const char* text) {
  Tcl_SetObjResult(interp, Tcl_NewStringObj(text, -1));
}

// Adds the form's two fields, each as the UTF-8 of its Tcl string. Returns
// what stopped it, or null.
const char* AddFields(curl_mime* form, Tcl_Obj* command, Tcl_Obj* arglist) {
  struct {
    const char* name;
    Tcl_Obj* value;
  } fields[] = {{"command", command}, {"arglist", arglist}};
  for (const auto& field : fields) {
    int length;
    const char* value = Tcl_GetStringFromObj(field.value, &length);
    LogPrintf(3, "%s=%s\n", field.name, value);
    qsn::DString scratch;
    const char* wire = ToWireText(value, length, scratch.get(), &length);
    if (!wire) return "cannot convert the request to UTF-8: Tcl has no utf-8 encoding";
    curl_mimepart* part = curl_mime_addpart(form);
    // libcurl copies the data: the scratch copy may go at once.
    if (!part || curl_mime_name(part, field.name) != CURLE_OK ||
        curl_mime_data(part, wire, length) != CURLE_OK)
      return "cannot build the request form";
  }
  return nullptr;
}

// libcurl's socket opener, as libcurl's own does it, but keeping the
// system's error number when the system has no socket to give: libcurl
// reports that as a connection refused.
curl_socket_t OpenSocket(void* clientp, curlsocktype, curl_sockaddr* address) noexcept {
  curl_socket_t socket_fd = socket(address->family, address->socktype, address->protocol);
  if (socket_fd == CURL_SOCKET_BAD)
    static_cast<Session*>(clientp)->socket_error = qsn::LastSocketError();
  return socket_fd;
}

// Fails the request before anything is sent, with errorCode QSN TRANSPORT
// and the name of what stopped it.
bool Refuse(Tcl_Interp* interp, const char* message, const char* name) {
  SetResult(interp, message);
  SetQsnErrorCode(interp, "TRANSPORT", name);
  return false;
}

// Sets up every option of the request on the session's easy handle. Returns
// false with a message in the result when libcurl refuses one; nothing has
// been sent then.
bool SetUpTransfer(Session* session, Tcl_Interp* interp, Tcl_Obj* command,
                   Tcl_Obj* arglist) {
  CURL* easy = session->easy.get();
  curl_easy_reset(easy);
  ComposeRequestUrl(session);
  // The first refusal is kept and reported; the options after it are set
  // only to leave the handle in a known state.
  CURLcode refused = CURLE_OK;
  auto check = [&refused](CURLcode code) {
    if (refused == CURLE_OK) refused = code;
  };
  // libcurl copies both strings: the scratch copies may go at once.
  qsn::DString url_scratch, proxy_scratch;
  const char* url = WireUrl(session->request_url, url_scratch.get());
  check(url ? curl_easy_setopt(easy, CURLOPT_URL, url) : CURLE_URL_MALFORMAT);
  if (session->proxy.length() > 0) {
    const char* proxy = WireUrl(session->proxy, proxy_scratch.get());
    check(curl_easy_setopt(easy, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP)));
    check(proxy ? curl_easy_setopt(easy, CURLOPT_PROXY, proxy) : CURLE_URL_MALFORMAT);
  }
  LogPrintf(3, "url='%s'\n", session->request_url.value());
  // Peer verification is off by design: deployments reach servers whose
  // certificates the desktop does not know.
  check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L));
  check(curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, ""));
  // Cookies the server sets stay in this handle and go back with later
  // requests of this session only. The engine is switched on with an empty
  // cookie line rather than an empty cookie file name: libcurl 7.88 loses
  // the list of file names on every reset, a leak per request.
  check(curl_easy_setopt(easy, CURLOPT_COOKIELIST, "Set-Cookie:"));
  check(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, WriteToResponse));
  session->socket_error = 0;
  check(curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, OpenSocket));
  check(curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, session));
  ResetResponseBuffer();
  session->errbuf[0] = '\0';
  check(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, session->errbuf));
  check(curl_easy_setopt(easy, CURLOPT_POST, 1L));

  // An empty Expect header keeps libcurl from waiting for 100-continue
  // before large bodies.
  session->headers.reset(curl_slist_append(nullptr, "Expect:"));
  session->form.reset(curl_mime_init(easy));
  if (!session->headers || !session->form)
    return Refuse(interp, "out of memory for the request",
                  CurlCodeName(CURLE_OUT_OF_MEMORY));
  check(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, session->headers.get()));
  if (const char* problem = AddFields(session->form.get(), command, arglist))
    return Refuse(interp, problem, CurlCodeName(CURLE_OUT_OF_MEMORY));
  check(curl_easy_setopt(easy, CURLOPT_MIMEPOST, session->form.get()));
  if (refused != CURLE_OK) {
    LogPrintf(1, "errbuf=%s\n", curl_easy_strerror(refused));
    return Refuse(interp, curl_easy_strerror(refused), CurlCodeName(refused));
  }
  return true;
}

// Ends what the last request left on the session: a transfer still running
// (a no-wait request's) is driven to its end, its reply to be dropped, and
// the handle is detached. A handle whose last connection ended while still
// being made (EINPROGRESS, 115 on Linux) is replaced, as it would keep
// failing. Returns how libcurl's driving went: a no-wait request that could
// not be driven to its end may never have reached the server.
CURLMcode FinishLastTransfer(Session* session) {
  CURLMcode drained = session->transfer_done ? CURLM_OK : DrainTransfer(session);
  curl_multi_remove_handle(session->multi.get(), session->easy.get());
  FreeTransferParts(session);

  long errcode = 0;
  if (curl_easy_getinfo(session->easy.get(), CURLINFO_OS_ERRNO, &errcode) == CURLE_OK &&
      qsn::IsConnectInProgress(errcode)) {
    LogPrintf(3, "Переинициализируем curl из-за ошибки %ld (Operation in progress)\n",
              errcode);
    qsn::EasyPtr fresh(curl_easy_init());
    if (fresh) session->easy = std::move(fresh);
  }
  return drained;
}

// The fifth word. A word that is no boolean leaves the request waited for,
// as it always did, with Tcl's message in the result until the request
// replaces it, and a line in the log naming the word.
int ReadNowait(Tcl_Interp* interp, Tcl_Obj* word) {
  int nowait = 0;
  if (Tcl_GetBooleanFromObj(interp, word, &nowait) != TCL_OK) {
    LogPrintf(1, "nowait \"%s\" is no boolean: the request is waited for\n",
              Tcl_GetString(word));
    return 0;
  }
  return nowait;
}

// Fails the request: the session's last transfer could not be ended, or the
// new one not attached.
int FailMulti(Session* session, Tcl_Interp* interp, const std::string& text,
              CURLMcode code) {
  return FailTransfer(interp, text, session->request_url.value(), "TRANSPORT",
                      CurlMultiCodeName(code));
}

}  // namespace

// requestQSN sessionId command arglist ?nowait? ?statisticsCallback?
int RequestCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) noexcept {
  if (objc < 4 || objc > 6) {
    Tcl_WrongNumArgs(interp, 1, objv, "<session id> ?command? ?arglist? ?nowait no?");
    SetQsnErrorCode(interp, "USAGE");
    return TCL_ERROR;
  }
  Session* session = FindSession(Tcl_GetString(objv[1]));
  if (!session) {
    SetResult(interp, "Wrong session id");
    SetQsnErrorCode(interp, "USAGE");
    return TCL_ERROR;
  }
  int nowait = objc > 4 ? ReadNowait(interp, objv[4]) : 0;
  Tcl_Obj* callback = objc > 5 ? objv[5] : nullptr;
  SessionUse use(session);

  if (CURLMcode drained = FinishLastTransfer(session); drained != CURLM_OK) {
    std::string text =
        std::string("the no-wait request before this one did not complete: ") +
        curl_multi_strerror(drained);
    return FailMulti(session, interp, text, drained);
  }
  if (!SetUpTransfer(session, interp, objv[2], objv[3])) {
    FreeTransferParts(session);
    return TCL_ERROR;
  }
  CURLMcode added = curl_multi_add_handle(session->multi.get(), session->easy.get());
  if (added != CURLM_OK) {
    FreeTransferParts(session);
    return FailMulti(session, interp, curl_multi_strerror(added), added);
  }
  session->transfer_done = false;
  session->transfer_result = CURLE_OK;
  LogPrintf(3, "perform %s\n", nowait ? "with no wait" : "and wait");

  std::time_t t1 = std::time(nullptr);
  int still_running = 0;
  CURLMcode performed = PerformTransfer(session, &still_running);
  if (performed == CURLM_OK && nowait) {
    Tcl_ResetResult(interp);
    LogPrintf(2, "NOWAIT empty result\n");
    return TCL_OK;
  }
  if (performed == CURLM_OK) {
    LogPrintf(3, "Waiting for perform finish...\n");
    performed = WaitTransfer(session, still_running);
  }
  if (performed != CURLM_OK)
    return FailMulti(session, interp, curl_multi_strerror(performed), performed);
  return FinishWaitedRequest(session, interp, t1, callback);
}
