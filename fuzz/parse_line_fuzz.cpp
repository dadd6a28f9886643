// A startup-file line through the parser and then its setter.
#undef NDEBUG  // the invariants below must hold in every build
#include <cassert>
#include <cstdint>
#include <string>

#include "ascii.h"
#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string line(reinterpret_cast<const char *>(data), size);
  std::string name, value;
  defaults();
  if (parse_line(line, name, value) != 1)
    return 0;
  assert(!name.empty() && name.find_first_of("_-") == std::string::npos);
  assert(value.empty() || (!c_isspace(value.front()) && !c_isspace(value.back())));
  // The address setter asks the resolver, which may ask the network.
  if (c_strcaseeq(name, "bindaddress"))
    return 0;
  setval(name.c_str(), value.c_str());
  assert(opt.quota >= 0 && opt.limitrate >= 0 && opt.dotbytes >= 0);
  assert(opt.tries >= 0 && opt.wait >= 0 && opt.waitretry >= 0 && opt.backups <= 1000);
  return 0;
}
