// The HTTP client: one HTTP/1.0 exchange (request, response head, outcome and
// body), the header value parsers it uses, and the HTTP date parser.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "connect.h"
#include "ssl.h"
#include "status.h"

struct url;

// Bits describing one retrieved document, filled by the retrieval loops.
enum document_flags_bits {
  DOC_HTML = 1,                  // Content-Type begins with "text/html"
  DOC_RETRIEVED = 2,             // the response allowed the document to be stored
  DOC_HEAD_ONLY = 4,             // send HEAD instead of GET; no body is read
  DOC_NO_CACHE = 8,              // send "Pragma: no-cache"
  DOC_ACCEPT_RANGES = 16,        // the server may honour ranges
  DOC_ADDED_HTML_EXTENSION = 32, // ".html" was appended to the local name
  DOC_WRITTEN = 64,              // this retrieval stored the body in its local file
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

// One connection of an exchange: the socket and, over HTTPS, the SSL
// connection on it.  Destroying it shuts the SSL connection down, then closes
// the socket.
struct http_connection {
  unique_fd fd;  // the socket; empty when there is no connection
  ssl_conn ssl;  // the SSL connection over fd; null for plain HTTP
};

// What one exchange learned, shared by every attempt of a retrieval.  Owned
// by the retrieval loop; the loop sets restart_at, no_truncate, referer,
// local_file and output_start before each exchange.
struct http_response_info {
  int64_t received = 0;    // document bytes present locally after the exchange
  int64_t expected = -1;   // total announced length (resume included); -1 unknown
  int64_t restart_at = 0;  // offset to resume from, 0 for a full transfer; zeroed when the range is ignored
  int read_result = -1;    // -1 before a body; 0 no body; else get_contents' result
  std::optional<std::string> new_location;   // first Location value
  std::optional<std::string> last_modified;  // first Last-Modified value
  std::optional<std::string> status_text;    // reason phrase or "(no description)",
                                             // "Malformed status line", "No data received"
  int status_code = -1;    // HTTP status, -1 when the status line was not parsed
  int64_t elapsed = 0;     // ms spent copying the body
  int no_truncate = 0;     // the local file is non-empty under -c: never start over
  std::optional<std::string> referer;        // sent as Referer
  std::string *local_file = nullptr;         // the loop's local name; may grow ".html"
  int64_t output_start = 0;  // offset in a named output document where this retrieval began
  bool backups_rotated = false;  // numbered backups were already rotated in this retrieval
};

// One HTTP/1.0 exchange for u (through proxy when given): request, head,
// redirection and resume decisions, and the body into *hs.local_file or the
// output document.  dt holds the document_flags_bits.  Returns
// TRANSFER_FINISHED, REDIRECTED, NOTHING_TO_DO, RESUME_UNSUPPORTED,
// RANGE_MISMATCH, FILE_OPEN_FAILED, FILE_WRITE_FAILED, SSL_CONTEXT_FAILED,
// HOST_FAILED, CONNECT_REFUSED, CONNECT_FAILED, SSL_CONNECT_FAILED,
// WRITE_FAILED, HEADER_EOF, HEADER_READ_FAILED or AUTH_FAILED.
status_t gethttp(const url &u, http_response_info &hs, int &dt, const url *proxy);

// Retrieves one HTTP or HTTPS URL (through proxy when given), with retries,
// time-stamping and resumption.  newloc receives the last Location seen;
// local_file (when given) supplies the local name or, when empty, receives
// url_filename's; referer is sent as Referer; dt receives the
// document_flags_bits.  Returns RETRIEVAL_OK, REDIRECTED, RETRIEVAL_FAILED,
// TRIES_EXHAUSTED or a fatal status of gethttp.
status_t http_loop(const url &u, std::optional<std::string> &newloc, std::string *local_file,
                   const std::optional<std::string> &referer, int &dt, const url *proxy);

// The kept-alive slot: at most one idle connection kept between exchanges.

// Keeps conn for the next exchange to host:port; a connection kept before
// is closed.
void register_persistent(const std::string &host, uint16_t port, http_connection conn);
// 1 when the kept connection fits host (same addresses), port and security
// and is still idle; a kept connection found closed is dropped.
int persistent_available_p(const std::string &host, uint16_t port, int ssl);
// The kept connection, handed to the caller; the slot is empty afterwards.
http_connection persistent_take();
// Empties the slot; a connection still held by it is closed.
void persistent_invalidate();
// Closes a connection of an exchange (SSL shut down first).
void close_and_forget(http_connection &conn);
// Gives back the slot's address list and closes its connection.
void http_cleanup();
