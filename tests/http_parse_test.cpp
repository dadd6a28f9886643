// The pure half of the HTTP client: request layout, status line, header value
// processors and HTTP dates.
#include <gtest/gtest.h>

#include "http.h"

namespace {

TEST(ComposeHttpRequest, LaysOutEveryLineInOrder) {
  struct row {
    const char *name;
    http_request_parts parts;
    const char *expected;
  };
  http_request_parts plain;
  plain.target = "/index.html";
  plain.user_agent = "Tuvo/1.8.1";
  plain.host = "example.test";
  plain.keep_alive = true;

  http_request_parts port = plain;
  port.port = 8080;
  port.keep_alive = false;

  http_request_parts proxied = plain;
  proxied.target = "http://example.test/index.html";
  proxied.keep_alive = false;
  proxied.proxy_authorization_line = "Proxy-Authorization: Basic cDpx\r\n";

  http_request_parts everything = plain;
  everything.head_only = true;
  everything.referer = "http://from.test/";
  everything.cookie_line = "Cookie: a=b\r\n";
  everything.authorization_line = "Authorization: Basic dTpw\r\n";
  everything.proxy_authorization_line = "Proxy-Authorization: Basic cDpx\r\n";
  everything.restart_at = 5000000000;
  everything.no_cache = true;
  everything.user_header = "X-One: 1\r\nX-Two: 2\r\n";

  http_request_parts injected = plain;
  injected.keep_alive = false;
  injected.referer = "http://a/\r\nX-Evil: 1";
  injected.user_agent = "UA\r\nX-Evil: 2";

  const std::vector<row> rows = {
      {"plain GET", plain,
       "GET /index.html HTTP/1.0\r\nUser-Agent: Tuvo/1.8.1\r\nHost: example.test\r\n"
       "Accept: */*\r\nConnection: Keep-Alive\r\n\r\n"},
      {"non-default port", port,
       "GET /index.html HTTP/1.0\r\nUser-Agent: Tuvo/1.8.1\r\nHost: example.test:8080\r\n"
       "Accept: */*\r\n\r\n"},
      {"through a proxy", proxied,
       "GET http://example.test/index.html HTTP/1.0\r\nUser-Agent: Tuvo/1.8.1\r\n"
       "Host: example.test\r\nAccept: */*\r\nProxy-Authorization: Basic cDpx\r\n\r\n"},
      {"every optional line", everything,
       "HEAD /index.html HTTP/1.0\r\nUser-Agent: Tuvo/1.8.1\r\nHost: example.test\r\n"
       "Accept: */*\r\nConnection: Keep-Alive\r\nReferer: http://from.test/\r\n"
       "Cookie: a=b\r\nAuthorization: Basic dTpw\r\nProxy-Authorization: Basic cDpx\r\n"
       "Range: bytes=5000000000-\r\nPragma: no-cache\r\nX-One: 1\r\nX-Two: 2\r\n\r\n"},
      {"CR LF in values cannot add headers", injected,
       "GET /index.html HTTP/1.0\r\nUser-Agent: UAX-Evil: 2\r\nHost: example.test\r\n"
       "Accept: */*\r\nReferer: http://a/X-Evil: 1\r\n\r\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(compose_http_request(r.parts), r.expected);
  }
}

TEST(ParseHttpStatusLine, Table) {
  struct row {
    const char *line;
    int code;
    const char *reason;
  };
  const std::vector<row> rows = {
      {"HTTP/1.0 200 OK", 200, "OK"},
      {"HTTP/1.1 404 Not Found", 404, "Not Found"},
      {"HTTP/1.1 200", 200, ""},
      {"HTTP/1.1 200 ", 200, ""},
      {"HTTP/12.34 999 x", 999, "x"},
      {"HTTP/01.0 301 Moved", 301, "Moved"},
      {"HTTP/99999999999999999999999.0 200 Big", 200, "Big"},
      {"HTTP/1.0 20", -1, ""},
      {"HTTP/1.0 2000", -1, ""},
      {"HTTP/1.0 20x OK", -1, ""},
      {"HTTP/0.9 200 OK", -1, ""},
      {"HTTP/00.9 200 OK", -1, ""},
      {"http/1.0 200 OK", -1, ""},
      {"HTTP/1 200 OK", -1, ""},
      {"HTTP/1. 200 OK", -1, ""},
      {"HTTP/.1 200 OK", -1, ""},
      {"HTTP/1.0  200 OK", -1, ""},
      {"HTTP/1.0\t200 OK", -1, ""},
      {"HTTP/1.0 200\tOK", -1, ""},
      {"", -1, ""},
      {"HTTP/", -1, ""},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.line);
    std::string_view reason = "stale";
    EXPECT_EQ(parse_http_status_line(r.line, reason), r.code);
    EXPECT_EQ(reason, r.reason);
  }
}

TEST(HttpProcessRange, Table) {
  struct row {
    const char *value;
    int result;
    int64_t first, last, length;
  };
  const std::vector<row> rows = {
      {"bytes 100-199/200", 1, 100, 199, 200},
      {"bytes: 100-199/200", 1, 100, 199, 200},
      {"BYTES 100-199/200", 1, 100, 199, 200},
      {"100-199/200", 1, 100, 199, 200},
      {"bytes 3000000000-5999999999/6000000000", 1, 3000000000, 5999999999, 6000000000},
      {"bytes */200", 0, -1, -1, -1},
      {"bytes 0-99/*", 0, -1, -1, -1},
      {"bytes ", 0, -1, -1, -1},
      {"bytes 100-/200", 0, -1, -1, -1},
      {"bytes 100 199/200", 0, -1, -1, -1},
      {"bytes 99999999999999999999-199/200", 0, -1, -1, -1},
      {"bytes 0-1/99999999999999999999", 0, -1, -1, -1},
      {"", 0, -1, -1, -1},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.value);
    http_content_range range;
    EXPECT_EQ(http_process_range(r.value, range), r.result);
    EXPECT_EQ(range.first_byte, r.first);
    EXPECT_EQ(range.last_byte, r.last);
    EXPECT_EQ(range.entity_length, r.length);
  }
}

