// A private nginx for interoperability tests.  It runs as the current user,
// in the foreground as a single process that the test owns, listening only on
// 127.0.0.1 at an ephemeral port, with a configuration, logs and temporary
// paths in a directory of its own, serving a document root that the test
// fills.  Optionally it speaks TLS with a certificate generated for it (valid
// or already expired) and asks clients for a certificate.
//
//   nginx_fixture::server srv({.https = true});
//   if (!srv.started()) GTEST_SKIP() << srv.failure();
//   write_file_text(srv.root() + "/a.txt", "hello");
//   ... download srv.url("a.txt") ...
//   auto requests = srv.requests(1);   // from the access log
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nginx_fixture {

struct options {
  bool https = false;                   // serve TLS instead of plain HTTP
  bool expired_certificate = false;     // with https: the certificate expired yesterday
  bool ask_client_certificate = false;  // with https: request (not require) a client certificate
};

// One line of the access log: one request as nginx saw it.
struct request {
  long connection = 0;   // nginx's serial number of the connection that carried it
  std::string method;    // "GET", "HEAD"; empty for a request nginx could not read
  std::string uri;       // the normalized path
  int status = 0;        // the status nginx answered
  int64_t body_bytes = 0;  // body bytes sent
  std::string range;     // the Range header, "-" when there was none
  bool https = false;    // the request came over TLS
};

// A certificate and its private key, both PEM.
struct certificate_files {
  std::string certificate;  // path of the certificate
  std::string key;          // path of the private key
};

// The path of the installed nginx program, or "" when there is none.
std::string nginx_program();

// Writes a self-signed certificate for common_name, valid from now +
// not_before_seconds to now + not_after_seconds (both may be negative), and
// its key as <dir>/<stem>.crt and <dir>/<stem>.key.  Throws on failure.
certificate_files write_self_signed_certificate(const std::string &dir, const std::string &stem,
                                                const std::string &common_name,
                                                long not_before_seconds, long not_after_seconds);

// Locations every server has, besides the files of the document root:
//   /redirect            301 to /redirect-target.txt (absolute URL)
//   /client-certificate  "<$ssl_client_verify> <$ssl_client_s_dn>\n"
class server {
 public:
  explicit server(options opts = {});
  server(const server &) = delete;
  server &operator=(const server &) = delete;
  // Stops nginx (SIGTERM, then SIGKILL) and removes its directory.
  ~server();

  // Whether nginx runs and accepts connections; failure() says why not.
  bool started() const { return pid_ > 0; }
  const std::string &failure() const { return failure_; }

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>/<path>" (https for a TLS server).
  std::string url(const std::string &path) const;
  // The document root, empty at the start.
  std::string root() const { return dir_ + "/root"; }
  // A scratch directory beside the server's own files, for the test's use.
  std::string scratch() const { return dir_ + "/scratch"; }

  // The requests of the access log, in order.  Waits (at most two seconds)
  // until there are at least `at_least` of them, since nginx logs a request
  // only after it has handed the whole response to the kernel.
  std::vector<request> requests(size_t at_least = 0) const;

 private:
  bool launch(const options &opts);
  void stop();

  std::string dir_;
  std::string failure_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  bool https_ = false;
};

}  // namespace nginx_fixture
