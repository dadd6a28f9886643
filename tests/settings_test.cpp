#include "settings.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// Sets (or, with none, unsets) an environment variable for one scope.
class scoped_env {
 public:
  scoped_env(const char *name, std::optional<std::string> value) : name_(name) {
    if (const char *old = std::getenv(name))
      old_ = old;
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
  }
  ~scoped_env() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char *name_;
  std::optional<std::string> old_;
};

struct streams {
  std::string out, err;
};

// What body printed on standard output and standard error.
streams capture(const std::function<void()> &body) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  body();
  std::fflush(nullptr);
  streams s;
  s.err = ::testing::internal::GetCapturedStderr();
  s.out = ::testing::internal::GetCapturedStdout();
  return s;
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exec_name = "tuvo";
    defaults();
  }
};

const std::vector<std::string> all_commands = {
    "accept", "addhostdir", "alwaysrest", "background", "backupconverted", "backups", "base",
    "bindaddress", "cache", "continue", "convertlinks", "cookies", "cutdirs", "debug", "deleteafter",
    "dirprefix", "dirstruct", "domains", "dotbytes", "dotsinline", "dotspacing", "dotstyle", "egdfile",
    "excludedirectories", "excludedomains", "followftp", "followtags", "forcehtml", "ftpproxy", "glob",
    "header", "htmlextension", "htmlify", "httpkeepalive", "httppasswd", "httpproxy", "httpsproxy",
    "httpuser", "ignorelength", "ignoretags", "includedirectories", "input", "killlonger", "limitrate",
    "loadcookies", "logfile", "login", "mirror", "netrc", "noclobber", "noparent", "noproxy", "numtries",
    "outputdocument", "pagerequisites", "passiveftp", "passwd", "progress", "proxypasswd", "proxyuser",
    "quiet", "quota", "randomwait", "reclevel", "recursive", "referer", "reject", "relativeonly",
    "removelisting", "retrsymlinks", "robots", "savecookies", "saveheaders", "serverresponse",
    "spanhosts", "spider", "sslcertfile", "sslcertkey", "timeout", "timestamping", "tries", "useproxy",
    "useragent", "verbose", "wait", "waitretry",
};

TEST_F(SettingsTest, EveryCommandIsFound) {
  ASSERT_EQ(all_commands.size(), 86u);
  for (const std::string &command : all_commands) {
    SCOPED_TRACE(command);
    for (const std::string &spelling : {command, std::string(1, char(std::toupper(command[0]))) + command.substr(1)}) {
      std::string name, value;
      EXPECT_EQ(parse_line(spelling + " = x", name, value), 1);
      EXPECT_EQ(name, spelling);
    }
  }
}

TEST_F(SettingsTest, DefaultsFillTheRecord) {
  opt.tries = 3;
  opt.accept = {"gif"};
  {
    scoped_env no_proxy("no_proxy", "localhost, .example.org,x");
    defaults();
  }
  EXPECT_EQ(opt.verbose, -1);
  EXPECT_EQ(opt.tries, 20);
  EXPECT_EQ(opt.reclevel, 5);
  EXPECT_EQ(opt.dirprefix, ".");
  EXPECT_EQ(opt.login, "anonymous");
  EXPECT_EQ(opt.passwd, "-tuvo@");
  EXPECT_EQ(opt.timeout, 900);
  EXPECT_EQ(opt.dotbytes, 1024);
  EXPECT_TRUE(opt.accept.empty());
  EXPECT_EQ(opt.noproxy, (std::vector<std::string>{"localhost", ".example.org", "x"}));
  scoped_env no_proxy("no_proxy", std::nullopt);
  defaults();
  EXPECT_TRUE(opt.noproxy.empty());
}

