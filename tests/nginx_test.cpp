// The built program against a real nginx over plain HTTP on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "nginx_scenarios.h"
#include "nginx_server.h"
#include "test_util.h"

namespace {

using namespace nginx_scenarios;

// Sends raw bytes on one connection and reads until nginx closes it.
std::string raw_exchange(uint16_t port, const std::string &bytes) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval bound{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
      write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
      reply.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return reply;
}

// The premise of the keep-alive tests: nginx keeps an HTTP/1.0 connection
// open for a client that asks for it, and logs both requests on it.
TEST(NginxFixture, KeepsHttp10ConnectionsAliveOnRequest) {
  nginx_fixture::server srv;
  if (!srv.started())
    GTEST_SKIP() << srv.failure();
  write_file_text(srv.root() + "/a.txt", "alpha\n");
  const std::string ask =
      "GET /a.txt HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: Keep-Alive\r\n\r\n";
  const std::string last = "GET /redirect HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";

  std::string reply = raw_exchange(srv.port(), ask + last);

  EXPECT_NE(reply.find("Connection: keep-alive\r\n"), std::string::npos) << reply;
  EXPECT_NE(reply.find("\r\n\r\nalpha\n"), std::string::npos) << reply;
  EXPECT_NE(reply.find("Location: " + srv.url("redirect-target.txt") + "\r\n"),
            std::string::npos)
      << reply;
  auto seen = srv.requests(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].connection, seen[1].connection);
  EXPECT_EQ(seen[0].status, 200);
  EXPECT_EQ(seen[1].status, 301);
  EXPECT_FALSE(seen[0].https);
}

class NginxHttp : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!srv_.started())
      GTEST_SKIP() << srv_.failure();
  }
  nginx_fixture::server srv_;
};

TEST_F(NginxHttp, LargeFileArrivesWhole) { large_download(srv_); }

TEST_F(NginxHttp, ContinueResumesFromTheMiddleWithRange) { resume_from_middle(srv_); }

TEST_F(NginxHttp, TimestampingFollowsLastModified) { timestamping(srv_); }

TEST_F(NginxHttp, SeveralUrlsShareOneKeptAliveConnection) { keep_alive_reuse(srv_); }

TEST_F(NginxHttp, RedirectIsFollowed) { redirect(srv_); }

}  // namespace
