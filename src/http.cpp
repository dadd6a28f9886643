#include "http.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "ascii.h"
#include "auth.h"
#include "cookies.h"
#include "headers.h"
#include "host.h"
#include "log.h"
#include "netrc.h"
#include "rbuf.h"
#include "recur.h"
#include "retr.h"
#include "settings.h"
#include "url.h"
#include "utils.h"

namespace {

bool is_lws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Reads the decimal digits at pos into value.  False when there is no digit
// or the number does not fit: a length that wrapped would look like a small or
// negative size and corrupt the resume arithmetic.
bool read_number(std::string_view text, size_t &pos, int64_t &value) {
  const int64_t max = std::numeric_limits<int64_t>::max();
  size_t start = pos;
  value = 0;
  for (; pos < text.size() && c_isdigit(text[pos]); ++pos) {
    int digit = text[pos] - '0';
    if (value > (max - digit) / 10)
      return false;
    value = value * 10 + digit;
  }
  return pos > start;
}

// A value emitted on one request line must not be able to start another.
std::string single_line(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != '\r' && c != '\n')
      out += c;
  return out;
}

}  // namespace

std::string compose_http_request(const http_request_parts &parts) {
  std::string request;
  request.reserve(256 + parts.target.size() + (parts.user_header ? parts.user_header->size() : 0));
  request += parts.head_only ? "HEAD" : "GET";
  request += ' ';
  request += single_line(parts.target);
  request += " HTTP/1.0\r\nUser-Agent: ";
  request += single_line(parts.user_agent);
  request += "\r\nHost: ";
  request += single_line(parts.host);
  if (parts.port != parts.default_port)
    request += ":" + std::to_string(parts.port);
  request += "\r\nAccept: */*\r\n";
  if (parts.keep_alive)
    request += "Connection: Keep-Alive\r\n";
  if (parts.referer)
    request += "Referer: " + single_line(*parts.referer) + "\r\n";
  if (parts.cookie_line)
    request += *parts.cookie_line;
  if (parts.authorization_line)
    request += *parts.authorization_line;
  if (parts.proxy_authorization_line)
    request += *parts.proxy_authorization_line;
  if (parts.restart_at != 0)
    request += "Range: bytes=" + std::to_string(parts.restart_at) + "-\r\n";
  if (parts.no_cache)
    request += "Pragma: no-cache\r\n";
  if (parts.user_header)
    request += *parts.user_header;
  request += "\r\n";
  return request;
}

int parse_http_status_line(std::string_view line, std::string_view &reason) {
  reason = {};
  if (line.substr(0, 5) != "HTTP/")
    return -1;
  size_t pos = 5;

  // Only the sign of the major version matters (0.9 is refused), so its
  // digits are checked rather than accumulated.
  bool major_positive = false;
  size_t start = pos;
  for (; pos < line.size() && c_isdigit(line[pos]); ++pos)
    major_positive |= line[pos] != '0';
  if (pos == start || !major_positive || pos >= line.size() || line[pos] != '.')
    return -1;
  start = ++pos;
  while (pos < line.size() && c_isdigit(line[pos]))
    ++pos;
  if (pos == start || pos >= line.size() || line[pos] != ' ')
    return -1;
  ++pos;

  if (line.size() - pos < 3 || !c_isdigit(line[pos]) || !c_isdigit(line[pos + 1]) ||
      !c_isdigit(line[pos + 2]))
    return -1;
  int code = 100 * (line[pos] - '0') + 10 * (line[pos + 1] - '0') + (line[pos + 2] - '0');
  pos += 3;
  if (pos == line.size()) {
    reason = line.substr(pos);
    return code;
  }
  if (line[pos] != ' ')
    return -1;
  reason = line.substr(pos + 1);
  return code;
}

int http_process_range(std::string_view value, http_content_range &range) {
  size_t pos = 0;
  if (c_startswith_nocase(value, "bytes")) {
    pos = 5;
    if (pos < value.size() && value[pos] == ':')
      ++pos;
    while (pos < value.size() && is_lws(value[pos]))
      ++pos;
    if (pos == value.size())
      return 0;
  }
  int64_t first = 0, last = 0, length = 0;
  if (!read_number(value, pos, first))
    return 0;
  if (pos + 1 >= value.size() || value[pos] != '-' || !c_isdigit(value[pos + 1]))
    return 0;
  ++pos;
  if (!read_number(value, pos, last))
    return 0;
  if (pos + 1 >= value.size() || value[pos] != '/' || !c_isdigit(value[pos + 1]))
    return 0;
  ++pos;
  if (!read_number(value, pos, length))
    return 0;
  range = {first, last, length};
  return 1;
}

int http_process_type(std::string_view value, std::optional<std::string> &type) {
  std::string_view media = value.substr(0, value.find(';'));
  while (!media.empty() && c_isspace(media.back()))
    media.remove_suffix(1);
  type = std::string(media);
  return 1;
}

int http_process_none(std::string_view value, int &none_seen) {
  none_seen = value.find("none") != std::string_view::npos;
  return 1;
}

int http_process_connection(std::string_view value, int &keep_alive) {
  if (c_strcaseeq(value, "Keep-Alive"))
    keep_alive = 1;
  return 1;
}

namespace {

// What may follow an accepted date: nothing, "GMT", or a numeric zone.  The
// zone is not evaluated; every date is taken as UTC.
bool acceptable_date_tail(const char *rest) {
  while (c_isspace(*rest))
    ++rest;
  if (*rest == '\0')
    return true;
  if (std::string_view(rest).substr(0, 3) == "GMT")
    return true;
  return (*rest == '+' || *rest == '-') && c_isdigit(rest[1]);
}

}  // namespace

