#include "retr.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <ctime>

#include "connect.h"
#include "log.h"
#include "progress.h"
#include "rbuf.h"
#include "settings.h"
#include "ssl.h"
#include "utils.h"

namespace {

// One copy buffer for every transfer: transfers never overlap, and a static
// array costs no allocation per body.
char copy_buffer[COPY_BUFFER_SIZE];

limit_data limit;
bool first_retrieval = true;

// Lags shorter than this are carried over rather than slept, so that the
// limiter does not sleep after every small read.
constexpr int64_t MINIMUM_LIMITER_SLEEP = 200;

// Where a body goes: a stream when `stream` is set, else the descriptor.
struct body_sink {
  FILE *stream;
  int fd;
};

bool sink_put(const body_sink &sink, const char *data, size_t size) {
  if (sink.stream)
    return std::fwrite(data, 1, size, sink.stream) == size;
  while (size > 0) {
    ssize_t written = ::write(sink.fd, data, size);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Pushes what the stream holds to the file, so that the file on disk is
// complete up to the last read (resumption relies on it).
bool sink_flush(const body_sink &sink) {
  if (!sink.stream)
    return true;
  return std::fflush(sink.stream) == 0 && !std::ferror(sink.stream);
}

// Sleeps MSECS milliseconds, resuming after signals; nothing when 0 or less.
void sleep_ms(int64_t msecs) {
  if (msecs <= 0)
    return;
  timespec wanted{static_cast<time_t>(msecs / 1000), static_cast<long>(msecs % 1000) * 1000000L};
  timespec left{};
  while (nanosleep(&wanted, &left) == -1 && errno == EINTR)
    wanted = left;
}

ssize_t read_body(int fd, rbuf *rb, char *buf, size_t size) {
  if (rb && rb->ssl)
    return ssl_iread(rb->ssl, buf, size);
  return iread(fd, buf, size);
}

// How many bytes the next step may take: all of CAPACITY, or no more than
// what is missing up to EXPECTED when the copy must stop there.
size_t allowance(bool stop_at_expected, int64_t expected, int64_t len, size_t capacity) {
  if (!stop_at_expected)
    return capacity;
  int64_t missing = expected - len;
  return missing <= 0 ? 0 : static_cast<size_t>(std::min<int64_t>(missing, static_cast<int64_t>(capacity)));
}

// Writes out the bytes the read buffer already took from FD after the head.
// Returns false on a write error.
bool copy_buffered(const body_sink &sink, rbuf &rb, bool stop_at_expected, int64_t expected, int64_t *len,
                   progress_display *progress) {
  int64_t buffered = 0;
  for (;;) {
    size_t want = allowance(stop_at_expected, expected, *len, sizeof copy_buffer);
    size_t got = want ? rbuf_flush(rb, copy_buffer, want) : 0;
    if (got == 0)
      break;
    if (!sink_put(sink, copy_buffer, got))
      return false;
    *len += static_cast<int64_t>(got);
    buffered += static_cast<int64_t>(got);
  }
  if (buffered > 0 && !sink_flush(sink))
    return false;
  if (progress)
    progress_update(*progress, buffered, 0);
  return true;
}

int copy_body(int fd, const body_sink &sink, int64_t *len, int64_t restval, int64_t expected, rbuf *rb,
              int use_expected, int64_t *elapsed) {
  bool stop_at_expected = use_expected && expected >= 0;
  std::unique_ptr<progress_display> progress;
  *len = restval;
  if (opt.verbose > 0)
    progress = progress_create(restval, expected);

  int result = 0;
  int64_t now = 0;
  if (rb && rb->fd == fd && !copy_buffered(sink, *rb, stop_at_expected, expected, len, progress.get()))
    result = -2;

  if (result == 0) {
    if (opt.limitrate > 0)
      limit = limit_data{};
    wtimer timer = wtimer_new();
    int64_t previous = 0;
    // Small reads under a rate limit keep its pacing as fine as it ever was.
    size_t block = opt.limitrate > 0 ? LIMITED_READ_SIZE : sizeof copy_buffer;
    size_t want;
    while ((want = allowance(stop_at_expected, expected, *len, block)) > 0) {
      ssize_t got = read_body(fd, rb, copy_buffer, want);
      if (got <= 0) {
        result = got < -1 ? -1 : static_cast<int>(got);
        break;
      }
      result = static_cast<int>(got);
      if (!sink_put(sink, copy_buffer, static_cast<size_t>(got)) || !sink_flush(sink)) {
        result = -2;
        break;
      }
      now = wtimer_elapsed(timer);
      if (opt.limitrate > 0) {
        sleep_ms(limit_bandwidth_lag(limit, got, now - previous, opt.limitrate));
        now = wtimer_elapsed(timer);
        previous = now;
      }
      if (progress)
        progress_update(*progress, got, now);
      *len += got;
    }
  }

  int saved_errno = errno;
  if (progress)
    progress_finish(std::move(progress), now);
  if (elapsed)
    *elapsed = now;
  errno = saved_errno;
  return result;
}

}  // namespace

int get_contents(int fd, FILE *out, int64_t *len, int64_t restval, int64_t expected, rbuf *rb,
                 int use_expected, int64_t *elapsed) {
  return copy_body(fd, body_sink{out, -1}, len, restval, expected, rb, use_expected, elapsed);
}

int get_contents(int fd, int out_fd, int64_t *len, int64_t restval, int64_t expected, rbuf *rb,
                 int use_expected, int64_t *elapsed) {
  return copy_body(fd, body_sink{nullptr, out_fd}, len, restval, expected, rb, use_expected, elapsed);
}

int64_t limit_bandwidth_lag(limit_data &data, int64_t bytes, int64_t delta_ms, int64_t rate) {
  if (rate <= 0)
    return 0;
  data.chunk_bytes += std::max<int64_t>(bytes, 0);
  data.chunk_time += std::max<int64_t>(delta_ms, 0);
  double expected = static_cast<double>(data.chunk_bytes) * 1000.0 / static_cast<double>(rate);
  int64_t expected_ms = static_cast<int64_t>(std::min(expected, 1e15));
  int64_t lag = expected_ms - data.chunk_time;
  if (lag <= 0) {
    data = limit_data{};
    return 0;
  }
  if (lag < MINIMUM_LIMITER_SLEEP) {
    DEBUGP(("deferring a %" PRId64 " ms sleep (%" PRId64 "/%" PRId64 ") until later.\n", lag, data.chunk_bytes,
            data.chunk_time));
    return 0;
  }
  DEBUGP(("sleeping %" PRId64 " ms\n", lag));
  data = limit_data{};
  return lag;
}

int64_t retrieval_wait_seconds(int count, bool first) {
  if (first)
    return 0;
  if (opt.waitretry > 0 && count > 1)
    return std::min(count - 1, opt.waitretry);
  if (opt.wait <= 0)
    return 0;
  if (!opt.randomwait || count > 1)
    return opt.wait;
  int norm = std::min(opt.wait, (INT_MAX - 1) / 2);
  int pick = random_number(2 * norm + 1);
  DEBUGP(("sleep_between_retrievals: norm=%ld,fuzz=%ld,sleep=%d\n", static_cast<long>(norm),
          static_cast<long>(pick - norm), pick));
  return pick;
}

void sleep_between_retrievals(int count) {
  int64_t seconds = retrieval_wait_seconds(count, first_retrieval);
  first_retrieval = false;
  sleep_ms(seconds * 1000);
}

void printwhat(int count, int limit_count) {
  logputs(LOG_VERBOSE, count == limit_count ? "Giving up.\n\n" : "Retrying.\n\n");
}

double calc_rate(int64_t bytes, int64_t msecs, int *units) {
  bytes = std::max<int64_t>(bytes, 0);
  msecs = std::max<int64_t>(msecs, 0);
  if (msecs == 0)
    msecs = wtimer_granularity();
  double rate = static_cast<double>(bytes) * 1000.0 / static_cast<double>(msecs);
  if (rate < 1024.0) {
    *units = 0;
    return rate;
  }
  if (rate < 1024.0 * 1024.0) {
    *units = 1;
    return rate / 1024.0;
  }
  if (rate < 1024.0 * 1024.0 * 1024.0) {
    *units = 2;
    return rate / (1024.0 * 1024.0);
  }
  *units = 3;
  return rate / (1024.0 * 1024.0 * 1024.0);
}

std::string retr_rate(int64_t bytes, int64_t msecs, int pad) {
  static const char *const rate_names[] = {"B/s", "KB/s", "MB/s", "GB/s"};
  int units = 0;
  double rate = calc_rate(bytes, msecs, &units);
  char text[64];
  std::snprintf(text, sizeof text, pad ? "%7.2f %s" : "%.2f %s", rate, rate_names[units]);
  return text;
}

void downloaded_increase(int64_t bytes) {
  if (opt.downloaded_overflow || bytes <= 0)
    return;
  uint64_t sum = opt.downloaded + static_cast<uint64_t>(bytes);
  if (sum < opt.downloaded) {
    opt.downloaded_overflow = 1;
    opt.downloaded = UINT64_MAX;
    return;
  }
  opt.downloaded = sum;
}

int downloaded_exceeds_quota() {
  if (opt.quota <= 0 || opt.downloaded_overflow)
    return 0;
  return opt.downloaded > static_cast<uint64_t>(opt.quota) ? 1 : 0;
}
