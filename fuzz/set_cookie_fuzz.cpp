// Set-Cookie values from a hostile server: no crash, and nothing stored may
// carry a line break or control byte into a request or the cookie file.
#include <cassert>
#include <cstdint>
#include <string_view>

#include "cookies.h"
#include "settings.h"
#include "url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static url from = *url_parse("http://a.b.example.com:8080/dir/page");
  opt.quiet = 1;
  cookies_new_response();
  set_cookie_header_cb(std::string_view(reinterpret_cast<const char *>(data), size), from);
  for (std::string_view domain : {"a.b.example.com", ".example.com", ".b.example.com", "example.com"})
    for (cookie *c = find_cookie_chain_exact(std::string(domain), 8080); c; c = c->next)
      for (char ch : *c->name + c->value)
        assert(ch == '\t' || (static_cast<unsigned char>(ch) >= 32 && ch != 127));
  if (std::optional<std::string> line = build_cookies_request("a.b.example.com", 8080, "dir/page", 1))
    assert(line->find('\n') == line->size() - 1);
  cookies_cleanup();
  return 0;
}