TEST_F(SettingsTest, ParseLine) {
  struct row {
    const char *line;
    int result;
    const char *name;
    const char *value;
  };
  const std::vector<row> rows = {
      {"", -1, "", ""},
      {" \t\r\n\v\f", -1, "", ""},
      {"# tries = 3", -1, "", ""},
      {"   # indented comment", -1, "", ""},
      {"tries = 3\n", 1, "tries", "3"},
      {"tries=3", 1, "tries", "3"},
      {"  tries \t=\t 3 \r\n", 1, "tries", "3"},
      {"wait = 5 # five", 1, "wait", "5 # five"},
      {"Dir_Prefix = out", 1, "DirPrefix", "out"},
      {"dir-prefix=out", 1, "dirprefix", "out"},
      {"dir_-_prefix = out", 1, "dirprefix", "out"},
      {"useragent = \"a b\" \\x", 1, "useragent", "\"a b\" \\x"},
      {"header = X-A: 1 = 2", 1, "header", "X-A: 1 = 2"},
      {"accept =", 1, "accept", ""},
      {"accept =   \n", 1, "accept", ""},
      {"dirprefix out", 0, "", ""},
      {"tries", 0, "", ""},
      {"tries ", 0, "", ""},
      {"frobnicate = 1", 0, "", ""},
      {"tries2 = 3", 0, "", ""},
      {"tries: 3", 0, "", ""},
      {"= 3", 0, "", ""},
      {"3 = tries", 0, "", ""},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.line);
    std::string name = "untouched", value = "untouched";
    ASSERT_EQ(parse_line(r.line, name, value), r.result);
    if (r.result == 1) {
      EXPECT_EQ(name, r.name);
      EXPECT_EQ(value, r.value);
    } else {
      EXPECT_EQ(name, "untouched");
      EXPECT_EQ(value, "untouched");
    }
  }
}

// One command with its value: whether it is taken, the field afterwards
// (unchanged from the default when refused), and the exact complaint.
struct number_row {
  const char *command;
  const char *value;
  int ok;
  int64_t (*field)();
  int64_t expected;
  const char *out;
  const char *err;
};

void check_number_rows(const std::vector<number_row> &rows) {
  for (const number_row &r : rows) {
    SCOPED_TRACE(std::string(r.command) + " = " + r.value);
    defaults();
    int ok = -1;
    streams s = capture([&] { ok = setval(r.command, r.value); });
    EXPECT_EQ(ok, r.ok);
    EXPECT_EQ(r.field(), r.expected);
    EXPECT_EQ(s.out, r.out);
    EXPECT_EQ(s.err, r.err);
  }
}

int64_t tries() { return opt.tries; }
int64_t reclevel() { return opt.reclevel; }
int64_t backups() { return opt.backups; }
int64_t cutdirs() { return opt.cutdirs; }
int64_t dots_in_line() { return opt.dots_in_line; }
int64_t quota() { return opt.quota; }
int64_t limitrate() { return opt.limitrate; }
int64_t dotbytes() { return opt.dotbytes; }
int64_t wait_field() { return opt.wait; }
int64_t waitretry() { return opt.waitretry; }
int64_t timeout() { return opt.timeout; }

TEST_F(SettingsTest, Numbers) {
  check_number_rows({
      {"tries", "7", 1, tries, 7, "", ""},
      {"tries", "inf", 1, tries, 0, "", ""},
      {"tries", "INF", 1, tries, 0, "", ""},
      {"numtries", "0", 1, tries, 0, "", ""},
      {"reclevel", "Inf", 1, reclevel, 0, "", ""},
      {"tries", "2147483647", 1, tries, 2147483647, "", ""},
      {"tries", "2147483648", 0, tries, 20, "", "tuvo: tries: Invalid specification `2147483648'.\n"},
      {"tries", "-1", 0, tries, 20, "", "tuvo: tries: Invalid specification `-1'.\n"},
      {"tries", "", 0, tries, 20, "", "tuvo: tries: Invalid specification `'.\n"},
      {"tries", "12a", 0, tries, 20, "", "tuvo: tries: Invalid specification `12a'.\n"},
      {"tries", "infinite", 0, tries, 20, "", "tuvo: tries: Invalid specification `infinite'.\n"},
      {"cutdirs", "99999999999", 0, cutdirs, 0, "", "tuvo: cutdirs: Invalid specification `99999999999'.\n"},
      {"cutdirs", "inf", 0, cutdirs, 0, "", "tuvo: cutdirs: Invalid specification `inf'.\n"},
      {"dotsinline", "48", 1, dots_in_line, 48, "", ""},
      {"backups", "3", 1, backups, 3, "", ""},
      {"backups", "1000", 1, backups, 1000, "", ""},
      {"backups", "1001", 0, backups, 0, "", "tuvo: backups: Invalid specification `1001'.\n"},
      {"backups", "4294967297", 0, backups, 0, "", "tuvo: backups: Invalid specification `4294967297'.\n"},
  });
}

