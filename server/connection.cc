// A connection: a non-blocking socket, with TLS on top when asked, under one
// deadline per request head.
#include "server/connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace qsn {

namespace {

using Clock = Connection::Clock;

// How long a refused connection is given to take our answer before it is
// closed, and how much of what it still sends is read and dropped meanwhile:
// closing over unread bytes would reset the connection, and the client could
// lose the answer.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr size_t kLingerBytes = 4 << 20;

int MillisecondsUntil(Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
}

// Waits for `events` on `fd` until `deadline`, or until `stop_fd` (if not
// -1) becomes readable. True when `fd` is ready; a stop loses to data
// already there.
bool WaitFor(int fd, short events, Clock::time_point deadline, int stop_fd = -1) {
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
    int n = poll(fds, stop_fd < 0 ? 1 : 2, MillisecondsUntil(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    return fds[0].revents != 0;
  }
}

void AddressOf(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage address;
  socklen_t length = sizeof address;
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  if ((peer ? getpeername(fd, generic, &length) : getsockname(fd, generic, &length)) != 0)
    return;
  char host[NI_MAXHOST], service[NI_MAXSERV];
  if (getnameinfo(generic, length, host, sizeof host, service, sizeof service,
                  NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
    ip = host;
    port = std::atoi(service);
  }
}

// What SSL_get_error asks to wait for, or 0 when the call failed for good.
short TlsWants(SSL* ssl, int result) {
  switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
      return POLLIN;
    case SSL_ERROR_WANT_WRITE:
      return POLLOUT;
    default:
      return 0;
  }
}

}  // namespace

bool NewTlsContext(const std::string& cert, const std::string& key, SslContext* ctx,
                   std::string* error) {
  ctx->reset(SSL_CTX_new(TLS_server_method()));
  if (*ctx) {
    SSL_CTX_set_min_proto_version(ctx->get(), TLS1_2_VERSION);
    SSL_CTX_set_options(ctx->get(), SSL_OP_NO_COMPRESSION);
    if (SSL_CTX_use_certificate_chain_file(ctx->get(), cert.c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(ctx->get(), key.c_str(), SSL_FILETYPE_PEM) == 1 &&
        SSL_CTX_check_private_key(ctx->get()) == 1)
      return true;
  }
  ctx->reset();
  *error = "cannot use the certificate " + cert + " with the key " + key;
  return false;
}

Connection::Connection(int fd, SSL_CTX* tls, const ConnectionLimits& limits, int stop_fd,
                       std::chrono::seconds io_timeout)
    : fd_(fd), limits_(limits), stop_fd_(stop_fd), io_timeout_(io_timeout) {
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  if (tls) {
    ssl_ = SSL_new(tls);
    tls_failed_ = !ssl_ || SSL_set_fd(ssl_, fd_) != 1;
  }
}

Connection::~Connection() {
  if (ssl_) {
    if (!lingered_) SSL_shutdown(ssl_);
    SSL_free(ssl_);
  }
  close(fd_);
}

bool Connection::Start(Clock::time_point deadline) {
  // A connection to the HTTPS port is never served as plain HTTP.
  if (tls_failed_) {
    lingered_ = true;  // nothing to say close_notify with
    return false;
  }
  if (!ssl_) return true;
  for (;;) {
    int result = SSL_accept(ssl_);
    if (result == 1) return true;
    short wants = TlsWants(ssl_, result);
    if (!wants || !WaitFor(fd_, wants, deadline, stop_fd_)) {
      lingered_ = true;  // no close_notify on a failed handshake
      return false;
    }
  }
}

bool Connection::WaitForRequest(Clock::time_point deadline) {
  return Buffered() || WaitFor(fd_, POLLIN, deadline, stop_fd_);
}

void Connection::StartHead(Clock::time_point deadline) {
  head_deadline_ = deadline;
  head_bytes_ = 0;
  in_head_ = true;
  head_refused_ = false;
  head_check_.Start();
  in_chunks_ = false;
  body_refused_ = false;
}

void Connection::StartChunkedBody() {
  in_chunks_ = true;
  chunk_check_.Start();
}

bool Connection::is_readable() const {
  return Buffered() || WaitFor(fd_, POLLIN, ReadDeadline());
}

bool Connection::is_writable() const {
  return WaitFor(fd_, POLLOUT, Clock::now() + io_timeout_);
}

void Connection::get_remote_ip_and_port(std::string& ip, int& port) const {
  AddressOf(fd_, true, ip, port);
}

void Connection::get_local_ip_and_port(std::string& ip, int& port) const {
  AddressOf(fd_, false, ip, port);
}

// Until the head is read, no read waits past the head's deadline.
Clock::time_point Connection::ReadDeadline() const {
  auto deadline = Clock::now() + io_timeout_;
  return in_head_ ? std::min(deadline, head_deadline_) : deadline;
}

// One recv or SSL_read, waiting while the socket has nothing. -1 on an
// error or a time-out, 0 at the end of the stream.
ssize_t Connection::Receive(char* ptr, size_t size) {
  auto deadline = ReadDeadline();
  for (;;) {
    short wants = POLLIN;
    if (ssl_) {
      int result = SSL_read(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
      if (result > 0) return result;
      if (SSL_get_error(ssl_, result) == SSL_ERROR_ZERO_RETURN) return 0;
      wants = TlsWants(ssl_, result);
      if (!wants) return -1;
    } else {
      ssize_t result = recv(fd_, ptr, size, 0);
      if (result >= 0) return result;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    }
    if (!WaitFor(fd_, wants, deadline)) return -1;
  }
}

ssize_t Connection::read(char* ptr, size_t size) {
  if (in_head_) {
    // A head over the limit ends as a refused one: the library answers
    // it, and the client, sent our end gracefully, reads that answer.
    if (head_bytes_ >= limits_.max_head_bytes) head_refused_ = true;
    if (head_refused_) return 0;
    size = std::min(size, limits_.max_head_bytes - head_bytes_);
  }
  if (body_refused_) return 0;
  ssize_t n;
  if (used_ < filled_) {
    n = static_cast<ssize_t>(std::min(size, filled_ - used_));
    std::memcpy(ptr, buffer_ + used_, n);
    used_ += n;
  } else if (size >= kBufferSize) {
    n = Receive(ptr, size);
  } else {
    // The library reads the head a byte at a time: buffer it.
    ssize_t got = Receive(buffer_, kBufferSize);
    if (got <= 0) return got;
    filled_ = static_cast<size_t>(got);
    n = static_cast<ssize_t>(std::min(size, filled_));
    std::memcpy(ptr, buffer_, n);
    used_ = n;
  }
  if (in_head_ && n > 0) n = CheckHead(ptr, n);
  if (in_chunks_ && n > 0) n = CheckChunks(ptr, n);
  return n;
}

// The bytes of the head the library may have: those before a line the check
// refuses. Then the stream ends for the library, which answers 400.
ssize_t Connection::CheckHead(const char* ptr, ssize_t n) {
  for (ssize_t i = 0; i < n; ++i) {
    if (!head_check_.Take(ptr[i])) {
      head_refused_ = true;
      n = i;
      break;
    }
  }
  head_bytes_ += n;
  return n;
}

// The bytes of a chunked body the library may have: those before a byte
// the check refuses. Then the stream ends, and the request is refused.
ssize_t Connection::CheckChunks(const char* ptr, ssize_t n) {
  size_t taken = chunk_check_.Take(ptr, static_cast<size_t>(n));
  if (taken < static_cast<size_t>(n)) body_refused_ = true;
  return static_cast<ssize_t>(taken);
}

ssize_t Connection::write(const char* ptr, size_t size) {
  auto deadline = Clock::now() + io_timeout_;
  for (;;) {
    short wants = POLLOUT;
    if (ssl_) {
      int result =
          SSL_write(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
      if (result > 0) return result;
      wants = TlsWants(ssl_, result);
      if (!wants) return -1;
    } else {
      ssize_t result = send(fd_, ptr, size, MSG_NOSIGNAL);
      if (result >= 0) return result;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    }
    if (!WaitFor(fd_, wants, deadline)) return -1;
  }
}

void Connection::Linger() {
  if (ssl_) SSL_shutdown(ssl_);
  lingered_ = true;
  shutdown(fd_, SHUT_WR);
  auto deadline = Clock::now() + kLingerTime;
  char scratch[kBufferSize];
  for (size_t dropped = 0; dropped < kLingerBytes && WaitFor(fd_, POLLIN, deadline);) {
    ssize_t n = recv(fd_, scratch, sizeof scratch, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    dropped += static_cast<size_t>(n);
  }
}

}  // namespace qsn
