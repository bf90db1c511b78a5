// The wait loop of a request.
#include "session/transfer.h"

#include <sys/select.h>

#include <cerrno>

size_t WriteToResponse(char* data, size_t size, size_t count, void* buffer) noexcept {
  size_t bytes = size * count;
  Tcl_DStringAppend(static_cast<Tcl_DString*>(buffer), data, static_cast<int>(bytes));
  return bytes;
}

namespace {

void NoteEnded(Session* session) {
  int queued;
  while (CURLMsg* msg = curl_multi_info_read(session->multi, &queued)) {
    if (msg->msg == CURLMSG_DONE && msg->easy_handle == session->easy) {
      session->transfer_done = true;
      session->transfer_result = msg->data.result;
    }
  }
}

}  // namespace

int PerformTransfer(Session* session) {
  int still_running = 0;
  while (curl_multi_perform(session->multi, &still_running) == CURLM_CALL_MULTI_PERFORM) {
  }
  return still_running;
}

void WaitTransfer(Session* session, Tcl_Interp* interp, int still_running) {
  while (still_running) {
    fd_set fdread, fdwrite, fdexcep;
    FD_ZERO(&fdread);
    FD_ZERO(&fdwrite);
    FD_ZERO(&fdexcep);
    int maxfd = -1;
    curl_multi_fdset(session->multi, &fdread, &fdwrite, &fdexcep, &maxfd);

    // The one-second tick, cut short when libcurl has a timer due sooner.
    long wait_ms = 1000;
    long curl_ms = -1;
    if (curl_multi_timeout(session->multi, &curl_ms) == CURLM_OK && curl_ms >= 0 &&
        curl_ms < wait_ms)
      wait_ms = curl_ms;
    struct timeval timeout = {wait_ms / 1000, (wait_ms % 1000) * 1000};

    if (select(maxfd + 1, &fdread, &fdwrite, &fdexcep, &timeout) == -1) {
      if (errno == EINTR) continue;
      Tcl_SetObjResult(interp, Tcl_NewStringObj(Tcl_PosixError(interp), -1));
      break;
    }
    still_running = PerformTransfer(session);
  }
  NoteEnded(session);
}

void DrainTransfer(Session* session, Tcl_Interp* interp) {
  WaitTransfer(session, interp, PerformTransfer(session));
}
