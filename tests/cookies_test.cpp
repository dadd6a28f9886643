#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "cookies.h"
#include "log.h"
#include "settings.h"
#include "test_util.h"
#include "url.h"

namespace {

using namespace std::string_literals;

url make_url(const std::string &text) {
  std::optional<url> u = url_parse(text);
  if (!u)
    throw std::runtime_error("bad test URL " + text);
  return *u;
}

class CookiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    defaults();
    opt.verbose = 1;
    cookies_cleanup();
    cookies_new_response();
  }
  void TearDown() override { cookies_cleanup(); }

  // Sends one Set-Cookie value from the URL and returns what the log got.
  std::string set(const std::string &header, const std::string &from) {
    testing::internal::CaptureStderr();
    set_cookie_header_cb(header, make_url(from));
    return testing::internal::GetCapturedStderr();
  }
  std::optional<std::string> request(const std::string &host, const std::string &path, int secure = 0,
                                     int port = 80) {
    return build_cookies_request(host, port, path, secure);
  }
};

TEST_F(CookiesTest, PlainPairStoresSessionCookieForHostAndPath) {
  set("id=42", "http://www.example.test/dir/page");
  cookie *c = find_cookie_chain_exact("www.example.test", 80);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(*c->name, "id");
  EXPECT_EQ(c->value, "42");
  EXPECT_EQ(*c->path, "/dir/page");
  EXPECT_EQ(c->permanent, 0);
  EXPECT_EQ(c->secure, 0);
  EXPECT_EQ(c->expires_at, COOKIE_NEVER_EXPIRES);
  EXPECT_EQ(c->next, nullptr);
}

struct SyntaxRow {
  const char *name;
  const char *header;
  bool stored;
  const char *value;    // expected value when stored
  std::string message;  // expected log text when dropped
};

TEST_F(CookiesTest, SetCookieSyntax) {
  const SyntaxRow rows[] = {
      {"quoted value keeps blanks and semicolons", "a=\"x; y z\"; path=/", true, "x; y z", ""},
      {"letter after closing quote", "a=\"x\"b", false, nullptr, "Syntax error in Set-Cookie at character `b'.\n"},
      {"trailing semicolon accepted", "a=1;", true, "1", ""},
      {"semicolon and blank is premature", "a=1; ", false, nullptr,
       "Syntax error in Set-Cookie: premature end of string.\n"},
      {"first pair without =", "abc; path=/", false, nullptr,
       "Error in Set-Cookie, field `abc'Syntax error in Set-Cookie at character `;'.\n"},
      {"unquoted value keeps inner blanks, commas and =, loses trailing blanks", "a=x y,z=w  ; secure", true,
       "x y,z=w", ""},
      {"empty value", "a=", true, "", ""},
      {"empty header", "", false, nullptr, "Syntax error in Set-Cookie: premature end of string.\n"},
      {"max-age -1 is invalid", "a=1; max-age=-1", false, nullptr,
       "Error in Set-Cookie, field `max-age'Syntax error in Set-Cookie at character `\0'.\n"s},
      {"CR LF in value refused", "a=x\r\nSet-Cookie: evil=1", false, nullptr,
       "Syntax error in Set-Cookie at character `\r'.\n"},
      {"control byte in value refused", "a=x\x01y", false, nullptr, "Syntax error in Set-Cookie at character `\x01'.\n"},
  };
  for (const SyntaxRow &row : rows) {
    SCOPED_TRACE(row.name);
    cookies_cleanup();
    cookies_new_response();
    std::string log = set(row.header, "http://h.example.test/p");
    cookie *c = find_cookie_chain_exact("h.example.test", 80);
    if (row.stored) {
      ASSERT_NE(c, nullptr);
      EXPECT_EQ(c->value, row.value);
      EXPECT_EQ(log, "");
    } else {
      EXPECT_EQ(c, nullptr);
      EXPECT_EQ(log, row.message);
    }
  }
}

TEST_F(CookiesTest, NulInsideHeaderIsSyntaxError) {
  std::string header("a=x\0y", 5);
  testing::internal::CaptureStderr();
  set_cookie_header_cb(header, make_url("http://h.example.test/"));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(find_cookie_chain_exact("h.example.test", 80), nullptr);
  EXPECT_EQ(log, "Syntax error in Set-Cookie at character `\0'.\n"s);
}

TEST_F(CookiesTest, DomainRules) {
  struct Row {
    const char *name, *domain, *host;
    int match;
  } rows[] = {
      {".test is not special: three dots needed", ".example.test", "a.example.test", 0},
      {"two dots suffice under .com", ".example.com", "a.shop.example.com", 1},
      {"no leading dot, dot before the tail", "example.com", "a.example.com", 1},
      {"no leading dot, letter before the tail", "example.com", "badexample.com", 0},
      {"numeric domain equal to host", "10.1.2.3", "10.1.2.3", 1},
      {"numeric domain differing from host", "10.1.2.3", "110.1.2.3", 0},
      {"equal ignoring case", "WWW.Example.Test", "www.example.test", 1},
      {"host does not end with domain", ".other.com", "a.example.com", 0},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(check_domain_match(row.domain, row.host), row.match);
  }
}

