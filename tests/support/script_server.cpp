#include "script_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace script {

namespace {

// Slice of every wait, so that a stop request is seen quickly.
constexpr int SLICE_MS = 20;

bool wait_readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, SLICE_MS) > 0;
}

// One past the blank line ending a head, searching from `from`; npos when
// the head is not complete yet.
size_t head_end(const std::string &s, size_t from) {
  size_t crlf = s.find("\r\n\r\n", from);
  size_t lf = s.find("\n\n", from);
  if (crlf == std::string::npos && lf == std::string::npos)
    return std::string::npos;
  if (lf == std::string::npos || (crlf != std::string::npos && crlf < lf))
    return crlf + 4;
  return lf + 2;
}

}  // namespace

step expect_head() { return {step_kind::EXPECT_HEAD, {}, 0, 0}; }
step send_bytes(std::string bytes) { return {step_kind::SEND, std::move(bytes), 0, 0}; }
step pause_ms(int ms) { return {step_kind::PAUSE, {}, 0, ms}; }
step cut(std::string bytes, size_t count) { return {step_kind::CUT, std::move(bytes), count, 0}; }
step close_conn() { return {step_kind::CLOSE, {}, 0, 0}; }
step reset_conn() { return {step_kind::RESET, {}, 0, 0}; }

server::server(std::vector<std::vector<step>> scripts, std::chrono::milliseconds bound)
    : scripts_(std::move(scripts)), deadline_(std::chrono::steady_clock::now() + bound) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0)
    throw std::runtime_error("script server: socket failed");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 ||
      listen(listen_fd_, 16) < 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&sa), &len) < 0) {
    close(listen_fd_);
    throw std::runtime_error("script server: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(sa.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

server::~server() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  acceptor_.join();
  for (auto &t : threads_)
    t.join();
  close(listen_fd_);
}

bool server::stopping() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_ || std::chrono::steady_clock::now() >= deadline_;
}

void server::accept_loop() {
  while (!stopping()) {
    if (!wait_readable(listen_fd_))
      continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
      continue;
    std::lock_guard<std::mutex> lock(mutex_);
    int connection = accepted_++;
    received_.emplace_back();
    pending_.emplace_back();
    threads_.emplace_back([this, connection, fd] { play(connection, fd); });
    changed_.notify_all();
  }
}

// Reads what is there (waiting one slice); 1 read something, 0 nothing yet,
// -1 end of stream or error.
int server::receive_some(int connection, int fd) {
  if (!wait_readable(fd))
    return 0;
  char buf[4096];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  if (n <= 0)
    return -1;
  std::lock_guard<std::mutex> lock(mutex_);
  received_[connection].append(buf, static_cast<size_t>(n));
  pending_[connection].append(buf, static_cast<size_t>(n));
  return 1;
}

bool server::read_head(int connection, int fd) {
  // Bytes already searched for the blank line, less the three that could
  // start one, so a large head is scanned once.
  size_t scanned = 0;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::string &pending = pending_[connection];
      size_t end = head_end(pending, scanned);
      if (end != std::string::npos) {
        heads_.push_back({connection, pending.substr(0, end)});
        pending.erase(0, end);
        return true;
      }
      scanned = pending.size() > 3 ? pending.size() - 3 : 0;
    }
    if (stopping() || receive_some(connection, fd) < 0)
      return false;
  }
}

bool server::send_all(int fd, const char *data, size_t len) {
  while (len > 0) {
    if (stopping())
      return false;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, SLICE_MS) <= 0)
      continue;
    ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Keeps an unclosed connection open until the peer closes it.
void server::drain(int connection, int fd) {
  while (!stopping() && receive_some(connection, fd) >= 0) {
  }
}

void server::play(int connection, int fd) {
  bool scripted = static_cast<size_t>(connection) < scripts_.size();
  bool completed = scripted;
  bool open = true;
  if (scripted) {
    for (const step &s : scripts_[connection]) {
      bool ok = true;
      switch (s.kind) {
        case step_kind::EXPECT_HEAD:
          ok = read_head(connection, fd);
          break;
        case step_kind::SEND:
          ok = send_all(fd, s.bytes.data(), s.bytes.size());
          break;
        case step_kind::PAUSE: {
          std::unique_lock<std::mutex> lock(mutex_);
          changed_.wait_for(lock, std::chrono::milliseconds(s.ms), [this] { return stop_; });
          ok = !stop_;
          break;
        }
        case step_kind::CUT:
          ok = send_all(fd, s.bytes.data(), std::min(s.count, s.bytes.size()));
          open = false;
          break;
        case step_kind::CLOSE:
          open = false;
          break;
        case step_kind::RESET: {
          linger l{1, 0};
          setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
          open = false;
          break;
        }
      }
      if (!ok) {
        completed = false;
        break;
      }
      if (!open)
        break;
    }
  }
  if (scripted) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++finished_;
    if (completed)
      ++completed_;
    changed_.notify_all();
  }
  if (scripted && open && completed)
    drain(connection, fd);
  close(fd);
}

bool server::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_until(lock, deadline_, [this] {
    return stop_ || static_cast<size_t>(finished_) >= scripts_.size();
  });
  return static_cast<size_t>(completed_) == scripts_.size();
}

std::vector<head_record> server::heads() {
  std::lock_guard<std::mutex> lock(mutex_);
  return heads_;
}

std::vector<std::string> server::received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

int server::accepted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

}  // namespace script
