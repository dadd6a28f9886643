// A user's .netrc of any shape parses without reading past a line.
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "netrc.h"
#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::string path = "/tmp/tuvo-netrc-fuzz-" + std::to_string(getpid());
  static bool quiet_stderr = freopen("/dev/null", "w", stderr) != nullptr;
  (void)quiet_stderr;
  FILE *fp = fopen(path.c_str(), "wb");
  if (!fp)
    return 0;
  fwrite(data, 1, size, fp);
  fclose(fp);
  // Tokens never run across a line's end.
  for (const netrc_entry &entry : parse_netrc(path)) {
    assert(entry.login.find('\n') == std::string::npos);
    assert(!entry.password || entry.password->find('\n') == std::string::npos);
  }
  return 0;
}
