#include "hash.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

// Integer keys whose hash is the key itself, so tests can place entries in
// chosen slots and build clusters on purpose.
uint32_t identity_hash(const int &key) { return static_cast<uint32_t>(key); }
int int_equal(const int &a, const int &b) { return a == b ? 1 : 0; }
uint32_t clumping_hash(const int &key) { return static_cast<uint32_t>(key % 7); }

using int_table = hash_table<int, int>;

int_table identity_table(std::size_t items) {
  return hash_table_new<int, int>(items, identity_hash, int_equal);
}

// Slot index holding key, or -1.
int slot_of(const int_table &ht, int key) {
  for (std::size_t i = 0; i < ht.size; ++i)
    if (ht.mappings[i].occupied && ht.mappings[i].key == key)
      return static_cast<int>(i);
  return -1;
}

}  // namespace

TEST(HashTable, InitialSizeIsFirstPrimeAtOrAboveItems) {
  struct row { std::size_t items; std::size_t size; };
  const std::vector<row> rows = {
      {0, 19}, {1, 19}, {19, 19}, {20, 29}, {100, 107}, {1031, 1031},
      {1032, 1361}, {3355070839u, 3355070839u}, {3355070840u, 3355070840u}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.items);
    EXPECT_EQ(hash_table_prime_size(r.items), r.size);
  }
  auto ht = identity_table(0);
  EXPECT_EQ(ht.size, 19u);
  EXPECT_EQ(ht.resize_threshold, 14u);
  EXPECT_EQ(ht.count, 0u);
}

TEST(HashTable, GrowsThroughTheExactSizes) {
  auto ht = identity_table(0);
  // Entry number n (1-based) at which the size changes, and the new size.
  const std::vector<std::pair<int, std::size_t>> steps = {
      {15, 41}, {31, 107}, {81, 263}, {198, 599}, {450, 1361}};
  std::size_t step = 0;
  for (int n = 1; n <= 450; ++n) {
    std::size_t before = ht.size;
    hash_table_put(ht, n * 13, n);
    if (step < steps.size() && n == steps[step].first) {
      SCOPED_TRACE(n);
      EXPECT_EQ(ht.size, steps[step].second);
      EXPECT_EQ(ht.resize_threshold, ht.size * 3 / 4);
      ++step;
    } else {
      ASSERT_EQ(ht.size, before) << "grew at entry " << n;
    }
  }
  EXPECT_EQ(step, steps.size());
  for (int n = 1; n <= 450; ++n)
    ASSERT_EQ(*hash_table_get(ht, n * 13), n);
}

TEST(HashTable, PutOfAnEqualKeyReplacesKeyAndValue) {
  auto ht = make_nocase_string_hash_table<int>(0);
  hash_table_put(ht, std::string("Example.COM"), 1);
  hash_table_put(ht, std::string("example.com"), 2);
  EXPECT_EQ(hash_table_count(ht), 1u);
  std::string stored;
  int value = 0;
  ASSERT_EQ(hash_table_get_pair(ht, std::string("EXAMPLE.com"), &stored, &value), 1);
  EXPECT_EQ(stored, "example.com");
  EXPECT_EQ(value, 2);
}

TEST(HashTable, LookupsOfAbsentKeys) {
  auto ht = identity_table(0);
  hash_table_put(ht, 5, 50);
  int stored = -1, value = -1;
  EXPECT_EQ(hash_table_get(ht, 6), nullptr);
  EXPECT_EQ(hash_table_contains(ht, 6), 0);
  EXPECT_EQ(hash_table_get_pair(ht, 6, &stored, &value), 0);
  EXPECT_EQ(stored, -1);
  EXPECT_EQ(value, -1);
  EXPECT_EQ(hash_table_remove(ht, 6), 0);
  EXPECT_EQ(hash_table_count(ht), 1u);
  EXPECT_EQ(hash_table_get_pair(ht, 5, nullptr, nullptr), 1);
}

TEST(HashTable, RemovalReplacesFollowersOfAWrappedCluster) {
  auto ht = identity_table(0);
  // Keys 17, 36 and 55 share home slot 17 and wrap past the end; 18 and 0
  // are pushed along behind them.
  for (int key : {17, 36, 55, 18, 0})
    hash_table_put(ht, key, key * 10);
  ASSERT_EQ(slot_of(ht, 55), 0);
  ASSERT_EQ(slot_of(ht, 0), 2);

  ASSERT_EQ(hash_table_remove(ht, 17), 1);
  EXPECT_EQ(hash_table_count(ht), 4u);
  struct row { int key; int slot; };
  for (const auto &r : std::vector<row>{{36, 17}, {55, 18}, {18, 0}, {0, 1}}) {
    SCOPED_TRACE(r.key);
    EXPECT_EQ(slot_of(ht, r.key), r.slot);
    ASSERT_NE(hash_table_get(ht, r.key), nullptr);
    EXPECT_EQ(*hash_table_get(ht, r.key), r.key * 10);
  }
  EXPECT_EQ(slot_of(ht, 17), -1);
}