std::optional<int64_t> http_atotm(std::string_view text) {
  static const char *const formats[] = {
      "%a, %d %b %Y %T",  // RFC 1123
      "%A, %d-%b-%y %T",  // RFC 850
      "%a, %d-%b-%Y %T",  // RFC 850 with a four-digit year
      "%a %b %d %T %Y",   // asctime
  };
  std::string copy(text.substr(0, text.find('\0')));
  struct tm broken {};
  broken.tm_isdst = 0;
  for (const char *format : formats) {
    const char *rest = strptime(copy.c_str(), format, &broken);
    if (rest == nullptr || !acceptable_date_tail(rest))
      continue;
    broken.tm_isdst = 0;
    return int64_t(timegm(&broken));
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// The kept-alive slot

namespace {

bool pc_active_p = false;
address_list_ptr pc_last_host_ip;  // addresses of the host the kept connection went to
uint16_t pc_last_port = 0;
http_connection pc_last;           // the kept socket and its SSL connection
bool pc_active_ssl = false;

void forget_slot(int fd) {
  if (pc_active_p)
    DEBUGP(("Invalidating fd %d from further reuse.\n", fd));
  pc_active_p = false;
  pc_active_ssl = false;
  if (pc_last_host_ip)
    address_list_release(pc_last_host_ip);
}

}  // namespace

void persistent_invalidate() {
  forget_slot(pc_last.fd.get());
  close_and_forget(pc_last);
}

void register_persistent(const std::string &host, uint16_t port, http_connection conn) {
  if (pc_active_p)
    persistent_invalidate();
  assert(pc_last_host_ip == nullptr);
  pc_last_host_ip = lookup_host(host, 1);
  assert(pc_last_host_ip != nullptr);
  pc_last_port = port;
  pc_active_ssl = conn.ssl != nullptr;
  pc_last = std::move(conn);
  pc_active_p = true;
  DEBUGP(("Registered fd %d for persistent reuse.\n", pc_last.fd.get()));
}

int persistent_available_p(const std::string &host, uint16_t port, int ssl) {
  if (!pc_active_p || port != pc_last_port || bool(ssl) != pc_active_ssl)
    return 0;
  address_list_ptr addresses = lookup_host(host, 1);
  if (!addresses)
    return 0;
  int same = address_list_match_all(*addresses, *pc_last_host_ip);
  address_list_release(addresses);
  if (!same)
    return 0;
  // Anything readable on an idle connection means the server closed it (or
  // sent something we cannot place); either way it is no longer usable.
  if (!test_socket_open(pc_last.fd.get())) {
    persistent_invalidate();
    return 0;
  }
  return 1;
}

http_connection persistent_take() {
  int fd = pc_last.fd.get();
  http_connection conn = std::move(pc_last);
  forget_slot(fd);
  return conn;
}

void close_and_forget(http_connection &conn) {
  conn.ssl.reset();
  conn.fd.reset();
}

void http_cleanup() { persistent_invalidate(); }

// ---------------------------------------------------------------------------
// One exchange

namespace {

// Created by the first HTTPS exchange and kept for the run.
ssl_ctx_ptr ssl_ctx;

// The state of one exchange, shared by the head and the outcome halves.
struct exchange {
  const url &u;                // the document's URL
  const url *proxy;            // the proxy, or null
  const url &conn_url;         // where the connection goes: the proxy or u
  http_response_info &hs;
  int &dt;
  bool inhibit_keep_alive;     // no reuse offered or accepted (setting off, or a proxy)
  std::optional<std::string> auth_challenge{};  // first WWW-Authenticate value
  bool auth_tried = false;     // the answer to the challenge was sent
  bool reused = false;         // the connection came from the kept-alive slot
  http_connection conn{};
  rbuf rb{};
  std::optional<std::string> content_type{};
  int64_t content_length = -1;
  int64_t range_start = -1;
  int keep_alive_header = 0;
  int connection_keep_alive = 0;
  bool keep_alive = false;     // keep the connection after a complete body
  std::string all_headers{};   // with saveheaders: every head line plus "\n"
};

std::optional<status_t> setup_ssl_context() {
  if (ssl_ctx)
    return std::nullopt;
  switch (init_ssl(ssl_ctx)) {
    case SSL_CERT_FILE_FAILED:
      logprintf(LOG_NOTQUIET, "Failed to load certificates from %s\n",
                opt.sslcertfile.value_or("").c_str());
      ssl_printerrors();
      logputs(LOG_NOTQUIET, "Trying without the specified certificate\n");
      break;
    case SSL_KEY_FILE_FAILED:
      logprintf(LOG_NOTQUIET, "Failed to get certificate key from %s\n",
                opt.sslcertkey.value_or("").c_str());
      ssl_printerrors();
      logputs(LOG_NOTQUIET, "Trying without the specified certificate\n");
      break;
    case SSL_CONTEXT_FAILED:
      logputs(LOG_NOTQUIET, "Failed to set up an SSL context\n");
      ssl_printerrors();
      return SSL_CONTEXT_FAILED;
    default:
      break;
  }
  return std::nullopt;
}

void reset_attempt(exchange &ex) {
  close_and_forget(ex.conn);
  ex.reused = false;
  ex.keep_alive = false;
  ex.keep_alive_header = 0;
  ex.connection_keep_alive = 0;
  ex.content_type.reset();
  ex.content_length = -1;
  ex.range_start = -1;
  ex.all_headers.clear();
  ex.hs.received = 0;
  ex.hs.expected = -1;
  ex.hs.read_result = -1;
  ex.hs.new_location.reset();
  ex.hs.last_modified.reset();
  ex.hs.status_text.reset();
  ex.hs.status_code = -1;
}

std::optional<status_t> open_connection(exchange &ex) {
  const url &target = ex.conn_url;
  bool want_ssl = target.scheme == SCHEME_HTTPS;
  if (!ex.inhibit_keep_alive && persistent_available_p(target.host, uint16_t(target.port), want_ssl)) {
    logprintf(LOG_VERBOSE, "Reusing connection to %s:%hu.\n", target.host.c_str(),
              static_cast<unsigned short>(target.port));
    ex.conn = persistent_take();
    ex.reused = true;
    DEBUGP(("Reusing fd %d.\n", ex.conn.fd.get()));
    return std::nullopt;
  }
  address_list_ptr addresses = lookup_host(target.host, 0);
  if (!addresses)
    return HOST_FAILED;
  set_connection_host_name(target.host.c_str());
  int fd = connect_to_many(*addresses, uint16_t(target.port), 0);
  int saved_errno = errno;
  set_connection_host_name(nullptr);
  address_list_release(addresses);
  if (fd < 0)
    return saved_errno == ECONNREFUSED ? CONNECT_REFUSED : CONNECT_FAILED;
  ex.conn.fd = unique_fd(fd);
  if (want_ssl && connect_ssl(ex.conn.ssl, ssl_ctx.get(), fd, target.host) != 0) {
    logputs(LOG_VERBOSE, "\n");
    logputs(LOG_NOTQUIET, "Unable to establish SSL connection.\n");
    ssl_printerrors();
    close_and_forget(ex.conn);
    return SSL_CONNECT_FAILED;
  }
  return std::nullopt;
}

// A user name or password as the URL carries it is escaped ("%40" for "@");
// the server must see the characters themselves.
std::optional<std::string> decoded_credential(const std::optional<std::string> &escaped) {
  if (!escaped)
    return std::nullopt;
  std::string text = *escaped;
  decode_string(text);
  return text;
}

std::string build_request(const exchange &ex) {
  const url &u = ex.u;
  const char *method = (ex.dt & DOC_HEAD_ONLY) ? "HEAD" : "GET";
  std::string full_path = url_full_path(u);
  http_request_parts parts;
  parts.head_only = ex.dt & DOC_HEAD_ONLY;
  parts.target = ex.proxy ? u.url : full_path;
  parts.user_agent = opt.useragent ? *opt.useragent : std::string("Tuvo/") + TUVO_VERSION;
  parts.host = u.host;
  parts.port = u.port;
  parts.default_port = scheme_default_port(u.scheme);
  parts.keep_alive = !ex.inhibit_keep_alive;
  parts.referer = ex.hs.referer;
  if (opt.cookies)
    parts.cookie_line = build_cookies_request(u.host, u.port, u.path, u.scheme == SCHEME_HTTPS);

  std::optional<std::string> user = decoded_credential(u.user), passwd = decoded_credential(u.passwd);
  search_netrc(u.host, user, passwd, 0);
  if (!user)
    user = opt.httpuser;
  if (!passwd)
    passwd = opt.httppasswd;
  if (user && passwd) {
    if (ex.auth_challenge)
      parts.authorization_line = create_authorization_line(
          *ex.auth_challenge, user->c_str(), passwd->c_str(), method, full_path.c_str());
    else
      parts.authorization_line = basic_authentication_encode(*user, *passwd, "Authorization");
  }
  if (ex.proxy) {
    std::optional<std::string> proxy_user = decoded_credential(ex.proxy->user);
    std::optional<std::string> proxy_passwd = decoded_credential(ex.proxy->passwd);
    if (opt.proxyuser && opt.proxypasswd) {
      proxy_user = opt.proxyuser;
      proxy_passwd = opt.proxypasswd;
    }
    if (proxy_user && proxy_passwd)
      parts.proxy_authorization_line =
          basic_authentication_encode(*proxy_user, *proxy_passwd, "Proxy-Authorization");
  }
  parts.restart_at = ex.hs.restart_at;
  parts.no_cache = ex.dt & DOC_NO_CACHE;
  parts.user_header = opt.user_header;
  return compose_http_request(parts);
}

std::optional<status_t> send_request(exchange &ex) {
  std::string request = build_request(ex);
  DEBUGP(("---request begin---\n%s---request end---\n", request.c_str()));
  ssize_t written = ex.conn.ssl ? ssl_iwrite(ex.conn.ssl.get(), request.data(), request.size())
                                : iwrite(ex.conn.fd.get(), request.data(), request.size());
  if (written <= 0) {
    int saved_errno = errno;
    logprintf(LOG_VERBOSE, "Failed writing HTTP request: %s.\n", std::strerror(saved_errno));
    close_and_forget(ex.conn);
    errno = saved_errno;
    return WRITE_FAILED;
  }
  logprintf(LOG_VERBOSE, "%s request sent, awaiting response... ", ex.proxy ? "Proxy" : "HTTP");
  return std::nullopt;
}

int content_type_processor(const char *value, void *closure) {
  return http_process_type(value, *static_cast<std::optional<std::string> *>(closure));
}
int accept_ranges_processor(const char *value, void *closure) {
  return http_process_none(value, *static_cast<int *>(closure));
}
int content_range_processor(const char *value, void *closure) {
  return http_process_range(value, *static_cast<http_content_range *>(closure));
}
int connection_processor(const char *value, void *closure) {
  return http_process_connection(value, *static_cast<int *>(closure));
}
int set_cookie_processor(const char *value, void *closure) {
  return set_cookie_header_cb(value, *static_cast<const url *>(closure));
}

// Offers one header line to the processors; the first that takes it wins,
// and a repeated header of the first-wins kind is ignored.
void process_header(exchange &ex, const std::string &line) {
  int64_t number;
  if (ex.content_length == -1 && !opt.ignorelength &&
      header_process(line, "Content-Length", header_extract_number, &number)) {
    ex.content_length = number;
    return;
  }
  if (!ex.content_type && header_process(line, "Content-Type", content_type_processor, &ex.content_type))
    return;
  if (!ex.hs.new_location && header_process(line, "Location", header_strdup, &ex.hs.new_location))
    return;
  if (!ex.hs.last_modified &&
      header_process(line, "Last-Modified", header_strdup, &ex.hs.last_modified))
    return;
  if (opt.cookies &&
      header_process(line, "Set-Cookie", set_cookie_processor, const_cast<url *>(&ex.u)))
    return;
  if (!ex.auth_challenge &&
      header_process(line, "WWW-Authenticate", header_strdup, &ex.auth_challenge))
    return;
  int none = 0;
  if ((ex.dt & DOC_ACCEPT_RANGES) &&
      header_process(line, "Accept-Ranges", accept_ranges_processor, &none)) {
    if (none)
      ex.dt &= ~DOC_ACCEPT_RANGES;
    return;
  }
  http_content_range range;
  if (ex.range_start == -1 && header_process(line, "Content-Range", content_range_processor, &range)) {
    ex.range_start = range.first_byte;
    return;
  }
  if (ex.inhibit_keep_alive)
    return;
  if (!ex.keep_alive_header && header_process(line, "Keep-Alive", header_exists, &ex.keep_alive_header))
    return;
  if (!ex.connection_keep_alive)
    header_process(line, "Connection", connection_processor, &ex.connection_keep_alive);
}

status_t head_failed(exchange &ex, status_t status, int saved_errno) {
  logputs(LOG_VERBOSE, "\n");
  if (status == HEADER_READ_FAILED)
    logprintf(LOG_NOTQUIET, "Read error (%s) in headers.\n", std::strerror(saved_errno));
  else
    logputs(LOG_NOTQUIET, "End of file while parsing headers.\n");
  close_and_forget(ex.conn);
  errno = saved_errno;
  return status;
}

// header_get reports the end of stream it meets while looking past a
// complete line for a continuation just as one inside a line, but only the
// latter cuts the head short: a server may close right after its last header
// line.  The look-ahead leaves last_read alone, so a last block read that was
// not empty tells the complete line apart.
bool line_cut_short(const rbuf &rb, const std::string &line) {
  return !line.empty() && rb.last_read == 0;
}

// Reads the status line and the headers.  An end of stream before the first
// byte on a reused connection means the server dropped the idle connection
// just as it was taken: that is a retryable end of file, not an answer.
std::optional<status_t> read_head(exchange &ex) {
  http_response_info &hs = ex.hs;
  ex.dt &= ~DOC_RETRIEVED;
  rbuf_initialize(ex.rb, ex.conn.fd.get());
  ex.rb.ssl = ex.conn.ssl.get();
  if (opt.cookies)
    cookies_new_response();
  std::string line;
  for (int n = 1;; ++n) {
    int result = header_get(ex.rb, line, n == 1 ? HEADER_LINE_NO_CONTINUATION : 0);
    bool ended = result == HEADER_LINE_EOF;
    if (ended && (line_cut_short(ex.rb, line) || (n == 1 && ex.reused)))
      return head_failed(ex, HEADER_EOF, errno);
    if (result == HEADER_LINE_ERROR)
      return head_failed(ex, HEADER_READ_FAILED, errno);
    if (opt.saveheaders) {
      ex.all_headers += line;
      ex.all_headers += '\n';
    }
    if (n == 1) {
      std::string_view reason;
      hs.status_code = parse_http_status_line(line, reason);
      if (hs.status_code == -1) {
        hs.status_text = line.empty() ? "No data received" : "Malformed status line";
        return std::nullopt;
      }
      hs.status_text = reason.empty() ? std::string("(no description)") : std::string(reason);
      if (!opt.debug) {
        if (opt.serverresponse)
          logprintf(LOG_VERBOSE, "\n%2d %s", n, line.c_str());
        else
          logprintf(LOG_VERBOSE, "%2d %s", hs.status_code, hs.status_text->c_str());
      }
      continue;
    }
    if (line.empty())
      return std::nullopt;
    if (opt.serverresponse)
      logprintf(LOG_VERBOSE, "\n%2d %s", n, line.c_str());
    process_header(ex, line);
    if (ended)
      return std::nullopt;
  }
}

// Answers a 401: repeats the attempt once with a Digest answer; Basic
// credentials went with the first request already.
std::optional<status_t> handle_challenge(exchange &ex) {
  ex.content_type.reset();
  ex.hs.new_location.reset();
  ex.hs.last_modified.reset();
  ex.hs.status_text.reset();
  close_and_forget(ex.conn);
  const std::string &challenge = *ex.auth_challenge;
  bool basic = c_startswith_nocase(challenge, "Basic") &&
               (challenge.size() == 5 || c_isspace(challenge[5]));
  if (ex.auth_tried || basic) {
    logputs(LOG_NOTQUIET, "Authorization failed.\n");
    ex.auth_challenge.reset();
    return AUTH_FAILED;
  }
  if (!known_authentication_scheme_p(challenge)) {
    ex.auth_challenge.reset();
    logputs(LOG_NOTQUIET, "Unknown authentication scheme.\n");
    return AUTH_FAILED;
  }
  ex.auth_tried = true;
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// The local file

// The trusted directory the name lies in (the user's: the download directory,
// or the name's own directory when it is outside it) and the components below
// it, the last being the file itself.
struct local_path {
  std::string base;
  std::vector<std::string> below;
};

local_path split_local_name(const std::string &name) {
  std::string prefix = opt.dirprefix.value_or(".");
  std::string rest;
  local_path path;
  if (prefix != "." && name.size() > prefix.size() + 1 && name.compare(0, prefix.size(), prefix) == 0 &&
      name[prefix.size()] == '/') {
    path.base = prefix;
    rest = name.substr(prefix.size() + 1);
  } else if (name.empty() ||
             (name[0] != '/' && (prefix == "." || name.find('/') == std::string::npos))) {
    path.base = ".";
    rest = name;
  } else {
    size_t slash = name.rfind('/');
    path.base = slash == 0 ? "/" : name.substr(0, slash);
    rest = name.substr(slash + 1);
  }
  size_t start = 0;
  while (start <= rest.size()) {
    size_t slash = rest.find('/', start);
    if (slash == std::string::npos)
      slash = rest.size();
    if (slash > start)
      path.below.push_back(rest.substr(start, slash - start));
    start = slash + 1;
  }
  return path;
}

// 0 when no directory below the base is a symbolic link (missing ones are
// fine: they are made later), else -1 with errno ELOOP.  Checked before any
// directory is made or file renamed, so nothing happens through such a link.
int check_directories(const local_path &path) {
  std::string dir = path.base;
  for (size_t i = 0; i + 1 < path.below.size(); ++i) {
    dir += "/" + path.below[i];
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0)
      return 0;
    if (S_ISLNK(st.st_mode)) {
      errno = ELOOP;
      return -1;
    }
  }
  return 0;
}

// Opens the file for writing without following a symbolic link anywhere
// below the base: each directory is opened with O_NOFOLLOW, so a link swapped
// in after the check still cannot redirect the write.  A link at the file's
// own name is removed when starting from scratch; when appending it is an
// error, since the resume offset was not counted from a file of ours.
// Returns the descriptor (caller owns it) or -1 with errno.
int open_local_file(const local_path &path, bool append) {
  if (path.below.empty()) {
    errno = EISDIR;
    return -1;
  }
  unique_fd dir(open(path.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir)
    return -1;
  for (size_t i = 0; i + 1 < path.below.size(); ++i) {
    int next = openat(dir.get(), path.below[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0)
      return -1;
    dir = unique_fd(next);
  }
  const char *file = path.below.back().c_str();
  struct stat st;
  if (!append && fstatat(dir.get(), file, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode) &&
      unlinkat(dir.get(), file, 0) != 0)
    return -1;
  int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
  return openat(dir.get(), file, flags, 0666);
}

bool is_directory(const std::string &name) {
  struct stat st;
  return stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Size of the regular file (not a link) called name, 0 when there is none.
int64_t regular_file_size(const std::string &name) {
  struct stat st;
  if (lstat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return 0;
  return st.st_size;
}

// Cuts a named output document back to where the current retrieval began.
// Standard output, or anything that is not a regular file, is never rewound:
// what is already there belongs to somebody else.
void restart_output_document(FILE *out, int64_t start) {
  if (opt.outputdocument == "-")
    return;
  fflush(out);
  struct stat st;
  if (fstat(fileno(out), &st) != 0 || !S_ISREG(st.st_mode))
    return;
  // Only cut what is there: truncating a file that is already that short
  // costs nothing here, but makes ext4 flush the whole file on close.
  if (st.st_size > start && ftruncate(fileno(out), start) != 0)
    return;
  fseeko(out, start, SEEK_SET);
  clearerr(out);
}

// Appends ".html" to the local name of an HTML document whose name does not
// end in ".htm" or ".html" (any case), at most once per retrieval.
bool add_html_extension(exchange &ex) {
  std::string &name = *ex.hs.local_file;
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) {
    std::string_view suffix = std::string_view(name).substr(dot);
    if (c_strcaseeq(suffix, ".htm") || c_strcaseeq(suffix, ".html"))
      return false;
  }
  name += ".html";
  ex.dt |= DOC_ADDED_HTML_EXTENSION;
  return true;
}

// The grown name is a different file: the no-clobber, numbered-name and -c
// decisions made for the old name are made again for it.  Returns a status
// to end with, or none; sets repeat when the request sent does not fit the
// new name (its Range was counted from another file) and must be made again.
std::optional<status_t> redecide_for_new_name(exchange &ex, bool &repeat) {
  http_response_info &hs = ex.hs;
  std::string &name = *hs.local_file;
  if (opt.noclobber && file_exists_p(name)) {
    logprintf(LOG_VERBOSE, "File `%s' already there, will not retrieve.\n", name.c_str());
    hs.read_result = 0;
    close_and_forget(ex.conn);
    return NOTHING_TO_DO;
  }
  bool keeps_name = opt.noclobber || opt.alwaysrest || opt.timestamping || opt.dirstruct;
  if (!keeps_name || is_directory(name))
    name = unique_name(name);
  int64_t wanted = opt.alwaysrest ? regular_file_size(name) : 0;
  if (wanted != hs.restart_at) {
    hs.restart_at = wanted;
    hs.no_truncate = opt.alwaysrest && wanted != 0;
    close_and_forget(ex.conn);
    repeat = true;
  }
  return std::nullopt;
}

// Whether the response's range fits the resume request.
std::optional<status_t> check_resume(exchange &ex) {
  http_response_info &hs = ex.hs;
  if (ex.range_start == -1) {
    if (opt.alwaysrest && hs.restart_at > 0 && ex.content_length != -1 &&
        hs.restart_at >= ex.content_length) {
      logputs(LOG_VERBOSE, "\n    The file is already fully retrieved; nothing to do.\n\n");
      hs.received = ex.content_length;
      hs.read_result = 0;
      close_and_forget(ex.conn);
      return NOTHING_TO_DO;
    }
    if (opt.alwaysrest && hs.no_truncate) {
      logprintf(LOG_NOTQUIET,
                "\nContinued download failed on this file, which conflicts with `-c'.\n"
                "Refusing to truncate existing file `%s'.\n\n",
                hs.local_file->c_str());
      close_and_forget(ex.conn);
      return RESUME_UNSUPPORTED;
    }
    hs.restart_at = 0;
    return std::nullopt;
  }
  if (ex.range_start != hs.restart_at) {
    close_and_forget(ex.conn);
    return RANGE_MISMATCH;
  }
  return std::nullopt;
}

void report_length(const exchange &ex) {
  if (opt.verbose <= 0 || !(ex.dt & DOC_RETRIEVED) || opt.serverresponse)
    return;
  logputs(LOG_VERBOSE, "Length: ");
  if (ex.content_length != -1) {
    logputs(LOG_VERBOSE, legible(ex.content_length).c_str());
    if (ex.range_start != -1)
      logprintf(LOG_VERBOSE, " (%s to go)", legible(ex.content_length - ex.range_start).c_str());
  } else {
    logputs(LOG_VERBOSE, opt.ignorelength ? "ignored" : "unspecified");
  }
  if (ex.content_type)
    logprintf(LOG_VERBOSE, " [%s]\n", ex.content_type->c_str());
  else
    logputs(LOG_VERBOSE, "\n");
}

// Opens the destination of the body: the local file, or the output document.
// Returns the stream and whether it is ours to close, or null with errno.
FILE *open_destination(exchange &ex, bool &owned) {
  http_response_info &hs = ex.hs;
  if (opt.output_document_stream) {
    owned = false;
    if (hs.restart_at == 0)
      restart_output_document(opt.output_document_stream, hs.output_start);
    return opt.output_document_stream;
  }
  owned = true;
  const std::string &name = *hs.local_file;
  local_path path = split_local_name(name);
  if (check_directories(path) != 0)
    return nullptr;
  mkalldirs(name);
  bool append = hs.restart_at != 0;
  if (opt.backups && !append && !hs.backups_rotated) {
    rotate_backups(name);
    hs.backups_rotated = true;
  }
  int fd = open_local_file(path, append);
  if (fd < 0)
    return nullptr;
  FILE *out = fdopen(fd, append ? "ab" : "wb");
  if (!out) {
    int saved_errno = errno;
    close(fd);
    errno = saved_errno;
  }
  return out;
}

// What the response means once its head is read: redirection, resume
// decisions, and the body into the destination.
status_t finish_exchange(exchange &ex, bool &repeat) {
  http_response_info &hs = ex.hs;
  int status = hs.status_code;
  if (status >= 200 && status < 300)
    ex.dt |= DOC_RETRIEVED;
  if (status == 300 || status == 301 || status == 302) {
    if (status == 300 && !hs.new_location) {
      ex.dt |= DOC_RETRIEVED;
    } else {
      logprintf(LOG_VERBOSE, "Location: %s%s\n",
                hs.new_location ? hs.new_location->c_str() : "unspecified",
                hs.new_location ? " [following]" : "");
      close_and_forget(ex.conn);
      return REDIRECTED;
    }
  }
  if (ex.content_type && c_startswith_nocase(*ex.content_type, "text/html"))
    ex.dt |= DOC_HTML;
  else
    ex.dt &= ~DOC_HTML;

  bool writes_body = (ex.dt & DOC_RETRIEVED) && !(ex.dt & DOC_HEAD_ONLY);
  if (opt.htmlextension && (ex.dt & DOC_HTML) && !(ex.dt & DOC_ADDED_HTML_EXTENSION) &&
      add_html_extension(ex) && writes_body && !opt.output_document_stream) {
    if (auto done = redecide_for_new_name(ex, repeat))
      return *done;
    if (repeat)
      return TRANSFER_FINISHED;
  }

  // Only a document or a refused range says anything about the local copy;
  // an error page's length must not be taken for the document's.
  if ((status >= 200 && status < 300) || status == 416)
    if (auto done = check_resume(ex))
      return *done;

  if (hs.restart_at != 0 && ex.range_start != -1) {
    if (ex.content_length == -1)
      ex.range_start = -1;
    else if (ex.content_length > std::numeric_limits<int64_t>::max() - ex.range_start)
      ex.content_length = -1;
    else
      ex.content_length += ex.range_start;
  }
  hs.expected = ex.content_length;
  report_length(ex);

  if (!writes_body) {
    hs.received = 0;
    hs.read_result = 0;
    close_and_forget(ex.conn);
    return TRANSFER_FINISHED;
  }

  bool owned = false;
  FILE *out = open_destination(ex, owned);
  if (!out) {
    int saved_errno = errno;
    logprintf(LOG_NOTQUIET, "%s: %s\n", hs.local_file->c_str(), std::strerror(saved_errno));
    close_and_forget(ex.conn);
    errno = saved_errno;
    return FILE_OPEN_FAILED;
  }
  if (opt.saveheaders)
    fwrite(ex.all_headers.data(), 1, ex.all_headers.size(), out);
  hs.read_result = get_contents(ex.conn.fd.get(), out, &hs.received, hs.restart_at,
                                hs.expected == -1 ? 0 : hs.expected, &ex.rb, ex.keep_alive,
                                &hs.elapsed);
  int saved_errno = errno;
  if (owned ? fclose(out) != 0 : (fflush(out) != 0 || ferror(out))) {
    saved_errno = errno;
    hs.read_result = -2;
  }
  // Only a complete body leaves the connection at a message boundary.
  if (ex.keep_alive && hs.read_result >= 0 && hs.received == hs.expected)
    register_persistent(ex.conn_url.host, uint16_t(ex.conn_url.port), std::move(ex.conn));
  else
    close_and_forget(ex.conn);
  errno = saved_errno;
  return hs.read_result == -2 ? FILE_WRITE_FAILED : TRANSFER_FINISHED;
}

}  // namespace

status_t gethttp(const url &u, http_response_info &hs, int &dt, const url *proxy) {
  const url &conn_url = proxy ? *proxy : u;
  // Only HTTPS needs the context: a failure to make it must not stop plain HTTP.
  if (conn_url.scheme == SCHEME_HTTPS)
    if (auto failed = setup_ssl_context())
      return *failed;
  assert((dt & DOC_HEAD_ONLY) || (hs.local_file && !hs.local_file->empty()));

  exchange ex{u, proxy, conn_url, hs, dt, !opt.httpkeepalive || proxy != nullptr};
  for (;;) {
    reset_attempt(ex);
    if (auto failed = open_connection(ex))
      return *failed;
    if (auto failed = send_request(ex))
      return *failed;
    if (auto failed = read_head(ex))
      return *failed;
    logputs(LOG_VERBOSE, "\n");
    if (ex.content_length != -1 && (ex.keep_alive_header || ex.connection_keep_alive)) {
      assert(!ex.inhibit_keep_alive);
      ex.keep_alive = true;
    }
    if (hs.status_code == 401 && ex.auth_challenge) {
      if (auto failed = handle_challenge(ex))
        return *failed;
      continue;
    }
    ex.auth_challenge.reset();
    bool repeat = false;
    status_t result = finish_exchange(ex, repeat);
    if (!repeat)
      return result;
  }
}

// ---------------------------------------------------------------------------
// The retrieval loop

namespace {

bool cookies_loaded_p = false;

// Where the output document stands now: the start of this retrieval's part.
// Zero for anything that cannot be cut back (standard output, pipes).
int64_t output_document_position() {
  FILE *out = opt.output_document_stream;
  struct stat st;
  if (!out || opt.outputdocument == "-" || fstat(fileno(out), &st) != 0 || !S_ISREG(st.st_mode))
    return 0;
  fflush(out);
  off_t position = ftello(out);
  return position < 0 ? 0 : position;
}

// The local copy a time-stamp comparison is made against.
struct local_copy {
  std::string name;
  time_t mtime = -1;
  int64_t size = 0;
};

std::optional<local_copy> find_local_copy(const std::string &name) {
  std::vector<std::string> candidates;
  // Link conversion keeps the server's version of a converted page there.
  if (opt.backupconverted)
    candidates.push_back(name + ".orig");
  candidates.push_back(name);
  for (const std::string &candidate : candidates) {
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0)
      return local_copy{candidate, st.st_mtime, st.st_size};
  }
  return std::nullopt;
}

bool transfer_complete(const http_response_info &hs) {
  return hs.received == hs.expected ||
         (hs.read_result == 0 &&
          (hs.expected == -1 || (hs.received >= hs.expected && !opt.killlonger)));
}

long long ll(int64_t value) { return static_cast<long long>(value); }

// The one-line reports of a finished body; true when the document counts as
// saved, false when the attempt is to be retried.
bool report_outcome(const url &u, const http_response_info &hs, const std::string &tms,
                    const std::string &shown, int count) {
  std::string rate = retr_rate(hs.received - hs.restart_at, hs.elapsed, 0);
  const char *t = tms.c_str(), *r = rate.c_str(), *f = shown.c_str(), *text = u.url.c_str();
  int64_t n = hs.received, e = hs.expected;
  if (n == e) {
    logprintf(LOG_VERBOSE, "%s (%s) - `%s' saved [%lld/%lld]\n\n", t, r, f, ll(e), ll(e));
    logprintf(LOG_NONVERBOSE, "%s URL:%s [%lld/%lld] -> \"%s\" [%d]\n", t, text, ll(n), ll(e), f, count);
    return true;
  }
  if (hs.read_result >= 0) {
    if (e == -1) {
      logprintf(LOG_VERBOSE, "%s (%s) - `%s' saved [%lld]\n\n", t, r, f, ll(n));
      logprintf(LOG_NONVERBOSE, "%s URL:%s [%lld] -> \"%s\" [%d]\n", t, text, ll(n), f, count);
      return true;
    }
    if (n < e) {
      logprintf(LOG_VERBOSE, "%s (%s) - Connection closed at byte %lld. ", t, r, ll(n));
      return false;
    }
    if (!opt.killlonger) {
      logprintf(LOG_VERBOSE, "%s (%s) - `%s' saved [%lld/%lld])\n\n", t, r, f, ll(n), ll(e));
      logprintf(LOG_NONVERBOSE, "%s URL:%s [%lld/%lld] -> \"%s\" [%d]\n", t, text, ll(n), ll(e), f, count);
      return true;
    }
    logprintf(LOG_VERBOSE, "%s (%s) - Connection closed at byte %lld/%lld. ", t, r, ll(n), ll(e));
    return false;
  }
  const char *error = std::strerror(errno);
  if (e == -1)
    logprintf(LOG_VERBOSE, "%s (%s) - Read error at byte %lld (%s).", t, r, ll(n), error);
  else
    logprintf(LOG_VERBOSE, "%s (%s) - Read error at byte %lld/%lld (%s). ", t, r, ll(n), ll(e), error);
  return false;
}

void free_response_texts(http_response_info &hs) {
  hs.new_location.reset();
  hs.last_modified.reset();
  hs.status_text.reset();
}

}  // namespace

status_t http_loop(const url &u, std::optional<std::string> &newloc, std::string *local_file,
                   const std::optional<std::string> &referer, int &dt, const url *proxy) {
  if (opt.cookies && opt.loadcookies && !cookies_loaded_p) {
    load_cookies(*opt.loadcookies);
    cookies_loaded_p = true;
  }
  newloc.reset();
  if (u.url.find('*') != std::string::npos)
    logputs(LOG_VERBOSE, "Warning: wildcards not supported in HTTP.\n");

  std::string temporary;
  std::string *name = local_file ? local_file : &temporary;
  if (name->empty())
    *name = url_filename(u);
  http_response_info hs;
  hs.local_file = name;
  hs.referer = referer;
  hs.output_start = output_document_position();
  auto shown_name = [&]() { return opt.outputdocument ? *opt.outputdocument : *name; };
  std::string shown = shown_name();

  if (opt.noclobber && file_exists_p(*name)) {
    logprintf(LOG_VERBOSE, "File `%s' already there, will not retrieve.\n", name->c_str());
    dt = DOC_RETRIEVED;
    std::optional<std::string> ext = suffix(*name);
    if (ext == "html" || ext == "htm")
      dt |= DOC_HTML;
    return RETRIEVAL_OK;
  }

  std::optional<local_copy> compared;
  if (opt.timestamping)
    compared = find_local_copy(*name);
  bool comparison_pending = compared.has_value();
  bool head_answered = false;
  std::optional<int64_t> remote_time;
  // Only bytes that this retrieval wrote may be continued: an older copy
  // that happens to lie under the same name is not a prefix of this document.
  bool wrote_local = false;

  int count = 0;
  dt = DOC_ACCEPT_RANGES;
  for (;;) {
    ++count;
    sleep_between_retrievals(count);
    std::string tms = time_str(nullptr);
    if (opt.verbose > 0) {
      char tries_text[32] = "        ";
      if (count > 1)
        std::snprintf(tries_text, sizeof tries_text, "(try:%2d)", count);
      logprintf(LOG_VERBOSE, "--%s--  %s\n  %s => `%s'\n", tms.c_str(), url_string(u, true).c_str(),
                tries_text, shown.c_str());
    }
    if (opt.spider || (comparison_pending && !head_answered))
      dt |= DOC_HEAD_ONLY;
    else
      dt &= ~DOC_HEAD_ONLY;

    hs.restart_at = 0;
    if ((count > 1 && (dt & DOC_ACCEPT_RANGES) && wrote_local) || opt.alwaysrest) {
      int64_t size = regular_file_size(shown);
      if (opt.output_document_stream)
        size = size > hs.output_start ? size - hs.output_start : 0;
      hs.restart_at = size;
    }
    hs.no_truncate = opt.alwaysrest && hs.restart_at != 0;
    if ((proxy && count > 1) || !opt.cache)
      dt |= DOC_NO_CACHE;
    else
      dt &= ~DOC_NO_CACHE;

    status_t err = gethttp(u, hs, dt, proxy);
    int saved_errno = errno;
    shown = shown_name();
    tms = time_str(nullptr);
    if (hs.new_location)
      newloc = hs.new_location;

    switch (err) {
      case CONNECT_FAILED:
      case HEADER_EOF:
      case HEADER_READ_FAILED:
      case RANGE_MISMATCH:
      case WRITE_FAILED:
        free_response_texts(hs);
        printwhat(count, opt.tries);
        if (opt.tries && count >= opt.tries)
          return TRIES_EXHAUSTED;
        continue;
      case HOST_FAILED:
      case CONNECT_REFUSED:
      case RESUME_UNSUPPORTED:
      case AUTH_FAILED:
      case SSL_CONTEXT_FAILED:
        return err;
      case FILE_OPEN_FAILED:
      case FILE_WRITE_FAILED:
        logputs(LOG_VERBOSE, "\n");
        logprintf(LOG_NOTQUIET, "Cannot write to `%s' (%s).\n", name->c_str(), std::strerror(saved_errno));
        return err;
      case SSL_CONNECT_FAILED:
        logputs(LOG_VERBOSE, "\n");
        logputs(LOG_NOTQUIET, "Unable to establish SSL connection.\n");
        return err;
      case REDIRECTED:
        if (hs.new_location)
          return REDIRECTED;
        logprintf(LOG_NOTQUIET, "ERROR: Redirection (%d) without location.\n", hs.status_code);
        return RETRIEVAL_FAILED;
      case NOTHING_TO_DO:
        return RETRIEVAL_OK;
      default:
        break;
    }
    assert(err == TRANSFER_FINISHED);

    if (!(dt & DOC_RETRIEVED)) {
      if (opt.verbose <= 0)
        logprintf(LOG_NONVERBOSE, "%s:\n", url_string(u, true).c_str());
      logprintf(LOG_NOTQUIET, "%s ERROR %d: %s.\n", tms.c_str(), hs.status_code,
                hs.status_text.value_or("").c_str());
      logputs(LOG_VERBOSE, "\n");
      return RETRIEVAL_FAILED;
    }
    if (!(dt & DOC_HEAD_ONLY))
      wrote_local = true;

    if (!head_answered) {
      if (opt.timestamping && !hs.last_modified)
        logputs(LOG_NOTQUIET, "Last-modified header missing -- time-stamps turned off.\n");
      if (hs.last_modified) {
        remote_time = http_atotm(*hs.last_modified);
        if (!remote_time)
          logputs(LOG_VERBOSE, "Last-modified header invalid -- time-stamp ignored.\n");
      }
    }

    if (comparison_pending) {
      head_answered = true;
      dt &= ~DOC_HEAD_ONLY;
      comparison_pending = false;
      count = 0;
      if (hs.last_modified && remote_time) {
        if (compared->mtime >= *remote_time) {
          if (hs.expected == -1 || compared->size == hs.expected) {
            logprintf(LOG_VERBOSE, "Server file no newer than local file `%s' -- not retrieving.\n\n",
                      compared->name.c_str());
            return RETRIEVAL_OK;
          }
          logprintf(LOG_VERBOSE, "The sizes do not match (local %lld) -- retrieving.\n", ll(compared->size));
        } else {
          logputs(LOG_VERBOSE, "Remote file is newer, retrieving.\n");
        }
      }
      free_response_texts(hs);
      continue;
    }

    if (remote_time && !opt.spider && transfer_complete(hs)) {
      if (!opt.output_document_stream)
        touch(*name, time_t(*remote_time));
      else if (opt.output_document_regular)
        touch(*opt.outputdocument, time_t(*remote_time));
    }
    if (opt.spider) {
      logprintf(LOG_NOTQUIET, "%d %s\n\n", hs.status_code, hs.status_text.value_or("").c_str());
      return RETRIEVAL_OK;
    }

    errno = saved_errno;
    if (report_outcome(u, hs, tms, shown, count)) {
      dt |= DOC_WRITTEN;
      ++opt.downloaded_files;
      downloaded_increase(hs.received);
      downloaded_file((dt & DOC_ADDED_HTML_EXTENSION) ? DL_HTML_SUFFIX_ADDED : DL_NORMAL, shown);
      return RETRIEVAL_OK;
    }
    free_response_texts(hs);
    printwhat(count, opt.tries);
    if (opt.tries && count >= opt.tries)
      return TRIES_EXHAUSTED;
  }
}
