#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host.h"
#include "settings.h"
#include "url.h"

namespace {

std::string first_address(const address_list_ptr &al) {
  return pretty_print_address(al->addresses.at(0));
}

address_list list_of(std::initializer_list<const char *> dotted) {
  address_list al;
  for (const char *d : dotted) {
    in_addr a;
    inet_pton(AF_INET, d, &a);
    al.addresses.push_back(a);
  }
  return al;
}

}  // namespace

TEST(Host, DottedAddressesNeedNoResolverAndAreNotCached) {
  struct row {
    const char *text;
    const char *address;
  } rows[] = {
      {"127.0.0.1", "127.0.0.1"},
      {"127.1", "127.0.0.1"},
      {"0x7f.0.0.1", "127.0.0.1"},
      {"0177.0.0.01", "127.0.0.1"},
      {"10.20.30.40", "10.20.30.40"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.text);
    address_list_ptr a = lookup_host(r.text, 0);
    address_list_ptr b = lookup_host(r.text, 0);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(a->addresses.size(), 1u);
    EXPECT_EQ(first_address(a), r.address);
    EXPECT_EQ(address_list_refcount(a), 1);
    address_list_release(a);
    EXPECT_FALSE(a);
    address_list_release(b);
  }
}

TEST(Host, NameIsResolvedOnceAndSharedWhateverTheCase) {
  address_list_ptr first = lookup_host("localhost", 1);
  ASSERT_TRUE(first);
  EXPECT_EQ(first_address(first), "127.0.0.1");
  // The cache holds one reference, the caller the other.
  EXPECT_EQ(address_list_refcount(first), 2);
  address_list_ptr again = lookup_host("LocalHost", 0);
  EXPECT_EQ(again.get(), first.get());
  EXPECT_EQ(address_list_refcount(first), 3);
  address_list_release(again);
  EXPECT_EQ(address_list_refcount(first), 2);
  address_list_release(first);
  host_cleanup();
  address_list_ptr fresh = lookup_host("localhost", 1);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(address_list_refcount(fresh), 2);
  address_list_release(fresh);
  host_cleanup();
}

TEST(Host, FaultyMarkAdvancesAndWraps) {
  address_list al = list_of({"10.0.0.1", "10.0.0.2", "10.0.0.3"});
  int expected[] = {1, 2, 0};
  for (int step = 0; step < 3; step++) {
    SCOPED_TRACE(step);
    int start, end;
    address_list_get_bounds(al, &start, &end);
    EXPECT_EQ(end, 3);
    EXPECT_EQ(pretty_print_address(address_list_copy_one(al, start)),
              "10.0.0." + std::to_string(start + 1));
    address_list_set_faulty(al, start);
    EXPECT_EQ(al.faulty, expected[step]);
  }
}

TEST(Host, MatchAllNeedsSameAddressesInSameOrder) {
  address_list a = list_of({"10.0.0.1", "10.0.0.2"});
  struct row {
    const char *name;
    address_list other;
    int expected;
  } rows[] = {
      {"equal", list_of({"10.0.0.1", "10.0.0.2"}), 1},
      {"reordered", list_of({"10.0.0.2", "10.0.0.1"}), 0},
      {"shorter", list_of({"10.0.0.1"}), 0},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(address_list_match_all(a, r.other), r.expected);
  }
  EXPECT_EQ(address_list_match_all(a, a), 1);
}

TEST(Host, ResolverErrorTexts) {
  struct row {
    int code;
    const char *text;
  } rows[] = {{1, "Host not found"}, {2, "Host not found"}, {3, "Host not found"},
              {4, "Host not found"}, {0, "Unknown error"},  {99, "Unknown error"}};
  for (const row &r : rows) {
    SCOPED_TRACE(r.code);
    EXPECT_STREQ(herrmsg(r.code), r.text);
  }
}

TEST(Host, SufmatchTable) {
  struct row {
    std::vector<std::string> suffixes;
    const char *text;
    int expected;
  } rows[] = {
      {{"s.example"}, "s.example", 1},
      {{"s.example"}, "A.S.EXAMPLE", 1},
      {{"s.example"}, "bads.example", 1},
      {{"s.example"}, "s.exampl", 0},
      {{"s.example"}, "example", 0},
      {{""}, "anything", 1},
      {{"longer.than.text"}, "text", 0},
      {{"no.match", "other.org"}, "www.other.org", 1},
      {{}, "www.other.org", 0},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(sufmatch(r.suffixes, r.text), r.expected);
  }
}

TEST(Host, AcceptDomainTable) {
  struct row {
    std::vector<std::string> domains;
    std::vector<std::string> exclude;
    const char *host;
    int expected;
  } rows[] = {
      {{}, {}, "anything.test", 1},
      {{"example"}, {"bad.example"}, "a.bad.example", 0},
      {{"example"}, {"bad.example"}, "good.example", 1},
      {{"example"}, {"bad.example"}, "other.test", 0},
      {{}, {"bad.example"}, "other.test", 1},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.host);
    opt.domains = r.domains;
    opt.excludedomains = r.exclude;
    url u;
    u.host = r.host;
    EXPECT_EQ(accept_domain(u), r.expected);
  }
  opt.domains.clear();
  opt.excludedomains.clear();
}
