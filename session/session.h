// Sessions on an application server: the per-session record, the table of
// live sessions keyed by id, and the commands that open and close them.
#pragma once

#include <curl/curl.h>
#include <tcl.h>

#include <cstdint>

#include "base/curl_owners.h"
#include "base/owners.h"

struct Session {
  // Detaches the transfer from the multi handle; the members then go in the
  // reverse of the order they are declared in, which is libcurl's order of
  // cleanup: the easy handle, the multi handle, then the form and header
  // list the easy handle pointed at.
  ~Session();

  // What the transfer in flight uses. A no-wait transfer outlives the
  // command that started it, so these live here and are freed once the
  // transfer has ended: at the start of the next request, or at close.
  qsn::MimePtr form;
  qsn::SlistPtr headers;
  char errbuf[CURL_ERROR_SIZE] = "";
  // Drives the transfer below; it stays attached from the start of a
  // request to the start of the next.
  qsn::MultiPtr multi;
  // The session's one transfer: reset before every request and kept between
  // requests, so connections and cookies survive.
  qsn::EasyPtr easy;

  qsn::DString base_url;  // as given to createQSNsession
  qsn::DString path;      // last "-changeurl" of the server; emptied by a 404
  qsn::DString request_url;
  qsn::DString proxy;  // empty: no proxy option set
  // Bytes of the waited requests that reached the server; 64 bits, so that
  // a long session never wraps them.
  int64_t sent_total = 0;
  int64_t received_total = 0;

  // Whether the last transfer has ended (true before the first), and how
  // libcurl says it ended.
  bool transfer_done = true;
  CURLcode transfer_result = CURLE_OK;
  // The system's error number when the transfer could not open a socket,
  // which libcurl words as a refused connection; 0 otherwise.
  long socket_error = 0;

  // Commands running on this session right now (a statistics callback can
  // re-enter requestQSN). A session closed meanwhile leaves the table at
  // once and is destroyed when the last of them lets go.
  int users = 0;
  bool closed = false;
};

// Session id to Session*, for the live sessions.
extern Tcl_HashTable SessionTable;

// Initialises SessionTable and installs createQSNsession, requestQSN and
// closeQSNsession.
void RegisterSessionCommands(Tcl_Interp* interp);

// The live session with this id, or null.
Session* FindSession(const char* id);

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

// Gives the no-wait transfers still running on the live sessions at most
// `budget_ms` milliseconds in all to complete, then leaves them: a notice
// that is a script's last act still reaches the server. Called when the
// script returns, and by Tcl's exit handlers when it calls `exit`.
void FinishPendingTransfers(int budget_ms);

// How long the host lets pending no-wait transfers run at its end.
constexpr int kPendingBudgetMs = 2000;

// Frees the form and header list of the last transfer; it must have ended
// or been detached.
void FreeTransferParts(Session* session);

// Tcl command procedures.
int CreateSessionCmd(ClientData, Tcl_Interp* interp, int objc,
                     Tcl_Obj* const objv[]) noexcept;
int CloseSessionCmd(ClientData, Tcl_Interp* interp, int objc,
                    Tcl_Obj* const objv[]) noexcept;