TEST_F(CookiesTest, FakedDomainAndPathDropped) {
  set("a=1; domain=.example.test", "http://a.example.test/");
  set("b=1; path=/elsewhere", "http://a.example.test/dir/x");
  EXPECT_EQ(find_cookie_chain_exact(".example.test", 80), nullptr);
  EXPECT_EQ(find_cookie_chain_exact("a.example.test", 80), nullptr);
}

TEST_F(CookiesTest, ReplacementAndChains) {
  set("a=1; path=/", "http://h.example.test/");
  set("a=2; path=/", "http://h.example.test/");
  set("a=3; path=/x", "http://h.example.test/x");
  cookie *c = find_cookie_chain_exact("h.example.test", 80);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->value, "3");
  ASSERT_NE(c->next, nullptr);
  EXPECT_EQ(c->next->value, "2");
  EXPECT_EQ(c->next->next, nullptr);
}

TEST_F(CookiesTest, DeletionByMaxAgeAndPastExpires) {
  struct Row {
    const char *name, *deleting;
  } rows[] = {
      {"max-age 0", "a=x; path=/; max-age=0"},
      {"expires in the past", "a=x; path=/; expires=Sun, 06 Nov 1994 08:49:37 GMT"},
      {"expires before 1970", "a=x; path=/; expires=Thu, 01 Jan 1900 00:00:00 GMT"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    cookies_cleanup();
    set("a=1; path=/", "http://h.example.test/");
    ASSERT_NE(find_cookie_chain_exact("h.example.test", 80), nullptr);
    set(row.deleting, "http://h.example.test/");
    EXPECT_EQ(find_cookie_chain_exact("h.example.test", 80), nullptr);
  }
}

TEST_F(CookiesTest, ExpiryTimes) {
  set("u=1; expires=not a date", "http://h.example.test/");
  set("big=1; max-age=1e300", "http://h.example.test/");
  cookie *c = find_cookie_chain_exact("h.example.test", 80);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(*c->name, "big");
  EXPECT_EQ(c->permanent, 1);
  EXPECT_EQ(c->expires_at, COOKIE_NEVER_EXPIRES);
  ASSERT_NE(c->next, nullptr);
  EXPECT_EQ(*c->next->name, "u");
  EXPECT_EQ(c->next->permanent, 0);
  EXPECT_EQ(c->next->expires_at, COOKIE_NEVER_EXPIRES);
}

TEST_F(CookiesTest, DebugOfFarFutureExpiryDoesNotCrash) {
  opt.debug = 1;
  set("far=1; expires=Fri, 31 Dec 9999 23:59:59 GMT", "http://h.example.test/");
  set("huge=1; max-age=99999999999999999999", "http://h.example.test/");
  EXPECT_NE(find_cookie_chain_exact("h.example.test", 80), nullptr);
}

TEST_F(CookiesTest, SelectionOrderDuplicatesSecurityAndPaths) {
  set("b=2; domain=.example.com; path=/", "http://a.example.com/");
  set("a=1; path=/", "http://a.example.com/");
  EXPECT_EQ(request("a.example.com", "x"), "Cookie: a=1; b=2\r\n");

  cookies_cleanup();
  set("a=1; path=/", "http://a.example.com/");
  set("a=1; domain=.example.com; path=/", "http://a.example.com/");
  EXPECT_EQ(request("a.example.com", ""), "Cookie: a=1\r\n");
  set("a=2; path=/d", "http://a.example.com/d");
  EXPECT_EQ(request("a.example.com", "dir"), "Cookie: a=2; a=1\r\n");

  cookies_cleanup();
  set("s=1; secure; path=/", "http://a.example.com/");
  EXPECT_EQ(request("a.example.com", "x"), std::nullopt);
  EXPECT_EQ(request("a.example.com", "x", 1), "Cookie: s=1\r\n");

  cookies_cleanup();
  set("p=1; path=/dir", "http://a.example.com/dir/x");
  EXPECT_EQ(request("a.example.com", "directory/x"), "Cookie: p=1\r\n");
  EXPECT_EQ(request("a.example.com", "other"), std::nullopt);
  EXPECT_EQ(request("a.example.com", "x", 0, 8080), std::nullopt);
}

TEST_F(CookiesTest, SingleDotHostOnlyGetsExactKey) {
  set("a=1; domain=.example.com; path=/", "http://www.example.com/");
  set("b=1; path=/", "http://example.com/");
  EXPECT_EQ(request("example.com", "x"), "Cookie: b=1\r\n");
}

TEST_F(CookiesTest, PerResponseAndPerDomainBounds) {
  for (int i = 0; i < MAX_COOKIES_PER_RESPONSE + 10; i++)
    set("c" + std::to_string(i) + "=1; path=/", "http://h.example.test/");
  int stored = 0;
  for (cookie *c = find_cookie_chain_exact("h.example.test", 80); c; c = c->next)
    ++stored;
  EXPECT_EQ(stored, MAX_COOKIES_PER_RESPONSE);

  cookies_new_response();
  set("big=" + std::string(MAX_COOKIE_NAME_VALUE, 'x'), "http://h.example.test/");
  EXPECT_NE(*find_cookie_chain_exact("h.example.test", 80)->name, "big");
}

class CookieFileTest : public CookiesTest {
 protected:
  void SetUp() override {
    CookiesTest::SetUp();
    dir_ = make_temp_dir("cookies");
  }
  void TearDown() override {
    CookiesTest::TearDown();
    std::filesystem::remove_all(dir_);
  }
  std::string dir_;
};

TEST_F(CookieFileTest, SaveThenLoadReproducesEveryField) {
  set("p=v w; domain=.example.com; path=/d; max-age=100000", "http://a.example.com/d/x");
  set("s=1; secure; path=/; expires=Fri, 31 Dec 2100 23:59:59 GMT", "http://a.example.com:8443/");
  set("session=1", "http://a.example.com/");
  std::string file = dir_ + "/jar";
  save_cookies(file);
  std::string text = read_file_text(file);
  EXPECT_EQ(text.rfind("# HTTP cookie file.\n# Generated by Tuvo on ", 0), 0u);
  EXPECT_NE(text.find("# Edit at your own risk.\n\n"), std::string::npos);
  EXPECT_NE(text.find("a.example.com:8443\tFALSE\t/\tTRUE\t4133980799\ts\t1\n"), std::string::npos);
  EXPECT_EQ(text.find("session"), std::string::npos);

  cookie *before = find_cookie_chain_exact(".example.com", 80);
  ASSERT_NE(before, nullptr);
  uint64_t expiry = before->expires_at;
  cookies_cleanup();
  load_cookies(file);
  cookie *p = find_cookie_chain_exact(".example.com", 80);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(*p->name, "p");
  EXPECT_EQ(p->value, "v w");
  EXPECT_EQ(*p->path, "/d");
  EXPECT_EQ(p->expires_at, expiry);
  EXPECT_EQ(p->permanent, 1);
  cookie *s = find_cookie_chain_exact("a.example.com", 8443);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->secure, 1);
  EXPECT_EQ(s->expires_at, 4133980799u);
  EXPECT_EQ(find_cookie_chain_exact("a.example.com", 80), nullptr);
}

