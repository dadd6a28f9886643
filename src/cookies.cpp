#include "cookies.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "hash.h"
#include "http.h"
#include "log.h"
#include "url.h"
#include "ascii.h"
#include "utils.h"

namespace {

using cookie_jar = hash_table<std::string, cookie *>;
// The jar: "domain:port" (case-folded) to the chain of cookies stored there,
// newest first.  Created by the first stored cookie.
std::unique_ptr<cookie_jar> cookies_hash_table;
uint64_t cookies_now = 0;
int cookies_this_response = 0;

const char *const special_toplevel_domains[] = {".com", ".edu", ".net", ".org", ".gov", ".mil", ".int"};

uint64_t current_time() {
  time_t now = time(nullptr);
  return now < 0 ? 0 : static_cast<uint64_t>(now);
}

bool blank_p(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool name_char_p(char c) { return c >= 33 && c <= 126 && c != '"' && c != '=' && c != ';' && c != ','; }

// A byte that must never reach the jar: a server could otherwise plant lines
// in the cookie file or in a later request.
bool forbidden_p(char c) { return (static_cast<unsigned char>(c) < 32 && c != '\t') || c == 127; }

std::string jar_key(const std::string &domain, int port) { return domain + ":" + std::to_string(port); }

// Seconds after now, saturating at "never" instead of wrapping.
uint64_t expiry_after(double seconds) {
  double when = static_cast<double>(cookies_now) + std::trunc(seconds);
  if (!(when < 18446744073709551615.0))
    return COOKIE_NEVER_EXPIRES;
  if (when <= 0)
    return 0;
  return static_cast<uint64_t>(when);
}

int update_cookie_field(cookie &c, std::string_view name, std::optional<std::string_view> value) {
  if (!c.name) {
    if (!value)
      return 0;
    c.name = std::string(name);
    c.value = std::string(*value);
    return 1;
  }
  auto present = [&] { return value && !value->empty(); };
  if (c_strcaseeq(name, "domain")) {
    if (!present())
      return 0;
    c.domain = std::string(*value);
    return 1;
  }
  if (c_strcaseeq(name, "path")) {
    if (!present())
      return 0;
    c.path = std::string(*value);
    return 1;
  }
  if (c_strcaseeq(name, "expires")) {
    if (!present())
      return 0;
    if (std::optional<int64_t> when = http_atotm(*value)) {
      c.permanent = 1;
      c.expires_at = *when < 0 ? 0 : static_cast<uint64_t>(*when);
    }
    if (c.expires_at < cookies_now)
      c.discard = 1;
    return 1;
  }
  if (c_strcaseeq(name, "max-age")) {
    if (!present())
      return 0;
    std::string text(*value);
    char *end = nullptr;
    double seconds = strtod(text.c_str(), &end);
    if (end == text.c_str() || std::isnan(seconds))
      seconds = -1;
    if (seconds == -1)
      return 0;
    c.permanent = 1;
    c.expires_at = expiry_after(seconds);
    if (seconds == 0)
      c.discard = 1;
    return 1;
  }
  if (c_strcaseeq(name, "secure")) {
    c.secure = 1;
    return 1;
  }
  return 1;
}

}  // namespace

cookie *parse_set_cookies(std::string_view text) {
  enum { BEFORE_NAME, IN_NAME, AFTER_NAME, BEFORE_VALUE, IN_VALUE, VALUE_BLANKS, IN_QUOTES,
         AFTER_QUOTES, APPLY_PAIR, DONE, FAILED, PREMATURE } state = BEFORE_NAME;
  auto c = std::make_unique<cookie>();
  size_t pos = 0;
  // The end of the text acts as the terminating NUL; an embedded control
  // byte is refused where it stands.
  auto at = [&](size_t i) -> char { return i < text.size() ? text[i] : '\0'; };
  auto at_end = [&] { return pos >= text.size(); };
  size_t name_b = 0, name_e = 0, value_b = 0, value_e = 0;
  bool has_value = false, value_e_set = false;

  if (text.empty())
    state = PREMATURE;
  while (state != DONE && state != FAILED && state != PREMATURE) {
    char ch = at(pos);
    if (!at_end() && forbidden_p(ch)) {
      state = FAILED;
      break;
    }
    switch (state) {
      case BEFORE_NAME:
        if (!at_end() && blank_p(ch)) {
          if (++pos >= text.size())
            state = PREMATURE;
        } else if (!at_end() && name_char_p(ch)) {
          name_b = pos++;
          state = IN_NAME;
        } else {
          state = FAILED;
        }
        break;
      case IN_NAME:
        if (!at_end() && name_char_p(ch)) {
          ++pos;
        } else if (at_end() || ch == ';' || ch == '=' || blank_p(ch)) {
          name_e = pos;
          state = AFTER_NAME;
        } else {
          state = FAILED;
        }
        break;
      case AFTER_NAME:
        if (!at_end() && blank_p(ch)) {
          ++pos;
        } else if (at_end() || ch == ';') {
          has_value = false;
          state = APPLY_PAIR;
        } else if (ch == '=') {
          ++pos;
          state = BEFORE_VALUE;
        } else {
          state = FAILED;
        }
        break;
      case BEFORE_VALUE:
        if (!at_end() && blank_p(ch)) {
          ++pos;
        } else if (!at_end() && ch == '"') {
          value_b = ++pos;
          value_e_set = false;
          has_value = true;
          state = at_end() ? PREMATURE : IN_QUOTES;
        } else if (at_end() || ch == ';') {
          value_b = value_e = pos;
          value_e_set = true;
          has_value = true;
          state = APPLY_PAIR;
        } else {
          value_b = pos;
          value_e_set = false;
          has_value = true;
          state = IN_VALUE;
        }
        break;
      case IN_VALUE:
        if (at_end() || ch == ';') {
          if (!value_e_set)
            value_e = pos;
          value_e_set = true;
          state = APPLY_PAIR;
        } else if (blank_p(ch)) {
          value_e = pos++;
          value_e_set = true;
          state = VALUE_BLANKS;
        } else {
          value_e_set = false;
          ++pos;
        }
        break;
      case VALUE_BLANKS:
        if (!at_end() && blank_p(ch))
          ++pos;
        else
          state = IN_VALUE;
        break;
      case IN_QUOTES:
        if (ch == '"') {
          value_e = pos++;
          value_e_set = true;
          state = AFTER_QUOTES;
        } else if (++pos >= text.size()) {
          state = PREMATURE;
        }
        break;
      case AFTER_QUOTES:
        if (at_end() || ch == ';')
          state = APPLY_PAIR;
        else if (blank_p(ch))
          ++pos;
        else
          state = FAILED;
        break;
      case APPLY_PAIR: {
        std::string_view name = text.substr(name_b, name_e - name_b);
        std::optional<std::string_view> value;
        if (has_value)
          value = text.substr(value_b, value_e - value_b);
        if (!update_cookie_field(*c, name, value)) {
          logprintf(LOG_NOTQUIET, "Error in Set-Cookie, field `%.*s'", static_cast<int>(name.size()),
                    name.data());
          state = FAILED;
          break;
        }
        if (!at_end())
          ++pos;
        state = at_end() ? DONE : BEFORE_NAME;
        break;
      }
      default:
        break;
    }
  }
  if (state == FAILED) {
    logprintf(LOG_NOTQUIET, "Syntax error in Set-Cookie at character `%c'.\n", at(pos));
    return nullptr;
  }
  if (state == PREMATURE) {
    logprintf(LOG_NOTQUIET, "Syntax error in Set-Cookie: premature end of string.\n");
    return nullptr;
  }
  if (c->name->size() + c->value.size() > MAX_COOKIE_NAME_VALUE) {
    DEBUGP(("Cookie %s too large, dropped.\n", c->name->c_str()));
    return nullptr;
  }
  return c.release();
}

void cookies_new_response() { cookies_this_response = 0; }

int set_cookie_header_cb(std::string_view value, const url &u) {
  cookies_now = current_time();
  if (++cookies_this_response > MAX_COOKIES_PER_RESPONSE) {
    DEBUGP(("Too many cookies in one response, dropped.\n"));
    return 1;
  }
  std::unique_ptr<cookie> c(parse_set_cookies(value));
  if (!c)
    return 1;
  if (c->domain) {
    if (!check_domain_match(*c->domain, u.host)) {
      DEBUGP(("Attempt to fake the domain: %s, %s\n", c->domain->c_str(), u.host.c_str()));
      return 1;
    }
  } else {
    c->domain = u.host;
  }
  if (c->path) {
    if (!path_matches(u.path, *c->path)) {
      DEBUGP(("Attempt to fake the path: %s, %s\n", c->path->c_str(), u.path.c_str()));
      return 1;
    }
  } else {
    c->path = "/" + u.path;
  }
  c->port = u.port;
  if (c->discard)
    discard_matching_cookie(*c);
  else
    store_cookie(c.release());
  return 1;
}

int numeric_address_p(std::string_view text) {
  size_t pos = 0;
  for (int group = 0; group < 4; group++) {
    if (group > 0) {
      if (pos >= text.size() || text[pos] != '.')
        return 0;
      ++pos;
    }
    size_t start = pos;
    while (pos < text.size() && c_isdigit(text[pos]))
      ++pos;
    if (pos == start)
      return 0;
  }
  return pos == text.size();
}

int check_domain_match(const std::string &domain, const std::string &host) {
  DEBUGP(("cdm: 1"));
  if (numeric_address_p(domain))
    return domain == host;
  DEBUGP((" 2"));
  if (c_strcaseeq(domain, host))
    return 1;
  DEBUGP((" 3"));
  int required_dots = 3;
  for (const char *tld : special_toplevel_domains)
    if (match_tail(domain.c_str(), tld)) {
      required_dots = 2;
      break;
    }
  if (domain[0] != '.')
    --required_dots;
  if (std::count(domain.begin(), domain.end(), '.') < required_dots)
    return 0;
  DEBUGP((" 4"));
  if (!match_tail(host.c_str(), domain.c_str()))
    return 0;
  DEBUGP((" 5"));
  if (domain[0] != '.' && host.size() > domain.size() && host[host.size() - domain.size() - 1] != '.')
    return 0;
  DEBUGP((" 6"));
  return 1;
}

int path_matches(std::string_view url_path, std::string_view cookie_path) {
  if (cookie_path.empty() || cookie_path[0] != '/')
    return 0;
  std::string_view rest = cookie_path.substr(1);
  if (url_path.substr(0, rest.size()) != rest)
    return 0;
  return static_cast<int>(cookie_path.size());
}

cookie *find_cookie_chain_exact(const std::string &domain, int port) {
  if (!cookies_hash_table)
    return nullptr;
  cookie **head = hash_table_get(*cookies_hash_table, jar_key(domain, port));
  return head ? *head : nullptr;
}

namespace {

// Unlinks the cookie of chain `head` with c's path and name; returns it, or
// null when there is none.  `head` is updated when the head itself goes.
cookie *unlink_twin(cookie *&head, const cookie &c) {
  for (cookie **link = &head; *link; link = &(*link)->next) {
    cookie *candidate = *link;
    if (candidate->path == c.path && candidate->name == c.name) {
      *link = candidate->next;
      return candidate;
    }
  }
  return nullptr;
}

std::string expiry_text(uint64_t when) {
  time_t t = when > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<time_t>(when);
  struct tm parts;
  char buffer[64];
  if (!localtime_r(&t, &parts) || !asctime_r(&parts, buffer))
    return "(out of range)\n";
  return buffer;
}

}  // namespace

void store_cookie(cookie *c) {
  std::unique_ptr<cookie> owned(c);
  if (!cookies_hash_table)
    cookies_hash_table = std::make_unique<cookie_jar>(make_nocase_string_hash_table<cookie *>(0));
  std::string key = jar_key(*c->domain, c->port);
  cookie **slot = hash_table_get(*cookies_hash_table, key);
  cookie *head = slot ? *slot : nullptr;
  if (std::unique_ptr<cookie> old{unlink_twin(head, *c)}) {
    DEBUGP(("Deleted old cookie (to be replaced.)\n"));
  } else {
    int stored = 0;
    for (cookie *p = head; p; p = p->next)
      ++stored;
    if (stored >= MAX_COOKIES_PER_DOMAIN) {
      DEBUGP(("Too many cookies for %s, dropped.\n", key.c_str()));
      return;
    }
  }
  c->next = head;
  hash_table_put(*cookies_hash_table, key, owned.release());
  DEBUGP(("\nStored cookie %s %d %s %s %d %s %s %s\n", c->domain->c_str(), c->port, c->path->c_str(),
          c->permanent ? "permanent" : "nonpermanent", c->secure, expiry_text(c->expires_at).c_str(),
          c->name->c_str(), c->value.c_str()));
}

void discard_matching_cookie(const cookie &c) {
  if (!cookies_hash_table || hash_table_count(*cookies_hash_table) == 0)
    return;
  std::string key = jar_key(*c.domain, c.port);
  cookie **slot = hash_table_get(*cookies_hash_table, key);
  if (!slot)
    return;
  cookie *head = *slot;
  std::unique_ptr<cookie> victim{unlink_twin(head, c)};
  if (!victim)
    return;
  if (head)
    *slot = head;
  else
    hash_table_remove(*cookies_hash_table, key);
  DEBUGP(("Discarded old cookie.\n"));
}

namespace {

int find_matching_chains(const std::string &host, int port, std::vector<cookie *> &chains) {
  chains.clear();
  if (!cookies_hash_table)
    return 0;
  auto look = [&](const std::string &domain) {
    if (cookie **head = hash_table_get(*cookies_hash_table, jar_key(domain, port)))
      chains.push_back(*head);
  };
  look(host);
  size_t last_dot = host.rfind('.');
  for (size_t dot = host.find('.'); dot != std::string::npos && dot < last_dot; dot = host.find('.', dot + 1))
    look(host.substr(dot));
  return static_cast<int>(chains.size());
}

struct selection {
  const cookie *c;
  size_t domain_goodness;
  int path_goodness;
};

}  // namespace

std::optional<std::string> build_cookies_request(const std::string &host, int port,
                                                 std::string_view path, int connection_secure_p) {
  std::vector<cookie *> chains;
  if (find_matching_chains(host, port, chains) == 0)
    return std::nullopt;
  cookies_now = current_time();

  std::vector<selection> entries;
  for (cookie *chain : chains)
    for (const cookie *c = chain; c; c = c->next) {
      if (c->expires_at < cookies_now || (c->secure && !connection_secure_p))
        continue;
      int goodness = path_matches(path, *c->path);
      if (goodness)
        entries.push_back({c, c->domain->size(), goodness});
    }
  if (entries.empty())
    return std::nullopt;

  std::sort(entries.begin(), entries.end(), [](const selection &a, const selection &b) {
    if (int order = a.c->name->compare(*b.c->name))
      return order < 0;
    return a.c->value < b.c->value;
  });
  entries.erase(std::unique(entries.begin(), entries.end(),
                            [](const selection &a, const selection &b) {
                              return *a.c->name == *b.c->name && a.c->value == b.c->value;
                            }),
                entries.end());
  std::stable_sort(entries.begin(), entries.end(), [](const selection &a, const selection &b) {
    if (a.domain_goodness != b.domain_goodness)
      return a.domain_goodness > b.domain_goodness;
    return a.path_goodness > b.path_goodness;
  });

  std::string line = "Cookie: ";
  for (size_t i = 0; i < entries.size(); i++) {
    if (i)
      line += "; ";
    line += *entries[i].c->name;
    line += '=';
    line += entries[i].c->value;
  }
  line += "\r\n";
  return line;
}

namespace {

bool field_blank_p(char c) { return c == ' ' || c == '\t'; }

// Splits off the next field of a cookie file line; false when there is none.
bool next_field(std::string_view line, size_t &pos, std::string_view &field) {
  while (pos < line.size() && field_blank_p(line[pos]))
    ++pos;
  size_t start = pos;
  while (pos < line.size() && !c_isspace(line[pos]))
    ++pos;
  if (pos == start)
    return false;
  field = line.substr(start, pos - start);
  return true;
}

// An unsigned decimal that fits; none for anything else.
std::optional<uint64_t> parse_expiry(std::string_view text) {
  if (text.empty())
    return std::nullopt;
  uint64_t n = 0;
  for (char ch : text) {
    if (!c_isdigit(ch))
      return std::nullopt;
    unsigned d = static_cast<unsigned>(ch - '0');
    if (n > (UINT64_MAX - d) / 10)
      return std::nullopt;
    n = n * 10 + d;
  }
  return n;
}

void load_cookie_line(std::string_view line) {
  size_t pos = 0;
  std::string_view domain, flag, path, secure, expiry, name;
  for (std::string_view *field : {&domain, &flag, &path, &secure, &expiry, &name})
    if (!next_field(line, pos, *field))
      return;
  while (pos < line.size() && field_blank_p(line[pos]))
    ++pos;
  std::string_view value = line.substr(pos);
  while (!value.empty() && c_isspace(value.back()))
    value.remove_suffix(1);
  for (std::string_view part : {name, value, path, domain})
    for (char ch : part)
      if (forbidden_p(ch))
        return;
  if (name.size() + value.size() > MAX_COOKIE_NAME_VALUE)
    return;

  auto c = std::make_unique<cookie>();
  c->name = std::string(name);
  c->value = std::string(value);
  c->path = std::string(path);
  c->secure = secure == "TRUE";
  int default_port = c->secure ? 443 : 80;
  c->port = default_port;
  size_t colon = domain.find(':');
  std::string_view digits = colon == std::string_view::npos ? "" : domain.substr(colon + 1);
  if (colon != std::string_view::npos &&
      std::all_of(digits.begin(), digits.end(), [](char ch) { return c_isdigit(ch); })) {
    int port = 0;
    for (char ch : digits) {
      port = port * 10 + (ch - '0');
      if (port > 65535) {
        port = 0;
        break;
      }
    }
    c->port = port ? port : default_port;
    domain = domain.substr(0, colon);
  }
  c->domain = std::string(domain);
  c->expires_at = cookies_now - 1;
  if (std::optional<uint64_t> when = parse_expiry(expiry))
    c->expires_at = *when;
  if (c->expires_at < cookies_now)
    return;
  c->permanent = 1;
  store_cookie(c.release());
}

}  // namespace

void load_cookies(const std::string &file) {
  std::unique_ptr<FILE, int (*)(FILE *)> fp(fopen(file.c_str(), "r"), fclose);
  if (!fp) {
    logprintf(LOG_NOTQUIET, "Cannot open cookies file `%s': %s\n", file.c_str(), strerror(errno));
    return;
  }
  cookies_now = current_time();
  while (std::optional<std::string> line = read_whole_line(fp.get())) {
    if (line->size() > MAX_COOKIE_FILE_LINE)
      continue;
    size_t first = line->find_first_not_of(" \t\r\n\v\f");
    if (first == std::string::npos || (*line)[first] == '#')
      continue;
    load_cookie_line(*line);
  }
}

void save_cookies(const std::string &file) {
  if (!cookies_hash_table || hash_table_count(*cookies_hash_table) == 0)
    return;
  DEBUGP(("Saving cookies to %s.\n", file.c_str()));
  cookies_now = current_time();
  FILE *fp = fopen(file.c_str(), "w");
  if (!fp) {
    logprintf(LOG_NOTQUIET, "Cannot open cookies file `%s': %s\n", file.c_str(), strerror(errno));
    return;
  }
  fputs("# HTTP cookie file.\n", fp);
  fprintf(fp, "# Generated by Tuvo on %s.\n", datetime_str(nullptr).c_str());
  fputs("# Edit at your own risk.\n\n", fp);
  hash_table_map(*cookies_hash_table, [fp](const std::string &key, cookie *chain) {
    for (const cookie *c = chain; c; c = c->next) {
      if (!c->permanent || c->expires_at < cookies_now)
        continue;
      fprintf(fp, "%s\t%s\t%s\t%s\t%llu\t%s\t%s\n", key.c_str(), key[0] == '.' ? "TRUE" : "FALSE",
              c->path->c_str(), c->secure ? "TRUE" : "FALSE",
              static_cast<unsigned long long>(c->expires_at), c->name->c_str(), c->value.c_str());
      if (ferror(fp))
        return 1;
    }
    return 0;
  });
  if (ferror(fp))
    logprintf(LOG_NOTQUIET, "Error writing to `%s': %s\n", file.c_str(), strerror(errno));
  if (fclose(fp) == EOF)
    logprintf(LOG_NOTQUIET, "Error closing `%s': %s\n", file.c_str(), strerror(errno));
  DEBUGP(("Done saving cookies.\n"));
}

void cookies_cleanup() {
  if (!cookies_hash_table)
    return;
  hash_table_map(*cookies_hash_table, [](const std::string &, cookie *chain) {
    while (chain) {
      cookie *next = chain->next;
      delete chain;
      chain = next;
    }
    return 0;
  });
  cookies_hash_table.reset();
}