TEST(HashTable, RemovalLeavesEntriesAtTheirHomeInPlace) {
  auto ht = identity_table(0);
  for (int key : {3, 22, 5, 4})
    hash_table_put(ht, key, key);
  ASSERT_EQ(slot_of(ht, 4), 6);
  // Slots: 3:3, 4:22, 5:5, 6:4.  Removing 3 moves 22 home and 4 back to its
  // home; 5 is at home and stays.
  ASSERT_EQ(hash_table_remove(ht, 3), 1);
  EXPECT_EQ(slot_of(ht, 22), 3);
  EXPECT_EQ(slot_of(ht, 4), 4);
  EXPECT_EQ(slot_of(ht, 5), 5);
}

TEST(HashTable, AgreesWithAnOrderedMapUnderClusteringHashes) {
  auto ht = hash_table_new<int, int>(0, clumping_hash, int_equal);
  std::map<int, int> model;
  std::mt19937 gen(12345);
  std::uniform_int_distribution<int> key_of(0, 300), op_of(0, 2);
  for (int step = 0; step < 20000; ++step) {
    int key = key_of(gen);
    switch (op_of(gen)) {
      case 0:
        hash_table_put(ht, key, step);
        model[key] = step;
        break;
      case 1:
        ASSERT_EQ(hash_table_remove(ht, key), static_cast<int>(model.erase(key)));
        break;
      default: {
        const int *v = hash_table_get(ht, key);
        auto it = model.find(key);
        ASSERT_EQ(v != nullptr, it != model.end()) << "key " << key;
        if (v) {
          ASSERT_EQ(*v, it->second);
        }
      }
    }
    ASSERT_EQ(hash_table_count(ht), model.size());
  }
}

TEST(HashTable, WalkThatRemovesEveryEntryEmptiesTheTable) {
  auto ht = hash_table_new<int, int>(0, clumping_hash, int_equal);
  for (int key = 0; key < 40; ++key)
    hash_table_put(ht, key, key);
  std::vector<int> seen;
  hash_table_map(ht, [&](const int &key, int &) {
    int k = key;
    seen.push_back(k);
    hash_table_remove(ht, k);
    return 0;
  });
  EXPECT_EQ(hash_table_count(ht), 0u);
  EXPECT_EQ(seen.size(), 40u);
}

TEST(HashTable, WalkStopsAtTheFirstNonzeroResult) {
  auto ht = identity_table(0);
  for (int key = 0; key < 10; ++key)
    hash_table_put(ht, key, key);
  int calls = 0;
  hash_table_map(ht, [&](const int &, int &) { return ++calls; });
  EXPECT_EQ(calls, 1);
}

TEST(HashTable, ClearKeepsTheGrownSize) {
  auto ht = identity_table(0);
  for (int key = 0; key < 31; ++key)
    hash_table_put(ht, key, key);
  ASSERT_EQ(ht.size, 107u);
  hash_table_clear(ht);
  EXPECT_EQ(ht.size, 107u);
  EXPECT_EQ(hash_table_count(ht), 0u);
  EXPECT_EQ(hash_table_contains(ht, 5), 0);
}

TEST(StringHash, Values) {
  struct row { const char *name; std::string text; uint32_t exact; uint32_t nocase; };
  const std::vector<row> rows = {
      {"empty", "", 0, 0},
      {"a", "a", 97, 97},
      {"ab", "ab", 3105, 3105},
      {"AB", "AB", 2081, 3105},
      {"high byte is negative in the exact hash", "\xff", 0xffffffffu, 255},
      {"high bytes are never folded", "\xc9", static_cast<uint32_t>(-55), 0xc9},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(string_hash(r.text), r.exact);
    EXPECT_EQ(string_hash_nocase(r.text), r.nocase);
  }
}

TEST(StringHash, CaseMattersOnlyInTheExactFlavour) {
  auto exact = make_string_hash_table<int>(0);
  auto folded = make_nocase_string_hash_table<int>(0);
  for (const char *key : {"Host.Example", "host.example", "HOST.EXAMPLE"}) {
    hash_table_put(exact, std::string(key), 1);
    hash_table_put(folded, std::string(key), 1);
  }
  EXPECT_EQ(hash_table_count(exact), 3u);
  EXPECT_EQ(hash_table_count(folded), 1u);
  EXPECT_EQ(string_cmp_nocase("a[", "A["), 1);
  EXPECT_EQ(string_cmp_nocase("a{", "a["), 0);  // '{' and '[' differ by 32 but are not letters
}
