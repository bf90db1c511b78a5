// A session on an application server: one libcurl transfer, kept between
// requests so that connections and cookies survive, the reply body it
// writes into, and the URL the server has moved the session to.
#pragma once

#include <curl/curl.h>
#include <tcl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "base/curl_owners.h"
#include "base/owners.h"
#include "session/options.h"

namespace qsn {

struct SendQueue;

// The most a reply body may hold: 1 GiB. The buffer is no Tcl_DString,
// whose growth overflows an int at 1 GiB; what Tcl makes of the body (a
// string of at most 2 GiB, a split list whose block must stay under 4 GiB)
// is bounded where the reply is parsed.
constexpr size_t kReplyLimit = size_t{1} << 30;

// A reply body, on the heap so that it changes hands by pointer: a large
// body is never copied. Its text is followed by a NUL, as a std::string's is.
using ReplyBody = std::unique_ptr<std::string>;

// Why the transfer's write callback refused bytes of the last reply.
enum class Refusal { kNone, kLimit, kMemory };

// What the statistics callback is told of one request.
struct Figures {
  long code = 0;  // the HTTP status
  int32_t sent = 0;
  int32_t received = 0;
  int32_t speed = 0;
};

// A request's life on a session: Finish what the last request left, then
// Start the new one, which drives a waited request to its end; then read
// what it left (its figures, its reply). A no-wait request stays attached
// until the next Finish, which Drains it first; Step drives it a little at
// a time, as the host's end does for every session.
class Session {
 public:
  // Makes in *session the session on `base_url`, through `proxy` unless it
  // is empty. False, with the message in *error, when libcurl gives no
  // handle for it.
  static bool Create(const char* base_url, int base_length, const char* proxy,
                     int proxy_length, std::unique_ptr<Session>* session,
                     std::string* error);
  // Frees in libcurl's order, whatever the members' order: the transfer
  // detached, the easy handle, the multi handle, then the form and the
  // header list the easy handle pointed at.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Ends what the last request left: a transfer still running (a no-wait
  // request's) is driven to its end, its reply to be dropped, and detached.
  // A handle whose last connection ended while still being made is replaced,
  // as it would keep failing. False, with the message for the script in
  // *error, when libcurl could not drive it: it may never have reached the
  // server.
  bool Finish(std::string* error);

  // Sets up a POST of `command` and `arglist` to the session's URL, attaches
  // it and lets libcurl start it; with `wait`, drives it to its end, with no
  // events processed meanwhile. False, with the message for the script in
  // *error, when it could not be set up or driven; error_name() then names
  // libcurl's code.
  bool Start(Tcl_Obj* command, Tcl_Obj* arglist, bool wait, std::string* error);

  // Drives a transfer left running to its end, waiting for at most one
  // second at a time. False, with libcurl's message in *error, when a multi
  // call fails; the transfer stays attached.
  bool Drain(std::string* error);

  // One step of a transfer left running: waits at most `wait_ms` for
  // libcurl's sockets and lets it do what it can. False when a multi call
  // fails.
  bool Step(int wait_ms);

  // Lets libcurl do what it can for a transfer left running, without
  // waiting. False, with libcurl's message and the URL in *error, when a
  // multi call fails; error_name() then names libcurl's code.
  bool Advance(std::string* error);

  // Gives up a transfer left running that libcurl could not drive: it is
  // detached and counts as ended, not completed, so the next Start may go.
  void Abandon();

  // Microseconds since the last Start, by the system's clock.
  long long RunningUs() const;

  // Milliseconds until libcurl wants to be driven whether or not its
  // sockets are ready; -1 when it keeps no timer.
  long TimeoutMs() const;

  // Logs the statistics of the ended transfer, each line only when libcurl
  // knows its figure, and adds its bytes to the session's totals.
  Figures LogStatistics();

  // The system's error number libcurl kept for the last transfer; false
  // when libcurl cannot say.
  bool OsError(long* errcode) const;
  // The HTTP status of the last transfer's answer; 0 when none arrived.
  long ResponseCode() const;

