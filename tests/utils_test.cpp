#include "utils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>
#include <regex>
#include <set>

#include "settings.h"
#include "test_util.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A fresh directory that the test works in; removed afterwards.
class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override { dir = make_temp_dir("utils"); }
  void TearDown() override { fs::remove_all(dir); }
  std::string path(const std::string &name) const { return dir + "/" + name; }
  void write(const std::string &name, const std::string &bytes) const {
    write_file_text(path(name), bytes);
  }
  std::string dir;
};

}  // namespace

TEST(Texts, SmallHelpers) {
  const char *text = "Hello, World";
  EXPECT_EQ(strdupdelim(text, text + 5), "Hello");
  EXPECT_EQ(strdupdelim(text, text), "");
  EXPECT_EQ(xstrdup_lower("MiXeD 123 \xc9"), "mixed 123 \xc9");
  EXPECT_EQ(count_char("a,b,,c", ','), 3);
  EXPECT_EQ(count_char("", ','), 0);
  struct row { const char *prefix, *text; int expected; };
  for (const auto &r : std::vector<row>{{"", "abc", 1}, {"", "", 1}, {"abc", "ab", 0},
                                        {"ab", "abc", 1}, {"AB", "abc", 0}}) {
    SCOPED_TRACE(std::string(r.prefix) + " / " + r.text);
    EXPECT_EQ(frontcmp(r.prefix, r.text), r.expected);
  }
}

TEST(CommaLists, Sepstring) {
  struct row { const char *name; const char *text; string_vector items; };
  const std::vector<row> rows = {
      {"null", nullptr, {}},
      {"empty", "", {}},
      {"plain", "gif, jpg,,png ", {"gif", "jpg", "", "png "}},
      {"trailing comma", "a,", {"a", ""}},
      {"lone comma", ",", {"", ""}},
      {"leading blank kept", " a", {" a"}},
      {"blank before comma kept", "a ,b", {"a ", "b"}},
      {"tabs and newlines after comma skipped", "a,\t\n b", {"a", "b"}},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(sepstring(r.text), r.items);
  }
}

TEST(CommaLists, MergeVecs) {
  EXPECT_TRUE(merge_vecs({}, {}).empty());
  EXPECT_EQ(merge_vecs({"a"}, {}), string_vector{"a"});
  EXPECT_EQ(merge_vecs({}, {"b"}), string_vector{"b"});
  EXPECT_EQ(merge_vecs({"a", "b"}, {"c"}), (string_vector{"a", "b", "c"}));
  string_vector v{"x"};
  free_vec(v);
  EXPECT_TRUE(v.empty());
}

TEST(StringLists, AppendPrependReverse) {
  slist list;
  slist_append(list, "b");
  slist_append(list, "c");
  slist_prepend(list, "a");
  EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()),
            (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(slist_contains(list, "b"), 1);
  EXPECT_EQ(slist_contains(list, "B"), 0);
  slist_nreverse(list);
  EXPECT_EQ(list.front(), "c");
  slist_free(list);
  EXPECT_TRUE(list.empty());
}

TEST(StringSets, MembershipIsExact) {
  string_set set = make_string_set(0);
  string_set_add(set, "http://a/");
  string_set_add(set, "http://a/");
  string_set_add(set, "HTTP://a/");
  EXPECT_EQ(hash_table_count(set), 2u);
  EXPECT_EQ(string_set_contains(set, "http://a/"), 1);
  EXPECT_EQ(string_set_contains(set, "http://b/"), 0);
  free_keys_and_values(set);
  EXPECT_EQ(hash_table_count(set), 0u);
  string_set_free(set);
}

