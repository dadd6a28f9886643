// Splits arbitrary bytes into lines: every line but the last ends with its
// only newline, and the lines put together give back the input exactly.
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <string>

#include "utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *stream = fmemopen(const_cast<uint8_t *>(data), size, "r");
  if (!stream)
    return 0;
  std::string joined;
  while (auto line = read_whole_line(stream)) {
    assert(!line->empty());
    assert(line->find('\n') == std::string::npos || line->find('\n') == line->size() - 1);
    joined += *line;
  }
  std::fclose(stream);
  assert(joined == std::string(reinterpret_cast<const char *>(data), size));
  return 0;
}
