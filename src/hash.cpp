#include "hash.h"

#include <algorithm>
#include <array>

namespace {

// Each roughly 1.3 times the one before, so that doubling lands a few steps on.
constexpr std::array<uint32_t, 71> primes = {
    19,         29,         41,         59,         79,         107,        149,
    197,        263,        347,        457,        599,        787,        1031,
    1361,       1777,       2333,       3037,       3967,       5167,       6719,
    8737,       11369,      14783,      19219,      24989,      32491,      42257,
    54941,      71429,      92861,      120721,     156941,     204047,     265271,
    344857,     448321,     582821,     757693,     985003,     1280519,    1664681,
    2164111,    2813353,    3657361,    4754591,    6180989,    8035301,    10445899,
    13579681,   17653589,   22949669,   29834603,   38784989,   50420551,   65546729,
    85210757,   110774011,  144006217,  187208107,  243370577,  316381771,  411296309,
    534685237,  695090819,  903618083,  1174703521, 1527114613, 1985248999, 2580823717u,
    3355070839u};

// Folds ASCII capitals only: hashing must not depend on the locale.
unsigned char fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

}  // namespace

std::size_t hash_table_prime_size(std::size_t items) {
  auto it = std::lower_bound(primes.begin(), primes.end(), items,
                             [](uint32_t p, std::size_t n) { return p < n; });
  return it == primes.end() ? items : *it;
}

uint32_t string_hash(const std::string &text) {
  uint32_t h = 0;
  for (char c : text)
    h = h * 31 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
  return h;
}

int string_cmp(const std::string &a, const std::string &b) { return a == b ? 1 : 0; }

uint32_t string_hash_nocase(const std::string &text) {
  uint32_t h = 0;
  for (char c : text)
    h = h * 31 + fold(static_cast<unsigned char>(c));
  return h;
}

int string_cmp_nocase(const std::string &a, const std::string &b) {
  if (a.size() != b.size())
    return 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i])))
      return 0;
  return 1;
}
