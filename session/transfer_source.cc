// The transfers' event source: its set-up procedure bounds Tcl's wait while
// transfers are in flight, its check procedure drives them and queues one
// event when a session has a sendQSN request to start or to conclude; the
// event does that work, where scripts may run.
#include "session/transfer_source.h"

#include <algorithm>
#include <deque>
#include <new>
#include <vector>

#include "session/send.h"
#include "session/session.h"
#include "session/session_table.h"

namespace qsn {

namespace {

constexpr char kAssocKey[] = "qsn::transfer_source";

struct TransferSource {
  Tcl_Interp* interp;
  bool event_queued = false;  // at most one event of this source in the queue
};

// Tcl frees it with ckfree once Service has handled it.
struct ServiceEvent {
  Tcl_Event header;
  TransferSource* source;
};

// The longest Tcl may wait for a session, in microseconds: no limit (-1)
// when nothing of it is in flight.
long long WaitFor(const Session* session) {
  if (NeedsService(session)) return 0;
  if (session->transfer_done()) return -1;
  long long poll_us = std::clamp(session->RunningUs() / kPollShare,
                                 static_cast<long long>(kMinPollUs), kMaxPollMs * 1000LL);
  long timeout_ms = session->TimeoutMs();
  if (timeout_ms >= 0 && timeout_ms * 1000LL < poll_us) return timeout_ms * 1000LL;
  return poll_us;
}

// Transfers count as file events: `update idletasks` does not drive them.
void SetUp(ClientData data, int flags) noexcept {
  if (!(flags & TCL_FILE_EVENTS)) return;
  TransferSource* source = static_cast<TransferSource*>(data);
  long long wait_us = -1;
  ForEachSession(source->interp, [&wait_us](Session* session) {
    long long session_us = WaitFor(session);
    if (session_us >= 0 && (wait_us < 0 || session_us < wait_us)) wait_us = session_us;
  });
  if (wait_us < 0) return;  // Tcl waits as long as it likes
  Tcl_Time block = {static_cast<long>(wait_us / 1000000),
                    static_cast<long>(wait_us % 1000000)};
  Tcl_SetMaxBlockTime(&block);
}

int Service(Tcl_Event* event, int flags) noexcept;

void Check(ClientData data, int flags) noexcept {
  if (!(flags & TCL_FILE_EVENTS)) return;
  TransferSource* source = static_cast<TransferSource*>(data);
  bool due = false;
  ForEachSession(source->interp, [&due](Session* session) {
    DriveTransfer(session);
    due = due || NeedsService(session);
  });
  if (!due || source->event_queued) return;
  ServiceEvent* event = reinterpret_cast<ServiceEvent*>(ckalloc(sizeof(ServiceEvent)));
  event->header.proc = Service;
  event->source = source;
  Tcl_QueueEvent(&event->header, TCL_QUEUE_TAIL);
  source->event_queued = true;
}

// Serves every session that was due when the event came up. Done commands
// may open and close sessions: the due ones are held until all are served.
int Service(Tcl_Event* event, int flags) noexcept {
  if (!(flags & TCL_FILE_EVENTS)) return 0;
  TransferSource* source = reinterpret_cast<ServiceEvent*>(event)->source;
  source->event_queued = false;
  Tcl_Interp* interp = source->interp;
  std::vector<Session*> due;
  std::deque<SessionUse> holds;
  try {
    ForEachSession(interp, [&due, &holds](Session* session) {
      if (!NeedsService(session)) return;
      due.push_back(session);
      holds.emplace_back(session);
    });
  } catch (const std::bad_alloc&) {
    // No memory to list the due sessions: the event stays for a later turn.
    source->event_queued = true;
    return 0;
  }
  Tcl_Preserve(interp);
  for (Session* session : due) ServiceSends(interp, session);
  Tcl_Release(interp);
  return 1;
}

int IsServiceOf(Tcl_Event* event, ClientData source) noexcept {
  return event->proc == Service &&
         reinterpret_cast<ServiceEvent*>(event)->source == source;
}

// The interpreter is going: so do the source and its event in the queue.
void DeleteSource(ClientData data, Tcl_Interp*) noexcept {
  Tcl_DeleteEventSource(SetUp, Check, data);
  Tcl_DeleteEvents(IsServiceOf, data);
  delete static_cast<TransferSource*>(data);
}

}  // namespace

void InstallTransferSource(Tcl_Interp* interp) {
  TransferSource* source = new TransferSource{interp};
  Tcl_CreateEventSource(SetUp, Check, source);
  Tcl_SetAssocData(interp, kAssocKey, DeleteSource, source);
}

}  // namespace qsn
