// Sessions on an application server: the per-session record, the table of
// live sessions keyed by id, and the response buffer every transfer fills.
#pragma once

#include <curl/curl.h>
#include <tcl.h>

#include <cstdint>

struct Session {
  // The session's one transfer: reset before every request and kept between
  // requests, so connections and cookies survive.
  CURL* easy;
  // Drives that transfer; the easy handle stays attached from the start of
  // a request to the start of the next.
  CURLM* multi;
  Tcl_DString base_url;  // as given to createQSNsession
  Tcl_DString path;      // last "-changeurl" of the server; emptied by a 404
  Tcl_DString request_url;
  Tcl_DString proxy;  // empty: no proxy option set
  // Bytes of the waited requests that reached the server; 64 bits, so that
  // a long session never wraps them.
  int64_t sent_total;
  int64_t received_total;

  // What the transfer in flight uses. A no-wait transfer outlives the
  // command that started it, so these live here and are freed once the
  // transfer has ended: at the start of the next request, or at close.
  char errbuf[CURL_ERROR_SIZE];
  curl_mime* form;
  curl_slist* headers;
  // Whether the last transfer has ended (true before the first), and how
  // libcurl says it ended.
  bool transfer_done;
  CURLcode transfer_result;

  // Commands running on this session right now (a statistics callback can
  // re-enter requestQSN). A session closed meanwhile leaves the table at
  // once and is destroyed when the last of them lets go.
  int users;
  bool closed;
};

// Session id to Session*, for the live sessions.
extern Tcl_HashTable SessionTable;
// The body of the transfer running now, whatever its session.
extern Tcl_DString ResponseBuffer;

// Initialises SessionTable and ResponseBuffer and installs createQSNsession,
// requestQSN and closeQSNsession.
void RegisterSessionCommands(Tcl_Interp* interp);

// Frees ResponseBuffer once the script has returned.
void FreeResponseBuffer();

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

// Frees the form and header list of the last transfer; it must have ended
// or been detached.
void FreeTransferParts(Session* session);

// Tcl command procedures.
int CreateSessionCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]);
int CloseSessionCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]);
int RequestCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]);
