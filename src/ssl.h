// HTTPS over OpenSSL: seeding its random generator at start-up, the one
// client context, the handshake, and reads and writes bounded by the
// `timeout` setting like those of plain sockets.  Server certificates are
// not verified.
#pragma once

#include <openssl/ssl.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// Shuts the connection down (SSL_shutdown, SSL_free); the socket stays open.
void shutdown_ssl(SSL *ssl);
// Frees a context.
void free_ssl_ctx(SSL_CTX *ctx);

struct ssl_conn_deleter {
  void operator()(SSL *ssl) const { shutdown_ssl(ssl); }
};
struct ssl_ctx_deleter {
  void operator()(SSL_CTX *ctx) const { free_ssl_ctx(ctx); }
};
// One SSL connection; destroying it shuts the connection down.
using ssl_conn = std::unique_ptr<SSL, ssl_conn_deleter>;
// The client context.
using ssl_ctx_ptr = std::unique_ptr<SSL_CTX, ssl_ctx_deleter>;

// Seeds the generator: the default seed file, then the EGD socket of
// `egdfile`, then the program's own bytes.  When none satisfies it, logs
// "Could not seed OpenSSL PRNG; disabling SSL.\n" and disables HTTPS URLs.
void ssl_init_prng();

// Asks the entropy-gathering daemon listening on the Unix socket path for up
// to max (at most 255) bytes.  Returns the bytes received; empty on failure.
std::vector<unsigned char> egd_read_entropy(const std::string &path, int max);

// Creates the client context into ctx (TLS only, no verification) and loads
// `sslcertfile`/`sslcertkey` (the key defaults to the certificate file and
// `sslcertkey` is set to it).  Returns 0, SSL_CONTEXT_FAILED (ctx null),
// SSL_CERT_FILE_FAILED or SSL_KEY_FILE_FAILED (ctx kept, usable).
int init_ssl(ssl_ctx_ptr &ctx);

// Runs the client handshake on the connected socket fd, naming host (SNI,
// skipped for numeric addresses); each wait is bounded by `timeout`.  The
// socket is left non-blocking: use it only through ssl_iread/ssl_iwrite from
// now on.  The connection goes into con either way.  Returns 0 when the handshake
// finished, 1 otherwise (the caller closes the socket).
int connect_ssl(ssl_conn &con, SSL_CTX *ctx, int fd, const std::string &host);

// Reads up to len bytes, first from what the SSL library already holds, then
// waiting at most `timeout` seconds for the socket.  Returns the count (>0),
// 0 at end, negative on error (-1 with errno ETIMEDOUT on time-out).
ssize_t ssl_iread(SSL *ssl, char *buf, size_t len);

// Writes all len bytes under the same waiting rules.  Returns the last
// write's result (>0 when all went out), 0 or negative on failure.
ssize_t ssl_iwrite(SSL *ssl, const char *buf, size_t len);

// Takes every error off OpenSSL's error queue, writing "OpenSSL: %s\n" for
// each when debugging; returns how many there were.
int ssl_printerrors();

// Accepts not-yet-valid, expired and self-signed server certificates.
int verify_callback(int ok, X509_STORE_CTX *ctx);
