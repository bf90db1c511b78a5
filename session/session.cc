// The session table, the session commands and a session's life.
#include "session/session.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "log/log.h"
#include "session/error_code.h"
#include "session/request.h"
#include "session/transfer.h"

Tcl_HashTable SessionTable;

namespace {

// Ids count up for the life of the process, so no live session ever shares
// an id with another, closed or open.
unsigned long long next_session_number = 1;

// Tcl's exit handler: `exit` ends the process without returning from the
// script.
void FinishPendingAtExit(ClientData) noexcept {
  FinishPendingTransfers(kPendingBudgetMs);
}

// The live sessions whose last transfer is still running.
std::vector<Session*> PendingSessions() {
  std::vector<Session*> pending;
  Tcl_HashSearch search;
  for (Tcl_HashEntry* entry = Tcl_FirstHashEntry(&SessionTable, &search); entry;
       entry = Tcl_NextHashEntry(&search)) {
    Session* session = static_cast<Session*>(Tcl_GetHashValue(entry));
    if (!session->transfer_done) pending.push_back(session);
  }
  return pending;
}

void SetUsageError(Tcl_Interp* interp) { SetQsnErrorCode(interp, "USAGE"); }

}  // namespace

Session::~Session() {
  // Detach first: cleaning up an easy handle still attached to a multi
  // handle leaves the multi handle pointing at freed memory.
  if (multi && easy) curl_multi_remove_handle(multi.get(), easy.get());
}

void RegisterSessionCommands(Tcl_Interp* interp) {
  // Without it every transfer handle fails to appear; the commands then say
  // so one by one, and the log says why.
  if (CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT); code != CURLE_OK)
    LogPrintf(1, "curl_global_init: %s\n", curl_easy_strerror(code));
  Tcl_InitHashTable(&SessionTable, TCL_STRING_KEYS);
  Tcl_CreateObjCommand(interp, "createQSNsession", CreateSessionCmd, nullptr, nullptr);
  Tcl_CreateObjCommand(interp, "requestQSN", RequestCmd, nullptr, nullptr);
  Tcl_CreateObjCommand(interp, "closeQSNsession", CloseSessionCmd, nullptr, nullptr);
  Tcl_CreateExitHandler(FinishPendingAtExit, nullptr);
}

void FinishPendingTransfers(int budget_ms) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(budget_ms);
  std::vector<Session*> pending = PendingSessions();
  // Each session has a multi handle of its own: they take turns, each
  // waiting a few milliseconds at most, until all have ended or the time
  // is up.
  while (!pending.empty() && Clock::now() < deadline) {
    for (size_t i = 0; i < pending.size();) {
      if (StepTransfer(pending[i], 10) != CURLM_OK || pending[i]->transfer_done) {
        pending[i] = pending.back();
        pending.pop_back();
      } else {
        ++i;
      }
    }
  }
}

Session* FindSession(const char* id) {
  Tcl_HashEntry* entry = Tcl_FindHashEntry(&SessionTable, id);
  return entry ? static_cast<Session*>(Tcl_GetHashValue(entry)) : nullptr;
}

SessionUse::~SessionUse() {
  if (--session_->users == 0 && session_->closed) delete session_;
}

void FreeTransferParts(Session* session) {
  session->form.reset();
  session->headers.reset();
}

// createQSNsession url ?proxy?
int CreateSessionCmd(ClientData, Tcl_Interp* interp, int objc,
                     Tcl_Obj* const objv[]) noexcept {
  if (objc < 2 || objc > 3) {
    Tcl_WrongNumArgs(interp, 1, objv, "<url> ?proxy?");
    SetUsageError(interp);
    return TCL_ERROR;
  }
  std::unique_ptr<Session> session(new (std::nothrow) Session{});
  if (session) {
    session->easy.reset(curl_easy_init());
    session->multi.reset(curl_multi_init());
  }
  if (!session || !session->easy || !session->multi) {
    Tcl_SetObjResult(interp, Tcl_NewStringObj("cannot create a transfer handle", -1));
    return TCL_ERROR;
  }
  int length;
  const char* url = Tcl_GetStringFromObj(objv[1], &length);
  Tcl_DStringAppend(session->base_url.get(), url, length);
  if (objc == 3) {
    const char* proxy = Tcl_GetStringFromObj(objv[2], &length);
    Tcl_DStringAppend(session->proxy.get(), proxy, length);
  }

  char chname[30];
  std::snprintf(chname, sizeof chname, "qsn%llu", next_session_number++);
  int isnew;
  Tcl_HashEntry* entry = Tcl_CreateHashEntry(&SessionTable, chname, &isnew);
  Tcl_SetHashValue(entry, session.release());
  Tcl_SetObjResult(interp, Tcl_NewStringObj(chname, -1));
  return TCL_OK;
}

// closeQSNsession sessionId
int CloseSessionCmd(ClientData, Tcl_Interp* interp, int objc,
                    Tcl_Obj* const objv[]) noexcept {
  if (objc != 2) {
    Tcl_WrongNumArgs(interp, 1, objv, "<session id>");
    SetUsageError(interp);
    return TCL_ERROR;
  }
  Tcl_HashEntry* entry = Tcl_FindHashEntry(&SessionTable, Tcl_GetString(objv[1]));
  if (!entry) {
    Tcl_SetObjResult(interp, Tcl_NewStringObj("Wrong session id", -1));
    SetUsageError(interp);
    return TCL_ERROR;
  }
  Session* session = static_cast<Session*>(Tcl_GetHashValue(entry));
  Tcl_DeleteHashEntry(entry);
  // Closed from a statistics callback of its own request: that request
  // still holds the record and destroys it when it returns. A no-wait
  // transfer still running is abandoned either way.
  session->closed = true;
  if (session->users == 0) delete session;
  return TCL_OK;
}
