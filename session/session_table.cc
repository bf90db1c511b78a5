// The session table of an interpreter, kept as its associated data so that
// it goes with the interpreter, and the commands that open and close
// sessions.
#include "session/session_table.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "log/log.h"
#include "session/configure.h"
#include "session/error_code.h"
#include "session/request.h"
#include "session/send.h"
#include "session/texts.h"
#include "session/transfer_source.h"

namespace qsn {

namespace {

constexpr char kAssocKey[] = "qsn::sessions";

// Ids count up for the life of the process, so no live session ever shares
// an id with another, closed or open, whatever its interpreter.
unsigned long long next_session_number = 1;

// Session id to Session*, for the interpreter's live sessions.
struct SessionTable {
  Tcl_HashTable sessions;
};

SessionTable* TableOf(Tcl_Interp* interp) {
  return static_cast<SessionTable*>(Tcl_GetAssocData(interp, kAssocKey, nullptr));
}

// Leaves the table; destroyed now, or, when a command running on it holds
// it, when that command lets go. A no-wait transfer still running is
// abandoned.
void Close(Session* session) {
  session->closed = true;
  if (session->users == 0) delete session;
}

void FinishPending(SessionTable* table, int budget_ms) {
  std::vector<Session*> pending;
  Tcl_HashSearch search;
  for (Tcl_HashEntry* entry = Tcl_FirstHashEntry(&table->sessions, &search); entry;
       entry = Tcl_NextHashEntry(&search)) {
    Session* session = static_cast<Session*>(Tcl_GetHashValue(entry));
    if (!session->transfer_done()) pending.push_back(session);
  }
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(budget_ms);
  // Each session has a multi handle of its own: they take turns, each
  // waiting a few milliseconds at most, until all have ended or the time
  // is up.
  while (!pending.empty() && Clock::now() < deadline) {
    for (size_t i = 0; i < pending.size();) {
      if (!pending[i]->Step(10) || pending[i]->transfer_done()) {
        pending[i] = pending.back();
        pending.pop_back();
      } else {
        ++i;
      }
    }
  }
}

// Tcl's exit handler: `exit` ends the process without returning from the
// script.
void FinishPendingAtExit(ClientData table) noexcept {
  FinishPending(static_cast<SessionTable*>(table), kPendingBudgetMs);
}

// The table's delete proc: the interpreter is going, and its sessions with
// it.
void DeleteTable(ClientData data, Tcl_Interp*) noexcept {
  SessionTable* table = static_cast<SessionTable*>(data);
  Tcl_DeleteExitHandler(FinishPendingAtExit, table);
  Tcl_HashSearch search;
  for (Tcl_HashEntry* entry = Tcl_FirstHashEntry(&table->sessions, &search); entry;
       entry = Tcl_NextHashEntry(&search))
    Close(static_cast<Session*>(Tcl_GetHashValue(entry)));
  Tcl_DeleteHashTable(&table->sessions);
  delete table;
}

void SetUsageError(Tcl_Interp* interp) { SetQsnErrorCode(interp, kErrorUsage); }

int CreateSessionCmd(ClientData, Tcl_Interp* interp, int objc,
                     Tcl_Obj* const objv[]) noexcept;
int CloseSessionCmd(ClientData, Tcl_Interp* interp, int objc,
                    Tcl_Obj* const objv[]) noexcept;

}  // namespace

void RegisterSessionCommands(Tcl_Interp* interp) {
  // Without it every transfer handle fails to appear; the commands then say
  // so one by one, and the log says why.
  if (CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT); code != CURLE_OK)
    LogPrintf(1, kLogCurlInit, curl_easy_strerror(code));
  SessionTable* table = new SessionTable;
  Tcl_InitHashTable(&table->sessions, TCL_STRING_KEYS);
  Tcl_SetAssocData(interp, kAssocKey, DeleteTable, table);
  Tcl_CreateObjCommand(interp, "createQSNsession", CreateSessionCmd, nullptr, nullptr);
  Tcl_CreateObjCommand(interp, "requestQSN", RequestCmd, nullptr, nullptr);
  Tcl_CreateObjCommand(interp, "closeQSNsession", CloseSessionCmd, nullptr, nullptr);
  Tcl_CreateObjCommand(interp, "configureQSNsession", ConfigureCmd, nullptr, nullptr);
  Tcl_CreateObjCommand(interp, "sendQSN", SendCmd, nullptr, nullptr);
  InstallTransferSource(interp);
  Tcl_CreateExitHandler(FinishPendingAtExit, table);
}

