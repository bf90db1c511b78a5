// sendQSN and the queue of a session's requests: each starts once the one
// before it has been concluded, and is concluded, as requestQSN concludes
// its own, in an event of the event loop (session/transfer_source.cc) or
// by a requestQSN that needs the session.
#include "session/send.h"

#include <new>
#include <utility>

#include "session/error_code.h"
#include "session/request.h"
#include "session/session_table.h"
#include "session/texts.h"

namespace qsn {

namespace {

// How a request ended, taken from the interpreter: its code, its value and,
// for an error, the return options that hold errorInfo and errorCode.
struct Outcome {
  Outcome(Tcl_Interp* interp, int result_code)
      : code(result_code),
        value(Tcl_GetObjResult(interp)),
        options(code == TCL_ERROR ? Tcl_GetReturnOptions(interp, code) : nullptr) {}

  int code;
  ObjRef value;
  ObjRef options;
};

// Sets a global variable to the value `key` has in `options`, if any.
void SetFromOptions(Tcl_Interp* interp, Tcl_Obj* options, const char* key,
                    const char* variable) {
  ObjRef key_obj(Tcl_NewStringObj(key, -1));
  Tcl_Obj* value = nullptr;
  if (Tcl_DictObjGet(nullptr, options, key_obj.get(), &value) == TCL_OK && value)
    Tcl_SetVar2Ex(interp, variable, nullptr, value, TCL_GLOBAL_ONLY);
}

// {*}$done code value at global level, with ::errorInfo and ::errorCode
// set as a failed requestQSN leaves them. What the done command does not
// handle itself is a background error, as for an `after` script.
void CallDone(Tcl_Interp* interp, Tcl_Obj* done, const Outcome& outcome) {
  ObjRef command(Tcl_DuplicateObj(done));
  // sendQSN took `done` only as a list: these cannot fail.
  Tcl_ListObjAppendElement(nullptr, command.get(), Tcl_NewIntObj(outcome.code));
  Tcl_ListObjAppendElement(nullptr, command.get(), outcome.value.get());
  if (outcome.options.get()) {
    SetFromOptions(interp, outcome.options.get(), "-errorinfo", "::errorInfo");
    SetFromOptions(interp, outcome.options.get(), "-errorcode", "::errorCode");
  }
  int result = Tcl_EvalObjEx(interp, command.get(), TCL_EVAL_GLOBAL);
  if (result != TCL_OK) {
    Tcl_AddErrorInfo(interp, kDoneCommandContext);
    Tcl_BackgroundException(interp, result);
  }
}

void Fail(SendRequest* request, std::string error, const char* error_name) {
  request->state = SendRequest::State::kFailed;
  request->error = std::move(error);
  request->error_name = error_name;
}

// Puts the first request of the queue on the session's transfer. A transfer
// still running there (a no-wait request's) is driven to its end first.
void StartHead(Session* session, SendRequest* head) {
  std::string error;
  if (session->Finish(&error) &&
      session->Start(head->command.get(), head->arglist.get(), false, &error)) {
    head->state = SendRequest::State::kStarted;
    return;
  }
  Fail(head, std::move(error), session->error_name());
}

// Starts the first request when nothing holds the queue and the session's
// transfer is free. A request that fails to start is concluded in the
// event loop, like every other.
void StartWhenFree(Session* session) {
  SendQueue* queue = session->sends.get();
  if (!queue || queue->requests.empty() || queue->concluding > 0 || queue->held > 0)
    return;
  SendRequest* head = queue->requests.front().get();
  if (head->state == SendRequest::State::kQueued && session->transfer_done())
    StartHead(session, head);
}

// Concludes the first request, which has ended (or failed), and calls its
// done command; the next request starts before that, as its wait need not
// include the done command's time.
void ConcludeHead(Tcl_Interp* interp, Session* session) {
  SessionUse use(session);
  SendQueue* queue = session->sends.get();
  std::unique_ptr<SendRequest> request = std::move(queue->requests.front());
  queue->requests.pop_front();
  Tcl_ResetResult(interp);
  int code = TCL_ERROR;
  if (request->state == SendRequest::State::kFailed) {
    SetResult(interp, request->error.c_str());
    SetQsnErrorCode(interp, kErrorTransport, request->error_name.c_str());
  } else {
    ++queue->concluding;
    code = RequestOutcome(session, interp, request->callback.get(),
                          TCL_EVAL_GLOBAL | TCL_EVAL_DIRECT);
    // The statistics callback may have closed the session, which takes the
    // queue away.
    if ((queue = session->sends.get())) --queue->concluding;
  }
  Outcome outcome(interp, code);
  Tcl_ResetResult(interp);
  if (!session->closed) StartWhenFree(session);
  CallDone(interp, request->done.get(), outcome);
}

// The session's queue, made when the first request needs it; null when
// there is no memory for it.
SendQueue* QueueOf(Session* session) {
  if (!session->sends) session->sends.reset(new (std::nothrow) SendQueue);
  return session->sends.get();
}

bool Enqueue(Session* session, Tcl_Obj* const objv[], int objc) {
  SendQueue* queue = QueueOf(session);
  std::unique_ptr<SendRequest> request(new (std::nothrow) SendRequest(
      objv[2], objv[3], objv[4], objc > 5 ? objv[5] : nullptr));
  if (!queue || !request) return false;
  try {
    queue->requests.push_back(std::move(request));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace

// sendQSN sessionId command arglist doneCommand ?statisticsCallback?
int SendCmd(ClientData, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) noexcept {
  if (objc < 5 || objc > 6) {
    Tcl_WrongNumArgs(interp, 1, objv, kSendUsage);
    SetQsnErrorCode(interp, kErrorUsage);
    return TCL_ERROR;
  }
  Session* session = FindSession(interp, objv[1]);
  if (!session) return TCL_ERROR;
  // The done command is called as {*}$done: a word that is no list, or an
  // empty one, would fail only then, far from the mistake.
  int length = 0;
  bool list = Tcl_ListObjLength(interp, objv[4], &length) == TCL_OK;
  if (!list || length == 0) {
    if (list) SetResult(interp, kEmptyDoneCommand);
    SetQsnErrorCode(interp, kErrorUsage);
    return TCL_ERROR;
  }
  if (!Enqueue(session, objv, objc)) {
    SetResult(interp, kNoRequestMemory);
    SetQsnErrorCode(interp, kErrorTransport, CurlCodeName(CURLE_OUT_OF_MEMORY));
    return TCL_ERROR;
  }
  StartWhenFree(session);
  Tcl_ResetResult(interp);
  return TCL_OK;
}

void DriveTransfer(Session* session) {
  if (session->transfer_done()) return;
  std::string error;
  if (session->Advance(&error)) return;
  // The sendQSN request on the transfer fails now, and the transfer is given
  // up, so that a libcurl that keeps failing holds no request behind it. A
  // no-wait request's transfer is tried again at the next turn: its failure
  // is the next request's to report.
  SendQueue* queue = session->sends.get();
  if (!queue || queue->requests.empty()) return;
  SendRequest* head = queue->requests.front().get();
  if (head->state != SendRequest::State::kStarted) return;
  Fail(head, std::move(error), session->error_name());
  session->Abandon();
}

bool NeedsService(const Session* session) {
  const SendQueue* queue = session->sends.get();
  if (!queue || queue->requests.empty() || queue->concluding > 0 || queue->held > 0)
    return false;
  return queue->requests.front()->state == SendRequest::State::kFailed ||
         session->transfer_done();
}

void ServiceSends(Tcl_Interp* interp, Session* session) {
  if (session->closed || !NeedsService(session)) return;
  SendRequest* head = session->sends->requests.front().get();
  if (head->state == SendRequest::State::kQueued) {
    StartHead(session, head);
    if (head->state != SendRequest::State::kFailed) return;
  }
  ConcludeHead(interp, session);
}

SendsFirst::SendsFirst(Tcl_Interp* interp, Session* session) : session_(session) {
  SendQueue* queue = QueueOf(session);
  if (!queue) return;
  ++queue->held;
  // Only the requests queued before this requestQSN go first: those their
  // done commands send were made after it.
  for (size_t left = queue->requests.size(); left > 0; --left) {
    queue = session->sends.get();
    if (session->closed || !queue || queue->requests.empty()) return;
    SendRequest* head = queue->requests.front().get();
    if (head->state == SendRequest::State::kQueued) StartHead(session, head);
    std::string error;
    if (head->state == SendRequest::State::kStarted && !session->transfer_done() &&
        !session->Drain(&error))
      Fail(head, error + " " + session->request_url(), session->error_name());
    ConcludeHead(interp, session);
  }
}

SendsFirst::~SendsFirst() {
  SendQueue* queue = session_->sends.get();
  if (!queue) return;
  if (queue->held > 0) --queue->held;
  if (!session_->closed) StartWhenFree(session_);
}

void EndClosedSends(Tcl_Interp* interp, std::unique_ptr<SendQueue> queue) {
  if (!queue) return;
  for (const auto& request : queue->requests) {
    Tcl_ResetResult(interp);
    SetResult(interp, kSessionClosed);
    SetQsnErrorCode(interp, kErrorClosed);
    Outcome outcome(interp, TCL_ERROR);
    CallDone(interp, request->done.get(), outcome);
  }
  Tcl_ResetResult(interp);
}

}  // namespace qsn
