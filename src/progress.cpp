#include "progress.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "retr.h"
#include "settings.h"
#include "utils.h"

namespace {

std::unique_ptr<progress_display> dot_create(int64_t initial, int64_t total);
void dot_update(progress_display &display, int64_t bytes, int64_t elapsed);
void dot_finish(progress_display &display, int64_t elapsed);
void dot_set_params(const char *params);
std::unique_ptr<progress_display> bar_create(int64_t initial, int64_t total);
void bar_update(progress_display &display, int64_t bytes, int64_t elapsed);
void bar_finish(progress_display &display, int64_t elapsed);
void bar_set_params(const char *params);

const progress_implementation implementations[] = {
    {"dot", dot_create, dot_update, dot_finish, dot_set_params},
    {"bar", bar_create, bar_update, bar_finish, bar_set_params},
};

const progress_implementation *current_impl = nullptr;
int current_impl_locked = 0;
volatile std::sig_atomic_t output_redirected = 0;
volatile std::sig_atomic_t screen_width = 80;

// Narrower terminals are taken for a failed query: the bar needs its fields.
constexpr int MINIMUM_SCREEN_WIDTH = 45;
// The bar is redrawn at most this often, in ms.
constexpr int64_t BAR_REDRAW_INTERVAL = 200;

const progress_implementation *find_implementation(const char *spec) {
  size_t name_length = std::strcspn(spec, ":");
  for (const progress_implementation &impl : implementations)
    if (std::strncmp(impl.name, spec, name_length) == 0)
      return &impl;
  return nullptr;
}

// snprintf onto the end of TEXT; never writes past what it reserves.
void append_format(std::string &text, const char *fmt, ...) TUVO_PRINTF(2, 3);
void append_format(std::string &text, const char *fmt, ...) {
  char piece[128];
  va_list args;
  va_start(args, fmt);
  int needed = std::vsnprintf(piece, sizeof piece, fmt, args);
  va_end(args);
  if (needed <= 0)
    return;
  text.append(piece, std::min<size_t>(static_cast<size_t>(needed), sizeof piece - 1));
}

// 100 * PART / TOTAL truncated, kept within what an int64_t can hold.
int64_t percent_of(double part, int64_t total) {
  double percent = 100.0 * part / static_cast<double>(total);
  return static_cast<int64_t>(std::clamp(percent, 0.0, 1e15));
}

// ---- Dots -------------------------------------------------------------------

struct dot_style {
  const char *name;
  int64_t dot_bytes;
  int dot_spacing;
  int dots_in_line;
};

const dot_style dot_styles[] = {
    {"default", 1024, 10, 50},
    {"binary", 8192, 16, 48},
    {"mega", 65536, 8, 48},
    {"giga", 1048576, 8, 32},
};

dot_display &dots_of(progress_display &display) { return std::get<dot_display>(display.state); }

// The style in force, with the default one standing in for settings that
// would divide by zero or overflow a row's byte count.
void adopt_dot_style(dot_display &dp) {
  int64_t bytes = opt.dotbytes, spacing = opt.dotspacing, in_line = opt.dots_in_line;
  if (bytes <= 0 || spacing <= 0 || in_line <= 0 || bytes > INT64_MAX / in_line) {
    bytes = dot_styles[0].dot_bytes;
    spacing = dot_styles[0].dot_spacing;
    in_line = dot_styles[0].dots_in_line;
  }
  dp.dot_bytes = bytes;
  dp.dot_spacing = spacing;
  dp.dots_in_line = in_line;
}

void print_row_header(int64_t kilobytes) {
  logprintf(LOG_VERBOSE, "\n%5" PRId64 "K", kilobytes);
}

// Bytes of the current row that this transfer received.
int64_t row_bytes_received(const dot_display &dp, int64_t row_bytes_in_row) {
  int64_t row_bytes = dp.dot_bytes * dp.dots_in_line;
  if (dp.rows_done == dp.initial / row_bytes)
    row_bytes_in_row -= dp.initial % row_bytes;
  return row_bytes_in_row;
}

std::unique_ptr<progress_display> dot_create(int64_t initial, int64_t total) {
  auto display = std::make_unique<progress_display>(progress_display{&implementations[0], dot_display{}});
  dot_display &dp = dots_of(*display);
  adopt_dot_style(dp);
  dp.initial = std::max<int64_t>(initial, 0);
  dp.total = total;
  if (dp.initial == 0)
    return display;
  int64_t row_bytes = dp.dot_bytes * dp.dots_in_line;
  int64_t remainder = dp.initial % row_bytes;
  int64_t skipped = dp.initial - remainder;
  if (skipped > 0) {
    int skipped_k_len = std::max(numdigit(skipped / 1024), 5);
    logprintf(LOG_VERBOSE, "\n%*s[ skipping %" PRId64 "K ]", 2 + skipped_k_len, "", skipped / 1024);
  }
  print_row_header(skipped / 1024);
  for (; remainder >= dp.dot_bytes; remainder -= dp.dot_bytes) {
    if (dp.dots % dp.dot_spacing == 0)
      logputs(LOG_VERBOSE, " ");
    logputs(LOG_VERBOSE, ",");
    ++dp.dots;
  }
  dp.pending = remainder;
  dp.rows_done = skipped / row_bytes;
  return display;
}

void dot_update(progress_display &display, int64_t bytes, int64_t elapsed) {
  dot_display &dp = dots_of(display);
  int64_t row_bytes = dp.dot_bytes * dp.dots_in_line;
  log_set_flush(0);
  dp.pending += std::max<int64_t>(bytes, 0);
  for (; dp.pending >= dp.dot_bytes; dp.pending -= dp.dot_bytes) {
    if (dp.dots == 0)
      print_row_header(dp.rows_done * row_bytes / 1024);
    if (dp.dots % dp.dot_spacing == 0)
      logputs(LOG_VERBOSE, " ");
    logputs(LOG_VERBOSE, ".");
    if (++dp.dots < dp.dots_in_line)
      continue;
    int64_t received = row_bytes_received(dp, row_bytes);
    ++dp.rows_done;
    dp.dots = 0;
    if (dp.total > 0)
      logprintf(LOG_VERBOSE, "%3" PRId64 "%%",
                percent_of(static_cast<double>(dp.rows_done) * static_cast<double>(row_bytes), dp.total));
    logprintf(LOG_VERBOSE, " %s", retr_rate(received, elapsed - dp.last_row_time, 1).c_str());
    dp.last_row_time = elapsed;
  }
  log_set_flush(1);
}

void dot_finish(progress_display &display, int64_t elapsed) {
  dot_display &dp = dots_of(display);
  int64_t row_bytes = dp.dot_bytes * dp.dots_in_line;
  log_set_flush(0);
  if (dp.dots == 0)
    print_row_header(dp.rows_done * row_bytes / 1024);
  for (int64_t i = dp.dots; i < dp.dots_in_line; i++) {
    if (i % dp.dot_spacing == 0)
      logputs(LOG_VERBOSE, " ");
    logputs(LOG_VERBOSE, " ");
  }
  int64_t in_row = dp.dots * dp.dot_bytes + dp.pending;
  if (dp.total > 0)
    logprintf(LOG_VERBOSE, "%3" PRId64 "%%",
              percent_of(static_cast<double>(dp.rows_done) * static_cast<double>(row_bytes) +
                             static_cast<double>(in_row),
                         dp.total));
  logprintf(LOG_VERBOSE, " %s", retr_rate(row_bytes_received(dp, in_row), elapsed - dp.last_row_time, 1).c_str());
  logputs(LOG_VERBOSE, "\n\n");
  log_set_flush(1);
}

void dot_set_params(const char *params) {
  if (!params || !*params)
    params = opt.dotstyle ? opt.dotstyle->c_str() : nullptr;
  if (!params)
    return;
  for (const dot_style &style : dot_styles) {
    if (strcasecmp(params, style.name) != 0)
      continue;
    opt.dotbytes = style.dot_bytes;
    opt.dotspacing = style.dot_spacing;
    opt.dots_in_line = style.dots_in_line;
    return;
  }
  std::fprintf(stderr, "Invalid dot style specification `%s'; leaving unchanged.\n", params);
}

// ---- Bar --------------------------------------------------------------------

bar_display &bar_of(progress_display &display) { return std::get<bar_display>(display.state); }

void display_image(const std::string &image) {
  int old = log_set_save_context(0);
  logputs(LOG_VERBOSE, "\r");
  logputs(LOG_VERBOSE, image.c_str());
  log_set_save_context(old);
}

std::unique_ptr<progress_display> bar_create(int64_t initial, int64_t total) {
  auto display = std::make_unique<progress_display>(progress_display{&implementations[1], bar_display{}});
  bar_display &bp = bar_of(*display);
  bp.initial = std::max<int64_t>(initial, 0);
  bp.total = total;
  bp.width = screen_width - 1;
  logputs(LOG_VERBOSE, "\n");
  display_image(create_image(bp, 0));
  return display;
}

void bar_update(progress_display &display, int64_t bytes, int64_t elapsed) {
  bar_display &bp = bar_of(display);
  bool force = false;
  bp.received += std::max<int64_t>(bytes, 0);
  if (bp.total > 0 && bp.initial + bp.received > bp.total)
    bp.total = bp.initial + bp.received;
  if (screen_width - 1 != bp.width) {
    bp.width = screen_width - 1;
    force = true;
  }
  if (!force && elapsed - bp.last_update_time < BAR_REDRAW_INTERVAL)
    return;
  bp.last_update_time = elapsed;
  display_image(create_image(bp, elapsed));
}

void bar_finish(progress_display &display, int64_t elapsed) {
  bar_display &bp = bar_of(display);
  display_image(create_image(bp, elapsed == 0 ? 1 : elapsed));
  logputs(LOG_VERBOSE, "\n\n");
}

void bar_set_params(const char *params) {
  if (params && std::strcmp(params, "force") == 0)
    current_impl_locked = 1;
  if ((opt.logfile || !isatty(STDERR_FILENO)) && !current_impl_locked) {
    set_progress_implementation("dot");
    return;
  }
  int width = determine_screen_width();
  if (width >= MINIMUM_SCREEN_WIDTH)
    screen_width = width;
}

void append_percentage(std::string &image, const bar_display &bp, int64_t size) {
  if (bp.total <= 0) {
    image += "    ";
    return;
  }
  int64_t percent = std::min<int64_t>(percent_of(static_cast<double>(size), bp.total), 100);
  if (percent < 100)
    append_format(image, "%2d%% ", static_cast<int>(percent));
  else
    image += "100%";
}

void append_bar(std::string &image, bar_display &bp, int64_t size, int length) {
  if (length <= 0)
    return;
  std::string bar(static_cast<size_t>(length), ' ');
  if (bp.total > 0) {
    double fraction = std::clamp(static_cast<double>(size) / static_cast<double>(bp.total), 0.0, 1.0);
    int filled = static_cast<int>(fraction * length);
    if (filled > 0) {
      bar.replace(0, static_cast<size_t>(filled - 1), static_cast<size_t>(filled - 1), '=');
      bar[static_cast<size_t>(filled - 1)] = '>';
    }
  } else {
    int64_t period = 2 * static_cast<int64_t>(length) - 6;
    int64_t q = bp.bounce_step % period;
    int64_t middle = q < length - 2 ? q + 1 : 2 * static_cast<int64_t>(length) - 5 - q;
    bar.replace(static_cast<size_t>(middle - 1), 3, "<=>");
    ++bp.bounce_step;
  }
  image += '[';
  image += bar;
  image += ']';
}

void append_speed(std::string &image, const bar_display &bp, int64_t elapsed) {
  static const char *const short_units[] = {"B/s", "K/s", "M/s", "G/s"};
  if (elapsed <= 0 || bp.received <= 0) {
    image += "   --.--K/s";
    return;
  }
  int units = 0;
  double rate = calc_rate(bp.received, elapsed, &units);
  append_format(image, " %7.2f%s", rate, short_units[units]);
}

void append_eta(std::string &image, const bar_display &bp, int64_t size, int64_t elapsed) {
  if (bp.total <= 0)
    return;
  if (bp.received <= 0) {
    image += "    ETA --:--";
    return;
  }
  double left = static_cast<double>(std::max<int64_t>(elapsed, 0)) / 1000.0 *
                static_cast<double>(std::max<int64_t>(bp.total - size, 0)) / static_cast<double>(bp.received);
  int64_t eta = static_cast<int64_t>(std::min(left, 1e12));
  int64_t hours = eta / 3600, minutes = eta / 60 % 60, seconds = eta % 60;
  if (hours == 0 || hours > 99)
    image += "   ";
  else if (hours < 10)
    image += ' ';
  image += " ETA ";
  if (hours == 0)
    append_format(image, "%02d:%02d", static_cast<int>(minutes), static_cast<int>(seconds));
  else if (hours <= 99)
    append_format(image, "%d:%02d:%02d", static_cast<int>(hours), static_cast<int>(minutes),
                  static_cast<int>(seconds));
  else
    image += "--:--";
}

}  // namespace

