#include "log.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "utils.h"

namespace {

// Enough lines to show what was on the screen when the user asked for a file.
constexpr int SAVED_LOG_LINES = 24;
// Lines up to this length are saved without any allocation.
constexpr size_t STATIC_LENGTH = 128;

struct log_ln {
  char inline_text[STATIC_LENGTH + 1] = {};  // the line when it fits
  std::optional<std::string> heap_text;      // the line when it does not
  bool has_text = false;                     // false: the entry is empty

  const char *text() const { return heap_text ? heap_text->c_str() : inline_text; }
};

FILE *logfp = nullptr;
int inhibit_logging = 0;
int save_context_p = 0;
int flush_log_p = 1;
int needs_flushing = 0;
log_ln log_lines[SAVED_LOG_LINES];
int log_line_current = -1;
int trailing_line = 0;
// Written by the signal handler, read by the main flow.
volatile sig_atomic_t redirect_request = 0;
const char *volatile redirect_request_signal_name = nullptr;

enum { RR_NONE = 0, RR_REQUESTED = 1, RR_DONE = 2 };

FILE *log_stream() { return logfp ? logfp : stderr; }

// Whether a message of this level shows in the current verbosity.
bool level_shown(log_options level) {
  switch (level) {
    case LOG_VERBOSE:
      return opt.verbose != 0;
    case LOG_NOTQUIET:
      return !opt.quiet;
    case LOG_NONVERBOSE:
      return !opt.verbose && !opt.quiet;
    default:
      return true;
  }
}

void free_log_line(log_ln &ln) {
  ln.heap_text.reset();
  ln.inline_text[0] = '\0';
  ln.has_text = false;
}

// Saves one chunk (at most one line, its newline last if any) into the ring.
void saved_append_1(const char *start, const char *end) {
  size_t len = end - start;
  if (len == 0)
    return;
  if (!trailing_line) {
    if (log_line_current == -1)
      log_line_current = 0;
    log_ln &ln = log_lines[log_line_current];
    free_log_line(ln);
    if (len <= STATIC_LENGTH) {
      std::memcpy(ln.inline_text, start, len);
      ln.inline_text[len] = '\0';
    } else {
      ln.heap_text.emplace(start, len);
    }
    ln.has_text = true;
  } else {
    log_ln &ln = log_lines[log_line_current];
    if (ln.heap_text) {
      ln.heap_text->append(start, len);
    } else {
      size_t old_len = std::strlen(ln.inline_text);
      if (old_len + len <= STATIC_LENGTH) {
        std::memcpy(ln.inline_text + old_len, start, len);
        ln.inline_text[old_len + len] = '\0';
      } else {
        std::string joined(ln.inline_text, old_len);
        joined.append(start, len);
        ln.heap_text = std::move(joined);
        ln.inline_text[0] = '\0';
      }
    }
    ln.has_text = true;
  }
  trailing_line = end[-1] != '\n';
  if (!trailing_line)
    log_line_current = (log_line_current + 1) % SAVED_LOG_LINES;
}

// Cuts the text into newline-terminated chunks for the ring.
void saved_append(const char *text, size_t len) {
  const char *end = text + len;
  while (text < end) {
    const char *nl = static_cast<const char *>(std::memchr(text, '\n', end - text));
    const char *chunk_end = nl ? nl + 1 : end;
    saved_append_1(text, chunk_end);
    text = chunk_end;
  }
}

void after_write() {
  if (flush_log_p)
    logflush();
  else
    needs_flushing = 1;
}

// Writes the saved lines to the log stream, oldest first, the unfinished one last.
void log_dump_context() {
  if (inhibit_logging || log_line_current == -1)
    return;
  FILE *fp = log_stream();
  int num = log_line_current;
  if (trailing_line)
    num = (num + 1) % SAVED_LOG_LINES;
  do {
    const log_ln &ln = log_lines[num];
    if (ln.has_text)
      std::fputs(ln.text(), fp);
    num = (num + 1) % SAVED_LOG_LINES;
  } while (num != log_line_current);
  if (trailing_line && log_lines[log_line_current].has_text)
    std::fputs(log_lines[log_line_current].text(), fp);
  std::fflush(fp);
}

// Moves the log to a fresh file when a signal asked for it.
void check_redirect_output() {
  if (redirect_request != RR_REQUESTED)
    return;
  redirect_request = RR_DONE;
  // Created afresh, never through a link someone planted under that name.
  std::string name;
  int fd = unique_create("tuvo-log", name);
  int saved_errno = errno;
  if (fd < 0)
    name = unique_name("tuvo-log");
  std::fprintf(stderr, "\n%s received, redirecting output to `%s'.\n",
               redirect_request_signal_name, name.c_str());
  FILE *fp = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
  if (fd >= 0 && !fp) {
    saved_errno = errno;
    ::close(fd);
  }
  if (fp) {
    logfp = fp;
    log_dump_context();
  } else {
    std::fprintf(stderr, "%s: %s; disabling logging.\n", name.c_str(), std::strerror(saved_errno));
    inhibit_logging = 1;
  }
  save_context_p = 0;
}

// One formatting attempt; false asks for another with the grown buffer.
bool logvprintf(std::vector<char> &buffer, const char *fmt, va_list args) {
  FILE *fp = log_stream();
  if (!save_context_p) {
    std::vfprintf(fp, fmt, args);
    return true;
  }
  char local[STATIC_LENGTH];
  char *write_ptr = buffer.empty() ? local : buffer.data();
  size_t available = buffer.empty() ? sizeof local : buffer.size();
  int needed = std::vsnprintf(write_ptr, available, fmt, args);
  if (needed < 0) {
    buffer.resize(available * 2);
    return false;
  }
  if (static_cast<size_t>(needed) >= available) {
    buffer.resize(static_cast<size_t>(needed) + 1);
    return false;
  }
  saved_append(write_ptr, needed);
  std::fwrite(write_ptr, 1, needed, fp);
  return true;
}

void log_vformat(const char *fmt, va_list args) {
  std::vector<char> buffer;
  for (;;) {
    va_list attempt;
    va_copy(attempt, args);
    bool done = logvprintf(buffer, fmt, attempt);
    va_end(attempt);
    if (done)
      break;
  }
  after_write();
}

}  // namespace

