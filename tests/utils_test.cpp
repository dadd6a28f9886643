#include "utils.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
  void SetUp() override {
    char tmpl[] = "/tmp/tuvo-utils-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string path(const std::string &name) const { return dir + "/" + name; }
  void write(const std::string &name, const std::string &bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
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
  std::ifstream kept(path("tuvo-log.1"));
  std::string content;
  kept >> content;
  EXPECT_EQ(content, "keep");
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
