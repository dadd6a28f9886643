// Any byte string: either no date, or a time that a four-digit year can reach.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::optional<int64_t> t = http_atotm(std::string_view(reinterpret_cast<const char *>(data), size));
  const int64_t bound = int64_t(10000) * 366 * 86400;
  assert(!t || (*t > -bound && *t < bound));
  return 0;
}
