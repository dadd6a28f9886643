// header_get over arbitrary byte streams: lines stay within their cap, every
// result is one of the three codes, and the loop always ends.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "headers.h"
#include "settings.h"

#define CHECK(c) \
  do {               \
    if (!(c))        \
      __builtin_trap(); \
  } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) < 0)
    return 0;
  ssize_t sent = size ? send(fds[1], data, size, MSG_DONTWAIT | MSG_NOSIGNAL) : 0;
  shutdown(fds[1], SHUT_WR);
  opt.timeout = 1;
  rbuf rb;
  rbuf_initialize(rb, fds[0]);
  std::string line;
  int res = HEADER_LINE_OK;
  for (int i = 0; res == HEADER_LINE_OK && i <= static_cast<int>(size); i++) {
    res = header_get(rb, line, i == 0 ? HEADER_LINE_NO_CONTINUATION : 0);
    CHECK(res == HEADER_LINE_OK || res == HEADER_LINE_EOF || res == HEADER_LINE_ERROR);
    CHECK(line.size() <= MAX_HEADER_LINE);
    CHECK(rb.head_bytes <= static_cast<size_t>(sent > 0 ? sent : 0));
  }
  close(fds[0]);
  close(fds[1]);
  return 0;
}
