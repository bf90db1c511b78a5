// A session's transfer: setting up a request, driving it with libcurl's
// multi interface, the reply body it writes, and its statistics.
#include "session/session.h"

#include <new>
#include <utility>

#include "base/platform.h"
#include "base/tcl_text.h"
#include "log/log.h"
#include "session/error_code.h"
#include "session/request_url.h"
#include "session/send.h"
#include "session/texts.h"

namespace qsn {

namespace {

constexpr int kTickMs = 1000;

// Room for `bytes` more, doubling as a string would, but never reserving
// past the limit: a body at the limit holds 1 GiB, not 2.
void Reserve(std::string* buffer, size_t bytes) {
  size_t needed = buffer->size() + bytes;
  if (needed <= buffer->capacity()) return;
  size_t grown = buffer->capacity() * 2;
  if (grown > kReplyLimit) grown = kReplyLimit;
  buffer->reserve(grown > needed ? grown : needed);
}

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
constexpr ByteLines kSentLines = {kLogSentHead, kLogSentBody, kLogSentTotal};
constexpr ByteLines kReceivedLines = {kLogReceivedHead, kLogReceivedBody,
                                      kLogReceivedTotal};

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

}  // namespace

bool Session::Create(const char* base_url, int base_length, const char* proxy,
                     int proxy_length, std::unique_ptr<Session>* session,
                     std::string* error) {
  std::unique_ptr<Session> made(new (std::nothrow) Session);
  if (made) {
    made->easy_.reset(curl_easy_init());
    made->multi_.reset(curl_multi_init());
  }
  if (!made || !made->easy_ || !made->multi_) {
    *error = kNoHandle;
    return false;
  }
  Tcl_DStringAppend(made->base_url_.get(), base_url, base_length);
  Tcl_DStringAppend(made->proxy_.get(), proxy, proxy_length);
  *session = std::move(made);
  return true;
}

Session::~Session() {
  // Detach first: cleaning up an easy handle still attached to a multi
  // handle leaves the multi handle pointing at freed memory.
  if (multi_ && easy_) curl_multi_remove_handle(multi_.get(), easy_.get());
  easy_.reset();
  multi_.reset();
  form_.reset();
  headers_.reset();
}

bool Session::Finish(std::string* error) {
  std::string drain_error;
  bool drained = transfer_done_ || Drain(&drain_error);
  curl_multi_remove_handle(multi_.get(), easy_.get());
  form_.reset();
  headers_.reset();

  long errcode = 0;
  if (OsError(&errcode) && IsConnectInProgress(errcode)) {
    LogPrintf(3, kLogReinit, errcode);
    EasyPtr fresh(curl_easy_init());
    if (fresh) easy_ = std::move(fresh);
  }
  if (drained) return true;
  return FailMulti(kLastNoWaitFailed + drain_error, CURLM_OK, error);
}

bool Session::Start(Tcl_Obj* command, Tcl_Obj* arglist, bool wait, std::string* error) {
  if (!SetUp(command, arglist, error)) {
    form_.reset();
    headers_.reset();
    return false;
  }
  CURLMcode code = curl_multi_add_handle(multi_.get(), easy_.get());
  if (code != CURLM_OK) {
    form_.reset();
    headers_.reset();
    return FailMulti(curl_multi_strerror(code), code, error);
  }
  transfer_done_ = false;
  transfer_result_ = CURLE_OK;
  LogPrintf(3, wait ? kLogPerformAndWait : kLogPerformNoWait);

  Tcl_GetTime(&started_at_);
  int still_running = 0;
  code = Perform(&still_running);
  if (code == CURLM_OK && wait) {
    LogPrintf(3, kLogWaiting);
    code = Wait(still_running);
  }
  return code == CURLM_OK || FailMulti(curl_multi_strerror(code), code, error);
}

bool Session::Drain(std::string* error) {
  int still_running = 0;
  CURLMcode code = Perform(&still_running);
  if (code == CURLM_OK) code = Wait(still_running);
  if (code != CURLM_OK) {
    *error = curl_multi_strerror(code);
    error_name_ = CurlMultiCodeName(code);
  }
  return code == CURLM_OK;
}

bool Session::Step(int wait_ms) {
  int still_running = 0;
  CURLMcode code = curl_multi_poll(multi_.get(), nullptr, 0, wait_ms, nullptr);
  if (code == CURLM_OK) code = Perform(&still_running);
  if (code == CURLM_OK && still_running == 0) NoteEnded();
  return code == CURLM_OK;
}

bool Session::Advance(std::string* error) {
  int still_running = 0;
  CURLMcode code = Perform(&still_running);
  if (code != CURLM_OK) return FailMulti(curl_multi_strerror(code), code, error);
  if (still_running == 0) NoteEnded();
  return true;
}

void Session::Abandon() {
  curl_multi_remove_handle(multi_.get(), easy_.get());
  transfer_done_ = true;
  transfer_result_ = CURLE_ABORTED_BY_CALLBACK;  // any code but CURLE_OK
}

long long Session::RunningUs() const {
  Tcl_Time now;
  Tcl_GetTime(&now);
  return (now.sec - started_at_.sec) * 1000000LL + (now.usec - started_at_.usec);
}

long Session::TimeoutMs() const {
  long timeout_ms = -1;
  if (curl_multi_timeout(multi_.get(), &timeout_ms) != CURLM_OK) return -1;
  return timeout_ms;
}

bool Session::FailMulti(const std::string& text, CURLMcode code, std::string* error) {
  // A drain that failed has named its code already.
  if (code != CURLM_OK) error_name_ = CurlMultiCodeName(code);
  LogPrintf(1, kLogErrbuf, text.c_str());
  *error = text + " " + request_url_.value();
  reply_.reset();
  return false;
}

CURLMcode Session::Perform(int* still_running) {
  CURLMcode code;
  do {
    code = curl_multi_perform(multi_.get(), still_running);
  } while (code == CURLM_CALL_MULTI_PERFORM);
  return code;
}

CURLMcode Session::Wait(int still_running) {
  CURLMcode code = CURLM_OK;
  while (still_running && code == CURLM_OK) {
    // libcurl polls its own sockets, whatever their numbers (select's sets
    // end at FD_SETSIZE), and cuts the tick short when its timer is due
    // sooner. Unlike curl_multi_wait, it sleeps out the tick when it has no
    // socket to offer, instead of returning at once and spinning.
    code = curl_multi_poll(multi_.get(), nullptr, 0, kTickMs, nullptr);
    if (code == CURLM_OK) code = Perform(&still_running);
  }
  NoteEnded();
  return code;
}

void Session::NoteEnded() {
  int queued;
  while (CURLMsg* msg = curl_multi_info_read(multi_.get(), &queued)) {
    if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy_.get()) {
      transfer_done_ = true;
      transfer_result_ = msg->data.result;
    }
  }
}

