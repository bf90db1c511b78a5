// The server's decision to stop, shared by the HTTP side and the Tcl side:
// once it is taken, calls are refused and replies held back go out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qsn {

class StopFlag {
 public:
  // Marks the server as stopping, for good, and cuts every Sleep short.
  // Safe to call from any thread, more than once.
  void Request() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requested_ = true;
    }
    changed_.notify_all();
  }

  bool requested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_;
  }

  // Waits for `duration`, or until the stop is requested if that is sooner.
  void Sleep(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, duration, [this] { return requested_; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool requested_ = false;
};

}  // namespace qsn
