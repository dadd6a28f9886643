#include "retr.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "rbuf.h"
#include "settings.h"

namespace {

constexpr int64_t GiB = int64_t{1} << 30;

// A connected socket pair: the test writes the "server" side, the code under
// test reads the other one.  Everything written fits in the socket buffer,
// so no thread is needed.
struct socket_pair {
  int reader = -1;
  int writer = -1;
  socket_pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      reader = fds[0];
      writer = fds[1];
    }
  }
  ~socket_pair() {
    if (reader >= 0)
      ::close(reader);
    close_writer();
  }
  void send(const std::string &bytes) const {
    ASSERT_EQ(::write(writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void close_writer() {
    if (writer >= 0)
      ::close(writer);
    writer = -1;
  }
  // What is still unread on the reading side, without waiting.
  std::string unread() const {
    std::string rest;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(reader, buf, sizeof buf, MSG_DONTWAIT)) > 0)
      rest.append(buf, static_cast<size_t>(n));
    return rest;
  }
};

// Puts BYTES in the read buffer as if they had been read past a response head.
void preload(rbuf &rb, int fd, const std::string &bytes) {
  rb.fd = fd;
  rb.ssl = nullptr;
  std::memcpy(rb.data, bytes.data(), bytes.size());
  rb.cursor = 0;
  rb.remaining = bytes.size();
}

std::string contents_of(FILE *stream) {
  std::string text;
  std::rewind(stream);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, stream)) > 0)
    text.append(buf, n);
  return text;
}

class RetrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = opt;
    opt.verbose = 0;
    opt.timeout = 5;  // a copy that wrongly waits for more fails instead of hanging
    opt.limitrate = 0;
  }
  void TearDown() override { opt = saved; }
  options saved;
};

struct copy_case {
  const char *name;
  std::string buffered;   // bytes the read buffer holds after the head
  bool buffer_is_ours;    // the read buffer belongs to the descriptor copied
  std::string wire;       // bytes on the connection
  bool closed;            // the server closes after sending
  int64_t restval;
  int64_t expected;
  int use_expected;
  std::string file;       // what must reach the file
  int result;
  std::string left_unread;   // must still be on the connection afterwards
  size_t left_in_buffer;     // bytes the read buffer must still hold
};

TEST_F(RetrTest, GetContentsCopiesBufferedBytesFirstAndStopsAtTheExpectedLength) {
  const std::vector<copy_case> cases = {
      {"buffered head bytes come first", "HELLO", true, " WORLD", true, 0, -1, 0, "HELLO WORLD", 0, "", 0},
      {"expected length stops a kept-alive read", "abc", true, "defghEXTRA", false, 0, 8, 1, "abcdefgh", 5,
       "EXTRA", 0},
      {"buffered bytes past the expected length stay out of the file", "abcdefXYZ", true, "more", false, 0, 6,
       1, "abcdef", 0, "more", 3},
      {"resumed body counts from the starting length", "", true, "12345after", false, 100, 105, 1, "12345", 5,
       "after", 0},
      {"nothing to read when the expected length is reached at once", "", true, "next", false, 7, 7, 1, "", 0,
       "next", 0},
      {"without the flag the announced length is only shown", "ab", true, "cdef", true, 0, 3, 0, "abcdef", 0,
       "", 0},
      {"a read buffer of another connection is left alone", "zzz", false, "body", true, 0, -1, 0, "body", 0,
       "", 3},
      {"counts above 4 GiB", "xy", true, "z", false, 5 * GiB, 5 * GiB + 3, 1, "xyz", 1, "", 0},
  };
  for (const copy_case &c : cases) {
    SCOPED_TRACE(c.name);
    socket_pair pair;
    ASSERT_GE(pair.reader, 0);
    pair.send(c.wire);
    if (c.closed)
      pair.close_writer();
    rbuf rb;
    preload(rb, c.buffer_is_ours ? pair.reader : pair.reader + 1000, c.buffered);
    FILE *out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    int64_t len = -1, elapsed = -1;
    int result = get_contents(pair.reader, out, &len, c.restval, c.expected, &rb, c.use_expected, &elapsed);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(contents_of(out), c.file);
    EXPECT_EQ(len, c.restval + static_cast<int64_t>(c.file.size()));
    EXPECT_GE(elapsed, 0);
    EXPECT_EQ(pair.unread(), c.left_unread);
    EXPECT_EQ(rb.remaining, c.left_in_buffer);
    std::fclose(out);
  }
}

TEST_F(RetrTest, GetContentsWritesToADescriptorAndWithoutAReadBuffer) {
  socket_pair pair;
  std::string body(3 * COPY_BUFFER_SIZE + 123, '\0');
  for (size_t i = 0; i < body.size(); i++)
    body[i] = static_cast<char>(i * 7 + i / 251);
  // A body larger than the socket buffer needs a writer running alongside.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pair.reader);
    size_t sent = 0;
    while (sent < body.size()) {
      ssize_t n = ::write(pair.writer, body.data() + sent, body.size() - sent);
      if (n <= 0)
        ::_exit(1);
      sent += static_cast<size_t>(n);
    }
    ::_exit(0);
  }
  pair.close_writer();
  FILE *out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  int64_t len = 0;
  int result = get_contents(pair.reader, ::fileno(out), &len, 0, static_cast<int64_t>(body.size()), nullptr, 1,
                            nullptr);
  // Stopped by the expected length: the result is the size of the last read.
  EXPECT_GT(result, 0);
  EXPECT_LE(result, COPY_BUFFER_SIZE);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(len, static_cast<int64_t>(body.size()));
  EXPECT_TRUE(contents_of(out) == body);
  std::fclose(out);
}

