// Host names to IPv4 address lists, resolved at most once per run and kept
// in a process-wide cache, and the host-suffix matching of the domain rules.
#pragma once

#include <netinet/in.h>

#include <memory>
#include <string>
#include <vector>

struct url;

// The addresses of one host.  Shared: the cache and each holder keep a
// std::shared_ptr, so the reference count is the pointer's use count.
struct address_list {
  // In the resolver's order, network byte order; never empty.
  std::vector<in_addr> addresses;
  // Index of the first address not yet found faulty; usable ones are
  // [faulty, addresses.size()).  Wraps to 0 once every address failed.
  int faulty = 0;
};

using address_list_ptr = std::shared_ptr<address_list>;

// The address list of host, with a reference for the caller; null when the
// name cannot be resolved.  Dotted addresses are parsed without the resolver
// and never cached; names are cached case-insensitively.  Unless silent,
// logs "Resolving %s... " and the outcome.
address_list_ptr lookup_host(const std::string &host, int silent);

// The fixed message for a resolver error code (h_errno values).
const char *herrmsg(int error);

// The usable index range [*start, *end) of the list.
void address_list_get_bounds(const address_list &al, int *start, int *end);

// The address at index, which must be usable.
in_addr address_list_copy_one(const address_list &al, int index);

// 1 when both lists are the same record or hold the same addresses in the
// same order, else 0.
int address_list_match_all(const address_list &a, const address_list &b);

// Marks the first usable address (index must equal al.faulty) as faulty.
void address_list_set_faulty(address_list &al, int index);

// Gives one reference back (logs the new count) and nulls the pointer.
void address_list_release(address_list_ptr &al);

// The number of holders of the list, the cache included.
long address_list_refcount(const address_list_ptr &al);

// Dotted-quad text of an address.
std::string pretty_print_address(in_addr address);

// 1 when the URL's host passes the `domains` and `excludedomains` settings.
int accept_domain(const url &u);

// 1 when text ends with any of the suffixes (ASCII case folded, no label
// boundary required), else 0.
int sufmatch(const std::vector<std::string> &suffixes, const std::string &text);

// Empties the cache; every cached list must be held by the cache alone.
void host_cleanup();