TEST(Numbers, DecimalAndGroupedForms) {
  struct row { int64_t n; const char *plain; const char *grouped; };
  const std::vector<row> rows = {
      {0, "0", "0"},
      {123, "123", "123"},
      {-999, "-999", "-999"},
      {1000, "1000", "1,000"},
      {-1234, "-1234", "-1,234"},
      {1234567, "1234567", "1,234,567"},
      {INT32_MIN, "-2147483648", "-2,147,483,648"},
      {INT64_MAX, "9223372036854775807", "9,223,372,036,854,775,807"},
      {INT64_MIN, "-9223372036854775808", "-9,223,372,036,854,775,808"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.plain);
    char buf[NUMBER_BUFFER_SIZE];
    char *end = number_to_string(buf, r.n);
    EXPECT_STREQ(buf, r.plain);
    EXPECT_EQ(end - buf, static_cast<long>(std::string(r.plain).size()));
    EXPECT_EQ(*end, '\0');
    EXPECT_EQ(numdigit(r.n), static_cast<int>(std::string(r.plain).size()));
    EXPECT_EQ(legible(r.n), r.grouped);
  }
  EXPECT_EQ(numdigit(-10), 3);
  EXPECT_EQ(numdigit(1000000), 7);
  EXPECT_EQ(legible_very_long(4294967296ull), "4,294,967,296");
  EXPECT_EQ(legible_very_long(UINT64_MAX), "18,446,744,073,709,551,615");
  EXPECT_EQ(legible_very_long(0), "0");
}

TEST(Timer, StartsAtZeroAndNeverGoesNegative) {
  wtimer timer = wtimer_new();
  int64_t first = wtimer_elapsed(timer);
  EXPECT_GE(first, 0);
  EXPECT_GE(wtimer_elapsed(timer), first);
  // A start in the future (as a clock set back would give) reads as 0.
  timer.start += std::chrono::hours(1);
  EXPECT_EQ(wtimer_elapsed(timer), 0);
  // A long-running transfer does not overflow a 32-bit count.
  timer.start -= std::chrono::hours(24 * 30);
  EXPECT_GT(wtimer_elapsed(timer), int64_t{INT32_MAX});
  EXPECT_EQ(wtimer_granularity(), 1);
}

using Files = ScratchDir;

TEST_F(Files, UniqueNameNumbering) {
  EXPECT_EQ(unique_name(path("x")), path("x"));
  write("x", "");
  EXPECT_EQ(unique_name(path("x")), path("x.1"));
  write("x.1", "");
  EXPECT_EQ(unique_name(path("x")), path("x.2"));
  write("x.3", "");
  EXPECT_EQ(unique_name(path("x")), path("x.2"));
  // A dangling link is a taken name: writing there would follow it.
  ASSERT_EQ(symlink("/nonexistent/target", path("y").c_str()), 0);
  EXPECT_EQ(unique_name(path("y")), path("y.1"));
  EXPECT_EQ(file_exists_p(path("x")), 1);
  EXPECT_EQ(file_exists_p(path("y")), 0);
}

TEST_F(Files, UniqueCreateNeverFollowsAPlantedLink) {
  std::string victim = path("victim");
  ASSERT_EQ(symlink(victim.c_str(), path("tuvo-log").c_str()), 0);
  write("tuvo-log.1", "keep");
  std::string chosen;
  int fd = unique_create(path("tuvo-log"), chosen);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(chosen, path("tuvo-log.2"));
  EXPECT_FALSE(fs::exists(victim));
  EXPECT_EQ(read_file_text(path("tuvo-log.1")), "keep");
}

