#include "url.h"

#include <sys/stat.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ascii.h"
#include "settings.h"
#include "utils.h"

namespace {

struct scheme_data {
  const char *leading_string;  // what a URL of the scheme begins with; null ends the table
  int default_port;            // port used when the URL names none
  int enabled;                 // nonzero while the scheme may be used
};

scheme_data supported_schemes[] = {
    {"http://", 80, 1},
    {"https://", 443, 1},
    {"ftp://", 21, 1},
    {nullptr, -1, 0},
};

constexpr int MAX_PORT = 65535;
// Longest flat file name: what common file systems accept for one component.
constexpr size_t MAX_FLAT_NAME = 255;

const char *const parse_errors[] = {
    "No error", "Unsupported scheme", "Empty host", "Bad port number", "Invalid user name",
};

constexpr std::array<unsigned char, 256> make_urlchr_table() {
  std::array<unsigned char, 256> t{};
  for (int c = 0; c <= 0x20; ++c)
    t[c] = URLCHR_UNSAFE;
  for (int c = 0x7F; c <= 0xFF; ++c)
    t[c] = URLCHR_UNSAFE;
  for (unsigned char c : std::string_view("\"%<>[\\]^`{|}~"))
    t[c] = URLCHR_UNSAFE;
  for (unsigned char c : std::string_view("&+/;=?"))
    t[c] = URLCHR_RESERVED;
  for (unsigned char c : std::string_view("#:@"))
    t[c] = URLCHR_RESERVED | URLCHR_UNSAFE;
  return t;
}

// True when text[i] is "%" followed by two hexadecimal digits.
bool escape_at(std::string_view text, size_t i) {
  return text[i] == '%' && i + 2 < text.size() && c_isxdigit(text[i + 1]) && c_isxdigit(text[i + 2]);
}

int hex_value(char c) { return c_isdigit(c) ? c - '0' : c_tolower(c) - 'a' + 10; }

unsigned char escaped_byte(std::string_view text, size_t i) {
  return static_cast<unsigned char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
}

void append_escape(std::string &out, unsigned char c) {
  static const char digits[] = "0123456789ABCDEF";
  out += '%';
  out += digits[c >> 4];
  out += digits[c & 15];
}

bool unsafe(unsigned char c) { return urlchr_test(c, URLCHR_UNSAFE); }
bool unsafe_only(unsigned char c) { return unsafe(c) && !urlchr_test(c, URLCHR_RESERVED); }
bool plain(unsigned char c) { return !urlchr_test(c, URLCHR_RESERVED | URLCHR_UNSAFE); }

bool needs_reencoding(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = text[i];
    if (c == '%') {
      if (!escape_at(text, i) || plain(escaped_byte(text, i)))
        return true;
      i += 2;
    } else if (unsafe_only(c)) {
      return true;
    }
  }
  return false;
}

std::string reencode_always(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = text[i];
    if (c == '%' && escape_at(text, i)) {
      unsigned char b = escaped_byte(text, i);
      if (plain(b))
        out += static_cast<char>(b);
      else
        out.append(text.substr(i, 3));
      i += 2;
    } else if (unsafe_only(c)) {
      append_escape(out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Parses a port of decimal digits; -1 when empty, not all digits, or out of
// range, so that no oversized value can wrap into a different port.
int parse_port(std::string_view digits) {
  if (digits.empty())
    return -1;
  int value = 0;
  for (char c : digits) {
    if (!c_isdigit(c))
      return -1;
    value = value * 10 + (c - '0');
    if (value > MAX_PORT)
      return -1;
  }
  return value;
}

size_t find_any(std::string_view text, const char *set, size_t from) {
  size_t at = text.find_first_of(set, from);
  return at == std::string_view::npos ? text.size() : at;
}

bool fold_to_lower(std::string &text) {
  bool changed = false;
  for (char &c : text) {
    char l = c_tolower(c);
    changed |= l != c;
    c = l;
  }
  return changed;
}

// Splits the decoded path at its last "/" into the record's dir and file.
void parse_path(url &u) {
  std::string decoded = u.path;
  decode_string(decoded);
  size_t slash = decoded.rfind('/');
  if (slash == std::string::npos) {
    u.dir.clear();
    u.file = std::move(decoded);
    return;
  }
  u.dir = decoded.substr(0, slash);
  u.file = decoded.substr(slash + 1);
}

void sync_path(url &u) {
  std::string joined = u.dir.empty() ? u.file : u.dir + "/" + u.file;
  u.path = reencode_always(joined);
  u.url = url_string(u, false);
}

}  // namespace

const std::array<unsigned char, 256> urlchr_table = make_urlchr_table();

scheme_t url_scheme(std::string_view text) {
  for (int i = 0; supported_schemes[i].leading_string; ++i) {
    std::string_view lead = supported_schemes[i].leading_string;
    if (text.size() < lead.size())
      continue;
    bool match = true;
    for (size_t k = 0; k < lead.size() && match; ++k)
      match = c_tolower(text[k]) == lead[k];
    if (match)
      return supported_schemes[i].enabled ? static_cast<scheme_t>(i) : SCHEME_INVALID;
  }
  return SCHEME_INVALID;
}

bool url_has_scheme(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (c_isalnum(text[i]) || text[i] == '+' || text[i] == '-'))
    ++i;
  return i < text.size() && text[i] == ':';
}

int scheme_default_port(scheme_t scheme) { return supported_schemes[scheme].default_port; }

void scheme_disable(scheme_t scheme) { supported_schemes[scheme].enabled = 0; }

std::optional<std::string> rewrite_shorthand_url(std::string_view text) {
  if (url_has_scheme(text))
    return std::nullopt;
  size_t at = find_any(text, ":/", 0);
  if (at == 0)
    return std::nullopt;
  if (at < text.size() && text[at] == ':') {
    size_t end = at + 1;
    while (end < text.size() && c_isdigit(text[end]))
      ++end;
    bool port = end > at + 1 && (end == text.size() || text[end] == '/');
    if (!port) {
      std::string out = "ftp://";
      out.append(text.substr(0, at));
      out += '/';
      out.append(text.substr(at + 1));
      return out;
    }
  }
  return "http://" + std::string(text);
}

std::optional<std::string> reencode_string(std::string_view text) {
  if (!needs_reencoding(text))
    return std::nullopt;
  return reencode_always(text);
}

std::optional<std::string> encode_string_maybe(std::string_view text) {
  for (unsigned char c : text)
    if (unsafe(c))
      return encode_string(text);
  return std::nullopt;
}

std::string encode_string(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (unsafe(c))
      append_escape(out, c);
    else
      out += static_cast<char>(c);
  }
  return out;
}

