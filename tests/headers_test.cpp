#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "headers.h"
#include "settings.h"
#include "socket_feed.h"

namespace {

class Headers : public ::testing::Test {
 protected:
  void SetUp() override { opt.timeout = 5; }
};

struct line_result {
  int result;
  std::string line;
  bool operator==(const line_result &) const = default;
};

std::ostream &operator<<(std::ostream &os, const line_result &r) {
  return os << "{" << r.result << ", \"" << r.line << "\"}";
}

// Reads lines until one is not HEADER_LINE_OK or the empty line; the first
// line is read without continuation, like a status line.
std::vector<line_result> read_head(rbuf &rb) {
  std::vector<line_result> out;
  for (int i = 0; i < 10000; i++) {
    std::string line;
    int res = header_get(rb, line, i == 0 ? HEADER_LINE_NO_CONTINUATION : 0);
    out.push_back({res, line});
    if (res != HEADER_LINE_OK || line.empty())
      break;
  }
  return out;
}

std::string rest_of(rbuf &rb) {
  std::string out;
  char buf[256];
  size_t n;
  while ((n = rbuf_flush(rb, buf, sizeof buf)) > 0)
    out.append(buf, n);
  return out;
}

}  // namespace

TEST_F(Headers, LinesOfAHead) {
  struct row {
    const char *name;
    std::string bytes;
    std::vector<line_result> lines;
    std::string buffered_body;
  } rows[] = {
      {"plain head with body",
       "HTTP/1.0 200 OK\r\nA: 1\r\nB: 2\r\n\r\nBODY",
       {{HEADER_LINE_OK, "HTTP/1.0 200 OK"}, {HEADER_LINE_OK, "A: 1"}, {HEADER_LINE_OK, "B: 2"},
        {HEADER_LINE_OK, ""}},
       "BODY"},
      {"continuation keeps CR LF and blanks",
       "S\r\nA: 1\r\n  2\r\n\tthree\r\nB: 3\r\n\r\n",
       {{HEADER_LINE_OK, "S"}, {HEADER_LINE_OK, "A: 1\r\n  2\r\n\tthree"}, {HEADER_LINE_OK, "B: 3"},
        {HEADER_LINE_OK, ""}},
       ""},
      {"status line never continues",
       "HTTP/1.0 200 OK\r\n X: y\r\n\r\n",
       {{HEADER_LINE_OK, "HTTP/1.0 200 OK"}, {HEADER_LINE_OK, " X: y"}, {HEADER_LINE_OK, ""}},
       ""},
      {"bare line feeds",
       "S\nA: 1\n 2\nB: 3\n\nrest",
       {{HEADER_LINE_OK, "S"}, {HEADER_LINE_OK, "A: 1\n 2"}, {HEADER_LINE_OK, "B: 3"},
        {HEADER_LINE_OK, ""}},
       "rest"},
      {"end of stream at a line start", "", {{HEADER_LINE_EOF, ""}}, ""},
      {"end of stream inside a line", "S\r\nPart", {{HEADER_LINE_OK, "S"}, {HEADER_LINE_EOF, "Part"}}, ""},
      {"end of stream after a line, before the blank one", "S\r\nA: 1\r\n",
       {{HEADER_LINE_OK, "S"}, {HEADER_LINE_EOF, "A: 1"}}, ""},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    socket_feed feed(r.bytes);
    rbuf rb;
    rbuf_initialize(rb, feed.fd());
    EXPECT_EQ(read_head(rb), r.lines);
    EXPECT_EQ(rest_of(rb), r.buffered_body);
  }
}

TEST_F(Headers, BlankLineNeverWaitsForTheBody) {
  // The body has not been sent: a look-ahead after the blank line would
  // wait for it and fail with a time-out.
  opt.timeout = 1;
  socket_feed feed("S\r\nA: 1\r\n\r\n", true);
  rbuf rb;
  rbuf_initialize(rb, feed.fd());
  std::vector<line_result> expected = {
      {HEADER_LINE_OK, "S"}, {HEADER_LINE_OK, "A: 1"}, {HEADER_LINE_OK, ""}};
  EXPECT_EQ(read_head(rb), expected);
}