bool Session::OsError(long* errcode) const {
  return curl_easy_getinfo(easy_.get(), CURLINFO_OS_ERRNO, errcode) == CURLE_OK;
}

long Session::ResponseCode() const {
  long code = 0;
  if (curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) return 0;
  return code;
}

void Session::MoveTo(const std::string& path) {
  if (!UsableUrl(base_url_, path.data(), static_cast<int>(path.size()))) {
    LogPrintf(1, kLogChangeurlIgnored, path.c_str());
    return;
  }
  Tcl_DStringSetLength(path_.get(), 0);
  Tcl_DStringAppend(path_.get(), path.data(), static_cast<int>(path.size()));
}

Figures Session::LogStatistics() {
  CURL* easy = easy_.get();
  Figures figures;
  Tcl_Time ended;
  Tcl_GetTime(&ended);
  char* replyurl = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &replyurl) == CURLE_OK && replyurl)
    LogPrintf(3, kLogReplyUrl, replyurl);
  if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &figures.code) == CURLE_OK)
    LogPrintf(3, kLogResponseCode, figures.code);
  figures.sent = static_cast<int32_t>(
      LogBytes(easy, CURLINFO_REQUEST_SIZE, CURLINFO_SIZE_UPLOAD_T, kSentLines));
  sent_total_ += figures.sent;
  figures.received = static_cast<int32_t>(
      LogBytes(easy, CURLINFO_HEADER_SIZE, CURLINFO_SIZE_DOWNLOAD_T, kReceivedLines));
  received_total_ += figures.received;
  curl_off_t downspeed = 0;
  if (curl_easy_getinfo(easy, CURLINFO_SPEED_DOWNLOAD_T, &downspeed) == CURLE_OK)
    LogPrintf(3, kLogSpeed, static_cast<double>(downspeed));
  figures.speed = static_cast<int32_t>(downspeed);
  // Whole seconds, as the log has always shown the duration.
  LogPrintf(3, kLogDuration, static_cast<double>(ended.sec - started_at_.sec));
  return figures;
}

// libcurl's write callback, given the session through CURLOPT_WRITEDATA.
// Refuses bytes that would take the reply past kReplyLimit, or that find
// no memory, which makes libcurl end the transfer with CURLE_WRITE_ERROR.
size_t Session::WriteReply(char* data, size_t size, size_t count,
                           void* session_ptr) noexcept {
  Session* session = static_cast<Session*>(session_ptr);
  size_t bytes = size * count;
  size_t held = session->reply_ ? session->reply_->size() : 0;
  if (bytes > kReplyLimit - held) {
    session->refusal_ = Refusal::kLimit;
    return 0;
  }
  try {
    if (!session->reply_) session->reply_ = std::make_unique<std::string>();
    Reserve(session->reply_.get(), bytes);
    session->reply_->append(data, bytes);
  } catch (const std::bad_alloc&) {
    session->refusal_ = Refusal::kMemory;
    return 0;
  }
  return bytes;
}