void decode_string(std::string &text) {
  size_t w = 0;
  for (size_t r = 0; r < text.size(); ++r, ++w) {
    if (escape_at(text, r)) {
      text[w] = static_cast<char>(escaped_byte(text, r));
      r += 2;
    } else {
      text[w] = text[r];
    }
  }
  text.resize(w);
}

std::optional<url> url_parse(std::string_view text, int *error) {
  auto fail = [error](url_parse_error code) -> std::optional<url> {
    if (error)
      *error = code;
    return std::nullopt;
  };
  scheme_t scheme = url_scheme(text);
  if (scheme == SCHEME_INVALID)
    return fail(PARSE_UNSUPPORTED_SCHEME);

  std::optional<std::string> reencoded_text = reencode_string(text);
  std::string_view w = reencoded_text ? std::string_view(*reencoded_text) : text;
  size_t p = std::strlen(supported_schemes[scheme].leading_string);

  std::optional<std::string_view> userinfo;
  size_t user_end = w.find_first_of("/?@", p);
  if (user_end != std::string_view::npos && w[user_end] == '@') {
    userinfo = w.substr(p, user_end - p);
    p = user_end + 1;
  }

  size_t host_end = find_any(w, ":/;?#", p);
  if (host_end == p)
    return fail(PARSE_EMPTY_HOST);
  url u;
  u.scheme = scheme;
  u.host = std::string(w.substr(p, host_end - p));
  p = host_end;

  u.port = scheme_default_port(scheme);
  if (p < w.size() && w[p] == ':') {
    size_t port_end = find_any(w, "/;?#", p + 1);
    u.port = parse_port(w.substr(p + 1, port_end - p - 1));
    if (u.port < 0)
      return fail(PARSE_BAD_PORT);
    p = port_end;
  }

  if (p < w.size() && w[p] == '/') {
    size_t end = find_any(w, ";?#", p + 1);
    u.path = std::string(w.substr(p + 1, end - p - 1));
    p = end;
  }
  if (p < w.size() && w[p] == ';') {
    size_t end = find_any(w, "?#", p + 1);
    u.params = std::string(w.substr(p + 1, end - p - 1));
    p = end;
  }
  if (p < w.size() && w[p] == '?') {
    size_t end = find_any(w, "#", p + 1);
    u.query = std::string(w.substr(p + 1, end - p - 1));
    p = end;
  }
  if (p < w.size() && w[p] == '#')
    u.fragment = std::string(w.substr(p + 1));

  if (userinfo) {
    if (userinfo->empty() || (*userinfo)[0] == ':')
      return fail(PARSE_BAD_USER);
    size_t colon = userinfo->find(':');
    u.user = std::string(userinfo->substr(0, colon));
    if (colon != std::string_view::npos)
      u.passwd = std::string(userinfo->substr(colon + 1));
  }

  bool path_changed = path_simplify(u.path);
  parse_path(u);
  bool host_changed = fold_to_lower(u.host);

  if (path_changed || u.fragment || host_changed || u.path.empty())
    u.url = url_string(u, false);
  else
    u.url = std::string(w);
  if (error)
    *error = PARSE_OK;
  return u;
}

