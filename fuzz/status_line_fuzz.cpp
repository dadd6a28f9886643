// Any byte string: the status code is -1 or 0..999 and the reason phrase lies
// inside the line.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view line(reinterpret_cast<const char *>(data), size);
  std::string_view reason;
  int code = parse_http_status_line(line, reason);
  assert(code >= -1 && code <= 999);
  assert(reason.empty() || (reason.data() >= line.data() &&
                            reason.data() + reason.size() <= line.data() + line.size()));
  return 0;
}
