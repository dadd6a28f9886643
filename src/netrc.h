// Credentials from the user's ".netrc", read once per run on first use.
#pragma once

#include <optional>
#include <string>
#include <vector>

// One entry of a netrc file.
struct netrc_entry {
  std::optional<std::string> machine;   // host name; none for the "default" entry
  std::string login;                    // never empty in a stored entry
  std::optional<std::string> password;  // none when the entry gave none
};

// Fills in what is missing of login and password for host from ~/.netrc.  The
// "default" entry is consulted only with use_default (FTP).  Does nothing when
// the netrc setting is off.
void search_netrc(const std::string &host, std::optional<std::string> &login,
                  std::optional<std::string> &password, int use_default);

// The entries of one netrc file in file order; warnings go to standard error.
std::vector<netrc_entry> parse_netrc(const std::string &path);

// Forgets the entries read so far and lets the next search read the file again.
void free_netrc();