TEST_F(SettingsTest, ByteCounts) {
  check_number_rows({
      {"quota", "inf", 1, quota, 0, "", ""},
      {"quota", "INF", 0, quota, 0, "quota: Invalid specification `INF'\n", ""},
      {"quota", "12345", 1, quota, 12345, "", ""},
      {"quota", "10k", 1, quota, 10240, "", ""},
      {"quota", "10K", 1, quota, 10240, "", ""},
      {"quota", "5m", 1, quota, 5242880, "", ""},
      {"quota", "3g", 1, quota, 3221225472, "", ""},
      {"quota", "3G", 1, quota, 3221225472, "", ""},
      {"quota", "8589934591g", 1, quota, 8589934591LL * 1073741824, "", ""},
      {"quota", "8589934592g", 0, quota, 0, "quota: Invalid specification `8589934592g'\n", ""},
      {"quota", "9223372036854775808", 0, quota, 0,
       "quota: Invalid specification `9223372036854775808'\n", ""},
      {"quota", "10kb", 0, quota, 0, "quota: Invalid specification `10kb'\n", ""},
      {"quota", "k", 0, quota, 0, "quota: Invalid specification `k'\n", ""},
      {"quota", "", 0, quota, 0, "quota: Invalid specification `'\n", ""},
      {"quota", "10t", 0, quota, 0, "quota: Invalid specification `10t'\n", ""},
      {"quota", " 10", 0, quota, 0, "quota: Invalid specification ` 10'\n", ""},
      {"limitrate", "20m", 1, limitrate, 20971520, "", ""},
      {"limitrate", "2.5k", 0, limitrate, 0, "limitrate: Invalid specification `2.5k'\n", ""},
      {"dotbytes", "3g", 1, dotbytes, 3221225472, "", ""},
      {"dotbytes", "8k", 1, dotbytes, 8192, "", ""},
  });
}

TEST_F(SettingsTest, Times) {
  check_number_rows({
      {"wait", "30", 1, wait_field, 30, "", ""},
      {"wait", "2m", 1, wait_field, 120, "", ""},
      {"wait", "2h", 1, wait_field, 7200, "", ""},
      {"wait", "2H", 1, wait_field, 7200, "", ""},
      {"wait", "1d", 1, wait_field, 86400, "", ""},
      {"wait", "1w", 1, wait_field, 604800, "", ""},
      {"wait", "5s", 0, wait_field, 0, "wait: Invalid specification `5s'\n", ""},
      {"wait", "5 # five", 0, wait_field, 0, "wait: Invalid specification `5 # five'\n", ""},
      {"wait", "h", 0, wait_field, 0, "wait: Invalid specification `h'\n", ""},
      {"wait", "1073741823", 1, wait_field, 1073741823, "", ""},
      {"wait", "1073741824", 0, wait_field, 0, "wait: Invalid specification `1073741824'\n", ""},
      {"wait", "1775w", 1, wait_field, 1775LL * 604800, "", ""},
      {"wait", "1776w", 0, wait_field, 0, "wait: Invalid specification `1776w'\n", ""},
      {"waitretry", "10m", 1, waitretry, 600, "", ""},
      {"waitretry", "99999999999", 0, waitretry, 0, "waitretry: Invalid specification `99999999999'\n", ""},
      {"timeout", "90", 1, timeout, 90, "", ""},
      {"timeout", "inf", 0, timeout, 900, "timeout: Invalid specification `inf'\n", ""},
  });
}

