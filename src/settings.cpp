#include "settings.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <variant>

#include "ascii.h"
#include "host.h"
#include "progress.h"
#include "utils.h"

options opt;
std::string exec_name = "tuvo";

namespace {

constexpr const char *SYSTEM_TUVORC = "/usr/local/etc/tuvorc";
// More numbered backups than this is a typing error, not a wish.
constexpr int64_t MAX_BACKUPS = 1000;
// Waits are doubled (random wait, growing retry wait): keep the double an int.
constexpr int64_t MAX_TIME = INT_MAX / 2;

// 1 only while a startup file runs: values typed on the command line have
// already been through the shell's own expansion.
int enable_tilde_expansion = 0;

using opt_text = std::optional<std::string>;
using opt_address = std::optional<sockaddr_in>;
// The field a command sets; none for the special commands.
using place_t = std::variant<std::monostate, int *, int64_t *, opt_text *, std::vector<std::string> *,
                             opt_address *>;
using setter_t = int (*)(const char *com, const char *val, place_t place);

// Orders names as the command table is sorted, ASCII case folded.
int ascii_casecmp(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char ca = c_tolower(a[i]), cb = c_tolower(b[i]);
    if (ca != cb)
      return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size())
    return 0;
  return a.size() < b.size() ? -1 : 1;
}

