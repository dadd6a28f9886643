#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "netrc.h"
#include "settings.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

class NetrcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir("netrc");
    old_home_ = getenv("HOME") ? std::optional<std::string>(getenv("HOME")) : std::nullopt;
    setenv("HOME", dir_.c_str(), 1);
    defaults();
    free_netrc();
  }
  void TearDown() override {
    if (old_home_)
      setenv("HOME", old_home_->c_str(), 1);
    free_netrc();
    fs::remove_all(dir_);
  }
  void write_netrc(const std::string &text) { std::ofstream(dir_ + "/.netrc") << text; }

  std::string dir_;
  std::optional<std::string> old_home_;
};

struct Lookup {
  const char *name;
  const char *host;
  std::optional<std::string> login_in, password_in;
  int use_default;
  std::optional<std::string> login_out, password_out;
};

TEST_F(NetrcTest, LookupRules) {
  write_netrc("machine h1 login anonymous password x\ndefault login guest password y\n");
  const Lookup rows[] = {
      {"ftp, host in any case", "H1", {}, {}, 1, "anonymous", "x"},
      {"ftp, other host uses default", "other", {}, {}, 1, "guest", "y"},
      {"http, other host gets nothing", "other", {}, {}, 0, {}, {}},
      {"given login differs: password cleared", "h1", "bob", "secret", 1, "bob", "secret"},
      {"given login differs, no password", "h1", "bob", {}, 1, "bob", {}},
      {"given login equal: entry's password", "h1", "anonymous", {}, 1, "anonymous", "x"},
      {"no login: entry's password over a given one", "h1", {}, "mine", 0, "anonymous", "x"},
      {"default keeps the caller's password", "zz", {}, "mine", 1, "guest", "mine"},
  };
  for (const Lookup &row : rows) {
    SCOPED_TRACE(row.name);
    std::optional<std::string> login = row.login_in, password = row.password_in;
    search_netrc(row.host, login, password, row.use_default);
    EXPECT_EQ(login, row.login_out);
    EXPECT_EQ(password, row.password_out);
  }
}

TEST_F(NetrcTest, NothingReadWhenSettingIsOff) {
  write_netrc("machine h1 login a password b\n");
  opt.netrc = 0;
  std::optional<std::string> login, password;
  search_netrc("h1", login, password, 1);
  EXPECT_FALSE(login);
  EXPECT_FALSE(password);
}

struct ParseRow {
  const char *name;
  const char *text;
  std::vector<netrc_entry> entries;
  const char *stderr_text;
};

TEST_F(NetrcTest, Parsing) {
  exec_name = "tuvo";
  const ParseRow rows[] = {
      {"login before machine warns and is dropped",
       "login early\nmachine m login l\n",
       {{"m", "l", std::nullopt}},
       "tuvo: PATH:1: warning: \"login\" token appears before any machine name\n"},
      {"machine without login is dropped", "machine a password p\nmachine b login l\n", {{"b", "l", std::nullopt}}, ""},
      {"quoted password with a blank, tokens after it read normally",
       "machine m login l password \"a b\" account acct\nmachine n login k\n",
       {{"m", "l", "a b"}, {"n", "k", std::nullopt}},
       ""},
      {"macdef lines skipped up to the blank line",
       "macdef init\ncd /pub\nget x\n\nmachine m login l\n",
       {{"m", "l", std::nullopt}},
       ""},
      {"comments", "# all of this\nmachine m login l # password ignored\n", {{"m", "l", std::nullopt}}, ""},
      {"unknown token", "machine m login l bogus\n", {{"m", "l", std::nullopt}},
       "tuvo: PATH:1: unknown token \"bogus\"\n"},
      {"backslash escapes", "machine m login a\\ b password q\\\"\n", {{"m", "a b", "q\""}}, ""},
      {"unclosed quote ends at the line's end", "machine m login l password \"abc\n", {{"m", "l", "abc"}}, ""},
      {"trailing backslash dropped", "machine m login l password ab\\", {{"m", "l", "ab"}}, ""},
      {"last line without newline", "machine m login l password p", {{"m", "l", "p"}}, ""},
      {"default entry", "default login anonymous password me@\n", {{std::nullopt, "anonymous", "me@"}}, ""},
  };
  for (const ParseRow &row : rows) {
    SCOPED_TRACE(row.name);
    std::string path = dir_ + "/rc";
    std::ofstream(path) << row.text;
    testing::internal::CaptureStderr();
    std::vector<netrc_entry> entries = parse_netrc(path);
    std::string err = testing::internal::GetCapturedStderr();
    std::string expected_err = row.stderr_text;
    if (size_t at = expected_err.find("PATH"); at != std::string::npos)
      expected_err.replace(at, 4, path);
    EXPECT_EQ(err, expected_err);
    ASSERT_EQ(entries.size(), row.entries.size());
    for (size_t i = 0; i < entries.size(); i++) {
      EXPECT_EQ(entries[i].machine, row.entries[i].machine);
      EXPECT_EQ(entries[i].login, row.entries[i].login);
      EXPECT_EQ(entries[i].password, row.entries[i].password);
    }
  }
}

TEST_F(NetrcTest, UnreadableFileReported) {
  exec_name = "tuvo";
  testing::internal::CaptureStderr();
  EXPECT_TRUE(parse_netrc(dir_ + "/missing").empty());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "tuvo: Cannot read " + dir_ + "/missing (No such file or directory).\n");
}

}  // namespace
