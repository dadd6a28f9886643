// The cookie jar: Set-Cookie parsing under the domain and path rules, the
// selection of cookies for a request, and the cookie file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct url;

// Bounds that keep a hostile server from growing the jar without limit; past
// a bound the cookie is dropped, never the run.
constexpr size_t MAX_COOKIE_NAME_VALUE = 4096;     // bytes of name plus value
constexpr int MAX_COOKIES_PER_RESPONSE = 50;       // Set-Cookie headers honoured per response
constexpr int MAX_COOKIES_PER_DOMAIN = 50;         // cookies under one domain and port
constexpr size_t MAX_COOKIE_FILE_LINE = 16384;     // longer cookie file lines are skipped

// Expiry value of a cookie that never expires.
constexpr uint64_t COOKIE_NEVER_EXPIRES = UINT64_MAX;

// One stored cookie; the jar owns the chain.
struct cookie {
  std::optional<std::string> domain;  // Domain attribute, else the URL's host; none while parsing
  int port = 80;                      // port of the URL that set it (or from the file)
  std::optional<std::string> path;    // Path attribute, else "/" + the URL's path; none while parsing
  int secure = 0;                     // send only over HTTPS
  int permanent = 0;                  // has an expiry time; only these are saved
  uint64_t expires_at = COOKIE_NEVER_EXPIRES;  // seconds since the epoch
  int discard = 0;                    // the header asked to delete a stored twin
  std::optional<std::string> name;    // none until the first pair is applied
  std::string value;                  // possibly empty
  cookie *next = nullptr;             // next cookie in the same chain
};

// Header processor for one Set-Cookie value of a response from u; always 1.
int set_cookie_header_cb(std::string_view value, const url &u);
// Starts the per-response count of Set-Cookie headers.
void cookies_new_response();
// A new cookie from a Set-Cookie value, or none on a syntax error (logged).
cookie *parse_set_cookies(std::string_view text);
// 1 when host may set a cookie for domain.
int check_domain_match(const std::string &domain, const std::string &host);
// 1 when the text is four dot-separated groups of digits.
int numeric_address_p(std::string_view text);
// Takes ownership of c and makes it the head of its chain, replacing a twin.
void store_cookie(cookie *c);
// Deletes the stored twin of c (same domain, port, path and name), if any.
void discard_matching_cookie(const cookie &c);
// Head of the chain stored for domain and port, or null.
cookie *find_cookie_chain_exact(const std::string &domain, int port);
// 0 when cookie_path does not apply to url_path (given without its leading
// "/"); else the length of cookie_path.
int path_matches(std::string_view url_path, std::string_view cookie_path);

// The "Cookie: ...\r\n" line for a request, or none when no cookie applies.
std::optional<std::string> build_cookies_request(const std::string &host, int port,
                                                 std::string_view path, int connection_secure_p);
// Reads a cookie file into the jar.
void load_cookies(const std::string &file);
// Writes the jar's permanent, unexpired cookies to a cookie file.
void save_cookies(const std::string &file);
// Empties and frees the jar.
void cookies_cleanup();