// The value of one or more ASCII digits and nothing else, when it is at most max.
std::optional<int64_t> parse_digits(std::string_view text, int64_t max) {
  if (text.empty())
    return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (!c_isdigit(c))
      return std::nullopt;
    int digit = c - '0';
    if (value > (max - digit) / 10)
      return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Digits times the multiplier of an optional one-letter suffix from units.
std::optional<int64_t> parse_with_suffix(std::string_view text, int64_t max,
                                         std::initializer_list<std::pair<char, int64_t>> units) {
  int64_t multiplier = 1;
  if (!text.empty()) {
    char last = c_tolower(text.back());
    for (auto [unit, factor] : units) {
      if (last == unit) {
        multiplier = factor;
        text.remove_suffix(1);
        break;
      }
    }
  }
  std::optional<int64_t> value = parse_digits(text, max / multiplier);
  if (!value)
    return std::nullopt;
  return *value * multiplier;
}

void invalid_specification(const char *com, const char *val) {
  std::fprintf(stderr, "%s: %s: Invalid specification `%s'.\n", exec_name.c_str(), com, val);
}

// The value of an on/off word; prints the setter's complaint when it is neither.
std::optional<int> parse_on_off(const char *com, const char *val) {
  if (c_strcaseeq(val, "on") || std::strcmp(val, "1") == 0)
    return 1;
  if (c_strcaseeq(val, "off") || std::strcmp(val, "0") == 0)
    return 0;
  std::fprintf(stderr, "%s: %s: Please specify on or off.\n", exec_name.c_str(), com);
  return std::nullopt;
}

int cmd_boolean(const char *com, const char *val, place_t place) {
  std::optional<int> value = parse_on_off(com, val);
  if (!value)
    return 0;
  *std::get<int *>(place) = *value;
  return 1;
}

// "always" and "never" lock the field against every later command.
int cmd_lockable_boolean(const char *com, const char *val, place_t place) {
  int *field = std::get<int *>(place);
  if (*field == -1 || *field == 2)
    return 1;
  int value;
  if (c_strcaseeq(val, "always") || std::strcmp(val, "2") == 0)
    value = 2;
  else if (c_strcaseeq(val, "on") || std::strcmp(val, "1") == 0)
    value = 1;
  else if (c_strcaseeq(val, "off") || std::strcmp(val, "0") == 0)
    value = 0;
  else if (c_strcaseeq(val, "never") || std::strcmp(val, "-1") == 0)
    value = -1;
  else {
    std::fprintf(stderr, "%s: %s: Please specify always, on, off, or never.\n", exec_name.c_str(), com);
    return 0;
  }
  *field = value;
  return 1;
}

int store_number(const char *com, const char *val, place_t place, int64_t max) {
  std::optional<int64_t> value = parse_digits(val, max);
  if (!value) {
    invalid_specification(com, val);
    return 0;
  }
  *std::get<int *>(place) = static_cast<int>(*value);
  return 1;
}

int cmd_number(const char *com, const char *val, place_t place) {
  return store_number(com, val, place, INT_MAX);
}

int cmd_backups(const char *com, const char *val, place_t place) {
  return store_number(com, val, place, MAX_BACKUPS);
}

int cmd_number_inf(const char *com, const char *val, place_t place) {
  if (c_strcaseeq(val, "inf")) {
    *std::get<int *>(place) = 0;
    return 1;
  }
  return cmd_number(com, val, place);
}

int cmd_bytes(const char *com, const char *val, place_t place) {
  if (std::strcmp(val, "inf") == 0) {
    *std::get<int64_t *>(place) = 0;
    return 1;
  }
  std::optional<int64_t> value =
      parse_with_suffix(val, INT64_MAX, {{'k', 1024}, {'m', 1048576}, {'g', 1073741824}});
  if (!value) {
    std::printf("%s: Invalid specification `%s'\n", com, val);
    return 0;
  }
  *std::get<int64_t *>(place) = *value;
  return 1;
}

int cmd_time(const char *com, const char *val, place_t place) {
  std::optional<int64_t> value =
      parse_with_suffix(val, MAX_TIME, {{'m', 60}, {'h', 3600}, {'d', 86400}, {'w', 604800}});
  if (!value) {
    std::printf("%s: Invalid specification `%s'\n", com, val);
    return 0;
  }
  *std::get<int *>(place) = static_cast<int>(*value);
  return 1;
}

int cmd_string(const char *, const char *val, place_t place) {
  *std::get<opt_text *>(place) = val;
  return 1;
}

// "~/rest" becomes home + "/" + rest while a startup file runs.
std::string expand_tilde(const char *val) {
  if (!enable_tilde_expansion || std::strncmp(val, "~/", 2) != 0)
    return val;
  std::optional<std::string> home = home_dir();
  if (!home)
    return val;
  while (!home->empty() && home->back() == '/')
    home->pop_back();
  const char *rest = val + 1;
  while (*rest == '/')
    ++rest;
  return *home + "/" + rest;
}

int cmd_file(const char *, const char *val, place_t place) {
  *std::get<opt_text *>(place) = expand_tilde(val);
  return 1;
}

void append_items(std::vector<std::string> &field, std::vector<std::string> items) {
  field = merge_vecs(std::move(field), std::move(items));
}

int cmd_vector(const char *, const char *val, place_t place) {
  std::vector<std::string> &field = *std::get<std::vector<std::string> *>(place);
  if (!*val) {
    field.clear();
    return 1;
  }
  append_items(field, sepstring(val));
  return 1;
}

int cmd_directory_vector(const char *, const char *val, place_t place) {
  std::vector<std::string> &field = *std::get<std::vector<std::string> *>(place);
  if (!*val) {
    field.clear();
    return 1;
  }
  std::vector<std::string> items = sepstring(val);
  for (std::string &item : items)
    if (item.size() > 1 && item.back() == '/')
      item.pop_back();
  append_items(field, std::move(items));
  return 1;
}

// The first IPv4 address of a host name or dotted address, without chatter.
std::optional<sockaddr_in> first_ipv4_address(const char *host) {
  // An empty name is no address; the resolver need not be asked.
  if (!*host)
    return std::nullopt;
  address_list_ptr al = lookup_host(host, 1);
  if (!al)
    return std::nullopt;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  address.sin_addr = address_list_copy_one(*al, 0);
  address_list_release(al);
  return address;
}

int cmd_address(const char *com, const char *val, place_t place) {
  std::optional<sockaddr_in> address = first_ipv4_address(val);
  if (!address) {
    std::fprintf(stderr, "%s: %s: Cannot convert `%s' to an IP address.\n", exec_name.c_str(), com,
                 val);
    return 0;
  }
  *std::get<opt_address *>(place) = *address;
  return 1;
}

int cmd_spec_dirstruct(const char *com, const char *val, place_t) {
  std::optional<int> value = parse_on_off(com, val);
  if (!value)
    return 0;
  opt.dirstruct = *value;
  opt.no_dirstruct = !*value;
  return 1;
}

int cmd_spec_header(const char *com, const char *val, place_t) {
  if (!*val) {
    opt.user_header.reset();
    return 1;
  }
  if (!check_user_specified_header(val)) {
    invalid_specification(com, val);
    return 0;
  }
  opt.user_header = opt.user_header.value_or("") + val + "\r\n";
  return 1;
}

int cmd_spec_htmlify(const char *com, const char *val, place_t) {
  std::optional<int> value = parse_on_off(com, val);
  if (!value)
    return 0;
  opt.htmlify = *value;
  if (!*value)
    opt.removelisting = 0;
  return 1;
}

int cmd_spec_mirror(const char *com, const char *val, place_t) {
  std::optional<int> value = parse_on_off(com, val);
  if (!value)
    return 0;
  if (!*value)
    return 1;
  opt.recursive = 1;
  if (!opt.no_dirstruct)
    opt.dirstruct = 1;
  opt.timestamping = 1;
  opt.reclevel = -1;
  opt.removelisting = 0;
  return 1;
}

int cmd_spec_progress(const char *com, const char *val, place_t) {
  if (!valid_progress_implementation_p(val)) {
    std::fprintf(stderr, "%s: %s: Invalid progress type `%s'.\n", exec_name.c_str(), com, val);
    return 0;
  }
  opt.progress = val;
  return 1;
}

int cmd_spec_recursive(const char *com, const char *val, place_t) {
  std::optional<int> value = parse_on_off(com, val);
  if (!value)
    return 0;
  opt.recursive = *value;
  if (*value && !opt.no_dirstruct)
    opt.dirstruct = 1;
  return 1;
}

// A carriage return or line feed would let the value start a new request line.
bool has_line_break(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

int cmd_spec_useragent(const char *com, const char *val, place_t) {
  if (!*val || has_line_break(val)) {
    invalid_specification(com, val);
    return 0;
  }
  opt.useragent = val;
  return 1;
}

struct command {
  const char *name;
  place_t place;
  setter_t action;
};

// Sorted by name: lookup is a binary search.
const command commands[] = {
    {"accept", &opt.accept, cmd_vector},
    {"addhostdir", &opt.addhostdir, cmd_boolean},
    {"alwaysrest", &opt.alwaysrest, cmd_boolean},
    {"background", &opt.background, cmd_boolean},
    {"backupconverted", &opt.backupconverted, cmd_boolean},
    {"backups", &opt.backups, cmd_backups},
    {"base", &opt.base, cmd_string},
    {"bindaddress", &opt.bindaddress, cmd_address},
    {"cache", &opt.cache, cmd_boolean},
    {"continue", &opt.alwaysrest, cmd_boolean},
    {"convertlinks", &opt.convertlinks, cmd_boolean},
    {"cookies", &opt.cookies, cmd_boolean},
    {"cutdirs", &opt.cutdirs, cmd_number},
    {"debug", &opt.debug, cmd_boolean},
    {"deleteafter", &opt.deleteafter, cmd_boolean},
    {"dirprefix", &opt.dirprefix, cmd_file},
    {"dirstruct", {}, cmd_spec_dirstruct},
    {"domains", &opt.domains, cmd_vector},
    {"dotbytes", &opt.dotbytes, cmd_bytes},
    {"dotsinline", &opt.dots_in_line, cmd_number},
    {"dotspacing", &opt.dotspacing, cmd_number},
    {"dotstyle", &opt.dotstyle, cmd_string},
    {"egdfile", &opt.egdfile, cmd_file},
    {"excludedirectories", &opt.excludedirectories, cmd_directory_vector},
    {"excludedomains", &opt.excludedomains, cmd_vector},
    {"followftp", &opt.followftp, cmd_boolean},
    {"followtags", &opt.followtags, cmd_vector},
    {"forcehtml", &opt.forcehtml, cmd_boolean},
    {"ftpproxy", &opt.ftpproxy, cmd_string},
    {"glob", &opt.glob, cmd_boolean},
    {"header", {}, cmd_spec_header},
    {"htmlextension", &opt.htmlextension, cmd_boolean},
    {"htmlify", {}, cmd_spec_htmlify},
    {"httpkeepalive", &opt.httpkeepalive, cmd_boolean},
    {"httppasswd", &opt.httppasswd, cmd_string},
    {"httpproxy", &opt.httpproxy, cmd_string},
    {"httpsproxy", &opt.httpsproxy, cmd_string},
    {"httpuser", &opt.httpuser, cmd_string},
    {"ignorelength", &opt.ignorelength, cmd_boolean},
    {"ignoretags", &opt.ignoretags, cmd_vector},
    {"includedirectories", &opt.includedirectories, cmd_directory_vector},
    {"input", &opt.input, cmd_file},
    {"killlonger", &opt.killlonger, cmd_boolean},
    {"limitrate", &opt.limitrate, cmd_bytes},
    {"loadcookies", &opt.loadcookies, cmd_file},
    {"logfile", &opt.logfile, cmd_file},
    {"login", &opt.login, cmd_string},
    {"mirror", {}, cmd_spec_mirror},
    {"netrc", &opt.netrc, cmd_boolean},
    {"noclobber", &opt.noclobber, cmd_boolean},
    {"noparent", &opt.noparent, cmd_boolean},
    {"noproxy", &opt.noproxy, cmd_vector},
    {"numtries", &opt.tries, cmd_number_inf},
    {"outputdocument", &opt.outputdocument, cmd_file},
    {"pagerequisites", &opt.pagerequisites, cmd_boolean},
    {"passiveftp", &opt.passiveftp, cmd_lockable_boolean},
    {"passwd", &opt.passwd, cmd_string},
    {"progress", {}, cmd_spec_progress},
    {"proxypasswd", &opt.proxypasswd, cmd_string},
    {"proxyuser", &opt.proxyuser, cmd_string},
    {"quiet", &opt.quiet, cmd_boolean},
    {"quota", &opt.quota, cmd_bytes},
    {"randomwait", &opt.randomwait, cmd_boolean},
    {"reclevel", &opt.reclevel, cmd_number_inf},
    {"recursive", {}, cmd_spec_recursive},
    {"referer", &opt.referer, cmd_string},
    {"reject", &opt.reject, cmd_vector},
    {"relativeonly", &opt.relativeonly, cmd_boolean},
    {"removelisting", &opt.removelisting, cmd_boolean},
    {"retrsymlinks", &opt.retrsymlinks, cmd_boolean},
    {"robots", &opt.robots, cmd_boolean},
    {"savecookies", &opt.savecookies, cmd_file},
    {"saveheaders", &opt.saveheaders, cmd_boolean},
    {"serverresponse", &opt.serverresponse, cmd_boolean},
    {"spanhosts", &opt.spanhosts, cmd_boolean},
    {"spider", &opt.spider, cmd_boolean},
    {"sslcertfile", &opt.sslcertfile, cmd_file},
    {"sslcertkey", &opt.sslcertkey, cmd_file},
    {"timeout", &opt.timeout, cmd_time},
    {"timestamping", &opt.timestamping, cmd_boolean},
    {"tries", &opt.tries, cmd_number_inf},
    {"useproxy", &opt.useproxy, cmd_boolean},
    {"useragent", {}, cmd_spec_useragent},
    {"verbose", &opt.verbose, cmd_boolean},
    {"wait", &opt.wait, cmd_time},
    {"waitretry", &opt.waitretry, cmd_time},
};

static_assert(std::size(commands) == 86);

// The row of a command name (ASCII case folded), or none.
const command *find_command(std::string_view name) {
  size_t lo = 0, hi = std::size(commands);
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int cmp = ascii_casecmp(name, commands[mid].name);
    if (cmp == 0)
      return &commands[mid];
    if (cmp < 0)
      hi = mid;
    else
      lo = mid + 1;
  }
  return nullptr;
}

}  // namespace

