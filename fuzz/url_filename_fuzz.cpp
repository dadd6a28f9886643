// Whatever the URL and the naming settings, the local name stays inside the
// directory prefix: no "." or ".." or empty component below it, and no NUL.
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "settings.h"
#include "url.h"

// Release builds drop assert(); a fuzz target must always check.
#define CHECK(cond) ((cond) ? (void)0 : std::abort())

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  static const char *const prefixes[] = {".", "dl", "/tmp/fuzz-prefix", "../up"};
  opt.dirstruct = data[0] & 1;
  opt.addhostdir = (data[0] >> 1) & 1;
  opt.cutdirs = (data[0] >> 2) & 3;
  opt.dirprefix = prefixes[(data[0] >> 4) & 3];
  std::string_view rest(reinterpret_cast<const char *>(data + 1), size - 1);
  size_t cut = rest.find('\n');
  std::optional<url> u = url_parse("http://" + std::string(rest.substr(0, cut)));
  if (!u)
    return 0;
  if (cut != std::string_view::npos && (data[0] & 0x40))
    url_set_file(*u, rest.substr(cut + 1));
  else if (cut != std::string_view::npos)
    url_set_dir(*u, rest.substr(cut + 1));

  std::string name = url_filename(*u);
  std::string prefix = *opt.dirprefix == "." ? "" : *opt.dirprefix + "/";
  CHECK(name.starts_with(prefix) && name.find('\0') == std::string::npos);
  std::string below = "/" + name.substr(prefix.size()) + "/";
  CHECK(below.find("//") == std::string::npos);
  CHECK(below.find("/./") == std::string::npos && below.find("/../") == std::string::npos);
  return 0;
}
