// The front: the listening socket, the threads connections are served on,
// the stop, and the count of connections still open.
#include "server/http_front.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "server/workers.h"

namespace qsn {

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
  // Head and body go out in separate writes; without this the body waits
  // for the client's delayed acknowledgement of the head.
  set_tcp_nodelay(true);
}

HttpFront::~HttpFront() {
  for (int fd : stop_pipe_)
    if (fd >= 0) close(fd);
}

bool HttpFront::Bind(const std::string& host, int port, int* bound_port,
                     std::string* error) {
  *bound_port = port == 0 ? bind_to_any_port(host) : bind_to_port(host, port) ? port : -1;
  if (*bound_port <= 0) {
    *error = "cannot listen on " + host + ":" + std::to_string(port);
    return false;
  }
  // The library listens with a queue of five: on a busy machine the accept
  // loop falls that far behind, and the kernel then drops new connections,
  // which retry only a second or more later. A second listen() lengthens
  // the queue.
  ::listen(svr_sock_, SOMAXCONN);
  return true;
}

bool HttpFront::Serve(size_t workers) {
  // The library takes the queue over once it asks for it.
  auto queue = std::make_unique<Workers>(
      workers, [this] { Opened(); }, [this] { Closed(); });
  new_task_queue = [&queue] { return queue.release(); };
  return listen_after_bind();
}

void HttpFront::Stop() {
  std::call_once(stopped_, [this] {
    shared_.closing = true;
    // Closing the write end makes the read end readable for every waiter.
    close(stop_pipe_[1]);
    stop_pipe_[1] = -1;
    stop();
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

bool HttpFront::process_and_close_socket(socket_t sock) {
  ServeConnection(sock, shared_);
  return true;
}

}  // namespace qsn