void log_init(const char *file, int appendp) {
  if (file) {
    logfp = std::fopen(file, appendp ? "a" : "w");
    if (!logfp) {
      std::fprintf(stderr, "%s: %s\n", file, std::strerror(errno));
      std::exit(1);
    }
    return;
  }
  logfp = stderr;
  if (::isatty(STDERR_FILENO))
    save_context_p = 1;
}

void logputs(log_options level, const char *text) {
  check_redirect_output();
  if (inhibit_logging || !level_shown(level))
    return;
  FILE *fp = log_stream();
  size_t len = std::strlen(text);
  std::fwrite(text, 1, len, fp);
  if (save_context_p)
    saved_append(text, len);
  after_write();
}

void logprintf(log_options level, const char *fmt, ...) {
  check_redirect_output();
  if (inhibit_logging || !level_shown(level))
    return;
  va_list args;
  va_start(args, fmt);
  log_vformat(fmt, args);
  va_end(args);
}

void debug_logprintf(const char *fmt, ...) {
  if (!opt.debug)
    return;
  check_redirect_output();
  if (inhibit_logging)
    return;
  va_list args;
  va_start(args, fmt);
  log_vformat(fmt, args);
  va_end(args);
}

void logflush() {
  if (!inhibit_logging)
    std::fflush(log_stream());
  needs_flushing = 0;
}

void log_set_flush(int flush) {
  if (flush == flush_log_p)
    return;
  if (flush && needs_flushing)
    logflush();
  flush_log_p = flush;
}

int log_set_save_context(int savep) {
  int old = save_context_p;
  save_context_p = savep;
  return old;
}

void log_request_redirect_output(const char *signal_name) {
  redirect_request_signal_name = signal_name;
  if (redirect_request == RR_NONE && save_context_p)
    redirect_request = RR_REQUESTED;
}

void log_close() {
  // Standard error belongs to the process, not to the log: later
  // diagnostics (and the sanitizers' reports) still need it.
  if (logfp && logfp != stderr)
    std::fclose(logfp);
  else if (logfp)
    std::fflush(logfp);
  logfp = nullptr;
  inhibit_logging = 1;
  save_context_p = 0;
  for (log_ln &ln : log_lines)
    free_log_line(ln);
  log_line_current = -1;
  trailing_line = 0;
}
