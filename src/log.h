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

void log_init(const char *file, int appendp);
void logputs(log_options level, const char *text);
void logprintf(log_options level, const char *fmt, ...) TUVO_PRINTF(2, 3);
void debug_logprintf(const char *fmt, ...) TUVO_PRINTF(1, 2);
void logflush();
void log_set_flush(int flush);
int log_set_save_context(int savep);
void log_request_redirect_output(const char *signal_name);
void log_close();

// Debug tracing: DEBUGP(("fmt", args)) costs one test when debug is off.
#define DEBUGP(args) \
  do {               \
    if (opt.debug)   \
      debug_logprintf args; \
  } while (0)
