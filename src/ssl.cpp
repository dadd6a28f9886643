#include "ssl.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <climits>

#include "connect.h"
#include "log.h"
#include "settings.h"
#include "status.h"
#include "url.h"
#include "utils.h"

namespace {

// The longest piece handed to one SSL_read or SSL_write.
int chunk_size(size_t len) { return len > INT_MAX ? INT_MAX : static_cast<int>(len); }

// Waits for what the SSL library asked for (err from SSL_get_error), each
// wait bounded by `timeout`.  0: try the call again; -1: give up, errno set.
int wait_for_ssl(int fd, int err) {
  int for_writing;
  if (err == SSL_ERROR_WANT_READ) {
    for_writing = 0;
  } else if (err == SSL_ERROR_WANT_WRITE) {
    for_writing = 1;
  } else if (err == SSL_ERROR_SYSCALL && errno == EINTR) {
    return 0;
  } else {
    // Only a failed system call leaves a meaningful errno behind.
    if (err != SSL_ERROR_SYSCALL)
      errno = EPROTO;
    else if (errno == 0)
      errno = ECONNRESET;
    return -1;
  }
  int ready;
  do
    ready = select_fd(fd, opt.timeout > 0 ? opt.timeout : -1, for_writing);
  while (ready < 0 && errno == EINTR);
  if (ready == 0) {
    errno = ETIMEDOUT;
    return -1;
  }
  return ready < 0 ? -1 : 0;
}

// Reads exactly len bytes; false on a short read or an error.
bool read_exact(int fd, unsigned char *buf, size_t len) {
  while (len > 0) {
    ssize_t n = iread(fd, reinterpret_cast<char *>(buf), len);
    if (n <= 0)
      return false;
    buf += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// A context with no certificate: TLS only, server certificates accepted.
SSL_CTX *new_client_context() {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx)
    return nullptr;
  // SSL 2 and 3 are broken beyond repair; never offer them.
  SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, verify_callback);
  // Many servers end a response by closing the connection without a TLS
  // close-notify; that is the end of the body, not an error.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  return ctx;
}

bool numeric_address_p(const std::string &host) {
  in_addr ignored;
  return inet_pton(AF_INET, host.c_str(), &ignored) == 1;
}

}  // namespace

void ssl_init_prng() {
  char namebuf[256];
  // RAND_file_name gives none when the name does not fit (a very long home
  // directory): then there is simply no seed file.
  const char *name = RAND_file_name(namebuf, sizeof namebuf);
  if (name && *name)
    RAND_load_file(name, 16384);
  if (RAND_status() == 1)
    return;

  if (opt.egdfile && !opt.egdfile->empty()) {
    std::vector<unsigned char> bytes = egd_read_entropy(*opt.egdfile, 255);
    if (!bytes.empty())
      RAND_add(bytes.data(), static_cast<int>(bytes.size()), static_cast<double>(bytes.size()));
    if (RAND_status() == 1)
      return;
  }

  for (int i = 0; i < 500 && RAND_status() != 1; i++) {
    unsigned char c = static_cast<unsigned char>(random_number(256));
    RAND_seed(&c, 1);
  }
  if (RAND_status() == 1)
    return;
  logprintf(LOG_NOTQUIET, "Could not seed OpenSSL PRNG; disabling SSL.\n");
  scheme_disable(SCHEME_HTTPS);
}

std::vector<unsigned char> egd_read_entropy(const std::string &path, int max) {
  if (max <= 0)
    return {};
  if (max > 255)
    max = 255;
  sockaddr_un sa{};
  if (path.empty() || path.size() >= sizeof sa.sun_path)
    return {};
  sa.sun_family = AF_UNIX;
  path.copy(sa.sun_path, path.size());

  unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock || connect(sock.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0)
    return {};
  // Command 1: "give me up to N bytes without blocking"; the answer is a
  // count byte followed by that many bytes.
  const char request[2] = {1, static_cast<char>(max)};
  if (iwrite(sock.get(), request, sizeof request) <= 0)
    return {};
  unsigned char count;
  if (!read_exact(sock.get(), &count, 1) || count > max)
    return {};
  std::vector<unsigned char> bytes(count);
  if (!read_exact(sock.get(), bytes.data(), bytes.size()))
    return {};
  return bytes;
}

