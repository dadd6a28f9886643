// Retrieval core: copying a body from a connection to a local file with the
// progress display and the bandwidth limit, the waits between attempts, the
// speeds shown in messages and the download quota.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "status.h"
#include "url.h"

struct rbuf;

// ---------------------------------------------------------------------------
// Copying a body

// Bytes moved per read when no rate limit applies.  Large reads keep the copy
// cheap; the file is still flushed after every read.
inline constexpr int COPY_BUFFER_SIZE = 256 * 1024;
// Bytes per read while `limitrate` is set, so that the limiter paces in small
// steps even at low rates.
inline constexpr int LIMITED_READ_SIZE = 8192;

// Copies the body on FD (through RBUF's SSL connection when it has one; RBUF
// may be nullptr) into OUT, first the bytes RBUF already holds for FD.
// *LEN starts at RESTVAL (bytes present from an earlier attempt) and counts
// every byte written.  EXPECTED is the announced total length (0 or less
// when none).  With USE_EXPECTED (given for a known length, as on a
// kept-alive connection) the copy stops exactly at EXPECTED and never reads
// or writes a byte past it; a negative EXPECTED then reads to the end.
// *ELAPSED (when given) receives the transfer time in ms.  Returns -2 when
// writing failed, -1 when reading failed (errno kept for both), else 0 at
// end of data or the size of the last read when EXPECTED was reached.
int get_contents(int fd, FILE *out, int64_t *len, int64_t restval, int64_t expected,
                 rbuf *rbuf, int use_expected, int64_t *elapsed);
// The same, writing to the descriptor OUT_FD instead of a stream.
int get_contents(int fd, int out_fd, int64_t *len, int64_t restval, int64_t expected,
                 rbuf *rbuf, int use_expected, int64_t *elapsed);

// The bandwidth limiter's account of the current chunk.
struct limit_data {
  int64_t chunk_bytes = 0;  // bytes read since the limiter last slept or reset
  int64_t chunk_time = 0;   // ms of transfer time counted for those bytes
};

// Adds BYTES read in DELTA_MS to LIMIT and returns how many ms to sleep to
// hold RATE bytes/s (0: none now; lags under 200 ms are deferred).
int64_t limit_bandwidth_lag(limit_data &limit, int64_t bytes, int64_t delta_ms, int64_t rate);

// ---------------------------------------------------------------------------
// Pacing between attempts

// Seconds to wait before attempt COUNT (1 for a first attempt) of one URL;
// FIRST says whether this is the first attempt of the whole run.
int64_t retrieval_wait_seconds(int count, bool first);
// Waits as the `wait`, `waitretry` and `randomwait` settings ask; never on
// the first call of the run.
void sleep_between_retrievals(int count);
// Writes "Giving up." when COUNT equals LIMIT, else "Retrying.".
void printwhat(int count, int limit);

// ---------------------------------------------------------------------------
// Speeds

// BYTES per MSECS as a speed in the unit stored in *UNITS (0 B/s, 1 KB/s,
// 2 MB/s, 3 GB/s); negative inputs count as 0, 0 ms as 1 ms.
double calc_rate(int64_t bytes, int64_t msecs, int *units);
// The speed as "%.2f UNIT" ("%7.2f UNIT" when PAD is set).
std::string retr_rate(int64_t bytes, int64_t msecs, int pad);

// ---------------------------------------------------------------------------
// Quota

// Adds a transfer's BYTES (negative counts as 0) to the run total `downloaded`.
void downloaded_increase(int64_t bytes);
// 1 when a quota is set and the run total is strictly above it.
int downloaded_exceeds_quota();

// ---------------------------------------------------------------------------
// Dispatching one URL or a file of URLs

// Number of retrieve_url calls that ran to their normal end in this run;
// while 0, writing the output document may truncate it.
extern int global_download_count;

// Retrieves one URL through a proxy or not, following at most 20
// redirections.  file receives the local name written (or none); newloc the
// URL finally retrieved when a redirection was followed (or none); refurl is
// the referring URL (none: the referer setting); dt the document flags.
status_t retrieve_url(const std::string &origurl, std::optional<std::string> *file,
                      std::optional<std::string> *newloc, const char *refurl, int *dt);
// Runs every URL of an input file (html: read it as HTML); count receives the
// entries walked.
status_t retrieve_from_file(const std::string &file, int html, int *count);
// The proxy URL for the scheme (setting, else environment), rewritten from a
// shorthand when need be; none when there is no proxy.
std::optional<std::string> getproxy(scheme_t scheme);
// 1 when the proxy may be used for host (no entry of no_proxy ends it).
int no_proxy_match(const std::string &host, const std::vector<std::string> &no_proxy);
// With --delete-after, removes a file that this retrieval wrote (dt has
// DOC_WRITTEN); never a file kept by no-clobber or time-stamping, and never
// anything in spider mode or with an output document.  caller names the
// place in the debug message.
void delete_after_retrieval(const std::optional<std::string> &file, int dt, const char *caller);
