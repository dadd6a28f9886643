// WWW-Authenticate challenges from a hostile server: an answer, when one is
// made, is a single header line.
#include <cassert>
#include <cstdint>
#include <string_view>

#include "auth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view challenge(reinterpret_cast<const char *>(data), size);
  known_authentication_scheme_p(challenge);
  if (std::optional<std::string> line = create_authorization_line(challenge, "user", "pass", "GET", "/x"))
    assert(line->find_first_of("\r\n") == line->size() - 2);
  return 0;
}
