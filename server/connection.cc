// Connections of the server: a non-blocking socket (with TLS on top when
// asked) under one deadline per request head, and the keep-alive loop that
// hands each request to the library.
#include "server/connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <functional>
#include <system_error>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// How long a refused connection is given to take our answer before it is
// closed, and how much of what it still sends is read and dropped meanwhile:
// closing over unread bytes would reset the connection, and the client could
// lose the answer.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr size_t kLingerBytes = 4 << 20;
constexpr size_t kBufferSize = 16384;

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

// One accepted socket, as the stream the library reads requests from.
class Connection : public httplib::Stream {
 public:
  Connection(int fd, SSL_CTX* tls, const ConnectionLimits& limits, int stop_fd,
             std::chrono::seconds io_timeout)
      : fd_(fd), limits_(limits), stop_fd_(stop_fd), io_timeout_(io_timeout) {
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    if (tls) {
      ssl_ = SSL_new(tls);
      if (ssl_) SSL_set_fd(ssl_, fd_);
    }
  }
  ~Connection() override {
    if (ssl_) {
      if (!lingered_) SSL_shutdown(ssl_);
      SSL_free(ssl_);
    }
    close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The TLS handshake, if any, within the first request's deadline.
  bool Start(Clock::time_point deadline);
  // Waits until the next request starts to arrive. False at the deadline,
  // on a closed connection, or when the server stops first.
  bool WaitForRequest(Clock::time_point deadline);
  void StartHead(Clock::time_point deadline) {
    head_deadline_ = deadline;
    head_bytes_ = 0;
    in_head_ = true;
  }
  void EndHead() { in_head_ = false; }
  bool InHead() const { return in_head_; }
  // Sends our end of the connection, then drops what the client still sends
  // for a short while.
  void Linger();

  bool is_readable() const override {
    return Buffered() || WaitFor(fd_, POLLIN, ReadDeadline());
  }
  bool is_writable() const override {
    return WaitFor(fd_, POLLOUT, Clock::now() + io_timeout_);
  }
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    AddressOf(fd_, true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    AddressOf(fd_, false, ip, port);
  }
  socket_t socket() const override { return fd_; }

 private:
  bool Buffered() const { return used_ < filled_ || (ssl_ && SSL_has_pending(ssl_)); }
  // Until the head is read, no read waits past the head's deadline.
  Clock::time_point ReadDeadline() const {
    auto deadline = Clock::now() + io_timeout_;
    return in_head_ ? std::min(deadline, head_deadline_) : deadline;
  }
  ssize_t Receive(char* ptr, size_t size);

  int fd_;
  SSL* ssl_ = nullptr;
  const ConnectionLimits& limits_;
  int stop_fd_;
  std::chrono::seconds io_timeout_;
  bool lingered_ = false;
  bool in_head_ = false;
  Clock::time_point head_deadline_;
  size_t head_bytes_ = 0;
  char buffer_[kBufferSize];
  size_t used_ = 0, filled_ = 0;
};

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

bool Connection::Start(Clock::time_point deadline) {
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
    if (head_bytes_ >= limits_.max_head_bytes) return -1;
    size = std::min(size, limits_.max_head_bytes - head_bytes_);
  }
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
  if (in_head_ && n > 0) head_bytes_ += n;
  return n;
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

// The connection and the fate of the request being served on this thread.
thread_local Connection* current = nullptr;
thread_local bool keep = false;

// The library's task queue: threads started as connections need them, up
// to a ceiling, each serving one connection at a time, and each connection
// counted from the accept to the close. Threads are started on demand, not
// all at once, and are not joined: on a loaded machine a thousand threads
// take seconds to start and as long to end, which would hold up both the
// first request and the stop.
class Workers : public httplib::TaskQueue {
 public:
  Workers(size_t most, std::function<void()> opened, std::function<void()> closed)
      : most_(most), opened_(std::move(opened)), closed_(std::move(closed)) {}

