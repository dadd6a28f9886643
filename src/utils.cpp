#include "utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>


// ---- Allocation -------------------------------------------------------------

void memfatal(const char *what) {
  std::fprintf(stderr, "%s: %s: Not enough memory.\n", program_invocation_short_name, what);
  std::exit(1);
}

namespace {

void out_of_memory() { memfatal("malloc"); }

// Installed before main so that no allocation anywhere can fail visibly.
struct new_handler_installer {
  new_handler_installer() { std::set_new_handler(out_of_memory); }
} installer;

}  // namespace

void *xmalloc_real(std::size_t size) {
  void *block = std::malloc(size);
  if (!block)
    memfatal("malloc");
  return block;
}

void *xrealloc_real(void *block, std::size_t size) {
  void *resized = std::realloc(block, size);
  if (!resized)
    memfatal("realloc");
  return resized;
}

char *xstrdup_real(const char *text) {
  char *copy = strdup(text);
  if (!copy)
    memfatal("strdup");
  return copy;
}

// ---- Texts ------------------------------------------------------------------

std::string strdupdelim(const char *begin, const char *end) { return std::string(begin, end); }

std::string xstrdup_lower(std::string_view text) {
  std::string copy(text);
  for (char &c : copy)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return copy;
}

int count_char(std::string_view text, char c) {
  return static_cast<int>(std::count(text.begin(), text.end(), c));
}

int frontcmp(std::string_view prefix, std::string_view text) {
  return text.substr(0, prefix.size()) == prefix ? 1 : 0;
}

// ---- Comma lists and string vectors ------------------------------------------

string_vector sepstring(const char *text) {
  string_vector items;
  if (!text || !*text)
    return items;
  const char *start = text;
  for (const char *p = text; *p; ++p) {
    if (*p != ',')
      continue;
    items.emplace_back(start, p);
    while (p[1] == ' ' || (p[1] >= '\t' && p[1] <= '\r'))
      ++p;
    start = p + 1;
  }
  items.emplace_back(start);
  return items;
}

string_vector merge_vecs(string_vector first, string_vector second) {
  if (first.empty())
    return second;
  first.insert(first.end(), std::make_move_iterator(second.begin()),
               std::make_move_iterator(second.end()));
  return first;
}

void free_vec(string_vector &vec) { string_vector().swap(vec); }

// ---- String lists -----------------------------------------------------------

void slist_append(slist &list, const std::string &text) {
  auto last = list.before_begin();
  for (auto it = list.begin(); it != list.end(); ++it)
    last = it;
  list.insert_after(last, text);
}

void slist_prepend(slist &list, const std::string &text) { list.push_front(text); }

void slist_nreverse(slist &list) { list.reverse(); }

int slist_contains(const slist &list, const std::string &text) {
  return std::find(list.begin(), list.end(), text) != list.end() ? 1 : 0;
}

void slist_free(slist &list) { list.clear(); }

// ---- String sets ------------------------------------------------------------

string_set make_string_set(std::size_t items) {
  return make_string_hash_table<const char *>(items);
}

void string_set_add(string_set &set, const std::string &text) {
  if (!hash_table_contains(set, text))
    hash_table_put(set, text, "1");
}

int string_set_contains(const string_set &set, const std::string &text) {
  return hash_table_contains(set, text);
}

void string_set_free(string_set &set) { hash_table_destroy(set); }

// ---- Numbers ----------------------------------------------------------------

namespace {

// Digits of the magnitude, most significant first.  Working on the unsigned
// magnitude keeps the most negative number exact.
std::string magnitude_digits(uint64_t n) {
  char tmp[NUMBER_BUFFER_SIZE];
  char *p = tmp + sizeof tmp;
  do {
    *--p = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n);
  return std::string(p, tmp + sizeof tmp);
}

uint64_t magnitude(int64_t number) {
  return number < 0 ? 0 - static_cast<uint64_t>(number) : static_cast<uint64_t>(number);
}

std::string group_digits(bool negative, const std::string &digits) {
  std::string out;
  out.reserve(digits.size() + digits.size() / 3 + 1);
  if (negative)
    out += '-';
  std::size_t lead = digits.size() % 3;
  out.append(digits, 0, lead);
  for (std::size_t i = lead; i < digits.size(); i += 3) {
    if (i > 0)
      out += ',';
    out.append(digits, i, 3);
  }
  return out;
}

}  // namespace

char *number_to_string(char *buffer, int64_t number) {
  char *p = buffer;
  if (number < 0)
    *p++ = '-';
  std::string digits = magnitude_digits(magnitude(number));
  std::memcpy(p, digits.data(), digits.size());
  p += digits.size();
  *p = '\0';
  return p;
}

int numdigit(int64_t number) {
  return static_cast<int>(magnitude_digits(magnitude(number)).size()) + (number < 0 ? 1 : 0);
}

std::string legible(int64_t number) {
  return group_digits(number < 0, magnitude_digits(magnitude(number)));
}

std::string legible_very_long(uint64_t number) {
  return group_digits(false, magnitude_digits(number));
}

// ---- Timer ------------------------------------------------------------------

wtimer wtimer_allocate() { return wtimer{}; }

wtimer wtimer_new() {
  wtimer timer;
  wtimer_reset(timer);
  return timer;
}

void wtimer_reset(wtimer &timer) { timer.start = std::chrono::steady_clock::now(); }

int64_t wtimer_elapsed(const wtimer &timer) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - timer.start)
                .count();
  return ms < 0 ? 0 : static_cast<int64_t>(ms);
}

int wtimer_granularity() { return 1; }

// ---- Files ------------------------------------------------------------------

int file_exists_p(const std::string &name) { return access(name.c_str(), F_OK) == 0 ? 1 : 0; }

namespace {

// True when a directory entry of that name exists, a dangling link included.
bool name_taken(const std::string &name) {
  struct stat st;
  return lstat(name.c_str(), &st) == 0;
}

std::string numbered(const std::string &name, unsigned long count) {
  return count == 0 ? name : name + "." + std::to_string(count);
}

}  // namespace

std::string unique_name(const std::string &name) {
  for (unsigned long count = 0;; ++count) {
    std::string candidate = numbered(name, count);
    if (!name_taken(candidate))
      return candidate;
  }
}

int unique_create(const std::string &name, std::string &chosen) {
  for (unsigned long count = 0;; ++count) {
    std::string candidate = numbered(name, count);
    int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      chosen = candidate;
      return fd;
    }
    if (errno != EEXIST)
      return -1;
  }
}

std::optional<std::string> read_whole_line(FILE *stream) {
  char *buffer = nullptr;
  std::size_t capacity = 0;
  // getline reports the true length, so bytes after an embedded NUL are kept.
  errno = 0;
  ssize_t length = getline(&buffer, &capacity, stream);
  int saved_errno = errno;
  std::optional<std::string> line;
  if (length > 0 && !std::ferror(stream))
    line.emplace(buffer, static_cast<std::size_t>(length));
  std::free(buffer);
  if (length < 0 && saved_errno == ENOMEM)
    memfatal("getline");
  return line;
}
