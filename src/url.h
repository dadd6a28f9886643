// URLs: the parsed record, the scheme table, escaping, relative resolution,
// and the local file names that retrieved URLs are stored under.
//
// Character tests and case folding here are plain ASCII, independent of the
// locale.  Hexadecimal digits this module writes are upper case.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

// Supported schemes, in the order of the scheme table.
enum scheme_t {
  SCHEME_HTTP = 0,
  SCHEME_HTTPS = 1,
  SCHEME_FTP = 2,
  SCHEME_INVALID = 3,  // no scheme, an unrecognised one, or a disabled one
};

// A parsed URL.  Made by url_parse; a plain value that owns all its texts.
// `path` is escaped and `dir`/`file` are its decoded halves; url_set_dir and
// url_set_file keep `path` and `url` in step with them.
struct url {
  std::string url;                      // canonical text; never holds the fragment
  scheme_t scheme = SCHEME_INVALID;     // never SCHEME_INVALID once parsed
  std::string host;                     // lower-cased, never empty
  int port = 0;                         // explicit port (1..65535 or 0), else the scheme's default
  std::string path;                     // without its leading "/", escaped, simplified; may be empty
  std::optional<std::string> params;    // after ";" up to "?" or "#"; empty for a bare ";"
  std::optional<std::string> query;     // after "?" up to "#"
  std::optional<std::string> fragment;  // after "#"
  std::string dir;                      // decoded `path` before its last "/", or empty
  std::string file;                     // decoded `path` after its last "/", possibly empty
  std::optional<std::string> user;      // as written, escapes not decoded
  std::optional<std::string> passwd;    // as written; empty after a bare ":"; never without `user`
};

// Parse error codes; url_error gives their texts.
enum url_parse_error {
  PARSE_OK = 0,
  PARSE_UNSUPPORTED_SCHEME = 1,
  PARSE_EMPTY_HOST = 2,
  PARSE_BAD_PORT = 3,
  PARSE_BAD_USER = 4,
};

// Character classes of URL bytes (bits of urlchr_table).
enum {
  URLCHR_RESERVED = 1,
  URLCHR_UNSAFE = 2,
};
extern const std::array<unsigned char, 256> urlchr_table;

// True when byte c has any of the class bits in mask.
inline bool urlchr_test(unsigned char c, int mask) { return (urlchr_table[c] & mask) != 0; }

// The scheme whose leading string starts the text (any case); SCHEME_INVALID
// when none does or that scheme is disabled.
scheme_t url_scheme(std::string_view text);
// True when the text starts with zero or more of [A-Za-z0-9+-] and then ":".
bool url_has_scheme(std::string_view text);
// The scheme's default port (-1 for SCHEME_INVALID).
int scheme_default_port(scheme_t scheme);
// Makes URLs of the scheme fail to parse with "Unsupported scheme" from now on.
void scheme_disable(scheme_t scheme);

// The full URL for the shorthands host[:port][/path] (http) and host:dir
// (ftp); none when the text already has a scheme or has an empty host part.
std::optional<std::string> rewrite_shorthand_url(std::string_view text);

// The parsed record, or none with the error code stored in *error (when given).
std::optional<url> url_parse(std::string_view text, int *error = nullptr);
// The fixed text of a parse error code (0..4).
const char *url_error(int code);
// The URL as text, without fragment; the password shows as "*password*"
// when hide_password is set.
std::string url_string(const url &u, bool hide_password);
// "/" + path, then ";" + params and "?" + query where present: a request target.
std::string url_full_path(const url &u);
// Replaces the decoded directory and rebuilds `path` and `url`.
void url_set_dir(url &u, std::string_view dir);
// Replaces the decoded file and rebuilds `path` and `url`.
void url_set_file(url &u, std::string_view file);
// Releases a record before its owner goes out of scope.
void url_free(std::optional<url> &u);

// Makes a URL text safe to send without changing its meaning: escapes unsafe
// bytes and lone "%", unescapes needless escapes.  None when nothing changes.
std::optional<std::string> reencode_string(std::string_view text);
// Every unsafe byte escaped; none when no byte is unsafe.
std::optional<std::string> encode_string_maybe(std::string_view text);
// Every unsafe byte escaped; always a new text.
std::string encode_string(std::string_view text);
// Replaces each "%" and two hex digits by its byte, in place; never lengthens.
void decode_string(std::string &text);

// The link resolved against the base URL text; always a new text.
std::string uri_merge(std::string_view base, std::string_view link);
// Removes "." and ".." components and repeated slashes from a URL path (given
// without its first "/"), in place; true when anything was removed.
bool path_simplify(std::string &path);

// The local file name for a URL under the current settings (dirstruct,
// addhostdir, cutdirs, dirprefix, noclobber, alwaysrest, timestamping).
// Whatever the URL holds, the name stays inside `dirprefix` (or the current
// directory): no ".." or "." component, no leading "/", no NUL, and a "/"
// that came from decoding never starts a directory.
std::string url_filename(const url &u);
// Keeps `backups` numbered copies: name.(i-1) → name.i, then name → name.1.
// Does nothing when the name exists and is not a regular file.
void rotate_backups(const std::string &name);
