#include "retr.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cinttypes>
#include <climits>
#include <ctime>

#include "connect.h"
#include "host.h"
#include "html-url.h"
#include "http.h"
#include "log.h"
#include "progress.h"
#include "rbuf.h"
#include "recur.h"
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

bool write_all(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool sink_put(const body_sink &sink, const char *data, size_t size) {
  if (!sink.stream)
    return write_all(sink.fd, data, size);
  // One write per read, straight to the descriptor: stdio would cut a large
  // block into a buffer-sized write and the rest, and the misaligned writes
  // cost a third of the copy's speed.  What the stream still holds (saved
  // headers, say) goes out first, so the order on disk stays right.
  if (std::fflush(sink.stream) != 0)
    return false;
  return write_all(fileno(sink.stream), data, size);
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

// ---------------------------------------------------------------------------
// Dispatching

int global_download_count = 0;

namespace {

constexpr int MAX_REDIRECTIONS = 20;

const char *proxy_environment_variable(scheme_t scheme) {
  switch (scheme) {
    case SCHEME_HTTP: return "http_proxy";
    case SCHEME_HTTPS: return "https_proxy";
    case SCHEME_FTP: return "ftp_proxy";
    default: return nullptr;
  }
}

const std::optional<std::string> &proxy_setting(scheme_t scheme) {
  static const std::optional<std::string> none;
  switch (scheme) {
    case SCHEME_HTTP: return opt.httpproxy;
    case SCHEME_HTTPS: return opt.httpsproxy;
    case SCHEME_FTP: return opt.ftpproxy;
    default: return none;
  }
}

// The retrieval loop for one step: through the proxy when one applies.
status_t retrieve_one_step(const url &u, std::optional<std::string> &newloc, std::string &file,
                           const std::optional<std::string> &refurl, int &dt) {
  std::optional<std::string> proxy;
  if (opt.useproxy && (proxy = getproxy(u.scheme)) && no_proxy_match(u.host, opt.noproxy)) {
    int error = 0;
    std::optional<url> proxy_url = url_parse(*proxy, &error);
    if (!proxy_url) {
      logprintf(LOG_NOTQUIET, "Error parsing proxy URL %s: %s.\n", proxy->c_str(), url_error(error));
      return PROXY_BAD;
    }
    if (proxy_url->scheme != SCHEME_HTTP) {
      logprintf(LOG_NOTQUIET, "Error in proxy URL %s: Must be HTTP.\n", proxy->c_str());
      return PROXY_BAD;
    }
    return http_loop(u, newloc, &file, refurl, dt, &*proxy_url);
  }
  if (u.scheme == SCHEME_HTTP || u.scheme == SCHEME_HTTPS)
    return http_loop(u, newloc, &file, refurl, dt, nullptr);
  // FTP is not retrieved yet: say so plainly rather than pretend.
  logprintf(LOG_NOTQUIET, "%s: FTP retrieval is not supported yet.\n", u.url.c_str());
  return RETRIEVAL_FAILED;
}

void register_retrieval(const std::string &final_url, const std::string &file,
                        const std::optional<string_set> &redirections, int dt) {
  register_download(final_url, file);
  if (redirections)
    hash_table_map(const_cast<string_set &>(*redirections), [&](const std::string &from, const char *) {
      if (from != final_url)
        register_redirection(from, final_url);
      return 0;
    });
  if (dt & DOC_HTML)
    register_html(final_url, file);
}

}  // namespace

std::optional<std::string> getproxy(scheme_t scheme) {
  std::optional<std::string> proxy = proxy_setting(scheme);
  if (!proxy) {
    const char *variable = proxy_environment_variable(scheme);
    const char *value = variable ? getenv(variable) : nullptr;
    if (value)
      proxy = std::string(value);
  }
  if (!proxy || proxy->empty())
    return std::nullopt;
  if (std::optional<std::string> rewritten = rewrite_shorthand_url(*proxy))
    return rewritten;
  return proxy;
}

int no_proxy_match(const std::string &host, const std::vector<std::string> &no_proxy) {
  if (no_proxy.empty())
    return 1;
  return !sufmatch(no_proxy, host);
}

status_t retrieve_url(const std::string &origurl, std::optional<std::string> *file,
                      std::optional<std::string> *newloc, const char *refurl, int *dt) {
  int local_dt = 0;
  if (!dt)
    dt = &local_dt;
  if (file)
    *file = std::nullopt;
  if (newloc)
    *newloc = std::nullopt;
  std::optional<std::string> referer = refurl ? std::optional<std::string>(refurl) : opt.referer;

  std::string current = origurl;
  int error = 0;
  std::optional<url> u = url_parse(current, &error);
  if (!u) {
    logprintf(LOG_NOTQUIET, "%s: %s.\n", current.c_str(), url_error(error));
    return URL_BAD;
  }

  std::optional<string_set> redirections;
  int redirection_count = 0;
  for (;;) {
    std::optional<std::string> location;
    std::string local_file;
    status_t result = retrieve_one_step(*u, location, local_file, referer, *dt);
    if (result != REDIRECTED) {
      if (!local_file.empty() && (*dt & DOC_RETRIEVED))
        register_retrieval(current, local_file, redirections, *dt);
      if (file && !local_file.empty())
        *file = std::move(local_file);
      if (newloc && redirection_count > 0)
        *newloc = current;
      ++global_download_count;
      return result;
    }

    std::string merged = uri_merge(current, location ? *location : std::string());
    std::optional<url> next = url_parse(merged, &error);
    if (!next) {
      logprintf(LOG_NOTQUIET, "%s: %s.\n", merged.c_str(), url_error(error));
      return REDIRECTED;
    }
    std::string next_text = next->url;
    if (!redirections) {
      redirections = make_string_set(0);
      string_set_add(*redirections, current);
    }
    if (++redirection_count > MAX_REDIRECTIONS) {
      logprintf(LOG_NOTQUIET, "%d redirections exceeded.\n", MAX_REDIRECTIONS);
      return RETRIEVAL_FAILED;
    }
    if (string_set_contains(*redirections, next_text)) {
      logprintf(LOG_NOTQUIET, "%s: Redirection cycle detected.\n", next_text.c_str());
      return RETRIEVAL_FAILED;
    }
    string_set_add(*redirections, next_text);
    current = std::move(next_text);
    u = std::move(next);
  }
}

status_t retrieve_from_file(const std::string &file, int html, int *count) {
  *count = 0;
  status_t status = RETRIEVAL_OK;
  if (html) {
    logprintf(LOG_NOTQUIET, "%s: reading input files as HTML is not supported yet.\n", file.c_str());
    return RETRIEVAL_FAILED;
  }
  std::optional<std::vector<urlpos>> links = get_urls_file(file);
  if (!links)
    return status;
  for (const urlpos &link : *links) {
    ++*count;
    if (link.ignore_on_download)
      continue;
    if (downloaded_exceeds_quota()) {
      status = QUOTA_EXCEEDED;
      break;
    }
    std::optional<std::string> local_file, final_url;
    int dt = 0;
    status = retrieve_url(link.link_url.url, &local_file, &final_url, nullptr, &dt);
    delete_after_retrieval(local_file, dt, "retrieve_from_file()");
  }
  return status;
}

void delete_after_retrieval(const std::optional<std::string> &file, int dt, const char *caller) {
  if (!opt.deleteafter || !file || !(dt & DOC_WRITTEN) || opt.spider || opt.outputdocument)
    return;
  if (!file_exists_p(*file))
    return;
  DEBUGP(("Removing file due to --delete-after in %s:\n", caller));
  logprintf(LOG_VERBOSE, "Removing %s.\n", file->c_str());
  if (unlink(file->c_str()) != 0)
    logprintf(LOG_NOTQUIET, "unlink: %s\n", strerror(errno));
}
