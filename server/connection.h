// One connection of the server, plain or TLS, as the stream the HTTP library
// reads requests from. It decides how long a client may take over its
// request head, and how a refused connection is closed, so that bytes the
// server never read are never taken for a request.
#pragma once

#include <httplib.h>
#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <string>

#include "server/framing.h"

namespace qsn {

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

// A server context for a PEM certificate (chain) and its key, in *ctx.
bool NewTlsContext(const std::string& cert, const std::string& key, SslContext* ctx,
                   std::string* error);

class Connection : public httplib::Stream {
 public:
  using Clock = std::chrono::steady_clock;

  // Takes over the accepted socket `fd` and closes it. Speaks TLS with
  // `tls` when it is not null; `limits` must outlive the connection. The
  // handshake and the wait for the next request end early once `stop_fd`
  // becomes readable; any other read or write waits at most `io_timeout`.
  Connection(int fd, SSL_CTX* tls, const ConnectionLimits& limits, int stop_fd,
             std::chrono::seconds io_timeout);
  ~Connection() override;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The TLS handshake, if any, within the first request's deadline. False
  // too when TLS could not be set up for the connection.
  bool Start(Clock::time_point deadline);
  // Waits until the next request starts to arrive. False at the deadline,
  // on a closed connection, or when the server stops first.
  bool WaitForRequest(Clock::time_point deadline);
  // From here to EndHead, reads stop at `deadline`, and end the stream at
  // the head's size limit and before a line HeadCheck refuses.
  void StartHead(Clock::time_point deadline);
  void EndHead() { in_head_ = false; }
  bool InHead() const { return in_head_; }
  // The head was cut short for what it holds, not for its time: its client
  // is sent the answer.
  bool HeadRefused() const { return head_refused_; }
  // From here to the next StartHead, the stream ends for the library before
  // a byte ChunkCheck refuses, and BodyRefused says so.
  void StartChunkedBody();
  bool BodyRefused() const { return body_refused_; }
  // Sends our end of the connection, then drops what the client still sends
  // for a short while.
  void Linger();

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return fd_; }

 private:
  static constexpr size_t kBufferSize = 16384;

  bool Buffered() const { return used_ < filled_ || (ssl_ && SSL_has_pending(ssl_)); }
  Clock::time_point ReadDeadline() const;
  ssize_t Receive(char* ptr, size_t size);
  ssize_t CheckHead(const char* ptr, ssize_t n);
  ssize_t CheckChunks(const char* ptr, ssize_t n);

  int fd_;
  SSL* ssl_ = nullptr;
  bool tls_failed_ = false;
  const ConnectionLimits& limits_;
  int stop_fd_;
  std::chrono::seconds io_timeout_;
  bool lingered_ = false;
  bool in_head_ = false;
  bool head_refused_ = false;
  HeadCheck head_check_;
  bool in_chunks_ = false;
  bool body_refused_ = false;
  ChunkCheck chunk_check_;
  Clock::time_point head_deadline_;
  size_t head_bytes_ = 0;
  char buffer_[kBufferSize];
  size_t used_ = 0, filled_ = 0;
};

}  // namespace qsn
