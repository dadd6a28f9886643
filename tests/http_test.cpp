// One HTTP exchange against the scripted server: the exact request, the
// response head, the outcome decisions and the body on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "cookies.h"
#include "http_fixture.h"
#include "url.h"

namespace {

using script::close_conn;
using script::cut;
using script::expect_head;
using script::pause_ms;
using script::send_bytes;

struct outcome {
  status_t status;
  http_response_info hs;
  int dt;
};

class HttpExchange : public HttpFixture {
 protected:
  // One exchange for text; hs and dt start from the given values.
  outcome fetch(const std::string &text, http_response_info hs = {}, int dt = DOC_ACCEPT_RANGES,
                const std::string *proxy_text = nullptr) {
    std::optional<url> u = url_parse(text);
    EXPECT_TRUE(u.has_value()) << text;
    std::optional<url> proxy;
    if (proxy_text)
      proxy = url_parse(*proxy_text);
    hs.local_file = &local;
    status_t status = gethttp(*u, hs, dt, proxy ? &*proxy : nullptr);
    return {status, std::move(hs), dt};
  }

  bool exists(const std::string &name) {
    struct stat st;
    return lstat(name.c_str(), &st) == 0;
  }
};

TEST_F(HttpExchange, SendsTheExactRequest) {
  struct row {
    const char *name;
    bool proxy;
    int httpkeepalive;
    int64_t restart_at;
    int dt;
    std::string expected;  // with PORT standing for the server's port
  };
  const std::vector<row> rows = {
      {"GET on a non-default port", false, 1, 0, DOC_ACCEPT_RANGES,
       "GET /dir/a%20b?q=1 HTTP/1.0\r\nUser-Agent: Tuvo/1.8.1\r\nHost: 127.0.0.1:PORT\r\n"
       "Accept: */*\r\nConnection: Keep-Alive\r\n\r\n"},
      {"keep-alive off, HEAD, resume, no cache", false, 0, 1000,
       DOC_HEAD_ONLY | DOC_NO_CACHE,
       "HEAD /dir/a%20b?q=1 HTTP/1.0\r\nUser-Agent: Tuvo/1.8.1\r\nHost: 127.0.0.1:PORT\r\n"
       "Accept: */*\r\nRange: bytes=1000-\r\nPragma: no-cache\r\n\r\n"},
      {"through a proxy", true, 1, 0, DOC_ACCEPT_RANGES,
       "GET http://origin.test:8080/dir/a%20b?q=1 HTTP/1.0\r\nUser-Agent: Tuvo/1.8.1\r\n"
       "Host: origin.test:8080\r\nAccept: */*\r\n\r\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    script_server srv({{expect_head(), send_bytes("HTTP/1.0 204 No Content\r\n\r\n"), close_conn()}});
    opt.httpkeepalive = r.httpkeepalive;
    std::string proxy_text = base(srv);
    std::string target = r.proxy ? "http://origin.test:8080/dir/a%20b?q=1"
                                 : base(srv) + "/dir/a%20b?q=1";
    http_response_info hs;
    hs.restart_at = r.restart_at;
    outcome o = fetch(target, hs, r.dt, r.proxy ? &proxy_text : nullptr);
    EXPECT_EQ(o.status, TRANSFER_FINISHED);
    ASSERT_TRUE(srv.wait());
    ASSERT_EQ(srv.heads().size(), 1u);
    std::string expected = r.expected;
    size_t at = expected.find("PORT");
    if (at != std::string::npos)
      expected.replace(at, 4, std::to_string(srv.port()));
    EXPECT_EQ(srv.heads()[0].bytes, expected);
  }
}

TEST_F(HttpExchange, ReadsStatusLineAndHeaders) {
  struct row {
    const char *name;
    std::string reply;
    status_t status;
    int code;
    std::optional<std::string> text;
    int64_t expected;
    std::optional<std::string> body;  // the local file, or none when not written
    std::optional<std::string> location;
  };
  const std::vector<row> rows = {
      {"no reason phrase", "HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nhi", TRANSFER_FINISHED, 200,
       "(no description)", 2, "hi", std::nullopt},
      {"two-digit status", "HTTP/1.0 20 OK\r\n\r\nhi", TRANSFER_FINISHED, -1,
       "Malformed status line", -1, std::nullopt, std::nullopt},
      {"version 0.9", "HTTP/0.9 200 OK\r\n\r\nhi", TRANSFER_FINISHED, -1, "Malformed status line", -1,
       std::nullopt, std::nullopt},
      {"empty response", "", TRANSFER_FINISHED, -1, "No data received", -1, std::nullopt,
       std::nullopt},
      {"two Content-Length headers", "HTTP/1.0 200 OK\r\nContent-Length: 3\r\nContent-Length: 5\r\n\r\nabc",
       TRANSFER_FINISHED, 200, "OK", 3, "abc", std::nullopt},
      {"Content-Length with a letter", "HTTP/1.0 200 OK\r\nContent-Length: 3x\r\n\r\nabcd",
       TRANSFER_FINISHED, 200, "OK", -1, "abcd", std::nullopt},
      {"Content-Length past 64 bits",
       "HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nabcd", TRANSFER_FINISHED, 200,
       "OK", -1, "abcd", std::nullopt},
      {"continued Content-Length", "HTTP/1.0 200 OK\r\nContent-Length:\r\n  4\r\nX-A: b\r\n\r\nabcd",
       TRANSFER_FINISHED, 200, "OK", 4, "abcd", std::nullopt},
      {"status line is never continued", "HTTP/1.0 200 OK\r\n Content-Length: 2\r\n\r\nab",
       TRANSFER_FINISHED, 200, "OK", -1, "ab", std::nullopt},
      {"head closed before the empty line", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n",
       TRANSFER_FINISHED, 200, "OK", 0, "", std::nullopt},
      {"head closed after the status line", "HTTP/1.0 200 OK\r\n", TRANSFER_FINISHED, 200, "OK", -1,
       "", std::nullopt},
      {"cut inside a header line", "HTTP/1.0 200 OK\r\nContent-Le", HEADER_EOF, 200, "OK", -1,
       std::nullopt, std::nullopt},
      {"header line past the cap", "HTTP/1.0 200 OK\r\nX: " + std::string(70000, 'a'),
       HEADER_READ_FAILED, 200, "OK", -1, std::nullopt, std::nullopt},
      {"302 with Location", "HTTP/1.0 302 Found\r\nLocation: http://x.test/\r\nContent-Length: 2\r\n\r\nhi",
       REDIRECTED, 302, "Found", -1, std::nullopt, "http://x.test/"},
      {"301 without Location", "HTTP/1.0 301 Moved\r\n\r\n", REDIRECTED, 301, "Moved", -1,
       std::nullopt, std::nullopt},
      {"300 without Location is a document", "HTTP/1.0 300 Choices\r\n\r\nlist", TRANSFER_FINISHED,
       300, "Choices", -1, "list", std::nullopt},
      {"303 is not a redirection", "HTTP/1.0 303 See\r\nLocation: /x\r\n\r\n", TRANSFER_FINISHED, 303,
       "See", -1, std::nullopt, "/x"},
      {"404 writes nothing", "HTTP/1.0 404 Not Found\r\nContent-Length: 3\r\n\r\nnop",
       TRANSFER_FINISHED, 404, "Not Found", 3, std::nullopt, std::nullopt},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    std::filesystem::remove(local);
    script_server srv({{expect_head(), send_bytes(r.reply), close_conn()}});
    outcome o = fetch(base(srv) + "/doc");
    EXPECT_EQ(o.status, r.status);
    EXPECT_EQ(o.hs.status_code, r.code);
    EXPECT_EQ(o.hs.status_text, r.text);
    EXPECT_EQ(o.hs.new_location, r.location);
    if (r.status == TRANSFER_FINISHED) {
      EXPECT_EQ(o.hs.expected, r.expected);
    }
    if (r.body) {
      EXPECT_TRUE(o.dt & DOC_RETRIEVED);
      EXPECT_EQ(read_file_text(local), *r.body);
      EXPECT_EQ(o.hs.received, int64_t(r.body->size()));
    } else {
      EXPECT_FALSE(exists(local));
    }
  }
}

TEST_F(HttpExchange, KeepsLastModifiedInEverySpelling) {
  const std::vector<std::string> dates = {
      "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
      "Sun, 06-Nov-1994 08:49:37 GMT", "Sun Nov  6 08:49:37 1994"};
  for (const std::string &date : dates) {
    SCOPED_TRACE(date);
    script_server srv({{expect_head(),
                        send_bytes("HTTP/1.0 200 OK\r\nLast-Modified: " + date +
                                   "\r\nLast-Modified: Mon, 07 Nov 1994 08:49:37 GMT\r\n\r\n"),
                        close_conn()}});
    outcome o = fetch(base(srv) + "/doc", {}, DOC_HEAD_ONLY);
    EXPECT_EQ(o.status, TRANSFER_FINISHED);
    ASSERT_TRUE(o.hs.last_modified.has_value());
    EXPECT_EQ(*o.hs.last_modified, date);
    EXPECT_EQ(http_atotm(*o.hs.last_modified), 784111777);
    EXPECT_FALSE(exists(local)) << "a HEAD request never opens the file";
  }
}

TEST_F(HttpExchange, ResumeDecisions) {
  struct row {
    const char *name;
    int alwaysrest;
    std::string reply;
    status_t status;
    int64_t expected;
    std::string file;  // the local file afterwards; it starts as 100 'x'
  };
  const std::string old(100, 'x');
  const std::vector<row> rows = {
      {"matching range", 0,
       "HTTP/1.1 206 Partial\r\nContent-Range: bytes 100-102/103\r\nContent-Length: 3\r\n\r\nabc",
       TRANSFER_FINISHED, 103, old + "abc"},
      {"matching range with a colon", 0,
       "HTTP/1.1 206 Partial\r\nContent-Range: bytes: 100-102/103\r\nContent-Length: 3\r\n\r\nabc",
       TRANSFER_FINISHED, 103, old + "abc"},
      {"range elsewhere", 0,
       "HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-2/103\r\nContent-Length: 3\r\n\r\nabc",
       RANGE_MISMATCH, -1, old},
      {"unreadable range restarts", 0,
       "HTTP/1.1 200 OK\r\nContent-Range: bytes */103\r\nContent-Length: 3\r\n\r\nabc",
       TRANSFER_FINISHED, 3, "abc"},
      {"range ignored, retry", 0, "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabc",
       TRANSFER_FINISHED, 3, "abc"},
      {"-c, already complete", 1, "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n", NOTHING_TO_DO,
       -1, old},
      {"-c, range ignored", 1, "HTTP/1.0 200 OK\r\nContent-Length: 200\r\n\r\n", RESUME_UNSUPPORTED,
       -1, old},
      {"-c, 404 is a failure, not complete", 1,
       "HTTP/1.0 404 Not Found\r\nContent-Length: 10\r\n\r\n0123456789", TRANSFER_FINISHED, 10, old},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    write_file_text(local, old);
    opt.alwaysrest = r.alwaysrest;
    script_server srv({{expect_head(), send_bytes(r.reply), close_conn()}});
    http_response_info hs;
    hs.restart_at = 100;
    hs.no_truncate = r.alwaysrest;
    outcome o = fetch(base(srv) + "/doc", hs);
    EXPECT_EQ(o.status, r.status);
    if (r.status == TRANSFER_FINISHED) {
      EXPECT_EQ(o.hs.expected, r.expected);
    }
    EXPECT_EQ(read_file_text(local), r.file);
    ASSERT_TRUE(srv.wait());
    EXPECT_NE(srv.heads()[0].bytes.find("Range: bytes=100-\r\n"), std::string::npos);
  }
  EXPECT_NE(log_text().find("\n    The file is already fully retrieved; nothing to do.\n\n"),
            std::string::npos);
}

TEST_F(HttpExchange, AuthenticationChallenges) {
  struct row {
    const char *name;
    std::string challenge;
    int connections;
    const char *second_authorization;  // prefix in the second request, if any
    const char *message;
  };
  const std::vector<row> rows = {
      {"Basic was already answered", "Basic realm=\"r\"", 1, nullptr, "Authorization failed.\n"},
      {"Digest is answered once", "Digest realm=\"r\", nonce=\"n\"", 2, "Authorization: Digest ",
       "Authorization failed.\n"},
      {"unknown scheme", "Magic x", 1, nullptr, "Unknown authentication scheme.\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    const std::string reply = "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: " + r.challenge +
                              "\r\nContent-Length: 0\r\n\r\n";
    script_server srv({{expect_head(), send_bytes(reply), close_conn()},
                       {expect_head(), send_bytes(reply), close_conn()}});
    std::string target = "http://u:p@127.0.0.1:" + std::to_string(srv.port()) + "/doc";
    outcome o = fetch(target);
    EXPECT_EQ(o.status, AUTH_FAILED);
    std::vector<script::head_record> heads = srv.heads();
    ASSERT_EQ(int(heads.size()), r.connections);
    EXPECT_NE(heads[0].bytes.find("Authorization: Basic dTpw\r\n"), std::string::npos);
    if (r.second_authorization) {
      EXPECT_EQ(heads[1].connection, 1);
      EXPECT_NE(heads[1].bytes.find(r.second_authorization), std::string::npos);
    }
    EXPECT_NE(log_text().find(r.message), std::string::npos);
  }
}

TEST_F(HttpExchange, UnansweredChallengeIsAnOrdinaryStatus) {
  script_server srv({{expect_head(), send_bytes("HTTP/1.0 401 Unauthorized\r\n\r\n"), close_conn()}});
  outcome o = fetch(base(srv) + "/doc");
  EXPECT_EQ(o.status, TRANSFER_FINISHED);
  EXPECT_EQ(o.hs.status_code, 401);
  EXPECT_FALSE(o.dt & DOC_RETRIEVED);
}

TEST_F(HttpExchange, KeptConnectionDroppedAfterTheRequestIsARetryableEof) {
  const std::string reply =
      "HTTP/1.0 200 OK\r\nContent-Length: 2\r\nConnection: keep-alive\r\n\r\nok";
  script_server srv({{expect_head(), send_bytes(reply), expect_head(), close_conn()}});
  EXPECT_EQ(fetch(base(srv) + "/a").status, TRANSFER_FINISHED);
  outcome o = fetch(base(srv) + "/b");
  EXPECT_EQ(o.status, HEADER_EOF);
  EXPECT_NE(log_text().find("End of file while parsing headers.\n"), std::string::npos);
}

TEST_F(HttpExchange, AcceptRangesNoneClearsTheFlag) {
  script_server srv({{expect_head(), send_bytes("HTTP/1.0 200 OK\r\nAccept-Ranges: none\r\n\r\n"),
                      close_conn()}});
  outcome o = fetch(base(srv) + "/doc");
  EXPECT_EQ(o.status, TRANSFER_FINISHED);
  EXPECT_FALSE(o.dt & DOC_ACCEPT_RANGES);
}

TEST_F(HttpExchange, StalledServerFailsWithinTheTimeout) {
  opt.timeout = 1;
  script_server srv({{expect_head(), send_bytes("HTTP/1.0 200 OK\r\n"), pause_ms(5000)},
                     {expect_head(), send_bytes("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nabc"),
                      pause_ms(5000)}},
                    std::chrono::seconds(8));
  auto start = std::chrono::steady_clock::now();
  outcome head = fetch(base(srv) + "/doc");
  EXPECT_EQ(head.status, HEADER_READ_FAILED);
  outcome body = fetch(base(srv) + "/doc");
  EXPECT_EQ(body.status, TRANSFER_FINISHED);
  EXPECT_EQ(body.hs.read_result, -1);
  EXPECT_EQ(read_file_text(local), "abc");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_NE(log_text().find("Read error (Connection timed out) in headers.\n"), std::string::npos);
}

TEST_F(HttpExchange, KeptAliveBodyStopsAtItsLengthAndIsReused) {
  const std::string reply =
      "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nConnection: Keep-Alive\r\n\r\nhello";
  script_server srv({{expect_head(), send_bytes(reply), expect_head(), send_bytes(reply)}});
  outcome first = fetch(base(srv) + "/a");
  EXPECT_EQ(first.status, TRANSFER_FINISHED);
  EXPECT_GE(first.hs.read_result, 0);
  EXPECT_EQ(first.hs.received, 5);
  outcome second = fetch(base(srv) + "/b");
  EXPECT_EQ(second.status, TRANSFER_FINISHED);
  EXPECT_EQ(read_file_text(local), "hello");
  http_cleanup();
  ASSERT_TRUE(srv.wait());
  std::vector<script::head_record> heads = srv.heads();
  ASSERT_EQ(heads.size(), 2u);
  EXPECT_EQ(heads[1].connection, 0);
  EXPECT_EQ(srv.accepted(), 1);
  EXPECT_NE(log_text().find("Reusing connection to 127.0.0.1:" + std::to_string(srv.port()) + ".\n"),
            std::string::npos);
}

TEST_F(HttpExchange, BufferedBytesPastTheLengthAreNotWritten) {
  script_server srv({{expect_head(),
                      send_bytes("HTTP/1.0 200 OK\r\nContent-Length: 5\r\nKeep-Alive: 1\r\n\r\n"
                                 "helloEXTRA"),
                      close_conn()}});
  outcome o = fetch(base(srv) + "/a");
  EXPECT_EQ(o.status, TRANSFER_FINISHED);
  EXPECT_EQ(read_file_text(local), "hello");
  EXPECT_EQ(o.hs.received, 5);
}

TEST_F(HttpExchange, ShortKeptAliveBodyIsNotKept) {
  script_server srv(
      {{expect_head(), cut("HTTP/1.0 200 OK\r\nContent-Length: 10\r\nKeep-Alive: 1\r\n\r\nhello", 60)},
       {expect_head(), send_bytes("HTTP/1.0 204 None\r\n\r\n"), close_conn()}});
  outcome first = fetch(base(srv) + "/a");
  EXPECT_EQ(first.status, TRANSFER_FINISHED);
  EXPECT_LT(first.hs.received, 10);
  fetch(base(srv) + "/b");
  ASSERT_TRUE(srv.wait());
  EXPECT_EQ(srv.accepted(), 2);
}

TEST_F(HttpExchange, NeverWritesThroughSymbolicLinks) {
  std::string outside = make_temp_dir("http-outside");
  write_file_text(outside + "/victim", "keep");
  const std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nnew";

  ASSERT_EQ(symlink((outside + "/victim").c_str(), local.c_str()), 0);
  {
    script_server srv({{expect_head(), send_bytes(reply), close_conn()}});
    outcome o = fetch(base(srv) + "/doc");
    EXPECT_EQ(o.status, TRANSFER_FINISHED);
    EXPECT_EQ(read_file_text(local), "new");
    struct stat st;
    ASSERT_EQ(lstat(local.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the link at the final name is replaced";
  }
  ASSERT_EQ(symlink(outside.c_str(), (dir + "/sub").c_str()), 0);
  {
    std::string nested = dir + "/sub/doc";
    script_server srv({{expect_head(), send_bytes(reply), close_conn()}});
    std::optional<url> u = url_parse(base(srv) + "/doc");
    http_response_info hs;
    hs.local_file = &nested;
    int dt = DOC_ACCEPT_RANGES;
    EXPECT_EQ(gethttp(*u, hs, dt, nullptr), FILE_OPEN_FAILED);
    EXPECT_FALSE(exists(outside + "/doc"));
    EXPECT_NE(log_text().find(nested + ": Too many levels of symbolic links\n"), std::string::npos);
  }
  EXPECT_EQ(read_file_text(outside + "/victim"), "keep");
  std::filesystem::remove_all(outside);
}

TEST_F(HttpExchange, BackupsRotateOnlyForAFreshFile) {
  opt.backups = 2;
  const std::string reply = "HTTP/1.1 206 Partial\r\nContent-Range: bytes 3-5/6\r\n\r\ndef";
  write_file_text(local, "abc");
  {
    script_server srv({{expect_head(), send_bytes(reply), close_conn()}});
    http_response_info hs;
    hs.restart_at = 3;
    EXPECT_EQ(fetch(base(srv) + "/doc", hs).status, TRANSFER_FINISHED);
  }
  EXPECT_EQ(read_file_text(local), "abcdef");
  EXPECT_FALSE(exists(local + ".1"));
  {
    script_server srv({{expect_head(), send_bytes("HTTP/1.0 200 OK\r\n\r\nnew"), close_conn()},
                       {expect_head(), send_bytes("HTTP/1.0 200 OK\r\n\r\nnewer"), close_conn()}});
    http_response_info hs;
    outcome first = fetch(base(srv) + "/doc", hs);
    EXPECT_EQ(first.status, TRANSFER_FINISHED);
    outcome retry = fetch(base(srv) + "/doc", first.hs, first.dt);
    EXPECT_EQ(retry.status, TRANSFER_FINISHED);
  }
  EXPECT_EQ(read_file_text(local), "newer");
  EXPECT_EQ(read_file_text(local + ".1"), "abcdef");
  EXPECT_FALSE(exists(local + ".2")) << "one rotation per retrieval";
}

TEST_F(HttpExchange, HtmlExtensionDecidesAgainForTheNewName) {
  opt.htmlextension = 1;
  const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=x\r\n\r\n<p>";
  local = dir + "/page.php";
  write_file_text(dir + "/page.php.html", "mine");
  {
    SCOPED_TRACE("numbered name");
    script_server srv({{expect_head(), send_bytes(reply), close_conn()}});
    outcome o = fetch(base(srv) + "/page.php");
    EXPECT_EQ(o.status, TRANSFER_FINISHED);
    EXPECT_TRUE(o.dt & DOC_ADDED_HTML_EXTENSION);
    EXPECT_EQ(local, dir + "/page.php.html.1");
    EXPECT_EQ(read_file_text(local), "<p>");
    EXPECT_EQ(read_file_text(dir + "/page.php.html"), "mine");
  }
  {
    SCOPED_TRACE("no-clobber");
    opt.noclobber = 1;
    local = dir + "/page.php";
    script_server srv({{expect_head(), send_bytes(reply), close_conn()}});
    outcome o = fetch(base(srv) + "/page.php");
    EXPECT_EQ(o.status, NOTHING_TO_DO);
    EXPECT_EQ(read_file_text(dir + "/page.php.html"), "mine");
    opt.noclobber = 0;
  }
  {
    SCOPED_TRACE("-c continues the new name");
    opt.alwaysrest = 1;
    local = dir + "/page.php";
    script_server srv(
        {{expect_head(), send_bytes(reply), close_conn()},
         {expect_head(),
          send_bytes("HTTP/1.1 206 P\r\nContent-Type: text/html\r\nContent-Range: bytes 4-5/6\r\n\r\n!!"),
          close_conn()}});
    outcome o = fetch(base(srv) + "/page.php");
    EXPECT_EQ(o.status, TRANSFER_FINISHED);
    EXPECT_EQ(local, dir + "/page.php.html");
    EXPECT_EQ(read_file_text(local), "mine!!");
    ASSERT_TRUE(srv.wait());
    EXPECT_NE(srv.heads()[1].bytes.find("Range: bytes=4-\r\n"), std::string::npos);
  }
  {
    SCOPED_TRACE("an .HTM name is kept");
    opt.alwaysrest = 0;
    local = dir + "/x.HTM";
    script_server srv({{expect_head(), send_bytes(reply), close_conn()}});
    outcome o = fetch(base(srv) + "/x.HTM");
    EXPECT_EQ(local, dir + "/x.HTM");
    EXPECT_FALSE(o.dt & DOC_ADDED_HTML_EXTENSION);
  }
}

TEST_F(HttpExchange, NamedOutputDocumentRestartsOnlyItsOwnPart) {
  std::string doc = dir + "/out";
  opt.outputdocument = doc;
  opt.output_document_stream = std::fopen(doc.c_str(), "wb");
  ASSERT_NE(opt.output_document_stream, nullptr);
  std::fputs("FIRST", opt.output_document_stream);
  std::fflush(opt.output_document_stream);
  script_server srv({{expect_head(), cut("HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nsec", 41)},
                     {expect_head(), send_bytes("HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nsecond"),
                      close_conn()}});
  http_response_info hs;
  hs.output_start = 5;
  outcome broken = fetch(base(srv) + "/b", hs);
  EXPECT_EQ(broken.hs.received, 3);
  outcome retry = fetch(base(srv) + "/b", broken.hs, broken.dt);
  EXPECT_EQ(retry.status, TRANSFER_FINISHED);
  std::fclose(opt.output_document_stream);
  opt.output_document_stream = nullptr;
  EXPECT_EQ(read_file_text(doc), "FIRSTsecond");
  EXPECT_FALSE(exists(local));
}

TEST_F(HttpExchange, StandardOutputIsNeverRewound) {
  // "-O - >> log": standard output is a regular file holding earlier output.
  std::string log_file = dir + "/appended";
  write_file_text(log_file, "EARLIER\n");
  opt.outputdocument = "-";
  opt.output_document_stream = std::fopen(log_file.c_str(), "ab");
  ASSERT_NE(opt.output_document_stream, nullptr);
  script_server srv({{expect_head(), send_bytes("HTTP/1.0 200 OK\r\n\r\nbody"), close_conn()}});
  EXPECT_EQ(fetch(base(srv) + "/b").status, TRANSFER_FINISHED);
  std::fclose(opt.output_document_stream);
  opt.output_document_stream = nullptr;
  EXPECT_EQ(read_file_text(log_file), "EARLIER\nbody");
}

TEST_F(HttpExchange, CookiesSetByAResponseGoWithTheNextRequest) {
  script_server srv({{expect_head(),
                      send_bytes("HTTP/1.0 200 OK\r\nSet-Cookie: a=1; path=/\r\n\r\n"), close_conn()},
                     {expect_head(), send_bytes("HTTP/1.0 200 OK\r\n\r\n"), close_conn()}});
  EXPECT_EQ(fetch(base(srv) + "/p/q").status, TRANSFER_FINISHED);
  EXPECT_EQ(fetch(base(srv) + "/r").status, TRANSFER_FINISHED);
  cookies_cleanup();
  ASSERT_TRUE(srv.wait());
  std::vector<script::head_record> heads = srv.heads();
  ASSERT_EQ(heads.size(), 2u);
  EXPECT_EQ(heads[0].bytes.find("Cookie:"), std::string::npos);
  EXPECT_NE(heads[1].bytes.find("\r\nCookie: a=1\r\n"), std::string::npos);
}

}  // namespace
