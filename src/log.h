// The log facility: levelled messages to the log stream (a file or standard
// error), with the last lines kept while the log is a terminal so that a
// signal can move the output to a file without losing context.
#pragma once

#include "settings.h"

enum log_options : unsigned {
  LOG_VERBOSE = 0,     // shown with the verbose setting
  LOG_NOTQUIET = 1,    // shown unless quiet
  LOG_NONVERBOSE = 2,  // shown only when neither verbose nor quiet
  LOG_ALWAYS = 3,      // always shown
};

#define TUVO_PRINTF(f, a) __attribute__((format(printf, f, a)))

// Opens FILE (appended to when APPENDP, else truncated) as the log, or with
// none logs to standard error and, on a terminal, keeps the last 24 lines.
// Ends the program with status 1 when the file cannot be opened.
void log_init(const char *file, int appendp);
// Writes TEXT unchanged when LEVEL shows in the current verbosity.
void logputs(log_options level, const char *text);
// Writes a printf-style message when LEVEL shows in the current verbosity.
void logprintf(log_options level, const char *fmt, ...) TUVO_PRINTF(2, 3);
// Writes a printf-style message when the debug setting is on.
void debug_logprintf(const char *fmt, ...) TUVO_PRINTF(1, 2);
// Flushes the log stream.
void logflush();
// 0 defers flushing until it is turned back on with 1 (which flushes once).
void log_set_flush(int flush);
// Switches saving of terminal lines; returns the previous setting.
int log_set_save_context(int savep);
// Signal-safe: asks the next log write to move the log to a fresh
// "tuvo-log" file (only while the log is a terminal, at most once per run).
void log_request_redirect_output(const char *signal_name);
// Closes the log (standard error stays open); nothing is logged afterwards.
void log_close();

// Debug tracing: DEBUGP(("fmt", args)) costs one test when debug is off.
#define DEBUGP(args) \
  do {               \
    if (opt.debug)   \
      debug_logprintf args; \
  } while (0)
