// Worker threads are started on demand, not all at once, and are not
// joined: on a loaded machine a thousand threads take seconds to start and
// as long to end, which would hold up both the first request and the stop.
#include "server/workers.h"

#include <system_error>
#include <thread>

namespace qsn {

void Workers::enqueue(std::function<void()> fn) {
  opened_();
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->jobs.push_back([this, fn = std::move(fn)] {
    fn();
    closed_();
  });
  state_->changed.notify_one();
  // Jobs not yet taken outnumber the threads waiting for one.
  if (state_->jobs.size() <= state_->idle || state_->threads >= most_) return;
  try {
    std::thread(Work, state_).detach();
    ++state_->threads;
  } catch (const std::system_error&) {
    // No thread to spare: the connection waits for a busy one.
  }
}

void Workers::shutdown() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->shutdown = true;
  state_->changed.notify_all();
  state_->changed.wait(lock, [this] { return state_->threads == 0; });
}

void Workers::Work(std::shared_ptr<State> state) {
  std::unique_lock<std::mutex> lock(state->mutex);
  for (;;) {
    ++state->idle;
    state->changed.wait(lock, [&] { return state->shutdown || !state->jobs.empty(); });
    --state->idle;
    if (state->jobs.empty()) break;
    auto job = std::move(state->jobs.front());
    state->jobs.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
  --state->threads;
  state->changed.notify_all();
}

}  // namespace qsn
