// The server's own handling of each connection, plain or TLS. The library
// parses and routes the requests; this decides how long a client may take
// over its request head, when a connection ends, and how a refused one is
// closed, so that bytes the server never read are never taken for a request.
#pragma once

#include <httplib.h>
#include <openssl/ssl.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

struct ConnectionLimits {
  // From the first byte of a request (from the accept for the first one,
  // TLS handshake included) to the end of its head.
  std::chrono::seconds head_timeout{10};
  // Request line and header lines together.
  size_t max_head_bytes = 64 << 10;
  // How long a connection may wait idle for its next request.
  std::chrono::seconds keep_alive{10};
};

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using SslContext = std::unique_ptr<SSL_CTX, SslCtxFree>;

// A server context for a PEM certificate (chain) and its key, or null with
// the reason in *error.
SslContext NewTlsContext(const std::string& cert, const std::string& key,
                         std::string* error);

class QsnServer : public httplib::Server {
 public:
  // Speaks TLS with `tls` when it is not null.
  QsnServer(SslContext tls, ConnectionLimits limits);
  ~QsnServer() override;
  QsnServer(const QsnServer&) = delete;
  QsnServer& operator=(const QsnServer&) = delete;

  // Binds to `host` and `port` (0: any free port) with a listen queue long
  // enough for bursts of clients. Returns the port, or -1.
  int Bind(const std::string& host, int port);

  // The task queue for new_task_queue: up to `workers` threads, started as
  // needed, each serving one connection at a time.
  httplib::TaskQueue* NewWorkers(size_t workers);

  // Stops accepting. Connections idle between requests, or that have sent
  // nothing yet, end at once; a request already arriving is still read and
  // answered. Safe to call from any thread, more than once.
  void Stop();

  // Waits until every accepted connection is closed; false if some are
  // still open at `deadline`.
  bool WaitForConnections(std::chrono::steady_clock::time_point deadline);

 private:
  bool process_and_close_socket(socket_t sock) override;
  void Opened();
  void Closed();

  SslContext tls_;
  ConnectionLimits limits_;
  // Readable once the server stops: every idle wait watches it.
  int stop_pipe_[2] = {-1, -1};
  std::once_flag stopped_;
  std::mutex open_mutex_;
  std::condition_variable open_changed_;
  size_t open_ = 0;
};

// For the request handlers, on the thread that serves the request:
// the head is read, its deadline no longer applies.
void EndOfHead();
// The request was read to its end: the connection may carry another one.
// Without this call the connection is closed after the reply.
void KeepConnection();
bool ConnectionKept();