TEST_F(SettingsTest, Booleans) {
  struct row {
    const char *value;
    int ok;
    int expected;
  };
  const std::vector<row> rows = {
      {"on", 1, 1},   {"ON", 1, 1},  {"On", 1, 1},   {"1", 1, 1},      {"off", 1, 0},
      {"OFF", 1, 0},  {"0", 1, 0},   {"yes", 0, -1}, {"", 0, -1},      {"on ", 0, -1},
      {"01", 0, -1},  {"2", 0, -1},  {"-1", 0, -1},  {"always", 0, -1},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.value);
    defaults();
    int ok = -1;
    streams s = capture([&] { ok = setval("verbose", r.value); });
    EXPECT_EQ(ok, r.ok);
    EXPECT_EQ(opt.verbose, r.expected);
    EXPECT_EQ(s.out, "");
    EXPECT_EQ(s.err, r.ok ? "" : "tuvo: verbose: Please specify on or off.\n");
  }
  // The name appears as the caller spelled it.
  streams s = capture([] { EXPECT_EQ(setval("Robots", "maybe"), 0); });
  EXPECT_EQ(s.err, "tuvo: Robots: Please specify on or off.\n");
  EXPECT_EQ(opt.robots, 1);
}

TEST_F(SettingsTest, LockableBoolean) {
  struct row {
    const char *name;
    std::vector<const char *> values;
    int expected;
    const char *err;
  };
  const std::vector<row> rows = {
      {"plain values", {"on"}, 1, ""},
      {"digits", {"2"}, 2, ""},
      {"off after on", {"on", "OFF"}, 0, ""},
      {"never locks", {"never", "on"}, -1, ""},
      {"never locks even against nonsense", {"-1", "maybe"}, -1, ""},
      {"always locks", {"Always", "off", "never"}, 2, ""},
      {"nonsense", {"maybe"}, 0, "tuvo: passiveftp: Please specify always, on, off, or never.\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    defaults();
    streams s = capture([&] {
      for (const char *value : r.values)
        setval("passiveftp", value);
    });
    EXPECT_EQ(opt.passiveftp, r.expected);
    EXPECT_EQ(s.err, r.err);
  }
}

TEST_F(SettingsTest, TextsAndFiles) {
  EXPECT_EQ(setval("login", "bob"), 1);
  EXPECT_EQ(opt.login, "bob");
  EXPECT_EQ(setval("passwd", ""), 1);
  EXPECT_EQ(opt.passwd, "");
  EXPECT_EQ(setval("egdfile", "/var/run/egd-pool"), 1);
  EXPECT_EQ(opt.egdfile, "/var/run/egd-pool");
  EXPECT_EQ(setval("sslcertkey", "key.pem"), 1);
  EXPECT_EQ(opt.sslcertkey, "key.pem");
  EXPECT_EQ(setval("continue", "on"), 1);
  EXPECT_EQ(opt.alwaysrest, 1);
  // Command-line values are never tilde-expanded.
  scoped_env home("HOME", "/home/u");
  EXPECT_EQ(setval("logfile", "~/dl.log"), 1);
  EXPECT_EQ(opt.logfile, "~/dl.log");
}

TEST_F(SettingsTest, Vectors) {
  setval("accept", "gif, jpg");
  setval("accept", "png");
  EXPECT_EQ(opt.accept, (std::vector<std::string>{"gif", "jpg", "png"}));
  setval("accept", "");
  EXPECT_TRUE(opt.accept.empty());
  setval("reject", "a ,b,,c/");
  EXPECT_EQ(opt.reject, (std::vector<std::string>{"a ", "b", "", "c/"}));
  setval("excludedirectories", "/pub/,/");
  setval("excludedirectories", "/x//");
  EXPECT_EQ(opt.excludedirectories, (std::vector<std::string>{"/pub", "/", "/x/"}));
  setval("includedirectories", "a/");
  EXPECT_EQ(opt.includedirectories, (std::vector<std::string>{"a"}));
}

TEST_F(SettingsTest, SpecialCommands) {
  struct row {
    const char *name;
    std::vector<std::pair<const char *, const char *>> commands;
    int recursive, dirstruct, no_dirstruct, timestamping, reclevel, removelisting, htmlify;
  };
  const std::vector<row> rows = {
      {"recursive turns directories on", {{"recursive", "on"}}, 1, 1, 0, 0, 5, 1, 1},
      {"recursive keeps directories off", {{"dirstruct", "off"}, {"recursive", "on"}}, 1, 0, 1, 0, 5, 1, 1},
      {"recursive off", {{"recursive", "on"}, {"recursive", "off"}}, 0, 1, 0, 0, 5, 1, 1},
      {"mirror", {{"mirror", "on"}}, 1, 1, 0, 1, -1, 0, 1},
      {"mirror keeps directories off", {{"dirstruct", "off"}, {"mirror", "on"}}, 1, 0, 1, 1, -1, 0, 1},
      {"mirror off changes nothing", {{"recursive", "on"}, {"mirror", "off"}}, 1, 1, 0, 0, 5, 1, 1},
      {"dirstruct on", {{"dirstruct", "on"}}, 0, 1, 0, 0, 5, 1, 1},
      {"htmlify off", {{"htmlify", "off"}}, 0, 0, 0, 0, 5, 0, 0},
      {"htmlify on", {{"htmlify", "on"}}, 0, 0, 0, 0, 5, 1, 1},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    defaults();
    for (auto [name, value] : r.commands)
      EXPECT_EQ(setval(name, value), 1);
    EXPECT_EQ(opt.recursive, r.recursive);
    EXPECT_EQ(opt.dirstruct, r.dirstruct);
    EXPECT_EQ(opt.no_dirstruct, r.no_dirstruct);
    EXPECT_EQ(opt.timestamping, r.timestamping);
    EXPECT_EQ(opt.reclevel, r.reclevel);
    EXPECT_EQ(opt.removelisting, r.removelisting);
    EXPECT_EQ(opt.htmlify, r.htmlify);
  }
  for (const char *command : {"dirstruct", "recursive", "mirror", "htmlify"}) {
    SCOPED_TRACE(command);
    defaults();
    streams s = capture([&] { EXPECT_EQ(setval(command, "yes"), 0); });
    EXPECT_EQ(s.err, std::string("tuvo: ") + command + ": Please specify on or off.\n");
    EXPECT_EQ(opt.recursive, 0);
    EXPECT_EQ(opt.htmlify, 1);
  }
}

TEST_F(SettingsTest, Headers) {
  setval("header", "X-A: 1");
  setval("header", "X-B: 2");
  EXPECT_EQ(opt.user_header, "X-A: 1\r\nX-B: 2\r\n");
  setval("header", "");
  EXPECT_EQ(opt.user_header, std::nullopt);

  struct row {
    const char *text;
    int ok;
  };
  const std::vector<row> rows = {
      {"X-Foo: bar", 1},   {"X-Foo:", 1},     {"X-Foo : bar", 0},    {": bar", 0},
      {"X-Foo", 0},        {"", 0},           {"X Foo: bar", 0},     {"X-Foo: a\nb", 0},
      {"X-Foo: a\rb", 0},  {"X-Foo: bar\r", 0}, {"X-Foo:\tbar", 1},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(check_user_specified_header(r.text), r.ok);
    if (!*r.text)
      continue;
    defaults();
    opt.user_header = "Old: 1\r\n";
    streams s = capture([&] { EXPECT_EQ(setval("header", r.text), r.ok); });
    EXPECT_EQ(opt.user_header, r.ok ? "Old: 1\r\n" + std::string(r.text) + "\r\n" : "Old: 1\r\n");
    EXPECT_EQ(s.err, r.ok ? "" : "tuvo: header: Invalid specification `" + std::string(r.text) + "'.\n");
  }
}

TEST_F(SettingsTest, UserAgent) {
  struct row {
    const char *value;
    int ok;
  };
  for (const row &r : std::vector<row>{{"Agent/1.0", 1}, {"", 0}, {"A\nB", 0}, {"A\rB", 0}, {"A\r\nX-Evil: 1", 0}}) {
    SCOPED_TRACE(r.value);
    defaults();
    streams s = capture([&] { EXPECT_EQ(setval("useragent", r.value), r.ok); });
    EXPECT_EQ(opt.useragent, r.ok ? std::optional<std::string>(r.value) : std::nullopt);
    EXPECT_EQ(s.err, r.ok ? "" : "tuvo: useragent: Invalid specification `" + std::string(r.value) + "'.\n");
  }
}

TEST_F(SettingsTest, Progress) {
  struct row {
    const char *value;
    int ok;
  };
  for (const row &r : std::vector<row>{{"dot", 1}, {"dot:mega", 1}, {"bar", 1}, {"bar:force", 1}, {"ba", 1}, {"", 1}, {"fancy", 0}, {"dots", 0}}) {
    SCOPED_TRACE(r.value);
    defaults();
    opt.progress = "bar";
    streams s = capture([&] { EXPECT_EQ(setval("progress", r.value), r.ok); });
    EXPECT_EQ(opt.progress, r.ok ? r.value : "bar");
    EXPECT_EQ(s.err, r.ok ? "" : "tuvo: progress: Invalid progress type `" + std::string(r.value) + "'.\n");
  }
}

TEST_F(SettingsTest, BindAddress) {
  EXPECT_EQ(setval("bindaddress", "127.0.0.2"), 1);
  ASSERT_TRUE(opt.bindaddress);
  EXPECT_EQ(opt.bindaddress->sin_family, AF_INET);
  EXPECT_EQ(opt.bindaddress->sin_port, 0);
  EXPECT_EQ(opt.bindaddress->sin_addr.s_addr, ::inet_addr("127.0.0.2"));
  streams s = capture([] { EXPECT_EQ(setval("bindaddress", ""), 0); });
  EXPECT_EQ(s.err, "tuvo: bindaddress: Cannot convert `' to an IP address.\n");
  EXPECT_EQ(opt.bindaddress->sin_addr.s_addr, ::inet_addr("127.0.0.2"));
}

TEST_F(SettingsTest, SetvalRefusals) {
  streams s = capture([] {
    EXPECT_EQ(setval("frobnicate", "1"), 0);
    EXPECT_EQ(setval("dir_prefix", "x"), 0);
    EXPECT_EQ(setval(nullptr, "1"), 0);
    EXPECT_EQ(setval("tries", nullptr), 0);
  });
  EXPECT_EQ(s.err,
            "tuvo: BUG: unknown command `frobnicate', value `1'.\n"
            "tuvo: BUG: unknown command `dir_prefix', value `x'.\n");
  EXPECT_EQ(s.out, "");
}

TEST_F(SettingsTest, Myatoi) {
  struct row {
    const char *text;
    int value;
  };
  for (const row &r : std::vector<row>{{"0", 0}, {"123", 123}, {"007", 7}, {"", -1}, {"12a", -1}, {"-1", -1},
                                       {" 1", -1}, {"2147483647", 2147483647}, {"2147483648", -1}}) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(myatoi(r.text), r.value);
  }
}

