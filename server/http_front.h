// The HTTP side of the server: it listens, accepts connections and serves
// each on a thread of its own (see connection_loop.h), and knows when they
// have all closed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "server/app_call.h"
#include "server/connection.h"
#include "server/connection_loop.h"
#include "server/stop_flag.h"

namespace qsn {

class HttpFront {
 public:
  // Requests go to `call`; replies held back by qsn::delay go out once
  // `stop` is requested, which must outlive the front. Speaks TLS with `tls`
  // when it is not null; bodies over `max_body` bytes are refused.
  HttpFront(AppCall call, StopFlag& stop, SslContext tls, ConnectionLimits limits,
            size_t max_body);
  ~HttpFront();
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // Listens on `host` and `port` (0: any free port); the port in
  // *bound_port. An address another server listens on is refused ("address
  // in use"), not shared.
  bool Bind(const std::string& host, int port, int* bound_port, std::string* error);

  // Serves with up to `workers` threads, each serving one connection at a
  // time, until Stop(). False when accepting fails for good.
  bool Serve(size_t workers);

  // Stops accepting. Connections idle between requests, or that have sent
  // nothing yet, end at once; a request already arriving is still read and
  // answered. Safe to call from any thread, more than once.
  void Stop();

  // Waits until every accepted connection is closed; false if some are
  // still open at `deadline`.
  bool WaitForConnections(std::chrono::steady_clock::time_point deadline);

 private:
  bool WaitToAccept() const;
  void Opened();
  void Closed();

  SslContext tls_;
  FrontShared shared_;
  int listen_fd_ = -1;
  // Closing the write end wakes the accept loop and every idle wait
  // (shared_.stop_fd).
  int stop_pipe_[2] = {-1, -1};
  std::once_flag stopped_;
  std::mutex open_mutex_;
  std::condition_variable open_changed_;
  size_t open_ = 0;
};

}  // namespace qsn
