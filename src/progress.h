// The progress displays of a body transfer: rows of dots for log files, a
// bar redrawn in place for terminals.  Everything is written through the log
// at verbose level; a display exists only in verbose runs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

// Rows of dots, one dot per `dotbytes` bytes.
struct dot_display {
  int64_t initial = 0;        // bytes present before this transfer (resumption)
  int64_t total = 0;          // announced length; 0 or less when none
  int64_t pending = 0;        // bytes received but not yet shown as a dot
  int64_t rows_done = 0;      // completed rows, counting those skipped for `initial`
  int64_t dots = 0;           // dots printed in the current row
  int64_t last_row_time = 0;  // elapsed ms when the previous row ended
  int64_t dot_bytes = 0;      // style in force when the display was created:
  int64_t dot_spacing = 0;    //   bytes per dot, dots per group,
  int64_t dots_in_line = 0;   //   dots per row (never 0)
};

// One line redrawn in place.
struct bar_display {
  int64_t initial = 0;           // bytes present before this transfer
  int64_t total = 0;             // announced length (grows when more arrives); 0 or less when none
  int64_t received = 0;          // bytes received in this transfer
  int64_t last_update_time = 0;  // elapsed ms of the last redraw
  int width = 0;                 // characters in the image: screen_width - 1
  std::string buffer;            // the last image built, exactly `width` characters
  int64_t bounce_step = 0;       // redraws so far of the "<=>" shown when no length is known
};

struct progress_implementation;

// One display per transfer, from progress_create to progress_finish.
struct progress_display {
  const progress_implementation *impl;        // the row that draws it
  std::variant<dot_display, bar_display> state;
};

// A row of the implementation table: a name and its four operations.
struct progress_implementation {
  const char *name;
  std::unique_ptr<progress_display> (*create)(int64_t initial, int64_t total);
  void (*update)(progress_display &display, int64_t bytes, int64_t elapsed);
  void (*finish)(progress_display &display, int64_t elapsed);
  void (*set_params)(const char *params);  // nullptr when none
};

// 1 when the name part of SPEC (before any ':') is a prefix of "dot" or "bar".
int valid_progress_implementation_p(const char *spec);
// Makes SPEC's implementation current (none means "bar") and passes it the
// text after ':'; aborts on a name that valid_progress_implementation_p refuses.
void set_progress_implementation(const std::optional<std::string> &spec);
// Asks the next progress_create to switch to dots (signal-safe: stores a flag).
void progress_schedule_redirect();
// A new display owned by the caller; INITIAL bytes were present before,
// TOTAL is the announced length (0 or less when none).
std::unique_ptr<progress_display> progress_create(int64_t initial, int64_t total);
// Counts BYTES just received at ELAPSED ms since the transfer began.
void progress_update(progress_display &display, int64_t bytes, int64_t elapsed);
// Draws the final state and consumes the display.
void progress_finish(std::unique_ptr<progress_display> display, int64_t elapsed);
// The SIGWINCH handler: adopts the terminal width when it is 45 or more.
void progress_handle_sigwinch(int signal);

// The bar's image at ELAPSED ms: exactly display.width characters, also
// stored in display.buffer.  Advances the bounce animation when no length is known.
const std::string &create_image(bar_display &display, int64_t elapsed);
