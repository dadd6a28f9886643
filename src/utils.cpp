#include "utils.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "log.h"
#include "settings.h"


// ---- Allocation -------------------------------------------------------------

void memfatal(const char *what) {
  // Reporting may itself run out of memory; the second time, write plainly.
  static bool reporting = false;
  if (reporting) {
    std::fprintf(stderr, "%s: %s: Not enough memory.\n", exec_name.c_str(), what);
    std::exit(1);
  }
  reporting = true;
  log_set_save_context(0);
  logprintf(LOG_ALWAYS, "%s: %s: Not enough memory.\n", exec_name.c_str(), what);
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

// Writes the decimal digits of n at out (no NUL); returns how many.
std::size_t write_digits(char *out, uint64_t n) {
  char tmp[NUMBER_BUFFER_SIZE];
  char *p = tmp + sizeof tmp;
  do {
    *--p = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n);
  std::size_t length = static_cast<std::size_t>(tmp + sizeof tmp - p);
  std::memcpy(out, p, length);
  return length;
}

// The unsigned magnitude keeps the most negative number exact.
uint64_t magnitude(int64_t number) {
  return number < 0 ? 0 - static_cast<uint64_t>(number) : static_cast<uint64_t>(number);
}

std::string group_digits(bool negative, uint64_t n) {
  char digits[NUMBER_BUFFER_SIZE];
  std::size_t count = write_digits(digits, n);
  std::string out;
  out.reserve(count + count / 3 + 1);
  if (negative)
    out += '-';
  std::size_t lead = count % 3;
  out.append(digits, lead);
  for (std::size_t i = lead; i < count; i += 3) {
    if (i > 0)
      out += ',';
    out.append(digits + i, 3);
  }
  return out;
}

}  // namespace

char *number_to_string(char *buffer, int64_t number) {
  char *p = buffer;
  if (number < 0)
    *p++ = '-';
  p += write_digits(p, magnitude(number));
  *p = '\0';
  return p;
}

int numdigit(int64_t number) {
  char buf[NUMBER_BUFFER_SIZE];
  return static_cast<int>(number_to_string(buf, number) - buf);
}

std::string legible(int64_t number) {
  return group_digits(number < 0, magnitude(number));
}

std::string legible_very_long(uint64_t number) {
  return group_digits(false, number);
}

namespace {

// Local time now, stored in *place when given; false when the clock fails.
bool local_now(time_t *place, struct tm &out) {
  time_t now = std::time(nullptr);
  if (place)
    *place = now;
  return now != static_cast<time_t>(-1) && localtime_r(&now, &out) != nullptr;
}

}  // namespace

std::string time_str(time_t *place) {
  struct tm tm;
  if (!local_now(place, tm))
    return "";
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string datetime_str(time_t *place) {
  struct tm tm;
  if (!local_now(place, tm))
    return "";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
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

// ---- Process and terminal ---------------------------------------------------

void fork_to_background() {
  bool chosen_here = false;
  if (!opt.logfile || opt.logfile->empty()) {
    // Created exclusively so that a link planted at the name cannot send the
    // log somewhere else; the log reopens the file by its name.
    std::string chosen;
    int fd = unique_create("tuvo-log", chosen);
    if (fd < 0) {
      std::fprintf(stderr, "%s: %s\n", "tuvo-log", std::strerror(errno));
      std::exit(1);
    }
    close(fd);
    opt.logfile = chosen;
    chosen_here = true;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    std::exit(1);
  }
  if (pid > 0) {
    std::printf("Continuing in background, pid %d.\n", static_cast<int>(pid));
    if (chosen_here)
      std::printf("Output will be written to `%s'.\n", opt.logfile->c_str());
    std::exit(0);
  }
  setsid();
  if (!std::freopen("/dev/null", "r", stdin) || !std::freopen("/dev/null", "w", stdout) ||
      !std::freopen("/dev/null", "w", stderr))
    std::exit(1);
}

int determine_screen_width() {
  if (opt.logfile)
    return 0;
  struct winsize wsz;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &wsz) < 0)
    return 0;
  return wsz.ws_col;
}

int random_number(int max) {
  static int seeded = 0;
  if (!seeded) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    seeded = 1;
  }
  double r = std::rand();
  return static_cast<int>(max * r / 2147483648.0);
}

// ---- Files and directories ------------------------------------------------

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

file_contents::file_contents(file_contents &&other) noexcept
    : data(other.data), content_size(other.content_size), is_mapped(other.is_mapped) {
  other.data = nullptr;
  other.content_size = 0;
  other.is_mapped = 0;
}

file_contents &file_contents::operator=(file_contents &&other) noexcept {
  if (this != &other) {
    file_contents gone(std::move(*this));
    std::swap(data, other.data);
    std::swap(content_size, other.content_size);
    std::swap(is_mapped, other.is_mapped);
  }
  return *this;
}

file_contents::~file_contents() {
  if (is_mapped)
    munmap(data, static_cast<std::size_t>(content_size));
  else
    std::free(data);
}

int file_non_directory_p(const std::string &name) {
  struct stat st;
  if (lstat(name.c_str(), &st) < 0)
    return 0;
  return S_ISDIR(st.st_mode) ? 0 : 1;
}

int make_directory(const std::string &directory) {
  std::size_t from = (!directory.empty() && directory[0] == '/') ? 1 : 0;
  for (std::size_t slash = directory.find('/', from);; slash = directory.find('/', slash + 1)) {
    std::string prefix = directory.substr(0, slash);
    if (!file_exists_p(prefix) && mkdir(prefix.c_str(), 0777) < 0)
      return -1;
    if (slash == std::string::npos)
      return 0;
  }
}

