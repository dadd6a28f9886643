// An open-addressing hash table with linear probing.  Sizes come from a fixed
// table of primes and the table grows to the next prime at or above twice its
// size when more than three quarters of the slots are taken.  Removal re-places
// the entries that follow the removed one, so no tombstones are needed and a
// lookup always ends at the first empty slot.
//
// The table owns its keys and values (they are stored by value in the slot
// array).  Hash and test functions are plain function pointers chosen at
// creation; strings have two ready-made flavours, exact and ASCII-case-folding.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// Number of slots for a new table expected to hold `items` entries: the first
// prime of the size table at or above it, or `items` itself beyond the table.
std::size_t hash_table_prime_size(std::size_t items);

template <class K, class V>
struct hash_table {
  // One slot; `occupied` false marks an empty slot.
  struct mapping {
    bool occupied = false;
    K key{};
    V value{};
  };
  using hash_fn = uint32_t (*)(const K &);
  // Nonzero when equal; called with the key looked for first, the stored key second.
  using test_fn = int (*)(const K &, const K &);

  hash_fn hash_function = nullptr;  // hash of a key
  test_fn test_function = nullptr;  // key equality
  std::size_t size = 0;             // number of slots; 0 only after hash_table_destroy
  std::size_t count = 0;            // number of occupied slots
  std::size_t resize_threshold = 0; // count above which the table grows: size * 3 / 4
  std::vector<mapping> mappings;    // the slots

  // Walk bookkeeping: the slot the current walk is visiting, and whether a
  // removal has since moved another entry into it.
  std::size_t walk_slot = SIZE_MAX;
  bool walk_slot_replaced = false;
};

// A new, empty table sized for `items` entries.
template <class K, class V>
hash_table<K, V> hash_table_new(std::size_t items, typename hash_table<K, V>::hash_fn hash,
                                typename hash_table<K, V>::test_fn test) {
  hash_table<K, V> ht;
  ht.hash_function = hash;
  ht.test_function = test;
  ht.size = hash_table_prime_size(items);
  ht.resize_threshold = ht.size * 3 / 4;
  ht.mappings.resize(ht.size);
  return ht;
}

// Releases every slot with its key and value; the table must not be used again.
template <class K, class V>
void hash_table_destroy(hash_table<K, V> &ht) {
  std::vector<typename hash_table<K, V>::mapping>().swap(ht.mappings);
  ht.size = ht.count = ht.resize_threshold = 0;
}

namespace hash_detail {

// Slot index where the probe for `key` ends: the slot holding an equal key,
// or the empty slot that ended the search.
template <class K, class V>
std::size_t probe(const hash_table<K, V> &ht, const K &key) {
  assert(ht.size > 0 && "hash table used after destroy");
  std::size_t i = ht.hash_function(key) % ht.size;
  while (ht.mappings[i].occupied) {
    if (ht.test_function(key, ht.mappings[i].key))
      return i;
    i = (i + 1 == ht.size) ? 0 : i + 1;
  }
  return i;
}

template <class K, class V>
void grow_hash_table(hash_table<K, V> &ht) {
  std::size_t new_size = hash_table_prime_size(ht.size * 2);
  std::vector<typename hash_table<K, V>::mapping> fresh(new_size);
  for (auto &m : ht.mappings) {
    if (!m.occupied)
      continue;
    std::size_t i = ht.hash_function(m.key) % new_size;
    while (fresh[i].occupied)
      i = (i + 1 == new_size) ? 0 : i + 1;
    fresh[i] = std::move(m);
  }
  ht.mappings.swap(fresh);
  ht.size = new_size;
  ht.resize_threshold = new_size * 3 / 4;
}

}  // namespace hash_detail

// The stored value for `key`, or nullptr when absent.  The pointer stays valid
// until the table is next changed.
template <class K, class V>
V *hash_table_get(hash_table<K, V> &ht, const std::type_identity_t<K> &key) {
  std::size_t i = hash_detail::probe(ht, key);
  return ht.mappings[i].occupied ? &ht.mappings[i].value : nullptr;
}

template <class K, class V>
const V *hash_table_get(const hash_table<K, V> &ht, const std::type_identity_t<K> &key) {
  std::size_t i = hash_detail::probe(ht, key);
  return ht.mappings[i].occupied ? &ht.mappings[i].value : nullptr;
}

