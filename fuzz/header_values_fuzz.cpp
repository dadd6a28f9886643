// Any header value through every processor: ranges are never negative, the
// media type never grows, flags stay 0 or 1.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view value(reinterpret_cast<const char *>(data), size);
  http_content_range range;
  if (http_process_range(value, range))
    assert(range.first_byte >= 0 && range.last_byte >= 0 && range.entity_length >= 0);
  std::optional<std::string> type;
  http_process_type(value, type);
  assert(type && type->size() <= value.size());
  int none = 2, keep = 0;
  http_process_none(value, none);
  http_process_connection(value, keep);
  assert((none == 0 || none == 1) && (keep == 0 || keep == 1));
  return 0;
}
