// The front: the listening socket, the accept loop, the threads connections
// are served on, the stop, and the count of connections still open. Every
// descriptor it opens is close-on-exec: a program the application starts
// must not hold a client's connection open.
#include "server/http_front.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "server/workers.h"

namespace qsn {

namespace {

struct AddrInfoFree {
  void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

// Why a socket call failed, as the server says it.
std::string Reason(int error) {
  return error == EADDRINUSE ? "address in use" : std::strerror(error);
}

// A listening socket bound to `address`, in *fd.
bool ListenOn(const addrinfo& address, int* fd, std::string* error) {
  int sock = socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                    address.ai_protocol);
  if (sock < 0) {
    *error = Reason(errno);
    return false;
  }
  // Lets a restarted server bind while its old connections linger in
  // TIME_WAIT; unlike SO_REUSEPORT, it lets no second server listen here.
  int on = 1, off = 0;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (address.ai_family == AF_INET6)
    setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  // The queue of connections not yet accepted: on a busy machine the accept
  // loop falls behind, and a short queue makes the kernel drop connections,
  // which retry only a second or more later.
  if (bind(sock, address.ai_addr, address.ai_addrlen) == 0 &&
      listen(sock, SOMAXCONN) == 0) {
    *fd = sock;
    return true;
  }
  *error = Reason(errno);
  close(sock);
  return false;
}

// The port the socket `fd` is bound to, in *port.
bool PortOf(int fd, int* port, std::string* error) {
  sockaddr_storage address;
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    *error = Reason(errno);
    return false;
  }
  *port = ntohs(address.ss_family == AF_INET6
                    ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                    : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  return true;
}

// An accept that failed for this connection only, or for want of
// descriptors or memory for a moment: the loop goes on.
bool AcceptGoesOn(int error) {
  switch (error) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ETIMEDOUT:
      return true;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return true;
    default:
      return false;
  }
}

}  // namespace

HttpFront::HttpFront(AppCall call, StopFlag& stop, SslContext tls,
                     ConnectionLimits limits, size_t max_body)
    : tls_(std::move(tls)) {
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
  shared_.call = std::move(call);
  shared_.stop = &stop;
  shared_.tls = tls_.get();
  shared_.limits = limits;
  shared_.max_body = max_body;
  shared_.stop_fd = stop_pipe_[0];
}

HttpFront::~HttpFront() {
  for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]})
    if (fd >= 0) close(fd);
}

bool HttpFront::Bind(const std::string& host, int port, int* bound_port,
                     std::string* error) {
  std::string where = (host.find(':') == std::string::npos ? host : "[" + host + "]") +
                      ":" + std::to_string(port);
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (status != 0) {
    *error = "cannot listen on " + where + ": " + gai_strerror(status);
    return false;
  }
  std::unique_ptr<addrinfo, AddrInfoFree> addresses(found);
  std::string reason;
  for (addrinfo* address = found; address && listen_fd_ < 0; address = address->ai_next)
    ListenOn(*address, &listen_fd_, &reason);
  if (listen_fd_ < 0 || !PortOf(listen_fd_, bound_port, &reason)) {
    *error = "cannot listen on " + where + ": " + reason;
    return false;
  }
  return true;
}

// Waits for a connection to accept; false once the front stops.
bool HttpFront::WaitToAccept() const {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[1].revents) return false;
    if (fds[0].revents) return true;
  }
}

bool HttpFront::Serve(size_t workers) {
  Workers queue(
      workers, [this] { Opened(); }, [this] { Closed(); });
  bool failed = false;
  while (!failed && WaitToAccept()) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      failed = !AcceptGoesOn(errno);
      continue;
    }
    // Head and body go out in separate writes; without this the body waits
    // for the client's delayed acknowledgement of the head.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    queue.enqueue([this, fd] { ServeConnection(fd, shared_); });
  }
  // New clients are refused at once, not left waiting for an accept.
  close(listen_fd_);
  listen_fd_ = -1;
  queue.shutdown();
  return !failed;
}

void HttpFront::Stop() {
  std::call_once(stopped_, [this] {
    shared_.closing = true;
    // Closing the write end makes the read end readable for every waiter.
    close(stop_pipe_[1]);
    stop_pipe_[1] = -1;
  });
}

void HttpFront::Opened() {
  std::lock_guard<std::mutex> lock(open_mutex_);
  ++open_;
}

void HttpFront::Closed() {
  std::lock_guard<std::mutex> lock(open_mutex_);
  if (--open_ == 0) open_changed_.notify_all();
}

bool HttpFront::WaitForConnections(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(open_mutex_);
  return open_changed_.wait_until(lock, deadline, [this] { return open_ == 0; });
}

}  // namespace qsn