// 1 when found, copying the stored key and the value into the non-null
// out-locations; 0 when absent (nothing written).
template <class K, class V>
int hash_table_get_pair(const hash_table<K, V> &ht, const std::type_identity_t<K> &key,
                        std::type_identity_t<K> *orig_key, std::type_identity_t<V> *value) {
  std::size_t i = hash_detail::probe(ht, key);
  if (!ht.mappings[i].occupied)
    return 0;
  if (orig_key)
    *orig_key = ht.mappings[i].key;
  if (value)
    *value = ht.mappings[i].value;
  return 1;
}

// 1 when the key is present, else 0.
template <class K, class V>
int hash_table_contains(const hash_table<K, V> &ht, const std::type_identity_t<K> &key) {
  return ht.mappings[hash_detail::probe(ht, key)].occupied ? 1 : 0;
}

// Stores the pair; an equal stored key is replaced together with its value.
template <class K, class V>
void hash_table_put(hash_table<K, V> &ht, std::type_identity_t<K> key, std::type_identity_t<V> value) {
  std::size_t i = hash_detail::probe(ht, key);
  auto &m = ht.mappings[i];
  if (m.occupied) {
    m.key = std::move(key);
    m.value = std::move(value);
    return;
  }
  ++ht.count;
  m.occupied = true;
  m.key = std::move(key);
  m.value = std::move(value);
  if (ht.count > ht.resize_threshold)
    hash_detail::grow_hash_table(ht);
}

// 1 when an entry was removed, 0 when the key was absent.  `key` may refer to
// the stored key itself.
template <class K, class V>
int hash_table_remove(hash_table<K, V> &ht, const std::type_identity_t<K> &key) {
  std::size_t i = hash_detail::probe(ht, key);
  if (!ht.mappings[i].occupied)
    return 0;
  auto next = [&ht](std::size_t j) { return (j + 1 == ht.size) ? 0 : j + 1; };
  ht.mappings[i] = typename hash_table<K, V>::mapping{};
  --ht.count;
  for (std::size_t cur = next(i); ht.mappings[cur].occupied; cur = next(cur)) {
    std::size_t home = ht.hash_function(ht.mappings[cur].key) % ht.size;
    while (home != cur && ht.mappings[home].occupied)
      home = next(home);
    if (home == cur)
      continue;
    ht.mappings[home] = std::move(ht.mappings[cur]);
    ht.mappings[cur] = typename hash_table<K, V>::mapping{};
    if (home == ht.walk_slot)
      ht.walk_slot_replaced = true;
  }
  return 1;
}

// Empties every slot, keeping the size.
template <class K, class V>
void hash_table_clear(hash_table<K, V> &ht) {
  for (auto &m : ht.mappings)
    m = typename hash_table<K, V>::mapping{};
  ht.count = 0;
}

// Calls mapper(key, value) for every entry in slot order; a nonzero result
// stops the walk.  The mapper may remove the entry it was handed (and must
// not touch key or value afterwards), but must not add entries.
template <class K, class V, class F>
void hash_table_map(hash_table<K, V> &ht, F mapper) {
  std::size_t saved_slot = ht.walk_slot;
  bool saved_replaced = ht.walk_slot_replaced;
  for (std::size_t i = 0; i < ht.size; ++i) {
    ht.walk_slot = i;
    ht.walk_slot_replaced = false;
    while (ht.mappings[i].occupied) {
      if (mapper(ht.mappings[i].key, ht.mappings[i].value)) {
        ht.walk_slot = saved_slot;
        ht.walk_slot_replaced = saved_replaced;
        return;
      }
      if (!ht.walk_slot_replaced)
        break;
      ht.walk_slot_replaced = false;
    }
  }
  ht.walk_slot = saved_slot;
  ht.walk_slot_replaced = saved_replaced;
}

// Number of entries.
template <class K, class V>
std::size_t hash_table_count(const hash_table<K, V> &ht) {
  return ht.count;
}

// Hash of a text: h = h * 31 + b over its bytes taken as signed, wrapping.
uint32_t string_hash(const std::string &text);
// 1 when the texts are equal byte for byte.
int string_cmp(const std::string &a, const std::string &b);
// As string_hash with bytes unsigned and ASCII capitals folded to lower case.
uint32_t string_hash_nocase(const std::string &text);
// 1 when the texts are equal ignoring ASCII case.
int string_cmp_nocase(const std::string &a, const std::string &b);

// A new table of text keys compared exactly.
template <class V>
hash_table<std::string, V> make_string_hash_table(std::size_t items) {
  return hash_table_new<std::string, V>(items, string_hash, string_cmp);
}

// A new table of text keys compared without regard to ASCII case.
template <class V>
hash_table<std::string, V> make_nocase_string_hash_table(std::size_t items) {
  return hash_table_new<std::string, V>(items, string_hash_nocase, string_cmp_nocase);
}
