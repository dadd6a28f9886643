#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "connect.h"
#include "host.h"
#include "log.h"
#include "script_server.h"
#include "settings.h"
#include "test_util.h"

namespace {

in_addr ipv4(const char *dotted) {
  in_addr a;
  inet_pton(AF_INET, dotted, &a);
  return a;
}

// A port on 127.0.0.1 that refuses connections: bound, never listening,
// and held for the fixture's lifetime so nobody else takes it.
struct refusing_port {
  unique_fd fd{socket(AF_INET, SOCK_STREAM, 0)};
  uint16_t port = 0;
  refusing_port() {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = ipv4("127.0.0.1");
    socklen_t len = sizeof sa;
    bind(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    getsockname(fd.get(), reinterpret_cast<sockaddr *>(&sa), &len);
    port = ntohs(sa.sin_port);
  }
};

// The address lists' first entry: a loopback address nothing listens on,
// since the scripted server binds 127.0.0.1 alone.
const char *const REFUSING_ADDRESS = "127.0.0.2";

class Connect : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    opt.timeout = 900;
    opt.verbose = 0;
    opt.bindaddress.reset();
  }
};

address_list list_of(std::initializer_list<const char *> dotted) {
  address_list al;
  for (const char *d : dotted)
    al.addresses.push_back(ipv4(d));
  return al;
}

}  // namespace

