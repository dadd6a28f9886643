// The HTTP retrieval loop against the scripted server: retries and resumption,
// time-stamping, the outcome reports and the kept-alive connection.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <string>
#include <vector>

#include "http_fixture.h"
#include "recur.h"
#include "url.h"

namespace {

using script::close_conn;
using script::cut;
using script::expect_head;
using script::send_bytes;

const char *const kNewDate = "Sun, 06 Nov 1994 08:49:37 GMT";  // 784111777

class HttpLoop : public HttpFixture {
 protected:
  void SetUp() override {
    HttpFixture::SetUp();
    opt.tries = 3;
  }

  status_t run(const script_server &srv, const std::string &path = "/doc") {
    std::optional<url> u = url_parse(base(srv) + path);
    EXPECT_TRUE(u.has_value());
    return http_loop(*u, newloc, &local, std::nullopt, dt, nullptr);
  }

  void age(const std::string &name, time_t when) {
    struct utimbuf times = {when, when};
    ASSERT_EQ(utime(name.c_str(), &times), 0);
  }

  time_t mtime(const std::string &name) {
    struct stat st;
    return stat(name.c_str(), &st) == 0 ? st.st_mtime : -1;
  }

  std::optional<std::string> newloc;
  int dt = 0;
};

TEST_F(HttpLoop, CutBodyIsResumedWithARange) {
  const std::string body(1000, 'b');
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n";
  script_server srv(
      {{expect_head(), cut(head + body, head.size() + 500)},
       {expect_head(),
        send_bytes("HTTP/1.0 206 Partial\r\nContent-Length: 500\r\nContent-Range: bytes 500-999/1000\r\n\r\n" +
                   body.substr(500)),
        close_conn()}});
  EXPECT_EQ(run(srv), RETRIEVAL_OK);
  EXPECT_EQ(read_file_text(local), body);
  ASSERT_TRUE(srv.wait());
  EXPECT_NE(srv.heads()[1].bytes.find("Range: bytes=500-\r\n"), std::string::npos);
  std::string log = log_text();
  EXPECT_NE(log.find(" - Connection closed at byte 500. Retrying.\n\n"), std::string::npos);
  EXPECT_NE(log.find("(try: 2) => `" + local + "'\n"), std::string::npos);
  EXPECT_NE(log.find("' saved [1000/1000]\n\n"), std::string::npos);
  EXPECT_EQ(opt.downloaded_files, 1);
  EXPECT_EQ(downloaded_file(DL_CHECK, local), DL_NORMAL);
}

TEST_F(HttpLoop, AcceptRangesNoneRestartsFromScratch) {
  const std::string body(1000, 'b');
  const std::string head = "HTTP/1.0 200 OK\r\nAccept-Ranges: none\r\nContent-Length: 1000\r\n\r\n";
  script_server srv(
      {{expect_head(), cut(head + body, head.size() + 500)},
       {expect_head(), send_bytes("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + body), close_conn()}});
  EXPECT_EQ(run(srv), RETRIEVAL_OK);
  EXPECT_EQ(read_file_text(local), body);
  ASSERT_TRUE(srv.wait());
  EXPECT_EQ(srv.heads()[1].bytes.find("Range:"), std::string::npos);
}

TEST_F(HttpLoop, AnOlderCopyIsNeverTakenAsAPrefix) {
  write_file_text(local, "OLD COPY");
  script_server srv({{expect_head(), send_bytes("HTTP/1.0 200 OK\r\nContent-Le"), close_conn()},
                     {expect_head(), send_bytes("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nnew"),
                      close_conn()}});
  EXPECT_EQ(run(srv), RETRIEVAL_OK);
  EXPECT_EQ(read_file_text(local), "new");
  ASSERT_TRUE(srv.wait());
  EXPECT_EQ(srv.heads()[1].bytes.find("Range:"), std::string::npos);
}

TEST_F(HttpLoop, FailuresAndTheirMessages) {
  struct row {
    const char *name;
    int alwaysrest;
    int tries;
    std::string reply;
    status_t status;
    const char *message;
  };
  const std::vector<row> rows = {
      {"404", 0, 3, "HTTP/1.0 404 Not Found\r\n\r\n", RETRIEVAL_FAILED, " ERROR 404: Not Found.\n"},
      {"404 under -c", 1, 3, "HTTP/1.0 404 Not Found\r\nContent-Length: 1\r\n\r\nx", RETRIEVAL_FAILED,
       " ERROR 404: Not Found.\n"},
      {"redirection without location", 0, 3, "HTTP/1.0 301 Moved\r\n\r\n", RETRIEVAL_FAILED,
       "ERROR: Redirection (301) without location.\n"},
      {"one try", 0, 1, "HTTP/1.0 200 OK\r\nContent-Le", TRIES_EXHAUSTED, "Giving up.\n\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    write_file_text(local, "0123456789");
    opt.alwaysrest = r.alwaysrest;
    opt.tries = r.tries;
    script_server srv({{expect_head(), send_bytes(r.reply), close_conn()}});
    EXPECT_EQ(run(srv), r.status);
    EXPECT_NE(log_text().find(r.message), std::string::npos);
    EXPECT_EQ(read_file_text(local), "0123456789");
    ASSERT_TRUE(srv.wait());
    EXPECT_EQ(srv.accepted(), 1);
  }
}

TEST_F(HttpLoop, RedirectionHandsTheLocationBack) {
  script_server srv({{expect_head(), send_bytes("HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n"),
                      close_conn()}});
  EXPECT_EQ(run(srv), REDIRECTED);
  EXPECT_EQ(newloc, "/next");
  EXPECT_NE(log_text().find("Location: /next [following]\n"), std::string::npos);
}

TEST_F(HttpLoop, NoClobberSendsNothing) {
  opt.noclobber = 1;
  const std::vector<std::pair<std::string, bool>> rows = {{"page.html", true}, {"page.HTML", false}};
  for (const auto &[file, html] : rows) {
    SCOPED_TRACE(file);
    local = dir + "/" + file;
    write_file_text(local, "mine");
    script_server srv({});
    EXPECT_EQ(run(srv, "/" + file), RETRIEVAL_OK);
    EXPECT_EQ(bool(dt & DOC_HTML), html);
    EXPECT_TRUE(dt & DOC_RETRIEVED);
    EXPECT_EQ(srv.accepted(), 0);
  }
}

TEST_F(HttpLoop, TimeStamping) {
  struct row {
    const char *name;
    time_t local_time;
    std::string head;  // the HEAD's answer
    bool downloads;
    const char *message;
  };
  const std::string modified = std::string("Last-Modified: ") + kNewDate + "\r\n";
  const std::vector<row> rows = {
      {"remote newer", 784111777 - 100, "HTTP/1.0 200 OK\r\n" + modified + "Content-Length: 4\r\n\r\n",
       true, "Remote file is newer, retrieving.\n"},
      {"not newer, same size", 784111777, "HTTP/1.0 200 OK\r\n" + modified + "Content-Length: 3\r\n\r\n",
       false, "-- not retrieving.\n\n"},
      {"not newer, sizes differ", 784111777,
       "HTTP/1.0 200 OK\r\n" + modified + "Content-Length: 4\r\n\r\n", true,
       "The sizes do not match (local 3) -- retrieving.\n"},
      {"header missing", 784111777, "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\n", true,
       "Last-modified header missing -- time-stamps turned off.\n"},
  };
  opt.timestamping = 1;
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    write_file_text(local, "old");
    age(local, r.local_time);
    std::string get_reply = r.head + "news";
    std::vector<std::vector<script::step>> scripts = {{expect_head(), send_bytes(r.head), close_conn()}};
    if (r.downloads)
      scripts.push_back({expect_head(), send_bytes(get_reply), close_conn()});
    script_server srv(scripts);
    EXPECT_EQ(run(srv), RETRIEVAL_OK);
    ASSERT_TRUE(srv.wait());
    std::vector<script::head_record> heads = srv.heads();
    ASSERT_GE(heads.size(), 1u);
    EXPECT_EQ(heads[0].bytes.substr(0, 5), "HEAD ");
    EXPECT_EQ(heads.size(), r.downloads ? 2u : 1u);
    EXPECT_EQ(read_file_text(local), r.downloads ? "news" : "old");
    std::string log = log_text();
    EXPECT_NE(log.find(r.message), std::string::npos);
    if (r.downloads) {
      EXPECT_EQ(heads[1].bytes.substr(0, 4), "GET ");
      EXPECT_EQ(heads[1].bytes.find("Range:"), std::string::npos);
      EXPECT_EQ(log.find("(try:"), std::string::npos);
    }
    if (r.downloads && r.head.find("Last-Modified") != std::string::npos) {
      EXPECT_EQ(mtime(local), 784111777);
    }
  }
}

TEST_F(HttpLoop, SpiderSendsHeadAndWritesNothing) {
  opt.spider = 1;
  script_server srv({{expect_head(), send_bytes("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\n"),
                      close_conn()}});
  EXPECT_EQ(run(srv), RETRIEVAL_OK);
  EXPECT_FALSE(std::filesystem::exists(local));
  EXPECT_NE(log_text().find("200 OK\n\n"), std::string::npos);
  ASSERT_TRUE(srv.wait());
  EXPECT_EQ(srv.heads()[0].bytes.substr(0, 5), "HEAD ");
}

TEST_F(HttpLoop, UnknownLengthUsesTheSingleNumberReports) {
  opt.verbose = 0;
  script_server srv({{expect_head(), send_bytes("HTTP/1.0 200 OK\r\n\r\nabcde"), close_conn()}});
  EXPECT_EQ(run(srv), RETRIEVAL_OK);
  std::string log = log_text();
  EXPECT_NE(log.find(" [5] -> \"" + local + "\" [1]\n"), std::string::npos);
}

TEST_F(HttpLoop, TwoUrlsShareAKeptConnectionAndAClosedOneIsReplaced) {
  const std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\nKeep-Alive: 1\r\n\r\nok";
  script_server srv({{expect_head(), send_bytes(reply), expect_head(), send_bytes(reply), close_conn()},
                     {expect_head(), send_bytes(reply)}});
  local = dir + "/a";
  EXPECT_EQ(run(srv, "/a"), RETRIEVAL_OK);
  local = dir + "/b";
  EXPECT_EQ(run(srv, "/b"), RETRIEVAL_OK);
  // The server closed the kept connection after the second answer.
  local = dir + "/c";
  EXPECT_EQ(run(srv, "/c"), RETRIEVAL_OK);
  http_cleanup();
  ASSERT_TRUE(srv.wait());
  std::vector<script::head_record> heads = srv.heads();
  ASSERT_EQ(heads.size(), 3u);
  EXPECT_EQ(heads[1].connection, 0);
  EXPECT_EQ(heads[2].connection, 1);
  EXPECT_EQ(read_file_text(dir + "/c"), "ok");
  EXPECT_EQ(log_text().find("ERROR"), std::string::npos);
}

TEST_F(HttpLoop, HtmlSuffixIsRegisteredWithTheFile) {
  opt.htmlextension = 1;
  local = dir + "/page.php";
  script_server srv({{expect_head(), send_bytes("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<p>"),
                      close_conn()}});
  EXPECT_EQ(run(srv, "/page.php"), RETRIEVAL_OK);
  EXPECT_EQ(local, dir + "/page.php.html");
  EXPECT_TRUE(dt & DOC_ADDED_HTML_EXTENSION);
  EXPECT_EQ(downloaded_file(DL_CHECK, local), DL_HTML_SUFFIX_ADDED);
  EXPECT_NE(log_text().find("`" + local + "' saved [3]\n\n"), std::string::npos);
}

}  // namespace