// libcurl's socket opener, as libcurl's own does it, but keeping the
// system's error number when the system has no socket to give: libcurl
// reports that as a connection refused.
curl_socket_t Session::OpenSocket(void* session, curlsocktype,
                                  curl_sockaddr* address) noexcept {
  curl_socket_t socket_fd = socket(address->family, address->socktype, address->protocol);
  if (socket_fd == CURL_SOCKET_BAD)
    static_cast<Session*>(session)->socket_error_ = LastSocketError();
  return socket_fd;
}

// Adds the form's two fields, each as the UTF-8 of its Tcl string.
bool Session::AddFields(Tcl_Obj* command, Tcl_Obj* arglist, std::string* error) {
  struct {
    const char* name;
    Tcl_Obj* value;
  } fields[] = {{kFieldCommand, command}, {kFieldArglist, arglist}};
  for (const auto& field : fields) {
    int length;
    const char* value = Tcl_GetStringFromObj(field.value, &length);
    LogPrintf(3, kLogField, field.name, value);
    DString scratch;
    const char* wire = nullptr;
    if (!ToWireText(value, length, scratch.get(), &wire, &length, error)) {
      *error = kRequestNotUtf8 + *error;
      return false;
    }
    curl_mimepart* part = curl_mime_addpart(form_.get());
    // libcurl copies the data: the scratch copy may go at once.
    if (!part || curl_mime_name(part, field.name) != CURLE_OK ||
        curl_mime_data(part, wire, length) != CURLE_OK) {
      *error = kNoForm;
      return false;
    }
  }
  return true;
}

// Sets up every option of the request on the easy handle. The first option
// libcurl refuses is reported; the options after it are set only to leave
// the handle in a known state. Nothing has been sent when it fails.
bool Session::SetUp(Tcl_Obj* command, Tcl_Obj* arglist, std::string* error) {
  CURL* easy = easy_.get();
  curl_easy_reset(easy);
  ComposeUrl(base_url_, path_.value(), path_.length(), request_url_.get());
  CURLcode refused = CURLE_OK;
  auto check = [&refused](CURLcode code) {
    if (refused == CURLE_OK) refused = code;
  };
  // libcurl copies both strings: the scratch copies may go at once.
  DString url_scratch, proxy_scratch;
  // A URL libcurl cannot be given (a NUL in it) is refused as libcurl
  // refuses a malformed one, and worded as a failed transfer is, with the
  // request's URL: such a URL once went out mangled, so no script has
  // relied on another message for it.
  const char* url = nullptr;
  std::string unusable;
  bool url_refused = !WireUrl(request_url_, url_scratch.get(), &url, &unusable);
  check(url_refused ? CURLE_URL_MALFORMAT : curl_easy_setopt(easy, CURLOPT_URL, url));
  if (proxy_.length() > 0) {
    const char* proxy = nullptr;
    check(curl_easy_setopt(easy, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP)));
    bool proxy_refused = !WireUrl(proxy_, proxy_scratch.get(), &proxy, &unusable);
    url_refused = url_refused || proxy_refused;
    check(proxy_refused ? CURLE_URL_MALFORMAT
                        : curl_easy_setopt(easy, CURLOPT_PROXY, proxy));
  }
  LogPrintf(3, kLogUrl, request_url_.value());
  // Peer verification is off by design: deployments reach servers whose
  // certificates the desktop does not know.
  check(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L));
  // What the script configured comes after, and may turn verification on.
  check(ApplyOptions(easy, options_));
  check(curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, ""));
  // Cookies the server sets stay in this handle and go back with later
  // requests of this session only. The engine is switched on with an empty
  // cookie line rather than an empty cookie file name: libcurl 7.88 loses
  // the list of file names on every reset, a leak per request.
  check(curl_easy_setopt(easy, CURLOPT_COOKIELIST, "Set-Cookie:"));
  check(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, WriteReply));
  check(curl_easy_setopt(easy, CURLOPT_WRITEDATA, this));
  socket_error_ = 0;
  check(curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, OpenSocket));
  check(curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this));
  reply_.reset();
  refusal_ = Refusal::kNone;
  errbuf_[0] = '\0';
  check(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errbuf_));
  check(curl_easy_setopt(easy, CURLOPT_POST, 1L));

  // An empty Expect header keeps libcurl from waiting for 100-continue
  // before large bodies.
  headers_.reset(curl_slist_append(nullptr, "Expect:"));
  form_.reset(curl_mime_init(easy));
  error_name_ = CurlCodeName(CURLE_OUT_OF_MEMORY);
  if (!headers_ || !form_) {
    *error = kNoRequestMemory;
    return false;
  }
  check(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers_.get()));
  if (!AddFields(command, arglist, error)) return false;
  check(curl_easy_setopt(easy, CURLOPT_MIMEPOST, form_.get()));
  if (refused == CURLE_OK) return true;
  LogPrintf(1, kLogErrbuf, curl_easy_strerror(refused));
  *error = curl_easy_strerror(refused);
  if (url_refused && refused == CURLE_URL_MALFORMAT)
    *error += std::string(" ") + request_url();
  error_name_ = CurlCodeName(refused);
  return false;
}

}  // namespace qsn