TEST(HttpProcessType, CutsParametersAndTrailingBlanks) {
  const std::vector<std::pair<const char *, const char *>> rows = {
      {"text/html ; charset=utf-8", "text/html"},
      {"text/html;charset=utf-8", "text/html"},
      {"image/png", "image/png"},
      {"text/plain \t", "text/plain"},
      {"", ""},
      {";x", ""},
  };
  for (const auto &[value, type] : rows) {
    SCOPED_TRACE(value);
    std::optional<std::string> stored;
    EXPECT_EQ(http_process_type(value, stored), 1);
    EXPECT_EQ(stored, type);
  }
}

TEST(HttpProcessFlags, NoneAndConnection) {
  const std::vector<std::pair<const char *, int>> none_rows = {
      {"none", 1}, {"bytes, none", 1}, {"bytes", 0}, {"NONE", 0}, {"", 0}};
  for (const auto &[value, expected] : none_rows) {
    SCOPED_TRACE(value);
    int flag = 7;
    EXPECT_EQ(http_process_none(value, flag), 1);
    EXPECT_EQ(flag, expected);
  }
  const std::vector<std::pair<const char *, int>> connection_rows = {
      {"Keep-Alive", 1}, {"keep-alive", 1}, {"KEEP-ALIVE", 1},
      {"close", 7},      {"Keep-Alive, x", 7}, {"", 7}};
  for (const auto &[value, expected] : connection_rows) {
    SCOPED_TRACE(value);
    int flag = 7;
    EXPECT_EQ(http_process_connection(value, flag), 1);
    EXPECT_EQ(flag, expected);
  }
}

TEST(HttpAtotm, FourSpellingsAndTails) {
  struct row {
    const char *text;
    std::optional<int64_t> expected;
  };
  const std::vector<row> rows = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
      {"Sunday, 06-Nov-94 08:49:37 GMT", 784111777},
      {"Sun, 06-Nov-1994 08:49:37 GMT", 784111777},
      {"Sun Nov  6 08:49:37 1994", 784111777},
      {"Sun, 06 Nov 1994 08:49:37", 784111777},
      {"Sun, 06 Nov 1994 08:49:37 +0200", 784111777},
      {"Sun, 06 Nov 1994 08:49:37 -0500", 784111777},
      {"Sun, 06 Nov 1994 08:49:37   GMT", 784111777},
      {"Sun, 06 Nov 1994 08:49:37 PST", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37 +", std::nullopt},
      {"Wed, 31 Dec 1969 23:59:59 GMT", -1},
      {"Tue, 19 Jan 2100 03:14:08 GMT", 4104011648},
      {"yesterday", std::nullopt},
      {"", std::nullopt},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(http_atotm(r.text), r.expected);
  }
}

}  // namespace