TEST_F(Files, ReadWholeLine) {
  std::string long_line(10000, 'x');
  struct row { const char *name; std::string bytes; std::vector<std::string> lines; };
  const std::vector<row> rows = {
      {"empty stream", "", {}},
      {"two lines", "a\nbc\n", {"a\n", "bc\n"}},
      {"missing final newline", "a\nlast", {"a\n", "last"}},
      {"empty lines", "\n\n", {"\n", "\n"}},
      {"long line", long_line + "\nz", {long_line + "\n", "z"}},
      {"embedded NUL kept", std::string("a\0b\n", 4), {std::string("a\0b\n", 4)}},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    write("lines", r.bytes);
    FILE *f = std::fopen(path("lines").c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::vector<std::string> got;
    while (auto line = read_whole_line(f))
      got.push_back(*line);
    std::fclose(f);
    EXPECT_EQ(got, r.lines);
  }
}

TEST(Allocation, ExhaustionIsReportedAndEndsTheRun) {
  EXPECT_EXIT(memfatal("malloc"), ::testing::ExitedWithCode(1),
              "^tuvo: malloc: Not enough memory.\n$");
  // Every failed operator new goes the same way.
  std::new_handler handler = std::get_new_handler();
  ASSERT_NE(handler, nullptr);
  EXPECT_EXIT(handler(), ::testing::ExitedWithCode(1), "^tuvo: malloc: Not enough memory.\n$");
}

TEST(Times, Formats) {
  time_t place = 0;
  std::string t = time_str(&place);
  EXPECT_TRUE(std::regex_match(t, std::regex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9]"))) << t;
  EXPECT_NEAR(static_cast<double>(place), static_cast<double>(std::time(nullptr)), 5.0);
  std::string dt = datetime_str(nullptr);
  EXPECT_TRUE(std::regex_match(
      dt, std::regex("[0-9]{4}-[01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]")))
      << dt;
}

TEST(Random, StaysInRangeAndCoversIt) {
  std::set<int> seen;
  for (int i = 0; i < 2000; ++i) {
    EXPECT_EQ(random_number(1), 0);
    int r = random_number(5);
    ASSERT_GE(r, 0);
    ASSERT_LT(r, 5);
    seen.insert(r);
  }
  EXPECT_EQ(seen.size(), 5u);
}

TEST(Texts, NameHelpers) {
  struct wild { const char *text; int expected; };
  for (const auto &r : std::vector<wild>{{"a*", 1}, {"?", 1}, {"[x", 1}, {"x]", 1}, {"plain.gif", 0}}) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(has_wildcards_p(r.text), r.expected);
  }
  struct tail { const char *text, *tail; int expected; };
  for (const auto &r : std::vector<tail>{{"www.example.com", ".example.com", 1},
                                         {"example.com", "example.com", 1},
                                         {"com", "example.com", 0},
                                         {"abc", "", 1},
                                         {"abc", "b", 0}}) {
    SCOPED_TRACE(std::string(r.text) + " / " + r.tail);
    EXPECT_EQ(match_tail(r.text, r.tail), r.expected);
  }
  struct suf { const char *name; std::optional<std::string> expected; };
  for (const auto &r : std::vector<suf>{{"a.tar.gz", "gz"}, {"dir.d/file", std::nullopt},
                                        {"file.", ""}, {".profile", "profile"},
                                        {"plain", std::nullopt}, {"d/x.html", "html"}}) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(suffix(r.name), r.expected);
  }
  EXPECT_EQ(html_quote_string("a<b & \"c\">"), "a&lt;b&#32;&amp;&#32;&quot;c&quot;&gt;");
  struct merge { const char *base, *file, *expected; };
  for (const auto &r : std::vector<merge>{{"dir/sub/old", "new", "dir/sub/new"},
                                          {"old", "new", "new"},
                                          {"/old", "new", "/new"},
                                          {"dir/", "new", "dir/new"}}) {
    SCOPED_TRACE(r.base);
    EXPECT_EQ(file_merge(r.base, r.file), r.expected);
  }
}

// Saves and restores the settings the accept and directory rules read.
class Rules : public ::testing::Test {
 protected:
  void SetUp() override { saved = opt; }
  void TearDown() override { opt = saved; }
  options saved;
};

TEST_F(Rules, AcceptAndReject) {
  struct row {
    const char *name;
    string_vector accept, reject;
    std::vector<std::pair<const char *, int>> cases;
  };
  const std::vector<row> rows = {
      {"no lists", {}, {}, {{"anything", 1}}},
      {"accept tails", {"gif", "jpg"}, {}, {{"a/b.gif", 1}, {"a/b.png", 0}, {"agif", 1}, {"b.GIF", 0}}},
      {"reject pattern", {}, {"*.html"}, {{"x.html", 0}, {"x.htm", 1}, {"d.html/x.htm", 1}}},
      {"both", {"*.gif"}, {"bad*"}, {{"good.gif", 1}, {"bad.gif", 0}, {"good.png", 0}}},
      {"only the last component is tested", {"gif"}, {}, {{"gif/x.png", 0}}},
  };
  for (const auto &r : rows) {
    opt.accept = r.accept;
    opt.reject = r.reject;
    for (const auto &[name, expected] : r.cases) {
      SCOPED_TRACE(std::string(r.name) + ": " + name);
      EXPECT_EQ(acceptable(name), expected);
    }
  }
}

