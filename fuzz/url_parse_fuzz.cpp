// Any byte string either fails to parse or gives a record whose printed form
// parses back to the same host, port, path and query.
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "url.h"

// Release builds drop assert(); a fuzz target must always check.
#define CHECK(cond) ((cond) ? (void)0 : std::abort())

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  int error = -1;
  std::optional<url> u = url_parse(text, &error);
  if (!u) {
    CHECK(error > PARSE_OK && error <= PARSE_BAD_USER && url_error(error));
    return 0;
  }
  CHECK(!u->host.empty() && u->port >= 0 && u->port <= 65535);
  CHECK(!u->passwd || u->user);
  std::optional<url> again = url_parse(url_string(*u, false));
  CHECK(again && again->host == u->host && again->port == u->port);
  CHECK(again->path == u->path && again->query == u->query);
  url_string(*u, true);
  return 0;
}
