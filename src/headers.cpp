#include "headers.h"

#include <cerrno>
#include <cstdint>

#include "ascii.h"
#include "log.h"

namespace {



bool is_lws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Drops the line feed ending line, and a carriage return before it.
void strip_line_end(std::string &line) {
  if (!line.empty() && line.back() == '\n')
    line.pop_back();
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
}

}  // namespace

int header_get(rbuf &rb, std::string &line, int flags) {
  line.clear();
  line.reserve(80);
  for (;;) {
    char c;
    int res = rbuf_next_byte(rb, &c);
    if (res == 0)
      return HEADER_LINE_EOF;
    if (res < 0)
      return HEADER_LINE_ERROR;
    // A server must not make us hold an endless line or head in memory.
    if (line.size() >= MAX_HEADER_LINE || rb.head_bytes >= MAX_HEADER_BLOCK) {
      errno = EMSGSIZE;
      return HEADER_LINE_ERROR;
    }
    ++rb.head_bytes;
    line.push_back(c);
    if (c != '\n')
      continue;
    // The blank line ending a head is never followed by a look-ahead: the
    // bytes after it belong to the body.
    if ((flags & HEADER_LINE_NO_CONTINUATION) || line.size() == 1 ||
        (line.size() == 2 && line[0] == '\r'))
      break;
    char next;
    res = rbuf_peek(rb, &next);
    if (res == 0) {
      strip_line_end(line);
      return HEADER_LINE_EOF;
    }
    if (res < 0)
      return HEADER_LINE_ERROR;
    if (next != ' ' && next != '\t')
      break;
  }
  strip_line_end(line);
  DEBUGP(("%s\n", line.c_str()));
  return HEADER_LINE_OK;
}

int header_process(const std::string &line, const char *name, header_processor proc,
                   void *closure) {
  size_t i = 0;
  for (; name[i]; i++)
    if (i >= line.size() || c_tolower(name[i]) != c_tolower(line[i]))
      return 0;
  if (i >= line.size() || line[i] != ':')
    return 0;
  const char *value = line.c_str() + i + 1;
  value += skip_lws(value);
  return proc(value, closure);
}

int header_extract_number(const char *value, void *closure) {
  const char *p = value;
  int64_t result = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    int digit = *p - '0';
    if (result > (INT64_MAX - digit) / 10)
      return 0;
    result = result * 10 + digit;
  }
  if (p == value)
    return 0;
  p += skip_lws(p);
  if (*p)
    return 0;
  *static_cast<int64_t *>(closure) = result;
  return 1;
}

int header_strdup(const char *value, void *closure) {
  *static_cast<std::optional<std::string> *>(closure) = std::string(value);
  return 1;
}

int header_exists(const char *, void *closure) {
  *static_cast<int *>(closure) = 1;
  return 1;
}

int skip_lws(const char *text) {
  int n = 0;
  while (is_lws(text[n]))
    ++n;
  return n;
}