void defaults() {
  opt = options{};
  if (const char *no_proxy = std::getenv("no_proxy"))
    opt.noproxy = sepstring(no_proxy);
}

std::optional<std::string> home_dir() {
  if (const char *home = std::getenv("HOME"))
    return home;
  if (const passwd *pw = ::getpwuid(::getuid()))
    return pw->pw_dir;
  return std::nullopt;
}

std::optional<std::string> tuvorc_file_name() {
  const char *env = std::getenv("TUVORC");
  if (env && *env) {
    if (!file_exists_p(env)) {
      std::fprintf(stderr, "%s: %s: %s.\n", exec_name.c_str(), env, std::strerror(errno));
      std::exit(1);
    }
    return env;
  }
  std::optional<std::string> home = home_dir();
  if (!home)
    return std::nullopt;
  std::string file = *home + "/.tuvorc";
  if (!file_exists_p(file.c_str()))
    return std::nullopt;
  return file;
}

void run_tuvorc(const std::string &path) {
  FILE *fp = std::fopen(path.c_str(), "rb");
  if (!fp) {
    std::fprintf(stderr, "%s: Cannot read %s (%s).\n", exec_name.c_str(), path.c_str(),
                 std::strerror(errno));
    return;
  }
  enable_tilde_expansion = 1;
  int ln = 1;
  while (std::optional<std::string> line = read_whole_line(fp)) {
    std::string name, value;
    int status = parse_line(*line, name, value);
    if (status == 0 || (status == 1 && !setval(name.c_str(), value.c_str())))
      std::fprintf(stderr, "%s: Error in %s at line %d.\n", exec_name.c_str(), path.c_str(), ln);
    ++ln;
  }
  enable_tilde_expansion = 0;
  std::fclose(fp);
}

