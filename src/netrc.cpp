#include "netrc.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "settings.h"
#include "ascii.h"
#include "utils.h"

namespace {

std::vector<netrc_entry> netrc_list;
int processed_netrc = 0;

enum class expected { nothing, account, login, macdef, machine, password };

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Cuts the next token out of line starting at pos.  Returns false at the end
// of the line or at a comment.  Never looks past the line's end: an unclosed
// quote ends there, and a backslash with nothing after it is dropped.
bool next_token(std::string_view line, size_t &pos, std::string &token) {
  while (pos < line.size() && is_blank(line[pos]))
    ++pos;
  if (pos >= line.size() || line[pos] == '#')
    return false;
  token.clear();
  bool quoted = line[pos] == '"';
  if (quoted)
    ++pos;
  while (pos < line.size()) {
    char c = line[pos];
    if (quoted ? c == '"' : is_blank(c))
      break;
    if (c == '\\') {
      ++pos;
      if (pos >= line.size())
        break;
      c = line[pos];
    }
    token += c;
    ++pos;
  }
  if (pos < line.size()) {
    ++pos;  // the terminating blank or closing quote
    if (quoted && pos < line.size())
      ++pos;  // and, after a closing quote, the character that follows it
  }
  return true;
}

struct builder {
  std::vector<netrc_entry> list;
  std::unique_ptr<netrc_entry> current;
  bool current_has_login = false;

  void close_entry() {
    if (current && current_has_login)
      list.push_back(std::move(*current));
    current.reset();
    current_has_login = false;
  }
  void open_entry(std::optional<std::string> machine) {
    close_entry();
    current = std::make_unique<netrc_entry>();
    current->machine = std::move(machine);
  }
};

const char *keyword_name(expected e) {
  switch (e) {
    case expected::login: return "login";
    case expected::password: return "password";
    default: return "account";
  }
}

}  // namespace

std::vector<netrc_entry> parse_netrc(const std::string &path) {
  std::unique_ptr<FILE, int (*)(FILE *)> fp(fopen(path.c_str(), "r"), fclose);
  if (!fp) {
    fprintf(stderr, "%s: Cannot read %s (%s).\n", exec_name.c_str(), path.c_str(), strerror(errno));
    return {};
  }
  builder b;
  expected want = expected::nothing;
  int line_number = 0;
  while (std::optional<std::string> line = read_whole_line(fp.get())) {
    ++line_number;
    if (want == expected::macdef) {
      if (line->find_first_not_of("\r\n") == std::string::npos)
        want = expected::nothing;
      continue;
    }
    std::string_view content(*line);
    if (!content.empty() && content.back() == '\n')
      content.remove_suffix(1);  // so that a backslash can never escape the line's end
    size_t pos = 0;
    std::string token;
    while (want != expected::macdef && next_token(content, pos, token)) {
      switch (want) {
        case expected::machine:
          b.open_entry(token);
          break;
        case expected::login:
        case expected::password:
        case expected::account:
          if (!b.current) {
            fprintf(stderr, "%s: %s:%d: warning: \"%s\" token appears before any machine name\n",
                    exec_name.c_str(), path.c_str(), line_number, keyword_name(want));
          } else if (want == expected::login) {
            b.current->login = token;
            b.current_has_login = true;
          } else if (want == expected::password) {
            b.current->password = token;
          }
          break;
        case expected::nothing:
          if (token == "account") want = expected::account;
          else if (token == "login") want = expected::login;
          else if (token == "password") want = expected::password;
          else if (token == "machine") want = expected::machine;
          else if (token == "default") b.open_entry(std::nullopt);
          else if (token == "macdef") want = expected::macdef;
          else
            fprintf(stderr, "%s: %s:%d: unknown token \"%s\"\n", exec_name.c_str(), path.c_str(),
                    line_number, token.c_str());
          continue;
        case expected::macdef:
          break;
      }
      want = expected::nothing;
    }
  }
  b.close_entry();
  return std::move(b.list);
}

void free_netrc() {
  netrc_list.clear();
  processed_netrc = 0;
}

void search_netrc(const std::string &host, std::optional<std::string> &login,
                  std::optional<std::string> &password, int use_default) {
  if (!opt.netrc)
    return;
  if (!processed_netrc) {
    processed_netrc = 1;
    if (std::optional<std::string> home = home_dir()) {
      std::string path = *home + "/.netrc";
      if (file_exists_p(path.c_str()))
        netrc_list = parse_netrc(path);
    }
  }
  if (netrc_list.empty() || (login && password))
    return;

  for (const netrc_entry &entry : netrc_list) {
    if (!entry.machine || !c_strcaseeq(*entry.machine, host))
      continue;
    if (login) {
      password = (entry.login == *login) ? entry.password : std::nullopt;
    } else {
      login = entry.login;
      if (entry.password)
        password = entry.password;
    }
    return;
  }
  if (!use_default || login)
    return;
  for (const netrc_entry &entry : netrc_list) {
    if (entry.machine)
      continue;
    login = entry.login;
    if (!password)
      password = entry.password;
    return;
  }
}
