// Merging never fails and keeps the link; simplifying never lengthens a path
// and leaves no "." or ".." component and no empty one.
#include <algorithm>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "url.h"

// Release builds drop assert(); a fuzz target must always check.
#define CHECK(cond) ((cond) ? (void)0 : std::abort())

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  size_t cut = text.find('\n');
  std::string_view base = text.substr(0, cut);
  std::string_view link = cut == std::string_view::npos ? std::string_view() : text.substr(cut + 1);
  std::string merged = uri_merge(base, link);
  CHECK(merged.ends_with(link.empty() ? base : link));

  std::string path(text);
  bool changed = path_simplify(path);
  CHECK(path.size() <= size && changed == (path.size() != size));
  // Components between slashes; only the last may be empty (a trailing "/").
  for (size_t at = path.starts_with("/") ? 1 : 0; at < path.size();) {
    size_t end = std::min(path.find('/', at), path.size());
    std::string_view part(path.data() + at, end - at);
    CHECK(part != "." && part != ".." && (!part.empty() || end == path.size()));
    at = end + 1;
  }
  return 0;
}
