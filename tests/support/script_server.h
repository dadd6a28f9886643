// A scripted TCP server on 127.0.0.1 for tests.  Each accepted connection
// plays the next script in order: read the request head, send exact bytes,
// pause, send only part and cut, close or reset.  Everything received is
// recorded per connection.  The server runs in its own threads (one per
// connection) and gives up once its time bound has passed.
//
//   script_server srv({{expect_head(), send_bytes("HTTP/1.0 200 OK\r\n\r\nhi")}});
//   ... connect to 127.0.0.1:srv.port() ...
//   srv.wait();                       // every script played (or time is up)
//   EXPECT_EQ(srv.heads()[0].bytes, "GET / HTTP/1.0\r\n...\r\n\r\n");
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace script {

enum class step_kind {
  EXPECT_HEAD,  // read up to and including the blank line ending a head
  SEND,         // send bytes
  PAUSE,        // wait ms milliseconds
  CUT,          // send the first count bytes of bytes, then close
  CLOSE,        // close the connection normally
  RESET,        // close with SO_LINGER 0, so the peer sees a reset
};

struct step {
  step_kind kind;
  std::string bytes;  // SEND and CUT
  size_t count = 0;   // CUT
  int ms = 0;         // PAUSE
};

step expect_head();
step send_bytes(std::string bytes);
step pause_ms(int ms);
step cut(std::string bytes, size_t count);
step close_conn();
step reset_conn();

// One request head read by EXPECT_HEAD, with the connection (0-based, in
// accept order) that carried it.
struct head_record {
  int connection;
  std::string bytes;
};

// A script that ends without CLOSE or RESET keeps the connection open until
// the peer closes it (or time is up), recording whatever else arrives.
// Connections beyond the scripts are accepted, recorded and closed at once.
// One script (list of steps) per connection, in accept order.
using script_list = std::vector<std::vector<step>>;

class server {
 public:
  explicit server(std::vector<std::vector<step>> scripts,
                  std::chrono::milliseconds bound = std::chrono::seconds(20));
  server(const server &) = delete;
  server &operator=(const server &) = delete;
  // Stops at once: listening and open connections are closed.
  ~server();

  // The ephemeral port listened on (127.0.0.1 only).
  uint16_t port() const { return port_; }
  // Waits until every scripted connection has finished, or the bound passed.
  // Returns true when every script was played to its end.
  bool wait();
  // Every head read so far, in the order they were read.
  std::vector<head_record> heads();
  // All bytes received on each connection so far, by connection number.
  std::vector<std::string> received();
  // Number of connections accepted so far.
  int accepted();

 private:
  void accept_loop();
  void play(int connection, int fd);
  bool stopping();
  bool read_head(int connection, int fd);
  bool send_all(int fd, const char *data, size_t len);
  void drain(int connection, int fd);
  int receive_some(int connection, int fd);

  std::vector<std::vector<step>> scripts_;
  std::chrono::steady_clock::time_point deadline_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  int accepted_ = 0;
  int finished_ = 0;
  int completed_ = 0;
  std::vector<head_record> heads_;
  std::vector<std::string> received_;
  std::vector<std::string> pending_;  // received but not yet taken as a head
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

}  // namespace script

using script_server = script::server;
