// Cookie files are read back from disk: any bytes load without a crash.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "cookies.h"
#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::string path = "/tmp/tuvo-cookie-fuzz-" + std::to_string(getpid());
  opt.quiet = 1;
  FILE *fp = fopen(path.c_str(), "wb");
  if (!fp)
    return 0;
  fwrite(data, 1, size, fp);
  fclose(fp);
  load_cookies(path);
  build_cookies_request("example.com", 80, "", 0);
  cookies_cleanup();
  return 0;
}
