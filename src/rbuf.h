// The read buffer of one connection: reads blocks of 4096 bytes from a plain
// socket or an SSL connection and hands them out byte by byte, keeping what
// was read past the response head for the body.
#pragma once

#include <openssl/ssl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

constexpr size_t RBUF_SIZE = 4096;

struct rbuf {
  // Socket read from; -1 marks a buffer that is not set up.  Not owned.
  int fd = -1;
  // When set, reads go through this SSL connection instead.  Not owned.
  SSL *ssl = nullptr;
  // The last block read.
  char data[RBUF_SIZE];
  // Index in data of the next unread byte.
  size_t cursor = 0;
  // Unread bytes from cursor on; 0 means the next byte needs a read.
  size_t remaining = 0;
  // Result of the last block read made by rbuf_next_byte.
  ssize_t last_read = 0;
  // Bytes consumed by header_get since the buffer was set up; bounds the
  // size of one response head.
  size_t head_bytes = 0;
};

// Sets the buffer up on fd (no SSL), empty.
void rbuf_initialize(rbuf &rb, int fd);
// 1 when the buffer is set up.
int rbuf_initialized_p(const rbuf &rb);
// Marks the buffer as not set up; the descriptor is not closed.
void rbuf_uninitialize(rbuf &rb);
// Reads up to RBUF_SIZE bytes into the start of data (through SSL when set);
// returns the read's result.  cursor and remaining are left alone.
ssize_t rbuf_read_bufferful(rbuf &rb);
// 1 and the next byte in *c; 0 at end of stream; negative on error.
int rbuf_next_byte(rbuf &rb, char *c);
// Like rbuf_next_byte but leaves the byte unconsumed.
int rbuf_peek(rbuf &rb, char *c);
// Takes up to maxsize buffered bytes out, copying them to where unless it is
// null; returns how many (0 when empty).  Never reads the connection.
size_t rbuf_flush(rbuf &rb, char *where, size_t maxsize);
// Drops every buffered byte.
void rbuf_discard(rbuf &rb);