const char *url_error(int code) {
  assert(code >= PARSE_OK && code <= PARSE_BAD_USER);
  return parse_errors[code];
}

std::string url_string(const url &u, bool hide_password) {
  assert(u.scheme >= SCHEME_HTTP && u.scheme < SCHEME_INVALID);
  std::string out = supported_schemes[u.scheme].leading_string;
  if (u.user) {
    std::optional<std::string> user = encode_string_maybe(*u.user);
    out += user ? *user : *u.user;
    if (u.passwd) {
      out += ':';
      if (hide_password) {
        out += "*password*";
      } else {
        std::optional<std::string> passwd = encode_string_maybe(*u.passwd);
        out += passwd ? *passwd : *u.passwd;
      }
    }
    out += '@';
  }
  out += u.host;
  if (u.port != scheme_default_port(u.scheme)) {
    out += ':';
    out += std::to_string(u.port);
  }
  out += '/';
  out += u.path;
  if (u.params) {
    out += ';';
    out += *u.params;
  }
  if (u.query) {
    out += '?';
    out += *u.query;
  }
  return out;
}

std::string url_full_path(const url &u) {
  std::string out = "/" + u.path;
  if (u.params)
    out += ";" + *u.params;
  if (u.query)
    out += "?" + *u.query;
  return out;
}

void url_set_dir(url &u, std::string_view dir) {
  u.dir = std::string(dir);
  sync_path(u);
}

void url_set_file(url &u, std::string_view file) {
  u.file = std::string(file);
  sync_path(u);
}

void url_free(std::optional<url> &u) { u.reset(); }

std::string uri_merge(std::string_view base, std::string_view link) {
  if (url_has_scheme(link) || link.empty())
    return std::string(link.empty() ? base : link);
  std::string_view before_query = base.substr(0, find_any(base, "?;#", 0));
  std::string out;
  switch (link[0]) {
    case '?':
      out = before_query;
      break;
    case '#':
      out = base.substr(0, find_any(base, "#", 0));
      break;
    case '/': {
      size_t slash = before_query.find('/');
      if (slash == std::string_view::npos || slash + 1 >= before_query.size() ||
          before_query[slash + 1] != '/')
        return std::string(link);
      out = before_query.substr(0, find_any(before_query, "/", slash + 2));
      break;
    }
    default: {
      size_t slash = before_query.rfind('/');
      if (slash != std::string_view::npos && slash > 0 && before_query[slash - 1] != '/') {
        out = base.substr(0, slash + 1);
      } else {
        out = before_query;
        out += '/';
      }
      break;
    }
  }
  out.append(link);
  return out;
}

namespace {

// Where the output component before w begins: w is at a component start past
// base, so path[w - 1] is the "/" that ends that component.
size_t previous_component(const std::string &path, size_t w, size_t base) {
  if (w < base + 2)
    return base;
  size_t slash = path.rfind('/', w - 2);
  return slash == std::string::npos || slash < base ? base : slash + 1;
}

}  // namespace

// One pass with a read and a write position, so that even megabytes of "./"
// or "../" components cost linear time: a ".." only ever scans back over the
// component it discards.
bool path_simplify(std::string &path) {
  const size_t size = path.size();
  const size_t base = !path.empty() && path[0] == '/' ? 1 : 0;
  size_t r = base;
  size_t w = base;
  while (r < size) {
    std::string_view rest(path.data() + r, size - r);
    if (rest == ".")
      break;
    if (rest == "..") {
      w = previous_component(path, w, base);
      break;
    }
    if (rest.starts_with("./")) {
      r += 2;
    } else if (rest.starts_with("../")) {
      w = previous_component(path, w, base);
      r += 3;
    } else if (rest[0] == '/') {
      while (r < size && path[r] == '/')
        ++r;
    } else {
      size_t end = path.find('/', r);
      end = end == std::string::npos ? size : end + 1;
      while (r < end)
        path[w++] = path[r++];
    }
  }
  bool changed = w != size;
  path.resize(w);
  return changed;
}

namespace {

// The user's directory prefix; empty when it adds nothing ("." or unset).
std::string_view user_prefix() {
  if (!opt.dirprefix || *opt.dirprefix == ".")
    return {};
  return *opt.dirprefix;
}

std::string escape_slashes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '/')
      append_escape(out, '/');
    else
      out += c;
  }
  return out;
}

// A local name component made harmless: "." and ".." would move within the
// tree and NUL would cut the name short when it reaches the file system.
void append_sanitized(std::string &out, std::string_view component) {
  if (component == "." || component == "..") {
    for (size_t i = 0; i < component.size(); ++i)
      append_escape(out, '.');
    return;
  }
  for (char c : component) {
    if (c == '\0')
      append_escape(out, 0);
    else
      out += c;
  }
}