TEST_F(Headers, StalledServerIsAReadError) {
  opt.timeout = 1;
  socket_feed feed("S\r\nA: par", true);
  rbuf rb;
  rbuf_initialize(rb, feed.fd());
  std::vector<line_result> got = read_head(rb);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].result, HEADER_LINE_ERROR);
  EXPECT_EQ(errno, ETIMEDOUT);
}

TEST_F(Headers, LineAndHeadAreCapped) {
  std::string longest(MAX_HEADER_LINE - 2, 'x');
  std::string many_lines;
  while (many_lines.size() <= MAX_HEADER_BLOCK)
    many_lines += "X-Filler: " + std::string(1000, 'f') + "\r\n";
  struct row {
    const char *name;
    std::string bytes;
    int last_result;
  } rows[] = {
      {"longest line allowed", "S\r\n" + longest + "\r\n\r\n", HEADER_LINE_OK},
      {"line one byte too long", "S\r\n" + longest + "y\r\n\r\n", HEADER_LINE_ERROR},
      {"endless line", "S\r\n" + std::string(3 * MAX_HEADER_LINE, 'z'), HEADER_LINE_ERROR},
      {"endless continuation", "S\r\nA: b\r\n" + std::string(MAX_HEADER_LINE / 4, ' ') + "\r\n" +
                                   std::string(MAX_HEADER_LINE, ' ') + "\r\n\r\n",
       HEADER_LINE_ERROR},
      {"endless head", "S\r\n" + many_lines + "\r\n", HEADER_LINE_ERROR},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    socket_feed feed(r.bytes, true);
    rbuf rb;
    rbuf_initialize(rb, feed.fd());
    errno = 0;
    std::vector<line_result> got = read_head(rb);
    EXPECT_EQ(got.back().result, r.last_result);
    if (r.last_result == HEADER_LINE_ERROR)
      EXPECT_EQ(errno, EMSGSIZE);
    else
      EXPECT_EQ(got.back().line, "");
  }
}

TEST_F(Headers, ProcessMatchesTheNameAndParsesTheValue) {
  struct row {
    const char *line;
    int result;
    int64_t number;
  } rows[] = {
      {"Content-Length: 1234", 1, 1234},
      {"content-length:  42", 1, 42},
      {"CONTENT-LENGTH:7  \r\n ", 1, 7},
      {"Content-Length : 42", 0, -1},
      {"Content-Length: 42abc", 0, -1},
      {"Content-Length: ", 0, -1},
      {"Content-Length: -5", 0, -1},
      {"Content-Length: 9223372036854775807", 1, INT64_MAX},
      {"Content-Length: 9223372036854775808", 0, -1},
      {"Content-Length: 99999999999999999999999", 0, -1},
      {"Content-Len: 42", 0, -1},
      {"Content-Length", 0, -1},
      {"Content-Lengthy: 42", 0, -1},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.line);
    int64_t number = -1;
    EXPECT_EQ(header_process(r.line, "Content-Length", header_extract_number, &number), r.result);
    EXPECT_EQ(number, r.number);
  }
}

TEST_F(Headers, StrdupAndExistsProcessors) {
  std::optional<std::string> value;
  EXPECT_EQ(header_process("Content-Type: \t text/html; x=y", "content-type", header_strdup, &value),
            1);
  EXPECT_EQ(value, "text/html; x=y");
  int seen = 0;
  EXPECT_EQ(header_process("Keep-Alive:", "Keep-Alive", header_exists, &seen), 1);
  EXPECT_EQ(seen, 1);
}

TEST_F(Headers, SkipLws) {
  struct row {
    const char *text;
    int expected;
  } rows[] = {{"", 0}, {"abc", 0}, {" \t\r\n x", 5}, {"\r\n", 2}};
  for (const row &r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(skip_lws(r.text), r.expected);
  }
}
