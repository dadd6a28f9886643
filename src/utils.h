// Small helpers shared by the whole program: texts, comma lists, string lists
// and sets, number and time formatting, the millisecond timer, going to the
// background, the terminal width, random numbers, and local file and
// directory operations.
//
// Allocation never fails visibly: this module installs a new-handler at
// start-up that reports "Not enough memory." at always level and exits 1.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <forward_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hash.h"

// ---- Allocation -------------------------------------------------------------

// Reports exhaustion of memory in the call named `what` and exits with status 1.
[[noreturn]] void memfatal(const char *what);
// malloc that never returns null; the block is the caller's, freed with free().
void *xmalloc_real(std::size_t size);
// realloc that never returns null; a null block allocates a new one.
void *xrealloc_real(void *block, std::size_t size);
// strdup that never returns null; the copy is the caller's, freed with free().
char *xstrdup_real(const char *text);

// ---- Texts ------------------------------------------------------------------

// Copy of the characters from begin up to, not including, end.
std::string strdupdelim(const char *begin, const char *end);
// Copy with ASCII A-Z turned to lower case; other bytes unchanged.
std::string xstrdup_lower(std::string_view text);
// Number of occurrences of c in the text.
int count_char(std::string_view text, char c);
// 1 when prefix is a prefix of text (case-sensitive), else 0.
int frontcmp(std::string_view prefix, std::string_view text);

// ---- Comma lists and string vectors ------------------------------------------

// An empty vector stands for "none".
using string_vector = std::vector<std::string>;

// Items of a comma list; blanks after each comma are skipped, nothing else is
// trimmed; null or empty text gives none.
string_vector sepstring(const char *text);
// first followed by the items of second.
string_vector merge_vecs(string_vector first, string_vector second);
// Empties the vector (it becomes none).
void free_vec(string_vector &vec);

// ---- String lists -----------------------------------------------------------

// A singly linked list of owned texts; the empty list is "none".
using slist = std::forward_list<std::string>;

// Adds a copy of text at the end (walks the list).
void slist_append(slist &list, const std::string &text);
// Adds a copy of text at the front.
void slist_prepend(slist &list, const std::string &text);
// Reverses the list in place.
void slist_nreverse(slist &list);
// 1 when some item equals text exactly.
int slist_contains(const slist &list, const std::string &text);
// Empties the list.
void slist_free(slist &list);

// ---- String sets ------------------------------------------------------------

// A set of texts with exact comparison; every value is the marker "1".
using string_set = hash_table<std::string, const char *>;

// A new, empty set sized for `items` texts.
string_set make_string_set(std::size_t items);
// Adds text unless present.
void string_set_add(string_set &set, const std::string &text);
// 1 when text is in the set.
int string_set_contains(const string_set &set, const std::string &text);
// Removes every text; the set must not be used again.
void string_set_free(string_set &set);

// Removes every key and value of a table; the table stays usable.
template <class K, class V>
void free_keys_and_values(hash_table<K, V> &table) {
  hash_table_clear(table);
}

// ---- Numbers and times ------------------------------------------------------

// Room number_to_string needs for any 64-bit number, NUL included.
constexpr std::size_t NUMBER_BUFFER_SIZE = 21;

// Writes the decimal form of number (leading "-" for negatives) into buffer,
// which holds at least NUMBER_BUFFER_SIZE bytes; returns the terminating NUL.
char *number_to_string(char *buffer, int64_t number);
// Number of characters number_to_string writes, "-" included.
int numdigit(int64_t number);
// Decimal form with "," between groups of three digits: 1234567 -> "1,234,567".
std::string legible(int64_t number);
// The same for an unsigned 64-bit number.
std::string legible_very_long(uint64_t number);
// Current local time as "HH:MM:SS" (empty when the clock fails); also stores
// the current time in *place when place is not null.
std::string time_str(time_t *place);
// Current local time as "YYYY-MM-DD HH:MM:SS"; place as for time_str.
std::string datetime_str(time_t *place);

// ---- Timer ------------------------------------------------------------------

