// The threads connections are served on: started as connections need them,
// up to a ceiling, each serving one connection at a time, and each
// connection counted from the accept to the close.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace qsn {

class Workers {
 public:
  // At most `most` threads. `opened` runs when a connection is queued,
  // `closed` when it has been served; both must stay callable until
  // shutdown() returns.
  Workers(size_t most, std::function<void()> opened, std::function<void()> closed)
      : most_(most), opened_(std::move(opened)), closed_(std::move(closed)) {}

  void enqueue(std::function<void()> fn);
  // Returns once every thread has left its loop: their jobs, and so the
  // callbacks, are done.
  void shutdown();

 private:
  // Shared with the threads, which may outlive this object by the moments
  // they take to end.
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> jobs;
    size_t threads = 0, idle = 0;
    bool shutdown = false;
  };

  static void Work(std::shared_ptr<State> state);

  size_t most_;
  std::function<void()> opened_, closed_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace qsn
