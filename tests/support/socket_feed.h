// One end of a socket pair whose other end a thread fills with given bytes,
// for tests of code that reads a connection (read buffer, header lines).
#pragma once

#include <string>
#include <thread>

class socket_feed {
 public:
  // Starts writing bytes into the far end; closes it afterwards unless
  // keep_open, in which case it stays open (silent) until destruction.
  explicit socket_feed(std::string bytes, bool keep_open = false);
  socket_feed(const socket_feed &) = delete;
  socket_feed &operator=(const socket_feed &) = delete;
  ~socket_feed();
  // The near end to read from; owned by the feed.
  int fd() const { return near_; }

 private:
  int near_ = -1;
  int far_ = -1;
  std::thread writer_;
};