// A millisecond stopwatch on the monotonic clock, so that setting the system
// clock never makes an elapsed time negative.
struct wtimer {
  std::chrono::steady_clock::time_point start;  // clock reading at the last reset
};

// A timer that has not been started; wtimer_reset it before reading it.
wtimer wtimer_allocate();
// A timer started now.
wtimer wtimer_new();
// (Re)starts the timer.
void wtimer_reset(wtimer &timer);
// Milliseconds since the last reset; never negative.
int64_t wtimer_elapsed(const wtimer &timer);
// The smallest measurable interval in milliseconds: 1.
int wtimer_granularity();

// ---- Process and terminal ---------------------------------------------------

// Forks; the parent reports the child's pid (and the chosen log file) and
// exits 0; the child starts a new session with its standard streams on
// /dev/null and returns.  Without a log file setting, "tuvo-log" or the first
// free numbered variant is created exclusively and becomes opt.logfile.
void fork_to_background();
// Columns of the terminal on standard error; 0 with a log file or on failure.
int determine_screen_width();
// A number from 0 to max - 1 (the generator is seeded on first use).
int random_number(int max);

// ---- Files and directories --------------------------------------------------

// Flags of accdir.
enum { ACC_ALL_ABSOLUTE = 1 };  // compare without one leading "/"

// The bytes of a whole file, mapped or in an allocated buffer; released when
// the record is destroyed.
struct file_contents {
  char *data = nullptr;      // the bytes, not NUL-terminated; null when empty
  int64_t content_size = 0;  // number of bytes
  int is_mapped = 0;         // 1 when data is a private mapping of the file

  file_contents() = default;
  file_contents(const file_contents &) = delete;
  file_contents &operator=(const file_contents &) = delete;
  file_contents(file_contents &&other) noexcept;
  file_contents &operator=(file_contents &&other) noexcept;
  ~file_contents();
};

// 1 when the name can be reached (access test), else 0.
int file_exists_p(const std::string &name);
// 1 when the name exists (final symbolic link not followed) and is not a directory.
int file_non_directory_p(const std::string &name);
// Creates every missing directory of the path, mode 0777 less umask; 0 or -1.
int make_directory(const std::string &directory);
// Makes the directories leading to file; 0 on success, else -1 (logged).
int mkalldirs(const std::string &file);
// The name itself when nothing has that name (not even a dangling symbolic
// link), else the first free of name.1, name.2, ...
std::string unique_name(const std::string &name);
// Creates the first free of name, name.1, name.2, ... with O_EXCL|O_NOFOLLOW
// (never through a symbolic link); stores the chosen name and returns the open
// descriptor (caller closes it), or -1 with errno set.
int unique_create(const std::string &name, std::string &chosen);
// base with its last component replaced by file.
std::string file_merge(const std::string &base, const std::string &file);
// The whole file ("-" is standard input, left open), or none with errno set.
std::optional<file_contents> read_file(const std::string &name);
// One line with its newline (none at a missing final newline), or none at end
// of input or on a read error.
std::optional<std::string> read_whole_line(FILE *stream);
// Sets access and modification time of file; failures are logged.
void touch(const std::string &file, time_t tm);
// 0 when name is not a symbolic link or was removed; the unlink result otherwise.
int remove_link(const std::string &name);
// 1 when the text has any of "*?[]".
int has_wildcards_p(std::string_view text);
// 1 when the last component of name passes opt.accept and opt.reject.
int acceptable(const std::string &name);
// 1 when directory passes opt.includedirectories and opt.excludedirectories.
int accdir(const std::string &directory, int flags);
// 1 when name matches an entry: a pattern (fnmatch) or else a tail of name.
int in_acclist(const string_vector &list, const std::string &name);
// 1 when text ends with tail.
int match_tail(std::string_view text, std::string_view tail);
// Text after the last "." of the last component, or none without a ".".
std::optional<std::string> suffix(std::string_view name);
// Copy with & < > " and blank replaced by HTML entities.
std::string html_quote_string(std::string_view text);
