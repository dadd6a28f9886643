#include "rbuf.h"

#include <cstring>

#include "connect.h"
#include "ssl.h"

void rbuf_initialize(rbuf &rb, int fd) {
  rb.fd = fd;
  rb.ssl = nullptr;
  rb.cursor = 0;
  rb.remaining = 0;
  rb.last_read = 0;
  rb.head_bytes = 0;
}

int rbuf_initialized_p(const rbuf &rb) { return rb.fd != -1; }

void rbuf_uninitialize(rbuf &rb) { rb.fd = -1; }

ssize_t rbuf_read_bufferful(rbuf &rb) {
  if (rb.ssl)
    return ssl_iread(rb.ssl, rb.data, RBUF_SIZE);
  return iread(rb.fd, rb.data, RBUF_SIZE);
}

int rbuf_next_byte(rbuf &rb, char *c) {
  if (rb.remaining > 0) {
    --rb.remaining;
    *c = rb.data[rb.cursor++];
    return 1;
  }
  rb.cursor = 0;
  rb.last_read = rbuf_read_bufferful(rb);
  if (rb.last_read <= 0)
    return rb.last_read < 0 ? -1 : 0;
  rb.remaining = static_cast<size_t>(rb.last_read) - 1;
  *c = rb.data[rb.cursor++];
  return 1;
}

int rbuf_peek(rbuf &rb, char *c) {
  if (rb.remaining == 0) {
    rb.cursor = 0;
    ssize_t n = rbuf_read_bufferful(rb);
    if (n <= 0)
      return n < 0 ? -1 : 0;
    rb.remaining = static_cast<size_t>(n);
  }
  *c = rb.data[rb.cursor];
  return 1;
}

size_t rbuf_flush(rbuf &rb, char *where, size_t maxsize) {
  if (rb.remaining == 0)
    return 0;
  size_t n = maxsize < rb.remaining ? maxsize : rb.remaining;
  if (where)
    memcpy(where, rb.data + rb.cursor, n);
  rb.remaining -= n;
  rb.cursor += n;
  return n;
}

void rbuf_discard(rbuf &rb) {
  rb.remaining = 0;
  rb.cursor = 0;
}