// The final guard every naming mode goes through: the part of the name that
// comes from the URL is split at its "/", empty components are dropped (so
// it can never become absolute) and each component is sanitised; only the
// prefix the user chose is taken as written.
std::string local_name(std::string_view prefix, std::string_view from_url) {
  std::string out(prefix);
  bool first = prefix.empty();
  size_t start = 0;
  while (start <= from_url.size()) {
    size_t end = from_url.find('/', start);
    if (end == std::string_view::npos)
      end = from_url.size();
    std::string_view component = from_url.substr(start, end - start);
    if (!component.empty()) {
      if (!first)
        out += '/';
      append_sanitized(out, component);
      first = false;
    }
    start = end + 1;
  }
  return out;
}

std::vector<std::string_view> split_path(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) {
      parts.push_back(path.substr(start));
      return parts;
    }
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
}

std::string decoded(std::string_view text) {
  std::string out(text);
  decode_string(out);
  return out;
}

// The URL's path, cut into what the local name is made of: the escaped
// directory components and the decoded file name.
struct local_parts {
  std::vector<std::string_view> dirs;  // escaped, as they stand in `path`
  std::string file;                    // decoded; may hold "/" that must not separate
};

// The record's decoded dir/file split at every "/", including one that was
// %2F in the URL, so the directories are taken from the escaped path, where
// only real separators are "/".  A file name set by the FTP code may hold
// "/" of its own; those account for the last components of the path.
local_parts split_for_local_name(const url &u) {
  std::vector<std::string_view> parts = split_path(u.path);
  size_t file_parts = 1;
  for (char c : u.file)
    file_parts += c == '/';
  file_parts = std::min(file_parts, parts.size());
  local_parts out;
  out.dirs.assign(parts.begin(), parts.end() - static_cast<std::ptrdiff_t>(file_parts));
  std::string last = decoded(parts.back());
  out.file = last.find('/') != std::string::npos && file_parts == 1 ? last : u.file;
  return out;
}

std::string compose_file_name(std::string_view file, const std::optional<std::string> &query) {
  std::string out;
  for (unsigned char c : file) {
    if (unsafe(c) || c == '/')
      append_escape(out, c);
    else
      out += static_cast<char>(c);
  }
  if (query && !query->empty()) {
    out += '?';
    out += escape_slashes(*query);
  }
  if (out.size() > MAX_FLAT_NAME)
    out.resize(MAX_FLAT_NAME);
  return out;
}

std::string flat_name(const url &u) {
  local_parts parts = split_for_local_name(u);
  std::string name = compose_file_name(parts.file.empty() ? "index.html" : parts.file, u.query);
  return local_name(user_prefix(), name);
}

std::string mkstruct(const url &u) {
  local_parts parts = split_for_local_name(u);
  // A path that starts with "/" (from "//" in the URL) gives one empty
  // first directory, which is not counted by cutdirs.
  size_t skip = !parts.dirs.empty() && parts.dirs.front().empty() ? 1 : 0;
  skip += std::min(static_cast<size_t>(std::max(opt.cutdirs, 0)), parts.dirs.size() - skip);

  std::string from_url;
  if (opt.addhostdir) {
    from_url = reencode_always(u.host);
    if (u.port != scheme_default_port(u.scheme))
      from_url += ":" + std::to_string(u.port);
  }
  for (size_t i = skip; i < parts.dirs.size(); ++i) {
    from_url += '/';
    from_url += escape_slashes(reencode_always(decoded(parts.dirs[i])));
  }
  from_url += '/';
  from_url += parts.file.empty() ? std::string("index.html") : escape_slashes(parts.file);
  if (u.query && !u.query->empty()) {
    from_url += '?';
    from_url += *u.query;
  }
  return local_name(reencode_always(user_prefix()), from_url);
}

}  // namespace

std::string url_filename(const url &u) {
  std::string name = opt.dirstruct ? mkstruct(u) : flat_name(u);
  bool reuse = opt.noclobber || opt.alwaysrest || opt.timestamping || opt.dirstruct;
  // A final symbolic link is not followed: the caller replaces the link
  // itself, whatever it points to.
  struct stat st;
  bool directory = lstat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (reuse && !directory)
    return name;
  return unique_name(name);
}

void rotate_backups(const std::string &name) {
  if (opt.backups <= 0)
    return;
  struct stat st;
  if (stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return;
  for (int i = opt.backups; i > 1; --i) {
    std::string from = name + "." + std::to_string(i - 1);
    std::string to = name + "." + std::to_string(i);
    std::rename(from.c_str(), to.c_str());
  }
  std::string first = name + ".1";
  std::rename(name.c_str(), first.c_str());
}