// A connected TCP pair on 127.0.0.1 whose server side resets the connection.
int reset_connection() {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr *>(&address), size) != 0 || ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0)
    return -1;
  int client = ::socket(AF_INET, SOCK_STREAM, 0);
  if (::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
    return -1;
  int server = ::accept(listener, nullptr, nullptr);
  ::close(listener);
  linger abort_on_close{1, 0};
  ::setsockopt(server, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  ::close(server);
  return client;
}

TEST_F(RetrTest, GetContentsReportsWriteAndReadErrors) {
  {
    SCOPED_TRACE("a stream that cannot be written gives -2");
    socket_pair pair;
    pair.send("data");
    pair.close_writer();
    FILE *full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    int64_t len = 0;
    EXPECT_EQ(get_contents(pair.reader, full, &len, 0, -1, nullptr, 0, nullptr), -2);
    EXPECT_EQ(len, 0);
    std::fclose(full);
  }
  {
    SCOPED_TRACE("buffered bytes that cannot be written give -2 before any read");
    socket_pair pair;
    pair.send("unread");
    int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    rbuf rb;
    preload(rb, pair.reader, "head leftovers");
    int64_t len = 0;
    EXPECT_EQ(get_contents(pair.reader, full, &len, 0, -1, &rb, 0, nullptr), -2);
    EXPECT_EQ(pair.unread(), "unread");
    ::close(full);
  }
  {
    SCOPED_TRACE("a reset connection gives -1 with its errno, after the bytes that came");
    int fd = reset_connection();
    ASSERT_GE(fd, 0);
    rbuf rb;
    preload(rb, fd, "early");
    FILE *out = std::tmpfile();
    int64_t len = 0;
    EXPECT_EQ(get_contents(fd, out, &len, 10, 100, &rb, 1, nullptr), -1);
    EXPECT_EQ(errno, ECONNRESET);
    EXPECT_EQ(len, 15);
    EXPECT_EQ(contents_of(out), "early");
    std::fclose(out);
    ::close(fd);
  }
}

TEST_F(RetrTest, GetContentsDrivesTheProgressDisplayWithHugeCounts) {
  opt.verbose = 1;
  socket_pair pair;
  pair.send(std::string(3000, 'x'));
  pair.close_writer();
  rbuf rb;
  preload(rb, pair.reader, std::string(2000, 'y'));
  FILE *out = std::tmpfile();
  int64_t len = 0;
  EXPECT_EQ(get_contents(pair.reader, out, &len, 3 * GiB + 5, 6 * GiB, &rb, 0, nullptr), 0);
  EXPECT_EQ(len, 3 * GiB + 5005);
  std::fclose(out);
}

TEST_F(RetrTest, GetContentsUnderARateLimitStillCopiesEverything) {
  opt.limitrate = 100 * 1024;
  socket_pair pair;
  std::string body(50 * 1024, 'r');
  pair.send(body);
  pair.close_writer();
  FILE *out = std::tmpfile();
  int64_t len = 0, elapsed = 0;
  EXPECT_EQ(get_contents(pair.reader, out, &len, 0, -1, nullptr, 0, &elapsed), 0);
  EXPECT_EQ(contents_of(out), body);
  // 50 KiB at 100 KiB/s is half a second; at most 200 ms of lag stays unslept.
  EXPECT_GE(elapsed, 250);
  std::fclose(out);
}

struct limiter_step {
  int64_t bytes;
  int64_t delta_ms;
  int64_t sleep_ms;         // what the limiter asks for
  int64_t chunk_bytes;      // the account afterwards
  int64_t chunk_time;
};

struct limiter_case {
  const char *name;
  int64_t rate;
  std::vector<limiter_step> steps;
};

TEST(Limiter, SleepsOnlyForLagsOf200MsAndCarriesShorterOnes) {
  const std::vector<limiter_case> cases = {
      {"a fast read sleeps its whole lag", 10240, {{8192, 0, 800, 0, 0}}},
      {"short lags accumulate until they are worth a sleep",
       10240,
       {{1024, 0, 0, 1024, 0}, {1024, 10, 0, 2048, 10}, {1024, 10, 280, 0, 0}}},
      {"a late read resets the account", 10240, {{1024, 50, 0, 1024, 50}, {1024, 500, 0, 0, 0}}},
      {"exactly on time sleeps nothing", 1000, {{1000, 1000, 0, 0, 0}}},
      {"a clock going back counts as no time", 1000, {{100, -50, 0, 100, 0}}},
      {"huge counts neither overflow nor go negative", 1, {{INT64_MAX / 2, 0, 1000000000000000, 0, 0}}},
      {"no limit never sleeps", 0, {{1 << 20, 0, 0, 0, 0}}},
  };
  for (const limiter_case &c : cases) {
    SCOPED_TRACE(c.name);
    limit_data data;
    for (const limiter_step &step : c.steps) {
      EXPECT_EQ(limit_bandwidth_lag(data, step.bytes, step.delta_ms, c.rate), step.sleep_ms);
      EXPECT_EQ(data.chunk_bytes, step.chunk_bytes);
      EXPECT_EQ(data.chunk_time, step.chunk_time);
    }
  }
}

TEST(Rates, CalcRateAndRetrRateChooseUnitsAndStayBounded) {
  struct rate_case {
    const char *name;
    int64_t bytes, msecs;
    int pad;
    int units;
    std::string text;
  };
  const std::vector<rate_case> cases = {
      {"just under a kilobyte", 1023, 1000, 0, 0, "1023.00 B/s"},
      {"one kilobyte", 1024, 1000, 0, 1, "1.00 KB/s"},
      {"no time counts as one millisecond", 1, 0, 0, 0, "1000.00 B/s"},
      {"padded to seven characters", 1536, 1000, 1, 1, "   1.50 KB/s"},
      {"megabytes", 3 * 1048576, 2000, 0, 2, "1.50 MB/s"},
      {"five gigabytes in a second", 5 * GiB, 1000, 0, 3, "5.00 GB/s"},
      {"negative bytes clamp to 0", -5, 1000, 1, 0, "   0.00 B/s"},
      {"negative time clamps to 0, then 1 ms", 2, -1000, 0, 1, "1.95 KB/s"},
      {"the largest count fits", INT64_MAX, 0, 1, 3, "8589934592000.00 GB/s"},
  };
  for (const rate_case &c : cases) {
    SCOPED_TRACE(c.name);
    int units = -1;
    calc_rate(c.bytes, c.msecs, &units);
    EXPECT_EQ(units, c.units);
    EXPECT_EQ(retr_rate(c.bytes, c.msecs, c.pad), c.text);
  }
}

TEST_F(RetrTest, QuotaIsExceededOnlyStrictlyAboveAndNotAfterOverflow) {
  struct quota_case {
    const char *name;
    int64_t quota;
    std::vector<int64_t> transfers;
    int exceeded;
    int overflow;
  };
  const std::vector<quota_case> cases = {
      {"reaching the quota is not exceeding it", 1000, {600, 400}, 0, 0},
      {"one byte more is", 1000, {600, 401}, 1, 0},
      {"no quota", 0, {5 * GiB}, 0, 0},
      {"counts beyond 4 GiB are kept whole", 4 * GiB, {3 * GiB, 1 * GiB + 1}, 1, 0},
      {"negative counts add nothing", 10, {-100, 10}, 0, 0},
      {"a wrapped total disables the quota", 1000, {INT64_MAX, INT64_MAX, INT64_MAX}, 0, 1},
  };
  for (const quota_case &c : cases) {
    SCOPED_TRACE(c.name);
    opt.quota = c.quota;
    opt.downloaded = 0;
    opt.downloaded_overflow = 0;
    for (int64_t bytes : c.transfers)
      downloaded_increase(bytes);
    EXPECT_EQ(downloaded_exceeds_quota(), c.exceeded);
    EXPECT_EQ(opt.downloaded_overflow, c.overflow);
    if (c.overflow) {
      EXPECT_EQ(opt.downloaded, UINT64_MAX);
    }
  }
}

TEST_F(RetrTest, WaitsBetweenRetrievals) {
  struct wait_case {
    const char *name;
    int wait, waitretry, randomwait;
    int count;
    bool first;
    int64_t low, high;
  };
  const std::vector<wait_case> cases = {
      {"the first attempt of the run never waits", 2, 10, 0, 1, true, 0, 0},
      {"later first attempts wait", 2, 0, 0, 1, false, 2, 2},
      {"second attempt with waitretry", 2, 10, 0, 2, false, 1, 1},
      {"third attempt with waitretry", 2, 10, 0, 3, false, 2, 2},
      {"waitretry caps the wait", 2, 10, 0, 12, false, 10, 10},
      {"a retry without waitretry waits the plain wait", 2, 0, 0, 3, false, 2, 2},
      {"random waits lie between 0 and twice the wait", 2, 0, 1, 1, false, 0, 4},
      {"retries are not randomised", 2, 0, 1, 2, false, 2, 2},
      {"a huge random wait does not overflow", INT32_MAX, 0, 1, 1, false, 0, INT32_MAX},
      {"nothing set", 0, 0, 0, 5, false, 0, 0},
  };
  for (const wait_case &c : cases) {
    SCOPED_TRACE(c.name);
    opt.wait = c.wait;
    opt.waitretry = c.waitretry;
    opt.randomwait = c.randomwait;
    for (int i = 0; i < 20; i++) {
      int64_t seconds = retrieval_wait_seconds(c.count, c.first);
      EXPECT_GE(seconds, c.low);
      EXPECT_LE(seconds, c.high);
    }
  }
}

}  // namespace