TEST_F(Rules, IncludeAndExcludeDirectories) {
  struct row {
    const char *name;
    string_vector include, exclude;
    int flags;
    std::vector<std::pair<const char *, int>> cases;
  };
  const std::vector<row> rows = {
      {"no lists", {}, {}, ACC_ALL_ABSOLUTE, {{"/any", 1}}},
      {"include prefix", {"/pub"}, {}, ACC_ALL_ABSOLUTE,
       {{"pub/x", 1}, {"/pub/x", 1}, {"/public", 1}, {"/priv", 0}}},
      {"include prefix, exact slashes", {"/pub"}, {}, 0, {{"pub/x", 0}, {"/pub/x", 1}}},
      {"empty entry matches all", {""}, {}, ACC_ALL_ABSOLUTE, {{"/x", 1}}},
      {"exclude pattern stops at slashes", {}, {"/pub/*"}, ACC_ALL_ABSOLUTE,
       {{"/pub/a", 0}, {"/pub/a/b", 1}, {"/priv", 1}}},
      {"both", {"/pub"}, {"/pub/secret"}, ACC_ALL_ABSOLUTE,
       {{"/pub/open", 1}, {"/pub/secret/x", 0}, {"/other", 0}}},
  };
  for (const auto &r : rows) {
    opt.includedirectories = r.include;
    opt.excludedirectories = r.exclude;
    for (const auto &[dir, expected] : r.cases) {
      SCOPED_TRACE(std::string(r.name) + ": " + dir);
      EXPECT_EQ(accdir(dir, r.flags), expected);
    }
  }
}

TEST_F(Files, Mkalldirs) {
  EXPECT_EQ(mkalldirs("no-slash-here"), 0);
  EXPECT_FALSE(fs::exists("no-slash-here"));

  EXPECT_EQ(mkalldirs(path("a/b/c/file")), 0);
  EXPECT_TRUE(fs::is_directory(path("a/b/c")));
  EXPECT_FALSE(fs::exists(path("a/b/c/file")));
  EXPECT_EQ(mkalldirs(path("a/b/c/file")), 0);

  // A plain file where a directory is needed is replaced by the directory.
  write("p", "plain");
  EXPECT_EQ(mkalldirs(path("p/q")), 0);
  EXPECT_TRUE(fs::is_directory(path("p")));

  // Below a plain file nothing can be made.
  write("f", "plain");
  EXPECT_EQ(mkalldirs(path("f/x/y")), -1);
  EXPECT_EQ(read_file_text(path("f")), "plain");
}

TEST_F(Files, MakeDirectoryAndTypes) {
  EXPECT_EQ(make_directory(path("m/n/o")), 0);
  EXPECT_TRUE(fs::is_directory(path("m/n/o")));
  write("file", "");
  ASSERT_EQ(symlink(path("m").c_str(), path("link-to-dir").c_str()), 0);
  struct row { const char *name; int expected; };
  for (const auto &r : std::vector<row>{{"file", 1}, {"m", 0}, {"missing", 0}, {"link-to-dir", 1}}) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(file_non_directory_p(path(r.name)), r.expected);
  }
}