int init_ssl(ssl_ctx_ptr &ctx) {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  ctx.reset(new_client_context());
  if (!ctx)
    return SSL_CONTEXT_FAILED;
  if (!opt.sslcertfile)
    return 0;
  if (SSL_CTX_use_certificate_file(ctx.get(), opt.sslcertfile->c_str(), SSL_FILETYPE_PEM) <= 0)
    return SSL_CERT_FILE_FAILED;
  if (!opt.sslcertkey)
    opt.sslcertkey = opt.sslcertfile;
  if (SSL_CTX_use_PrivateKey_file(ctx.get(), opt.sslcertkey->c_str(), SSL_FILETYPE_PEM) <= 0) {
    // A certificate without its key cannot be presented: go on with a
    // context that has neither.
    ctx.reset(new_client_context());
    return ctx ? SSL_KEY_FILE_FAILED : SSL_CONTEXT_FAILED;
  }
  return 0;
}

int connect_ssl(ssl_conn &con, SSL_CTX *ctx, int fd, const std::string &host) {
  con.reset(SSL_new(ctx));
  if (!con || !SSL_set_fd(con.get(), fd))
    return 1;
  // Servers hosting several names need to hear which one is meant; literal
  // addresses are not sent (RFC 6066).
  if (!host.empty() && !numeric_address_p(host))
    SSL_set_tlsext_host_name(con.get(), host.c_str());
  SSL_set_connect_state(con.get());
  // Without blocking, every wait goes through poll() and its time-out, and a
  // read never blocks inside the library on a half-arrived record.
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
    return 1;
  for (;;) {
    ERR_clear_error();
    errno = 0;
    int res = SSL_connect(con.get());
    if (res == 1)
      break;
    if (wait_for_ssl(fd, SSL_get_error(con.get(), res)) < 0)
      return 1;
  }
  return SSL_is_init_finished(con.get()) ? 0 : 1;
}

ssize_t ssl_iread(SSL *ssl, char *buf, size_t len) {
  int fd = SSL_get_rfd(ssl);
  // Reading before waiting takes whatever the library already decrypted
  // (SSL_pending); the socket is waited on only when it asks for more.
  for (;;) {
    ERR_clear_error();
    errno = 0;
    int res = SSL_read(ssl, buf, chunk_size(len));
    if (res > 0)
      return res;
    int err = SSL_get_error(ssl, res);
    if (err == SSL_ERROR_ZERO_RETURN)
      return 0;
    if (wait_for_ssl(fd, err) < 0)
      return -1;
  }
}

ssize_t ssl_iwrite(SSL *ssl, const char *buf, size_t len) {
  int fd = SSL_get_wfd(ssl);
  ssize_t res = 0;
  while (len > 0) {
    ERR_clear_error();
    errno = 0;
    int n = SSL_write(ssl, buf, chunk_size(len));
    if (n > 0) {
      res = n;
      buf += n;
      len -= static_cast<size_t>(n);
      continue;
    }
    // The same buffer and length are offered again after the wait.
    if (wait_for_ssl(fd, SSL_get_error(ssl, n)) < 0)
      return -1;
  }
  return res;
}

void shutdown_ssl(SSL *ssl) {
  if (!ssl)
    return;
  // Only an established connection has anything to shut down; a failed
  // handshake would only leave one more error on the queue.
  if (SSL_is_init_finished(ssl))
    SSL_shutdown(ssl);
  SSL_free(ssl);
}

void free_ssl_ctx(SSL_CTX *ctx) { SSL_CTX_free(ctx); }

int ssl_printerrors() {
  int count = 0;
  while (unsigned long e = ERR_get_error()) {
    ++count;
    if (!opt.debug)
      continue;
    char text[1024] = {};
    ERR_error_string_n(e, text, sizeof text);
    debug_logprintf("OpenSSL: %s\n", text);
  }
  return count;
}

int verify_callback(int ok, X509_STORE_CTX *ctx) {
  if (ok)
    return ok;
  switch (X509_STORE_CTX_get_error(ctx)) {
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      return 1;
    default:
      return ok;
  }
}
