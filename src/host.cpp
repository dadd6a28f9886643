#include "host.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cassert>
#include <cstring>
#include <optional>

#include "ascii.h"
#include "hash.h"
#include "log.h"
#include "settings.h"
#include "url.h"

namespace {

using host_map = hash_table<std::string, address_list_ptr>;

// Host name (lower-cased) to its addresses; made on first use, kept for the
// whole run so that each name reaches the resolver once.
std::optional<host_map> host_name_addresses_map;



std::string lowercase(const std::string &text) {
  std::string out = text;
  for (char &c : out)
    c = c_tolower(c);
  return out;
}

address_list_ptr single_address(in_addr address) {
  auto al = std::make_shared<address_list>();
  al->addresses.push_back(address);
  return al;
}

// The IPv4 addresses of an answer, in its order; null when it has none.
address_list_ptr list_from_hostent(const hostent *hp) {
  if (hp->h_addrtype != AF_INET || hp->h_length != sizeof(in_addr))
    return nullptr;
  auto al = std::make_shared<address_list>();
  for (char **p = hp->h_addr_list; *p; p++) {
    in_addr address;
    memcpy(&address, *p, sizeof address);
    al->addresses.push_back(address);
  }
  if (al->addresses.empty())
    return nullptr;
  return al;
}

void cache_host_lookup(const std::string &host, const address_list_ptr &al) {
  if (!host_name_addresses_map)
    host_name_addresses_map = make_nocase_string_hash_table<address_list_ptr>(0);
  hash_table_put(*host_name_addresses_map, lowercase(host), al);
  if (!opt.debug)
    return;
  debug_logprintf("Caching %s =>", host.c_str());
  for (const in_addr &a : al->addresses)
    debug_logprintf(" %s", pretty_print_address(a).c_str());
  debug_logprintf("\n");
}

}  // namespace

address_list_ptr lookup_host(const std::string &host, int silent) {
  // The dotted-address parser's failure value is all ones, so
  // "255.255.255.255" written out goes to the resolver like a name.
  in_addr_t numeric = inet_addr(host.c_str());
  if (numeric != INADDR_NONE) {
    in_addr address;
    address.s_addr = numeric;
    return single_address(address);
  }

  if (host_name_addresses_map) {
    if (address_list_ptr *cached = hash_table_get(*host_name_addresses_map, host)) {
      DEBUGP(("Found %s in host_name_addresses_map (%p)\n", host.c_str(),
              static_cast<void *>(cached->get())));
      return *cached;
    }
  }

  if (!silent)
    logprintf(LOG_VERBOSE, "Resolving %s... ", host.c_str());
  const hostent *hp = gethostbyname(host.c_str());
  int error = h_errno;
  address_list_ptr al = hp ? list_from_hostent(hp) : nullptr;
  if (!al) {
    if (!silent)
      logprintf(LOG_VERBOSE, "failed: %s.\n", herrmsg(hp ? NO_DATA : error));
    return nullptr;
  }
  if (!silent)
    logprintf(LOG_VERBOSE, "done.\n");
  cache_host_lookup(host, al);
  return al;
}

const char *herrmsg(int error) {
  if (error == HOST_NOT_FOUND || error == TRY_AGAIN || error == NO_RECOVERY || error == NO_DATA)
    return "Host not found";
  return "Unknown error";
}

void address_list_get_bounds(const address_list &al, int *start, int *end) {
  *start = al.faulty;
  *end = static_cast<int>(al.addresses.size());
}

in_addr address_list_copy_one(const address_list &al, int index) {
  assert(index >= al.faulty && index < static_cast<int>(al.addresses.size()));
  return al.addresses[static_cast<size_t>(index)];
}

int address_list_match_all(const address_list &a, const address_list &b) {
  if (&a == &b)
    return 1;
  if (a.addresses.size() != b.addresses.size())
    return 0;
  return memcmp(a.addresses.data(), b.addresses.data(), a.addresses.size() * sizeof(in_addr)) == 0
             ? 1
             : 0;
}

void address_list_set_faulty(address_list &al, int index) {
  assert(index == al.faulty);
  (void)index;
  // Once every address has failed, start over with the first.
  if (++al.faulty >= static_cast<int>(al.addresses.size()))
    al.faulty = 0;
}

void address_list_release(address_list_ptr &al) {
  if (!al)
    return;
  long left = al.use_count() - 1;
  DEBUGP(("Releasing %p (new refcount %ld).\n", static_cast<void *>(al.get()), left));
  if (left <= 0)
    DEBUGP(("Deleting unused %p.\n", static_cast<void *>(al.get())));
  al.reset();
}

long address_list_refcount(const address_list_ptr &al) { return al.use_count(); }

std::string pretty_print_address(in_addr address) {
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

int accept_domain(const url &u) {
  assert(!u.host.empty());
  if (!opt.domains.empty() && !sufmatch(opt.domains, u.host))
    return 0;
  if (!opt.excludedomains.empty() && sufmatch(opt.excludedomains, u.host))
    return 0;
  return 1;
}

int sufmatch(const std::vector<std::string> &suffixes, const std::string &text) {
  for (const std::string &suffix : suffixes) {
    if (suffix.size() > text.size())
      continue;
    size_t offset = text.size() - suffix.size();
    size_t i = 0;
    while (i < suffix.size() && c_tolower(suffix[i]) == c_tolower(text[offset + i]))
      ++i;
    if (i == suffix.size())
      return 1;
  }
  return 0;
}

void host_cleanup() {
  if (!host_name_addresses_map)
    return;
  hash_table_map(*host_name_addresses_map, [](const std::string &, address_list_ptr &al) {
    assert(al.use_count() == 1);
    (void)al;
    return 0;
  });
  hash_table_destroy(*host_name_addresses_map);
  host_name_addresses_map.reset();
}
