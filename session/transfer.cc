// The wait loop of a request.
#include "session/transfer.h"

namespace {

constexpr int kTickMs = 1000;

void NoteEnded(Session* session) {
  int queued;
  while (CURLMsg* msg = curl_multi_info_read(session->multi.get(), &queued)) {
    if (msg->msg == CURLMSG_DONE && msg->easy_handle == session->easy.get()) {
      session->transfer_done = true;
      session->transfer_result = msg->data.result;
    }
  }
}

}  // namespace

CURLMcode PerformTransfer(Session* session, int* still_running) {
  CURLMcode code;
  do {
    code = curl_multi_perform(session->multi.get(), still_running);
  } while (code == CURLM_CALL_MULTI_PERFORM);
  return code;
}

CURLMcode WaitTransfer(Session* session, int still_running) {
  CURLMcode code = CURLM_OK;
  while (still_running && code == CURLM_OK) {
    // libcurl polls its own sockets, whatever their numbers (select's sets
    // end at FD_SETSIZE), and cuts the tick short when its timer is due
    // sooner. Unlike curl_multi_wait, it sleeps out the tick when it has no
    // socket to offer, instead of returning at once and spinning.
    code = curl_multi_poll(session->multi.get(), nullptr, 0, kTickMs, nullptr);
    if (code == CURLM_OK) code = PerformTransfer(session, &still_running);
  }
  NoteEnded(session);
  return code;
}

CURLMcode StepTransfer(Session* session, int wait_ms) {
  int still_running = 0;
  CURLMcode code = curl_multi_poll(session->multi.get(), nullptr, 0, wait_ms, nullptr);
  if (code == CURLM_OK) code = PerformTransfer(session, &still_running);
  if (code == CURLM_OK && still_running == 0) NoteEnded(session);
  return code;
}

CURLMcode DrainTransfer(Session* session) {
  int still_running = 0;
  CURLMcode code = PerformTransfer(session, &still_running);
  return code == CURLM_OK ? WaitTransfer(session, still_running) : code;
}
