#include "connect.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "host.h"
#include "log.h"
#include "settings.h"

namespace {

const char *connection_host_name = nullptr;
// The listening socket of the active data connection, -1 when none.
int msock = -1;
// Address msock is bound to; acceptport stores the peer's address here.
sockaddr_in srv{};

int poll_milliseconds(int seconds) {
  if (seconds < 0)
    return -1;
  if (seconds > INT_MAX / 1000)
    return INT_MAX;
  return seconds * 1000;
}

// Waits for fd under the `timeout` setting, again after each signal.
// 0 when ready (or no timeout is set), -1 with errno otherwise.
int wait_for_io(int fd, int for_writing) {
  if (opt.timeout <= 0)
    return 0;
  int ready;
  do
    ready = select_fd(fd, opt.timeout, for_writing);
  while (ready < 0 && errno == EINTR);
  if (ready == 0) {
    errno = ETIMEDOUT;
    return -1;
  }
  return ready < 0 ? -1 : 0;
}

void close_msock() {
  if (msock == -1)
    return;
  DEBUGP(("Closing fd %d\n", msock));
  close(msock);
  msock = -1;
}

}  // namespace

unique_fd &unique_fd::operator=(unique_fd &&other) noexcept {
  if (this != &other)
    reset(other.release());
  return *this;
}

int unique_fd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void unique_fd::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) {
    DEBUGP(("Closing fd %d\n", fd_));
    close(fd_);
  }
  fd_ = fd;
}

int connect_to_one(in_addr address, uint16_t port, int silent) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr = address;

  if (!silent) {
    std::string pretty = pretty_print_address(address);
    if (connection_host_name && pretty != connection_host_name)
      logprintf(LOG_VERBOSE, "Connecting to %s[%s]:%hu... ", connection_host_name,
                pretty.c_str(), port);
    else
      logprintf(LOG_VERBOSE, "Connecting to %s:%hu... ", pretty.c_str(), port);
  }

  unique_fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  bool ok = static_cast<bool>(sock);
  if (ok && opt.bindaddress)
    ok = bind(sock.get(), reinterpret_cast<const sockaddr *>(&*opt.bindaddress),
              sizeof(sockaddr_in)) == 0;
  if (ok)
    ok = connect(sock.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
  if (!ok) {
    int saved_errno = errno;
    sock.reset();
    if (!silent)
      logprintf(LOG_VERBOSE, "failed: %s.\n", strerror(saved_errno));
    errno = saved_errno;
    return -1;
  }
  if (!silent)
    logprintf(LOG_VERBOSE, "connected.\n");
  DEBUGP(("Created socket %d.\n", sock.get()));
  return sock.release();
}

int connect_to_many(address_list &al, uint16_t port, int silent) {
  int start, end;
  address_list_get_bounds(al, &start, &end);
  for (int i = start; i < end; i++) {
    int sock = connect_to_one(address_list_copy_one(al, i), port, silent);
    if (sock >= 0)
      return sock;
    int saved_errno = errno;
    address_list_set_faulty(al, i);
    errno = saved_errno;
  }
  return -1;
}

void set_connection_host_name(const char *host) {
  if (host)
    assert(connection_host_name == nullptr);
  else
    assert(connection_host_name != nullptr);
  connection_host_name = host;
}

status_t bindport(uint16_t *port) {
  // Only one listening socket exists; an earlier one nobody closed would
  // otherwise be lost for good.
  close_msock();
  msock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (msock < 0)
    return SOCKET_FAILED;
  int on = 1;
  if (setsockopt(msock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
    close(msock);
    msock = -1;
    return SOCKET_FAILED;
  }

  srv = sockaddr_in{};
  if (opt.bindaddress) {
    srv = *opt.bindaddress;
  } else {
    srv.sin_family = AF_INET;
    srv.sin_addr.s_addr = htonl(INADDR_ANY);
  }
  srv.sin_port = htons(*port);
  if (bind(msock, reinterpret_cast<sockaddr *>(&srv), sizeof srv) < 0) {
    close_msock();
    return BIND_FAILED;
  }
  DEBUGP(("Master socket fd %d bound.\n", msock));

  if (*port == 0) {
    socklen_t len = sizeof srv;
    if (getsockname(msock, reinterpret_cast<sockaddr *>(&srv), &len) < 0) {
      close_msock();
      return PORT_LOOKUP_FAILED;
    }
    *port = ntohs(srv.sin_port);
  }
  if (listen(msock, 1) < 0) {
    close_msock();
    return LISTEN_FAILED;
  }
  return BIND_DONE;
}

status_t acceptport(int *sock) {
  if (msock < 0)
    return ACCEPT_FAILED;
  // One wait only: a signal during it counts as a connection that never came.
  if (select_fd(msock, opt.timeout, 0) <= 0) {
    close_msock();
    return ACCEPT_FAILED;
  }
  socklen_t len = sizeof srv;
  int fd = accept4(msock, reinterpret_cast<sockaddr *>(&srv), &len, SOCK_CLOEXEC);
  if (fd < 0) {
    close_msock();
    return ACCEPT_FAILED;
  }
  *sock = fd;
  DEBUGP(("Created socket fd %d.\n", fd));
  return ACCEPT_DONE;
}

void closeport(int sock) {
  if (sock != -1) {
    DEBUGP(("Closing fd %d\n", sock));
    close(sock);
  }
  close_msock();
}

std::optional<in_addr> conaddr(int fd) {
  sockaddr_in mysrv{};
  socklen_t len = sizeof mysrv;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&mysrv), &len) < 0)
    return std::nullopt;
  return mysrv.sin_addr;
}

int select_fd(int fd, int maxtime, int for_writing) {
  pollfd p{};
  p.fd = fd;
  p.events = for_writing ? POLLOUT : (POLLIN | POLLPRI);
  return poll(&p, 1, poll_milliseconds(maxtime));
}

int test_socket_open(int fd) {
  pollfd p{};
  p.fd = fd;
  p.events = POLLIN;
  return poll(&p, 1, 0) == 0 ? 1 : 0;
}

ssize_t iread(int fd, char *buf, size_t len) {
  for (;;) {
    // Bytes already waiting need no wait: during a transfer they usually
    // are, and a poll before every read would double the system calls.
    ssize_t n = recv(fd, buf, len, MSG_DONTWAIT);
    if (n >= 0)
      return n;
    if (errno == EINTR)
      continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTSOCK)
      return -1;
    if (wait_for_io(fd, 0) < 0)
      return -1;
    n = read(fd, buf, len);
    if (n < 0 && errno == EINTR)
      continue;
    return n;
  }
}

ssize_t iwrite(int fd, const char *buf, size_t len) {
  ssize_t res = 0;
  while (len > 0) {
    if (wait_for_io(fd, 1) < 0)
      return -1;
    // A peer that went away must give an error, not a fatal SIGPIPE.
    res = send(fd, buf, len, MSG_NOSIGNAL);
    if (res < 0 && errno == EINTR)
      continue;
    if (res <= 0)
      break;
    buf += res;
    len -= static_cast<size_t>(res);
  }
  return res;
}