void initialize() {
  defaults();
  if (file_exists_p(SYSTEM_TUVORC))
    run_tuvorc(SYSTEM_TUVORC);
  std::optional<std::string> file = tuvorc_file_name();
  if (!file)
    return;
  if (*file == SYSTEM_TUVORC) {
    std::fprintf(stderr, "%s: Warning: Both system and user tuvorc point to `%s'.\n",
                 exec_name.c_str(), file->c_str());
    return;
  }
  run_tuvorc(*file);
}

int parse_line(const std::string &line, std::string &name, std::string &value) {
  size_t pos = 0, end = line.size();
  while (pos < end && c_isspace(line[pos]))
    ++pos;
  if (pos == end || line[pos] == '#')
    return -1;

  size_t name_start = pos;
  while (pos < end && (c_isalpha(line[pos]) || line[pos] == '_' || line[pos] == '-'))
    ++pos;
  if (pos == end || !(c_isspace(line[pos]) || line[pos] == '='))
    return 0;

  std::string command;
  for (size_t i = name_start; i < pos; ++i)
    if (line[i] != '_' && line[i] != '-')
      command += line[i];
  if (!find_command(command))
    return 0;

  while (pos < end && c_isspace(line[pos]))
    ++pos;
  if (pos == end || line[pos] != '=')
    return 0;
  ++pos;
  while (pos < end && c_isspace(line[pos]))
    ++pos;
  while (end > pos && c_isspace(line[end - 1]))
    --end;

  name = std::move(command);
  value = line.substr(pos, end - pos);
  return 1;
}

int setval(const char *name, const char *value) {
  if (!name || !value)
    return 0;
  const command *row = find_command(name);
  if (!row) {
    std::fprintf(stderr, "%s: BUG: unknown command `%s', value `%s'.\n", exec_name.c_str(), name,
                 value);
    return 0;
  }
  return row->action(name, value, row->place);
}

int check_user_specified_header(const std::string &text) {
  size_t stop = 0;
  while (stop < text.size() && text[stop] != ':' && !c_isspace(text[stop]))
    ++stop;
  if (stop == 0 || stop == text.size() || text[stop] != ':')
    return 0;
  return !has_line_break(text);
}

int myatoi(const char *text) {
  std::optional<int64_t> value = parse_digits(text, INT_MAX);
  return value ? static_cast<int>(*value) : -1;
}

void cleanup() {
  if (!opt.output_document_stream)
    return;
  // Standard output stays open for whatever runs after us in a pipeline.
  if (opt.output_document_stream == stdout)
    std::fflush(stdout);
  else
    std::fclose(opt.output_document_stream);
  opt.output_document_stream = nullptr;
}
