#include "socket_feed.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

socket_feed::socket_feed(std::string bytes, bool keep_open) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) < 0)
    throw std::runtime_error("socketpair failed");
  near_ = fds[0];
  far_ = fds[1];
  writer_ = std::thread([this, bytes = std::move(bytes), keep_open] {
    const char *p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
      ssize_t n = send(far_, p, left, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      p += n;
      left -= static_cast<size_t>(n);
    }
    if (!keep_open)
      shutdown(far_, SHUT_WR);
  });
}

socket_feed::~socket_feed() {
  // Closing the near end first ends a writer blocked on a full pair.
  shutdown(near_, SHUT_RDWR);
  writer_.join();
  close(near_);
  close(far_);
}
