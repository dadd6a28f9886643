#include "http.h"

#include <cstdint>
#include <ctime>
#include <limits>
#include <string>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_lws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_space(char c) { return is_lws(c) || c == '\v' || c == '\f'; }

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i]))
      return false;
  return true;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equal_ignoring_case(text.substr(0, prefix.size()), prefix);
}

// Reads the decimal digits at pos into value.  False when there is no digit
// or the number does not fit: a length that wrapped would look like a small or
// negative size and corrupt the resume arithmetic.
bool read_number(std::string_view text, size_t &pos, int64_t &value) {
  const int64_t max = std::numeric_limits<int64_t>::max();
  size_t start = pos;
  value = 0;
  for (; pos < text.size() && is_digit(text[pos]); ++pos) {
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
  for (; pos < line.size() && is_digit(line[pos]); ++pos)
    major_positive |= line[pos] != '0';
  if (pos == start || !major_positive || pos >= line.size() || line[pos] != '.')
    return -1;
  start = ++pos;
  while (pos < line.size() && is_digit(line[pos]))
    ++pos;
  if (pos == start || pos >= line.size() || line[pos] != ' ')
    return -1;
  ++pos;

  if (line.size() - pos < 3 || !is_digit(line[pos]) || !is_digit(line[pos + 1]) ||
      !is_digit(line[pos + 2]))
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
  if (starts_with_ignoring_case(value, "bytes")) {
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
  if (pos + 1 >= value.size() || value[pos] != '-' || !is_digit(value[pos + 1]))
    return 0;
  ++pos;
  if (!read_number(value, pos, last))
    return 0;
  if (pos + 1 >= value.size() || value[pos] != '/' || !is_digit(value[pos + 1]))
    return 0;
  ++pos;
  if (!read_number(value, pos, length))
    return 0;
  range = {first, last, length};
  return 1;
}

int http_process_type(std::string_view value, std::optional<std::string> &type) {
  std::string_view media = value.substr(0, value.find(';'));
  while (!media.empty() && is_space(media.back()))
    media.remove_suffix(1);
  type = std::string(media);
  return 1;
}

int http_process_none(std::string_view value, int &none_seen) {
  none_seen = value.find("none") != std::string_view::npos;
  return 1;
}

int http_process_connection(std::string_view value, int &keep_alive) {
  if (equal_ignoring_case(value, "Keep-Alive"))
    keep_alive = 1;
  return 1;
}

namespace {

// What may follow an accepted date: nothing, "GMT", or a numeric zone.  The
// zone is not evaluated; every date is taken as UTC.
bool acceptable_date_tail(const char *rest) {
  while (is_space(*rest))
    ++rest;
  if (*rest == '\0')
    return true;
  if (std::string_view(rest).substr(0, 3) == "GMT")
    return true;
  return (*rest == '+' || *rest == '-') && is_digit(rest[1]);
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
