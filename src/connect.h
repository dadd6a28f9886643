// Plain TCP sockets: outgoing connections over an address list, the
// listening socket of an active FTP data connection, and every blocking wait
// on a socket, bounded by the `timeout` setting (seconds; 0 = wait forever).
// Waits use poll(), so descriptors of any number are safe.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "status.h"

struct address_list;

// Owns one descriptor and closes it exactly once (on destruction or reset).
class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(const unique_fd &) = delete;
  unique_fd &operator=(const unique_fd &) = delete;
  unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
  unique_fd &operator=(unique_fd &&other) noexcept;
  ~unique_fd() { reset(); }

  // The descriptor, or -1 when none is held; ownership stays here.
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it; the caller owns it now.
  int release();
  // Closes the held descriptor (debug "Closing fd %d") and holds fd instead.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Connects to one IPv4 address (network order) and port (host order),
// logging "Connecting to ..." and the outcome unless silent.  Returns the
// new descriptor (owned by the caller), or -1 with errno of the failing step.
int connect_to_one(in_addr address, uint16_t port, int silent);

// Tries the usable addresses of the list in order, marking each failing one
// faulty.  Returns the first connected descriptor (caller owns it), or -1
// with errno of the last attempt.
int connect_to_many(address_list &al, uint16_t port, int silent);

// Names the host shown in the connection message of the next
// connect_to_many; set before the call and cleared (nullptr) after.  The text
// is borrowed and must outlive the call.
void set_connection_host_name(const char *host);

// Opens the listening socket for an active data connection, on `bindaddress`
// if set.  Port 0 lets the system choose and stores the chosen port through
// the pointer.  Returns BIND_DONE, SOCKET_FAILED, BIND_FAILED,
// PORT_LOOKUP_FAILED or LISTEN_FAILED; on failure no socket stays open.  A
// listening socket left over from an earlier call is closed first.
status_t bindport(uint16_t *port);

// Waits up to `timeout` seconds (0: only what already arrived) for the peer
// and accepts it.  ACCEPT_DONE stores the new descriptor (caller owns it);
// ACCEPT_FAILED leaves *sock untouched and closes the listening socket, so a
// connection that never came leaks nothing.
status_t acceptport(int *sock);

// Closes sock (unless -1) and the listening socket, if any.
void closeport(int sock);

// The local IPv4 address of a connected descriptor, or none.
std::optional<in_addr> conaddr(int fd);

// Waits until fd is readable (or, with for_writing, writable) or has an
// error or hang-up, for at most maxtime seconds (0 = poll once, negative =
// forever).  Returns >0 ready, 0 timed out, -1 error with errno set.
int select_fd(int fd, int maxtime, int for_writing);

// 1 when nothing is readable on fd right now (an idle connection taken to be
// open); 0 when data, end of stream or an error is pending.
int test_socket_open(int fd);

// Reads up to len bytes, waiting at most `timeout` seconds for data and
// resuming after EINTR.  Returns the count (>0), 0 at end of stream, or -1
// with errno (ETIMEDOUT when the wait ran out).
ssize_t iread(int fd, char *buf, size_t len);

// Writes all len bytes, each partial write waiting at most `timeout` seconds
// and resuming after EINTR.  Returns the result of the last write (>0 when
// everything went out), 0 for len 0, or -1 with errno (ETIMEDOUT on a wait
// that ran out).
ssize_t iwrite(int fd, const char *buf, size_t len);
