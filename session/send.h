// sendQSN: a request that returns at once and ends in the event loop, where
// its done command is called. A session sends such requests in the order
// they were made, each after the previous one has ended; sessions run side
// by side. Also what requestQSN and closeQSNsession do with the requests a
// session still has queued.
#pragma once

#include <tcl.h>

#include <deque>
#include <memory>
#include <string>

#include "base/owners.h"
#include "session/session.h"

namespace qsn {

// One sendQSN request: what goes to the server, and whom to tell.
struct SendRequest {
  enum class State {
    kQueued,   // waits for the session's transfer
    kStarted,  // is the session's transfer
    kFailed,   // could not be started or driven; `error` says why
  };

  SendRequest(Tcl_Obj* command_word, Tcl_Obj* arglist_word, Tcl_Obj* done_word,
              Tcl_Obj* callback_word)
      : command(command_word),
        arglist(arglist_word),
        done(done_word),
        callback(callback_word) {}

  ObjRef command;
  ObjRef arglist;
  ObjRef done;      // the done command prefix, a list
  ObjRef callback;  // the statistics callback; holds null when none was given
  State state = State::kQueued;
  std::string error;
  std::string error_name;  // libcurl's code behind `error`
};

// A session's sendQSN requests not yet concluded, oldest first; only the
// first can be on the wire.
struct SendQueue {
  std::deque<std::unique_ptr<SendRequest>> requests;
  // While an outcome is being worked out (its statistics callback may send
  // more) or a requestQSN runs, the queue starts nothing by itself, so that
  // a request starts only once the one before it has been concluded.
  int concluding = 0;
  int held = 0;
};

// sendQSN sessionId command arglist doneCommand ?statisticsCallback?
int SendCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) noexcept;

// For the event source (session/transfer_source.h):
//
// Lets libcurl move the session's transfer on, without waiting. A sendQSN
// request whose transfer libcurl cannot drive fails with libcurl's message.
void DriveTransfer(Session* session);
// Whether the session has a sendQSN request to start, or one that has ended
// and waits to be concluded.
bool NeedsService(const Session* session);
// Starts the session's next request, or concludes the one that has ended
// and calls its done command at global level; one request a call, so that
// no session keeps the event loop to itself.
void ServiceSends(Tcl_Interp* interp, Session* session);

// Held by requestQSN while it runs. First runs the requests the session has
// queued to their ends, in order, calling their done commands (which may
// close the session); then keeps requests sent meanwhile, by a done command
// or a statistics callback, from starting until requestQSN's own request
// has ended: they go after it.
class SendsFirst {
 public:
  SendsFirst(Tcl_Interp* interp, Session* session);
  ~SendsFirst();
  SendsFirst(const SendsFirst&) = delete;
  SendsFirst& operator=(const SendsFirst&) = delete;

 private:
  Session* session_;
};

// For closeQSNsession: calls the done command of every request of `queue`,
// taken from the session just closed, in order, with code 1 and "session
// closed", and frees them. The interpreter's result is left empty.
void EndClosedSends(Tcl_Interp* interp, std::unique_ptr<SendQueue> queue);

}  // namespace qsn
