#include <gtest/gtest.h>

#include <string>

#include "rbuf.h"
#include "settings.h"
#include "socket_feed.h"

namespace {

class Rbuf : public ::testing::Test {
 protected:
  void SetUp() override { opt.timeout = 5; }
};

std::string read_all(rbuf &rb) {
  std::string out;
  char c;
  while (rbuf_next_byte(rb, &c) == 1)
    out.push_back(c);
  return out;
}

}  // namespace

TEST_F(Rbuf, SetUpAndTornDown) {
  rbuf rb;
  EXPECT_EQ(rbuf_initialized_p(rb), 0);
  rbuf_initialize(rb, 7);
  EXPECT_EQ(rbuf_initialized_p(rb), 1);
  EXPECT_EQ(rb.ssl, nullptr);
  EXPECT_EQ(rb.remaining, 0u);
  rbuf_uninitialize(rb);
  EXPECT_EQ(rbuf_initialized_p(rb), 0);
}

TEST_F(Rbuf, HandsOutEveryByteAcrossBlocks) {
  std::string bytes;
  for (int i = 0; i < 3 * 4096 + 17; i++)
    bytes.push_back(static_cast<char>(i * 7));
  socket_feed feed(bytes);
  rbuf rb;
  rbuf_initialize(rb, feed.fd());
  EXPECT_EQ(read_all(rb), bytes);
  char c;
  EXPECT_EQ(rbuf_next_byte(rb, &c), 0);
}

TEST_F(Rbuf, PeekLeavesTheByteForTheNextRead) {
  socket_feed feed("ab");
  rbuf rb;
  rbuf_initialize(rb, feed.fd());
  char c = 0;
  ASSERT_EQ(rbuf_peek(rb, &c), 1);
  EXPECT_EQ(c, 'a');
  ASSERT_EQ(rbuf_peek(rb, &c), 1);
  EXPECT_EQ(c, 'a');
  ASSERT_EQ(rbuf_next_byte(rb, &c), 1);
  EXPECT_EQ(c, 'a');
  ASSERT_EQ(rbuf_next_byte(rb, &c), 1);
  EXPECT_EQ(c, 'b');
  EXPECT_EQ(rbuf_peek(rb, &c), 0);
}

TEST_F(Rbuf, FlushTakesBufferedBytesOnly) {
  socket_feed feed("xHEADTAIL", true);
  rbuf rb;
  rbuf_initialize(rb, feed.fd());
  char c;
  ASSERT_EQ(rbuf_next_byte(rb, &c), 1);
  // Whatever arrived with the first block: at most the whole rest.
  size_t buffered = rb.remaining;
  ASSERT_GT(buffered, 0u);
  char out[64] = {};
  EXPECT_EQ(rbuf_flush(rb, out, 4), std::min<size_t>(4, buffered));
  EXPECT_EQ(std::string(out, std::min<size_t>(4, buffered)), std::string("HEAD").substr(0, buffered));
  size_t left = rb.remaining;
  EXPECT_EQ(rbuf_flush(rb, nullptr, 1000), left);
  EXPECT_EQ(rb.remaining, 0u);
  // An empty buffer gives nothing and does not wait on the (silent) socket.
  EXPECT_EQ(rbuf_flush(rb, out, 10), 0u);
}

TEST_F(Rbuf, DiscardDropsWhatWasBuffered) {
  socket_feed feed("12345", true);
  rbuf rb;
  rbuf_initialize(rb, feed.fd());
  char c;
  ASSERT_EQ(rbuf_peek(rb, &c), 1);
  rbuf_discard(rb);
  EXPECT_EQ(rb.remaining, 0u);
  EXPECT_EQ(rbuf_flush(rb, nullptr, 10), 0u);
}

TEST_F(Rbuf, StalledConnectionIsAnError) {
  socket_feed feed("", true);
  opt.timeout = 1;
  rbuf rb;
  rbuf_initialize(rb, feed.fd());
  char c;
  errno = 0;
  EXPECT_LT(rbuf_next_byte(rb, &c), 0);
  EXPECT_EQ(errno, ETIMEDOUT);
}