TEST_F(Files, ReadFile) {
  write("empty", "");
  auto empty = read_file(path("empty"));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->content_size, 0);

  std::string bytes("data\0with NUL", 14);
  write("data", bytes);
  auto fc = read_file(path("data"));
  ASSERT_TRUE(fc);
  EXPECT_EQ(std::string(fc->data, static_cast<size_t>(fc->content_size)), bytes);
  file_contents moved = std::move(*fc);
  EXPECT_EQ(fc->data, nullptr);
  EXPECT_EQ(moved.content_size, 14);

  errno = 0;
  EXPECT_FALSE(read_file(path("missing")));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(Files, ReadFileOfStandardInputLeavesItOpen) {
  int saved_stdin = dup(STDIN_FILENO);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string big(3000, 'z');  // several doublings of the first buffer
  ASSERT_EQ(::write(fds[1], big.data(), big.size()), static_cast<ssize_t>(big.size()));
  close(fds[1]);
  dup2(fds[0], STDIN_FILENO);
  close(fds[0]);
  auto fc = read_file("-");
  bool still_open = fcntl(STDIN_FILENO, F_GETFD) != -1;
  dup2(saved_stdin, STDIN_FILENO);
  close(saved_stdin);
  ASSERT_TRUE(fc);
  EXPECT_EQ(fc->is_mapped, 0);
  EXPECT_EQ(std::string(fc->data, static_cast<size_t>(fc->content_size)), big);
  EXPECT_TRUE(still_open);
}

TEST_F(Files, TouchAndRemoveLink) {
  write("t", "");
  touch(path("t"), 1000000000);
  struct stat st;
  ASSERT_EQ(stat(path("t").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1000000000);
  EXPECT_EQ(st.st_atime, 1000000000);

  ASSERT_EQ(symlink(path("t").c_str(), path("l").c_str()), 0);
  EXPECT_EQ(remove_link(path("l")), 0);
  EXPECT_FALSE(fs::is_symlink(path("l")));
  EXPECT_TRUE(fs::exists(path("t")));
  EXPECT_EQ(remove_link(path("t")), 0);
  EXPECT_TRUE(fs::exists(path("t")));
  EXPECT_EQ(remove_link(path("missing")), 0);
}

TEST(Terminal, WidthComesFromTheTerminalUnlessThereIsALogFile) {
  int master, slave;
  struct winsize ws = {};
  ws.ws_col = 123;
  ws.ws_row = 40;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &ws), 0);
  int saved_stderr = dup(STDERR_FILENO);
  auto saved_logfile = opt.logfile;
  dup2(slave, STDERR_FILENO);
  opt.logfile.reset();
  int on_terminal = determine_screen_width();
  opt.logfile = "log";
  int with_log = determine_screen_width();
  dup2(saved_stderr, STDERR_FILENO);
  close(saved_stderr);
  close(slave);
  close(master);
  opt.logfile = saved_logfile;
  EXPECT_EQ(on_terminal, 123);
  EXPECT_EQ(with_log, 0);
}

namespace {

// Runs fork_to_background in a child working in dir with the given log file
// setting; returns what the foreground process printed.
std::string background_output(const std::string &dir, std::optional<std::string> logfile) {
  std::string out = dir + "/stdout";
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0 || !std::freopen(out.c_str(), "w", stdout))
      _exit(2);
    opt.logfile = logfile;
    fork_to_background();
    _exit(0);  // the background process: nothing more to do
  }
  int status = -1;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return read_file_text(out);
}

}  // namespace

TEST_F(Files, BackgroundLogIsCreatedExclusively) {
  ASSERT_EQ(symlink(path("victim").c_str(), path("tuvo-log").c_str()), 0);
  std::string said = background_output(dir, std::nullopt);
  EXPECT_TRUE(std::regex_match(
      said, std::regex("Continuing in background, pid [0-9]+\\.\nOutput will be written to "
                       "`tuvo-log\\.1'\\.\n")))
      << said;
  EXPECT_TRUE(fs::is_regular_file(path("tuvo-log.1")));
  EXPECT_FALSE(fs::exists(path("victim")));

  said = background_output(dir, std::string("mine.log"));
  EXPECT_TRUE(std::regex_match(said, std::regex("Continuing in background, pid [0-9]+\\.\n")))
      << said;
  EXPECT_FALSE(fs::exists(path("tuvo-log.2")));
}