int mkalldirs(const std::string &file) {
  std::size_t slash = file.rfind('/');
  if (slash == std::string::npos || slash == 0)
    return 0;
  std::string dir = file.substr(0, slash);
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode))
      return 0;
    // A plain file stands where a directory is needed: the directory wins.
    DEBUGP(("Removing %s because of directory danger!\n", dir.c_str()));
    unlink(dir.c_str());
  }
  int res = make_directory(dir);
  if (res < 0) {
    int saved_errno = errno;
    logprintf(LOG_NOTQUIET, "%s: %s", dir.c_str(), std::strerror(saved_errno));
    errno = saved_errno;
  }
  return res;
}

std::string file_merge(const std::string &base, const std::string &file) {
  std::size_t slash = base.rfind('/');
  if (slash == std::string::npos)
    return file;
  return base.substr(0, slash + 1) + file;
}

namespace {

// Reads fd to its end into an allocated buffer; false with errno on a read error.
bool read_into_buffer(int fd, file_contents &fc) {
  std::size_t capacity = 512;
  std::size_t used = 0;
  char *buf = static_cast<char *>(xmalloc_real(capacity));
  for (;;) {
    if (used > capacity / 2) {
      capacity *= 2;
      buf = static_cast<char *>(xrealloc_real(buf, capacity));
    }
    ssize_t got = read(fd, buf + used, capacity - used);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0) {
      int saved_errno = errno;
      std::free(buf);
      errno = saved_errno;
      return false;
    }
    if (got == 0)
      break;
    used += static_cast<std::size_t>(got);
  }
  if (used == 0) {
    std::free(buf);
    buf = nullptr;
  } else {
    buf = static_cast<char *>(xrealloc_real(buf, used));
  }
  fc.data = buf;
  fc.content_size = static_cast<int64_t>(used);
  fc.is_mapped = 0;
  return true;
}

// Maps a regular file of nonzero size privately; false when it cannot.
bool map_file(int fd, file_contents &fc) {
  struct stat st;
  if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) || st.st_size <= 0)
    return false;
  void *p = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED)
    return false;
  fc.data = static_cast<char *>(p);
  fc.content_size = st.st_size;
  fc.is_mapped = 1;
  return true;
}

}  // namespace

std::optional<file_contents> read_file(const std::string &name) {
  bool is_stdin = name == "-";
  int fd = is_stdin ? STDIN_FILENO : open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return std::nullopt;
  file_contents fc;
  bool ok = map_file(fd, fc) || read_into_buffer(fd, fc);
  int saved_errno = errno;
  if (!is_stdin)
    close(fd);
  errno = saved_errno;
  if (!ok)
    return std::nullopt;
  return fc;
}

void touch(const std::string &file, time_t tm) {
  struct timespec times[2] = {{tm, 0}, {tm, 0}};
  if (utimensat(AT_FDCWD, file.c_str(), times, 0) < 0)
    logprintf(LOG_NOTQUIET, "utime(%s): %s\n", file.c_str(), std::strerror(errno));
}

int remove_link(const std::string &name) {
  struct stat st;
  if (lstat(name.c_str(), &st) < 0 || !S_ISLNK(st.st_mode))
    return 0;
  DEBUGP(("Unlinking %s (symlink).\n", name.c_str()));
  int result = unlink(name.c_str());
  if (result < 0)
    logprintf(LOG_VERBOSE, "Failed to unlink symlink `%s': %s\n", name.c_str(),
              std::strerror(errno));
  return result;
}

int has_wildcards_p(std::string_view text) {
  return text.find_first_of("*?[]") != std::string_view::npos ? 1 : 0;
}

int match_tail(std::string_view text, std::string_view tail) {
  return text.ends_with(tail) ? 1 : 0;
}

int in_acclist(const string_vector &list, const std::string &name) {
  for (const std::string &entry : list) {
    if (has_wildcards_p(entry) ? fnmatch(entry.c_str(), name.c_str(), 0) == 0
                               : match_tail(name, entry))
      return 1;
  }
  return 0;
}

int acceptable(const std::string &name) {
  std::size_t slash = name.rfind('/');
  std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
  if (!opt.accept.empty() && !in_acclist(opt.accept, last))
    return 0;
  if (!opt.reject.empty() && in_acclist(opt.reject, last))
    return 0;
  return 1;
}

namespace {

std::string_view without_leading_slash(std::string_view text, int flags) {
  if ((flags & ACC_ALL_ABSOLUTE) && text.starts_with('/'))
    text.remove_prefix(1);
  return text;
}

bool dir_matches(const string_vector &list, std::string_view directory, int flags) {
  std::string dir(directory);
  for (const std::string &item : list) {
    std::string entry(without_leading_slash(item, flags));
    if (has_wildcards_p(entry) ? fnmatch(entry.c_str(), dir.c_str(), FNM_PATHNAME) == 0
                               : frontcmp(entry, dir))
      return true;
  }
  return false;
}

}  // namespace

int accdir(const std::string &directory, int flags) {
  std::string_view dir = without_leading_slash(directory, flags);
  if (!opt.includedirectories.empty() && !dir_matches(opt.includedirectories, dir, flags))
    return 0;
  if (!opt.excludedirectories.empty() && dir_matches(opt.excludedirectories, dir, flags))
    return 0;
  return 1;
}

std::optional<std::string> suffix(std::string_view name) {
  std::size_t at = name.find_last_of("./");
  if (at == std::string_view::npos || name[at] == '/')
    return std::nullopt;
  return std::string(name.substr(at + 1));
}

std::string html_quote_string(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case ' ': out += "&#32;"; break;
      default: out += c;
    }
  }
  return out;
}