TEST_F(Connect, RefusedConnectionFailsAtOnceWithErrno) {
  refusing_port refused;
  errno = 0;
  EXPECT_EQ(connect_to_one(ipv4("127.0.0.1"), refused.port, 0), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
}

TEST_F(Connect, ConnectionMessagesNameTheHostUnlessItIsTheAddress) {
  std::string dir = make_temp_dir("connect-log");
  std::string log = dir + "/log";
  log_init(log.c_str(), 0);
  opt.verbose = 1;
  script_server srv(script::script_list(2));
  struct row {
    const char *host;
    std::string expected;
  } rows[] = {
      {"localhost", "Connecting to localhost[127.0.0.1]:" + std::to_string(srv.port()) +
                        "... connected.\n"},
      {"127.0.0.1", "Connecting to 127.0.0.1:" + std::to_string(srv.port()) + "... connected.\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.host);
    size_t before = read_file_text(log).size();
    address_list al = list_of({"127.0.0.1"});
    set_connection_host_name(r.host);
    unique_fd sock(connect_to_many(al, srv.port(), 0));
    set_connection_host_name(nullptr);
    EXPECT_TRUE(sock);
    logflush();
    EXPECT_EQ(read_file_text(log).substr(before), r.expected);
  }
  opt.verbose = 0;
}

TEST_F(Connect, AddressListMovesOnAndRemembersTheFaultyMark) {
  script_server srv(script::script_list(2));
  address_list al = list_of({REFUSING_ADDRESS, "127.0.0.1", "127.0.0.1"});
  unique_fd first(connect_to_many(al, srv.port(), 1));
  EXPECT_TRUE(first);
  EXPECT_EQ(al.faulty, 1);
  unique_fd second(connect_to_many(al, srv.port(), 1));
  EXPECT_TRUE(second);
  EXPECT_EQ(al.faulty, 1);
  first.reset();
  second.reset();
  EXPECT_TRUE(srv.wait());
  EXPECT_EQ(srv.accepted(), 2);
}

TEST_F(Connect, EveryAddressFailingTriesEachOnceAndWrapsTheMark) {
  refusing_port refused;
  address_list al = list_of({REFUSING_ADDRESS, "127.0.0.1", REFUSING_ADDRESS});
  errno = 0;
  EXPECT_EQ(connect_to_many(al, refused.port, 1), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  EXPECT_EQ(al.faulty, 0);
}

TEST_F(Connect, StalledReadFailsWithTimeout) {
  script_server srv(script::script_list(1));
  unique_fd sock(connect_to_one(ipv4("127.0.0.1"), srv.port(), 1));
  ASSERT_TRUE(sock);
  opt.timeout = 1;
  char buf[16];
  errno = 0;
  EXPECT_EQ(iread(sock.get(), buf, sizeof buf), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
}

TEST_F(Connect, ReadsWritesAndEndOfStream) {
  script_server srv({{script::expect_head(), script::send_bytes("pong"), script::close_conn()}});
  unique_fd sock(connect_to_one(ipv4("127.0.0.1"), srv.port(), 1));
  ASSERT_TRUE(sock);
  opt.timeout = 5;
  EXPECT_EQ(iwrite(sock.get(), "x", 0), 0);
  std::string request = "ping\r\n\r\n";
  EXPECT_GT(iwrite(sock.get(), request.data(), request.size()), 0);
  std::string got;
  char buf[16];
  ssize_t n;
  while ((n = iread(sock.get(), buf, sizeof buf)) > 0)
    got.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(n, 0);
  EXPECT_EQ(got, "pong");
  EXPECT_EQ(test_socket_open(sock.get()), 0);
  ASSERT_TRUE(srv.wait());
  EXPECT_EQ(srv.heads().at(0).bytes, request);
}

TEST_F(Connect, IdleConnectionTestsOpenAndClosedOneDoesNot) {
  script_server srv({{script::expect_head(), script::close_conn()}});
  unique_fd sock(connect_to_one(ipv4("127.0.0.1"), srv.port(), 1));
  ASSERT_TRUE(sock);
  EXPECT_EQ(test_socket_open(sock.get()), 1);
  ASSERT_GT(iwrite(sock.get(), "\r\n\r\n", 4), 0);
  ASSERT_TRUE(srv.wait());
  char c;
  EXPECT_EQ(iread(sock.get(), &c, 1), 0);
  EXPECT_EQ(test_socket_open(sock.get()), 0);
}

TEST_F(Connect, DescriptorsAbove1023AreWaitedOnSafely) {
  rlimit lim;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_cur < 1600 && lim.rlim_max >= 1600) {
    lim.rlim_cur = 1600;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  if (lim.rlim_cur < 1600)
    GTEST_SKIP() << "descriptor limit too low";
  script_server srv({{script::send_bytes("high")}});
  unique_fd low(connect_to_one(ipv4("127.0.0.1"), srv.port(), 1));
  ASSERT_TRUE(low);
  ASSERT_EQ(dup2(low.get(), 1500), 1500);
  unique_fd high(1500);
  low.reset();
  opt.timeout = 5;
  EXPECT_EQ(select_fd(high.get(), 5, 0), 1);
  char buf[8];
  EXPECT_EQ(iread(high.get(), buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), "high");
  EXPECT_EQ(test_socket_open(high.get()), 1);
}

TEST_F(Connect, BindportAcceptsTheDataConnection) {
  uint16_t port = 0;
  ASSERT_EQ(bindport(&port), BIND_DONE);
  EXPECT_NE(port, 0);
  unique_fd client(connect_to_one(ipv4("127.0.0.1"), port, 1));
  ASSERT_TRUE(client);
  opt.timeout = 5;
  int data = -1;
  ASSERT_EQ(acceptport(&data), ACCEPT_DONE);
  unique_fd accepted(data);
  std::optional<in_addr> local = conaddr(client.get());
  ASSERT_TRUE(local);
  EXPECT_EQ(pretty_print_address(*local), "127.0.0.1");
  closeport(accepted.release());
  EXPECT_EQ(connect_to_one(ipv4("127.0.0.1"), port, 1), -1);
}

TEST_F(Connect, ListeningSocketIsClosedWhenNoConnectionCame) {
  for (int attempt = 0; attempt < 3; attempt++) {
    SCOPED_TRACE(attempt);
    uint16_t port = 0;
    ASSERT_EQ(bindport(&port), BIND_DONE);
    opt.timeout = 0;
    int data = -7;
    EXPECT_EQ(acceptport(&data), ACCEPT_FAILED);
    EXPECT_EQ(data, -7);
    errno = 0;
    EXPECT_EQ(connect_to_one(ipv4("127.0.0.1"), port, 1), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    closeport(-1);
  }
}

TEST_F(Connect, BindportClosesAnEarlierListeningSocket) {
  uint16_t first = 0, second = 0;
  ASSERT_EQ(bindport(&first), BIND_DONE);
  ASSERT_EQ(bindport(&second), BIND_DONE);
  errno = 0;
  EXPECT_EQ(connect_to_one(ipv4("127.0.0.1"), first, 1), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  closeport(-1);
}

TEST_F(Connect, BindaddressLimitsTheListeningSocket) {
  sockaddr_in bind_to{};
  bind_to.sin_family = AF_INET;
  bind_to.sin_addr = ipv4("127.0.0.1");
  opt.bindaddress = bind_to;
  uint16_t port = 0;
  ASSERT_EQ(bindport(&port), BIND_DONE);
  errno = 0;
  EXPECT_EQ(connect_to_one(ipv4(REFUSING_ADDRESS), port, 1), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  unique_fd client(connect_to_one(ipv4("127.0.0.1"), port, 1));
  EXPECT_TRUE(client);
  closeport(-1);
}

TEST_F(Connect, ScriptedEndingsReachTheReader) {
  struct row {
    const char *name;
    std::vector<script::step> steps;
    std::string data;
    ssize_t last;
    int error;
  } rows[] = {
      {"cut after six bytes", {script::cut("HTTP/1.0 200 OK\r\n", 6)}, "HTTP/1", 0, 0},
      {"close", {script::send_bytes("all"), script::close_conn()}, "all", 0, 0},
      {"reset", {script::pause_ms(50), script::reset_conn()}, "", -1, ECONNRESET},
  };
  opt.timeout = 5;
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    script_server srv({r.steps});
    unique_fd sock(connect_to_one(ipv4("127.0.0.1"), srv.port(), 1));
    ASSERT_TRUE(sock);
    // Unread bytes at the server make its close a reset.
    if (r.error) {
      ASSERT_GT(iwrite(sock.get(), "unread", 6), 0);
    }
    std::string got;
    char buf[64];
    ssize_t n;
    int reads = 0;
    errno = 0;
    while ((n = iread(sock.get(), buf, sizeof buf)) > 0 && ++reads < 100)
      got.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(got, r.data);
    EXPECT_EQ(n, r.last);
    if (r.error) {
      EXPECT_EQ(errno, r.error);
    }
  }
}

TEST_F(Connect, LargeWriteIsCompletedByFurtherWrites) {
  script_server srv({{script::expect_head(), script::close_conn()}});
  unique_fd sock(connect_to_one(ipv4("127.0.0.1"), srv.port(), 1));
  ASSERT_TRUE(sock);
  std::string blob(1 << 20, 'b');
  blob += "\r\n\r\n";
  opt.timeout = 10;
  EXPECT_GT(iwrite(sock.get(), blob.data(), blob.size()), 0);
  ASSERT_TRUE(srv.wait());
  EXPECT_EQ(srv.heads().at(0).bytes, blob);
}

namespace {
void ignore_signal(int) {}
}  // namespace

TEST_F(Connect, ReadWaitResumesAfterSignals) {
  script_server srv({{script::pause_ms(300), script::send_bytes("late")}});
  unique_fd sock(connect_to_one(ipv4("127.0.0.1"), srv.port(), 1));
  ASSERT_TRUE(sock);
  struct sigaction sa {};
  sa.sa_handler = ignore_signal;  // no SA_RESTART: waits see EINTR
  struct sigaction old {};
  sigaction(SIGALRM, &sa, &old);
  itimerval every{{0, 20000}, {0, 20000}};
  setitimer(ITIMER_REAL, &every, nullptr);
  opt.timeout = 10;
  char buf[8];
  ssize_t n = iread(sock.get(), buf, sizeof buf);
  itimerval stop{};
  setitimer(ITIMER_REAL, &stop, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  ASSERT_EQ(n, 4);
  EXPECT_EQ(std::string(buf, 4), "late");
}
