// HTTP header lines read through the read buffer, with continuation lines,
// and the processors that pick values out of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "rbuf.h"

enum header_get_result {
  HEADER_LINE_OK = 0,     // a line was read
  HEADER_LINE_ERROR = 1,  // the connection failed, or a size cap was passed
  HEADER_LINE_EOF = 2,    // the connection ended
};

// header_get flag: the line never continues on the next (status lines).
constexpr int HEADER_LINE_NO_CONTINUATION = 2;

// Longest header line, continuation lines included.  A server sending more
// makes header_get fail with HEADER_LINE_ERROR and errno EMSGSIZE.
constexpr size_t MAX_HEADER_LINE = 64 * 1024;
// Most bytes of one response head (rbuf::head_bytes); same failure.
constexpr size_t MAX_HEADER_BLOCK = 1024 * 1024;

// Reads one line into `line` (replaced; without its CR LF) and returns a
// header_get_result.  Continuation lines are joined with their CR LF and
// blanks kept.  After an empty line nothing more is read.  On EOF or error
// `line` holds what was read so far.
int header_get(rbuf &rb, std::string &line, int flags);

// A header processor gets the value (valid only during the call) and its
// closure; nonzero means it consumed the header.
using header_processor = int (*)(const char *value, void *closure);

// When line is "name:" (name case-insensitive, no blank before the colon),
// returns the processor's result for the value after the colon and the
// blanks; otherwise 0.
int header_process(const std::string &line, const char *name,
                   header_processor proc, void *closure);

// Closure int64_t*: stores a decimal number followed only by blanks; 1 on
// success, 0 for no digits, trailing garbage or a value past INT64_MAX.
int header_extract_number(const char *value, void *closure);
// Closure std::optional<std::string>*: stores a copy of the value; 1.
int header_strdup(const char *value, void *closure);
// Closure int*: stores 1; returns 1.
int header_exists(const char *value, void *closure);

// Number of leading spaces, tabs, CRs and LFs.
int skip_lws(const char *text);