class StartupFileTest : public SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    dir = make_temp_dir("settings");
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string write(const std::string &name, const std::string &text) {
    std::string path = dir + "/" + name;
    write_file_text(path, text);
    return path;
  }

  std::string dir;
};

TEST_F(StartupFileTest, BadLinesAreReportedAndTheRestRuns) {
  std::string path = write("rc",
                           "# settings\n"
                           "tries = 3\n"
                           "wait = 5s\n"
                           "dirprefix out\n"
                           "frobnicate = 1\n"
                           "\n"
                           "quota = 3g\n"
                           "verbose = perhaps\n"
                           "accept = gif, jpg\n"
                           "accept = png\n"
                           "Dir_Prefix = out\n"
                           "header = X-A: 1");
  streams s = capture([&] { run_tuvorc(path); });
  EXPECT_EQ(s.out, "wait: Invalid specification `5s'\n");
  EXPECT_EQ(s.err,
            "tuvo: Error in " + path + " at line 3.\n" +
            "tuvo: Error in " + path + " at line 4.\n" +
            "tuvo: Error in " + path + " at line 5.\n" +
            "tuvo: verbose: Please specify on or off.\n" +
            "tuvo: Error in " + path + " at line 8.\n");
  EXPECT_EQ(opt.tries, 3);
  EXPECT_EQ(opt.wait, 0);
  EXPECT_EQ(opt.quota, 3221225472);
  EXPECT_EQ(opt.accept, (std::vector<std::string>{"gif", "jpg", "png"}));
  EXPECT_EQ(opt.dirprefix, "out");
  EXPECT_EQ(opt.user_header, "X-A: 1\r\n");
}

