// The HTTP client: one HTTP/1.0 exchange (request, response head, outcome and
// body), the header value parsers it uses, and the HTTP date parser.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Bits describing one retrieved document, filled by the retrieval loops.
enum document_flags_bits {
  DOC_HTML = 1,                  // Content-Type begins with "text/html"
  DOC_RETRIEVED = 2,             // the response allowed the document to be stored
  DOC_HEAD_ONLY = 4,             // send HEAD instead of GET; no body is read
  DOC_NO_CACHE = 8,              // send "Pragma: no-cache"
  DOC_ACCEPT_RANGES = 16,        // the server may honour ranges
  DOC_ADDED_HTML_EXTENSION = 32, // ".html" was appended to the local name
};

// The first byte, last byte and entity length of a Content-Range value.
struct http_content_range {
  int64_t first_byte = -1;
  int64_t last_byte = -1;
  int64_t entity_length = -1;
};

// The parts of one request, already decided; compose_http_request lays them
// out.  Absent optional lines are std::nullopt.
struct http_request_parts {
  bool head_only = false;                         // "HEAD" instead of "GET"
  std::string target;                             // request target: full URL via a proxy, else the path
  std::string user_agent;                         // the User-Agent value
  std::string host;                               // the origin host (never the proxy's)
  int port = 80;                                  // the origin port
  int default_port = 80;                          // the scheme's default port; Host omits a port equal to it
  bool keep_alive = false;                        // offer "Connection: Keep-Alive"
  std::optional<std::string> referer;             // Referer value
  std::optional<std::string> cookie_line;         // complete Cookie header line(s), ending CR LF
  std::optional<std::string> authorization_line;  // complete Authorization line, ending CR LF
  std::optional<std::string> proxy_authorization_line; // complete Proxy-Authorization line
  int64_t restart_at = 0;                         // Range start; 0 means no Range line
  bool no_cache = false;                          // "Pragma: no-cache"
  std::optional<std::string> user_header;         // extra lines, each ending CR LF
};

// The request text, byte for byte, ending with the empty line.  CR and LF are
// dropped from the single-line values so that no value can add a header.
std::string compose_http_request(const http_request_parts &parts);

// Status code 0..999 of an "HTTP/x.y nnn reason" line, or -1 when malformed.
// reason is set to the reason phrase (a view into line), empty when absent.
int parse_http_status_line(std::string_view line, std::string_view &reason);

// Content-Range processor: 1 and range filled for "bytes a-b/c" (the word,
// an optional colon and blanks first); 0 when malformed or a number does not
// fit in 64 bits (the header then counts as absent).
int http_process_range(std::string_view value, http_content_range &range);

// Content-Type processor: stores the media type (up to ";", trailing white
// space removed); returns 1.
int http_process_type(std::string_view value, std::optional<std::string> &type);

// Accept-Ranges processor: none_seen = 1 when the value contains "none",
// else 0; returns 1.
int http_process_none(std::string_view value, int &none_seen);

// Connection processor: keep_alive = 1 when the value is "Keep-Alive" in any
// case, otherwise untouched; returns 1.
int http_process_connection(std::string_view value, int &keep_alive);

// Seconds since the epoch (UTC) of an HTTP date in RFC 1123, RFC 850 (two- or
// four-digit year) or asctime form; none when the text is not such a date.
std::optional<int64_t> http_atotm(std::string_view text);