TEST_F(CookieFileTest, LoadingRules) {
  std::string file = dir_ + "/in";
  write_file_text(file,
                  "# comment\n"
                  "   \n"
                  "plain.test\tFALSE\t/\tFALSE\t4133980799\tn\tv\n"
                  "secure.test\tFALSE\t/\tTRUE\t4133980799\tn\tv\n"
                  "zero.test\tFALSE\t/\tFALSE\t0\tn\tv\n"
                  "novalue.test FALSE / FALSE 4133980799 n\n"
                  "colon.test:\tFALSE\t/\tFALSE\t4133980799\tn\tv\n"
                  "odd.test:x1\tFALSE\t/\tFALSE\t4133980799\tn\tv\n"
                  "short.test\tFALSE\t/\n"
                  "bad.test\tFALSE\t/\tFALSE\tsoon\tn\tv\n");
  load_cookies(file);
  EXPECT_NE(find_cookie_chain_exact("plain.test", 80), nullptr);
  EXPECT_NE(find_cookie_chain_exact("secure.test", 443), nullptr);
  EXPECT_EQ(find_cookie_chain_exact("zero.test", 80), nullptr);
  cookie *nv = find_cookie_chain_exact("novalue.test", 80);
  ASSERT_NE(nv, nullptr);
  EXPECT_EQ(nv->value, "");
  EXPECT_NE(find_cookie_chain_exact("colon.test", 80), nullptr);
  EXPECT_NE(find_cookie_chain_exact("odd.test:x1", 80), nullptr);
  EXPECT_EQ(find_cookie_chain_exact("short.test", 80), nullptr);
  EXPECT_EQ(find_cookie_chain_exact("bad.test", 80), nullptr);
}

TEST_F(CookieFileTest, SavingEmptyOrSessionOnlyJar) {
  std::string file = dir_ + "/out";
  save_cookies(file);
  EXPECT_FALSE(std::filesystem::exists(file));
  set("session=1", "http://a.example.com/");
  save_cookies(file);
  std::string text = read_file_text(file);
  EXPECT_EQ(text.substr(text.find("# Edit")), "# Edit at your own risk.\n\n");
}

TEST_F(CookieFileTest, UnopenableFileReported) {
  testing::internal::CaptureStderr();
  load_cookies(dir_ + "/missing");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Cannot open cookies file `" + dir_ + "/missing': No such file or directory\n");
}

}  // namespace