  // Moves the reply out of the session; null when no byte of it arrived.
  ReplyBody TakeReply() { return std::move(reply_); }
  // Frees what the reply holds: a reply that failed is of no further use.
  void DropReply() { reply_.reset(); }

  // The server's -changeurl: later requests go to the base URL joined with
  // it. Ignored, with a line in the log, when libcurl cannot use the URL
  // that makes.
  void MoveTo(const std::string& path);
  // Back to the base URL, after a 404.
  void ForgetPath() { Tcl_DStringSetLength(path_.get(), 0); }

  // Whether the last transfer has ended (true before the first), and how
  // libcurl says it ended.
  bool transfer_done() const { return transfer_done_; }
  bool completed() const { return transfer_done_ && transfer_result_ == CURLE_OK; }
  CURLcode transfer_result() const { return transfer_result_; }
  // libcurl's words for the last transfer's failure; may be empty.
  const char* errbuf() const { return errbuf_; }
  // The system's error number when the transfer could not open a socket,
  // which libcurl words as a refused connection; 0 otherwise.
  long socket_error() const { return socket_error_; }
  Refusal refusal() const { return refusal_; }
  const char* request_url() const { return request_url_.value(); }
  // The name of libcurl's code behind the last failed Start or Finish.
  const char* error_name() const { return error_name_.c_str(); }
  // Bytes of the waited requests; 64 bits, so a long session never wraps.
  int64_t sent_total() const { return sent_total_; }
  int64_t received_total() const { return received_total_; }

  // What configureQSNsession set; every later request applies it.
  const SessionOptions& options() const { return options_; }
  void set_options(SessionOptions options) { options_ = std::move(options); }

  // Commands running on this session right now (a statistics callback can
  // re-enter requestQSN). A session closed meanwhile leaves the table at
  // once and is destroyed when the last of them lets go (SessionUse).
  int users = 0;
  bool closed = false;

  // The session's sendQSN requests not yet concluded (session/send.h);
  // null until the first.
  std::unique_ptr<SendQueue> sends;

 private:
  Session() = default;

  bool SetUp(Tcl_Obj* command, Tcl_Obj* arglist, std::string* error);
  bool AddFields(Tcl_Obj* command, Tcl_Obj* arglist, std::string* error);
  CURLMcode Perform(int* still_running);
  CURLMcode Wait(int still_running);
  void NoteEnded();
  // A multi call failed: the message is libcurl's text with the URL.
  bool FailMulti(const std::string& text, CURLMcode code, std::string* error);

  static size_t WriteReply(char* data, size_t size, size_t count, void* session) noexcept;
  static curl_socket_t OpenSocket(void* session, curlsocktype,
                                  curl_sockaddr* address) noexcept;

  // The transfer and what it points at while in flight. A no-wait transfer
  // outlives the command that started it, so these live here and are freed
  // once it has ended: at the next Finish, or with the session.
  EasyPtr easy_;
  MultiPtr multi_;
  MimePtr form_;
  SlistPtr headers_;
  char errbuf_[CURL_ERROR_SIZE] = "";

  ReplyBody reply_;
  Refusal refusal_ = Refusal::kNone;

  DString base_url_;  // as given to createQSNsession
  DString path_;      // last "-changeurl" of the server; emptied by a 404
  DString request_url_;
  DString proxy_;  // empty: no proxy option set
  SessionOptions options_;

  bool transfer_done_ = true;
  CURLcode transfer_result_ = CURLE_OK;
  long socket_error_ = 0;
  Tcl_Time started_at_ = {0, 0};  // of the last Start, by the system's clock
  std::string error_name_;
  int64_t sent_total_ = 0;
  int64_t received_total_ = 0;
};

// Keeps a session's record alive across calls that may close it.
class SessionUse {
 public:
  explicit SessionUse(Session* session) : session_(session) { ++session_->users; }
  ~SessionUse();
  SessionUse(const SessionUse&) = delete;
  SessionUse& operator=(const SessionUse&) = delete;

 private:
  Session* session_;
};

}  // namespace qsn