// ---- Table and dispatch -----------------------------------------------------

int valid_progress_implementation_p(const char *spec) {
  return spec && find_implementation(spec) ? 1 : 0;
}

void set_progress_implementation(const std::optional<std::string> &spec) {
  const char *text = spec ? spec->c_str() : "bar";
  const progress_implementation *impl = find_implementation(text);
  if (!impl) {
    std::fprintf(stderr, "%s: invalid progress implementation `%s'\n", exec_name.c_str(), text);
    std::abort();
  }
  current_impl = impl;
  current_impl_locked = 0;
  const char *colon = std::strchr(text, ':');
  impl->set_params(colon ? colon + 1 : nullptr);
}

void progress_schedule_redirect() { output_redirected = 1; }

std::unique_ptr<progress_display> progress_create(int64_t initial, int64_t total) {
  if (output_redirected && !current_impl_locked)
    set_progress_implementation("dot");
  output_redirected = 0;
  if (!current_impl)
    set_progress_implementation(std::nullopt);
  return current_impl->create(initial, total);
}

void progress_update(progress_display &display, int64_t bytes, int64_t elapsed) {
  display.impl->update(display, bytes, elapsed);
}

void progress_finish(std::unique_ptr<progress_display> display, int64_t elapsed) {
  if (display)
    display->impl->finish(*display, elapsed);
}

void progress_handle_sigwinch(int) {
  int width = determine_screen_width();
  if (width >= MINIMUM_SCREEN_WIDTH)
    screen_width = width;
  std::signal(SIGWINCH, progress_handle_sigwinch);
}

const std::string &create_image(bar_display &bp, int64_t elapsed) {
  int64_t size = bp.initial + bp.received;
  std::string size_text = legible(size);
  int width = std::max(bp.width, 0);
  int bar_length = width - std::max(static_cast<int>(size_text.size()), 11) - 31;
  if (bar_length <= 4)
    bar_length = 0;

  std::string &image = bp.buffer;
  image.clear();
  image.reserve(static_cast<size_t>(width) + 64);
  append_percentage(image, bp, size);
  append_bar(image, bp, size, bar_length);
  append_format(image, " %-11s", size_text.c_str());
  append_speed(image, bp, elapsed);
  append_eta(image, bp, size, elapsed);
  image.resize(static_cast<size_t>(width), ' ');
  return image;
}