TEST_F(StartupFileTest, UnreadableFileIsSkipped) {
  std::string path = dir + "/missing";
  streams s = capture([&] { run_tuvorc(path); });
  EXPECT_EQ(s.err, "tuvo: Cannot read " + path + " (No such file or directory).\n");
  EXPECT_EQ(opt.tries, 20);
}

TEST_F(StartupFileTest, TildeExpansion) {
  struct row {
    std::optional<std::string> home;
    const char *value;
    const char *expected;
  };
  const std::vector<row> rows = {
      {"/home/u", "~/dl.log", "/home/u/dl.log"},
      {"/home/u/", "~/dl.log", "/home/u/dl.log"},
      {"/home/u", "~//dl.log", "/home/u/dl.log"},
      {"/", "~/x", "/x"},
      {"/home/u", "~user/x", "~user/x"},
      {"/home/u", "~", "~"},
      {"/home/u", "a/~/x", "a/~/x"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(std::string(r.value) + " with home " + r.home.value_or("none"));
    scoped_env home("HOME", r.home);
    defaults();
    run_tuvorc(write("rc", std::string("logfile = ") + r.value + "\n"));
    EXPECT_EQ(opt.logfile, r.expected);
  }
  // Only while a file runs: afterwards the same value stays as typed.
  scoped_env home("HOME", "/home/u");
  setval("logfile", "~/later");
  EXPECT_EQ(opt.logfile, "~/later");
}

TEST_F(StartupFileTest, UserFileName) {
  std::string rc = write("rc", "tries = 4\n");
  {
    scoped_env tuvorc("TUVORC", rc);
    EXPECT_EQ(tuvorc_file_name(), rc);
  }
  scoped_env tuvorc("TUVORC", "");
  {
    scoped_env home("HOME", dir);
    EXPECT_EQ(tuvorc_file_name(), std::nullopt);
    std::string dotfile = write(".tuvorc", "tries = 5\n");
    EXPECT_EQ(tuvorc_file_name(), dotfile);
  }
  scoped_env home("HOME", dir + "/nowhere");
  EXPECT_EQ(tuvorc_file_name(), std::nullopt);
}

TEST_F(StartupFileTest, MissingTuvorcIsFatal) {
  scoped_env tuvorc("TUVORC", dir + "/missing");
  EXPECT_EXIT(tuvorc_file_name(), ::testing::ExitedWithCode(1),
              "^tuvo: " + dir + "/missing: No such file or directory.\n$");
}

TEST_F(StartupFileTest, InitializeRunsTheUserFile) {
  if (fs::exists("/usr/local/etc/tuvorc"))
    GTEST_SKIP() << "a system startup file would change the outcome";
  std::string rc = write("rc", "tries = 4\naccept = a\n");
  scoped_env tuvorc("TUVORC", rc);
  opt.accept = {"stale"};
  initialize();
  EXPECT_EQ(opt.tries, 4);
  EXPECT_EQ(opt.accept, std::vector<std::string>{"a"});
}

TEST_F(SettingsTest, HomeDir) {
  {
    scoped_env home("HOME", "/somewhere");
    EXPECT_EQ(home_dir(), "/somewhere");
  }
  scoped_env home("HOME", std::nullopt);
  std::optional<std::string> from_passwd = home_dir();
  ASSERT_TRUE(from_passwd);
  EXPECT_FALSE(from_passwd->empty());
}

TEST_F(SettingsTest, CleanupClosesTheOutputDocument) {
  opt.output_document_stream = std::tmpfile();
  ASSERT_NE(opt.output_document_stream, nullptr);
  cleanup();
  EXPECT_EQ(opt.output_document_stream, nullptr);
  opt.output_document_stream = stdout;
  cleanup();
  EXPECT_EQ(opt.output_document_stream, nullptr);
  EXPECT_NE(std::fputs("", stdout), EOF);
}

}  // namespace