  void enqueue(std::function<void()> fn) override {
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

  // Returns once every thread has left its loop: their jobs, and so the
  // callbacks into this object, are done.
  void shutdown() override {
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->shutdown = true;
    state_->changed.notify_all();
    state_->changed.wait(lock, [this] { return state_->threads == 0; });
  }

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

  static void Work(std::shared_ptr<State> state) {
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

  size_t most_;
  std::function<void()> opened_, closed_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace

void EndOfHead() {
  if (current) current->EndHead();
}
void KeepConnection() { keep = true; }
bool ConnectionKept() { return keep; }

SslContext NewTlsContext(const std::string& cert, const std::string& key,
                         std::string* error) {
  SslContext ctx(SSL_CTX_new(TLS_server_method()));
  if (ctx) {
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_COMPRESSION);
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert.c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(ctx.get(), key.c_str(), SSL_FILETYPE_PEM) == 1 &&
        SSL_CTX_check_private_key(ctx.get()) == 1)
      return ctx;
  }
  *error = "cannot use the certificate " + cert + " with the key " + key;
  return nullptr;
}

QsnServer::QsnServer(SslContext tls, ConnectionLimits limits)
    : tls_(std::move(tls)), limits_(limits) {
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
  // The count the Keep-Alive header announces; the loop below sets none.
  set_keep_alive_max_count(1000000);
  set_keep_alive_timeout(limits.keep_alive.count());
}

QsnServer::~QsnServer() {
  for (int fd : stop_pipe_)
    if (fd >= 0) close(fd);
}

int QsnServer::Bind(const std::string& host, int port) {
  if (port == 0) {
    port = bind_to_any_port(host);
  } else if (!bind_to_port(host, port)) {
    return -1;
  }
  // The library listens with a queue of five: on a busy machine the accept
  // loop falls that far behind, and the kernel then drops new connections,
  // which retry only a second or more later. A second listen() lengthens
  // the queue.
  if (port > 0) ::listen(svr_sock_, SOMAXCONN);
  return port > 0 ? port : -1;
}

httplib::TaskQueue* QsnServer::NewWorkers(size_t workers) {
  return new Workers(
      workers, [this] { Opened(); }, [this] { Closed(); });
}

void QsnServer::Stop() {
  std::call_once(stopped_, [this] {
    // Closing the write end makes the read end readable for every waiter.
    close(stop_pipe_[1]);
    stop_pipe_[1] = -1;
    stop();
  });
}

void QsnServer::Opened() {
  std::lock_guard<std::mutex> lock(open_mutex_);
  ++open_;
}

void QsnServer::Closed() {
  std::lock_guard<std::mutex> lock(open_mutex_);
  if (--open_ == 0) open_changed_.notify_all();
}

bool QsnServer::WaitForConnections(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(open_mutex_);
  return open_changed_.wait_until(lock, deadline, [this] { return open_ == 0; });
}

bool QsnServer::process_and_close_socket(socket_t sock) {
  Connection connection(sock, tls_.get(), limits_, stop_pipe_[0],
                        std::chrono::seconds(read_timeout_sec_));
  auto deadline = Clock::now() + limits_.head_timeout;
  if (!connection.Start(deadline)) return false;
  for (bool first = true;; first = false) {
    if (!connection.WaitForRequest(first ? deadline : Clock::now() + limits_.keep_alive))
      break;
    if (!first) deadline = Clock::now() + limits_.head_timeout;
    connection.StartHead(deadline);
    current = &connection;
    keep = false;
    bool client_closes = false;
    bool stopping = svr_sock_ == INVALID_SOCKET;
    bool written = process_request(connection, stopping, client_closes, nullptr);
    current = nullptr;
    if (!written) break;
    if (!keep) {
      // A client that never finished its head gets no grace.
      if (!connection.InHead()) connection.Linger();
      break;
    }
    if (client_closes || svr_sock_ == INVALID_SOCKET) break;
  }
  return true;
}