void FinishPendingTransfers(Tcl_Interp* interp, int budget_ms) {
  if (SessionTable* table = TableOf(interp)) FinishPending(table, budget_ms);
}

Session* FindSession(Tcl_Interp* interp, Tcl_Obj* id) {
  SessionTable* table = TableOf(interp);
  Tcl_HashEntry* entry =
      table ? Tcl_FindHashEntry(&table->sessions, Tcl_GetString(id)) : nullptr;
  if (entry) return static_cast<Session*>(Tcl_GetHashValue(entry));
  SetResult(interp, kWrongSessionId);
  SetUsageError(interp);
  return nullptr;
}

void ForEachSession(Tcl_Interp* interp, const std::function<void(Session*)>& visit) {
  SessionTable* table = TableOf(interp);
  if (!table) return;
  Tcl_HashSearch search;
  for (Tcl_HashEntry* entry = Tcl_FirstHashEntry(&table->sessions, &search); entry;
       entry = Tcl_NextHashEntry(&search))
    visit(static_cast<Session*>(Tcl_GetHashValue(entry)));
}

SessionUse::~SessionUse() {
  if (--session_->users == 0 && session_->closed) delete session_;
}

namespace {

// createQSNsession url ?proxy?
int CreateSessionCmd(ClientData, Tcl_Interp* interp, int objc,
                     Tcl_Obj* const objv[]) noexcept {
  if (objc < 2 || objc > 3) {
    Tcl_WrongNumArgs(interp, 1, objv, kCreateUsage);
    SetUsageError(interp);
    return TCL_ERROR;
  }
  int url_length = 0, proxy_length = 0;
  const char* url = Tcl_GetStringFromObj(objv[1], &url_length);
  const char* proxy = objc == 3 ? Tcl_GetStringFromObj(objv[2], &proxy_length) : "";
  std::string error;
  std::unique_ptr<Session> session;
  if (!Session::Create(url, url_length, proxy, proxy_length, &session, &error)) {
    SetResult(interp, error.c_str());
    return TCL_ERROR;
  }
  char chname[30];
  std::snprintf(chname, sizeof chname, "qsn%llu", next_session_number++);
  int isnew;
  Tcl_HashEntry* entry = Tcl_CreateHashEntry(&TableOf(interp)->sessions, chname, &isnew);
  Tcl_SetHashValue(entry, session.release());
  Tcl_SetObjResult(interp, Tcl_NewStringObj(chname, -1));
  return TCL_OK;
}

// closeQSNsession sessionId
int CloseSessionCmd(ClientData, Tcl_Interp* interp, int objc,
                    Tcl_Obj* const objv[]) noexcept {
  if (objc != 2) {
    Tcl_WrongNumArgs(interp, 1, objv, kCloseUsage);
    SetUsageError(interp);
    return TCL_ERROR;
  }
  Tcl_HashEntry* entry =
      Tcl_FindHashEntry(&TableOf(interp)->sessions, Tcl_GetString(objv[1]));
  if (!entry) {
    SetResult(interp, kWrongSessionId);
    SetUsageError(interp);
    return TCL_ERROR;
  }
  Session* session = static_cast<Session*>(Tcl_GetHashValue(entry));
  Tcl_DeleteHashEntry(entry);
  std::unique_ptr<SendQueue> sends = std::move(session->sends);
  // Closed from a statistics callback of its own request: that request
  // still holds the record and destroys it when it returns.
  Close(session);
  // The session is gone by now: their done commands find it closed.
  EndClosedSends(interp, std::move(sends));
  return TCL_OK;
}

}  // namespace

}  // namespace qsn
