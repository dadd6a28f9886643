#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "connect.h"
#include "settings.h"
#include "ssl.h"
#include "status.h"
#include "test_util.h"
#include "url.h"

namespace {

// A key and a self-signed certificate for "localhost", valid from
// days_from to days_to relative to now.
struct credentials {
  EVP_PKEY *key = nullptr;
  X509 *cert = nullptr;
  credentials(long days_from, long days_to) {
    key = EVP_EC_gen("P-256");
    cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), days_from * 86400);
    X509_gmtime_adj(X509_getm_notAfter(cert), days_to * 86400);
    X509_set_pubkey(cert, key);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
  }
  ~credentials() {
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  // Certificate and key in one PEM file.
  void write_pem(const std::string &path) const {
    FILE *f = fopen(path.c_str(), "w");
    PEM_write_X509(f, cert);
    PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    fclose(f);
  }
};

enum class behaviour {
  SEND_PAYLOAD,   // answer the request head, then wait for the client to close
  SEND_AND_DROP,  // answer, then close the socket without a close-notify
  SILENT,         // say nothing, wait for the client to close
};

// A TLS server on 127.0.0.1 serving one connection: after the handshake it
// either answers the request head with one large record or stays silent,
// then waits for the client to close.
class tls_server {
 public:
  tls_server(const credentials &creds, behaviour how, std::string payload = "")
      : payload_(std::move(payload)), how_(how) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx_, creds.cert);
    SSL_CTX_use_PrivateKey(ctx_, creds.key);
    // Ask for a client certificate, accept whatever comes.
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, [](int, X509_STORE_CTX *) { return 1; });
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    bind(listen_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    listen(listen_, 1);
    getsockname(listen_, reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~tls_server() {
    thread_.join();
    close(listen_);
    SSL_CTX_free(ctx_);
  }
  uint16_t port() const { return port_; }
  // Valid once the client has closed (the thread is joined by wait()).
  void wait() {
    if (thread_.joinable())
      thread_.join();
    thread_ = std::thread([] {});
  }
  std::string servername;
  bool got_client_cert = false;
  std::string request;

 private:
  void serve() {
    pollfd p{listen_, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0)
      return;
    int fd = accept(listen_, nullptr, nullptr);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    SSL *ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      const char *name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
      servername = name ? name : "";
      X509 *peer = SSL_get1_peer_certificate(ssl);
      got_client_cert = peer != nullptr;
      X509_free(peer);
      talk(ssl);
    }
    SSL_free(ssl);
    close(fd);
  }
  void talk(SSL *ssl) {
    char buf[4096];
    int n;
    if (how_ != behaviour::SILENT) {
      while (request.find("\r\n\r\n") == std::string::npos &&
             (n = SSL_read(ssl, buf, sizeof buf)) > 0)
        request.append(buf, static_cast<size_t>(n));
      SSL_write(ssl, payload_.data(), static_cast<int>(payload_.size()));
    }
    if (how_ == behaviour::SEND_AND_DROP)
      return;
    while (SSL_read(ssl, buf, sizeof buf) > 0) {
    }
  }

  SSL_CTX *ctx_ = nullptr;
  int listen_ = -1;
  uint16_t port_ = 0;
  std::string payload_;
  behaviour how_;
  std::thread thread_;
};

class Ssl : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    opt.timeout = 10;
    opt.sslcertfile.reset();
    opt.sslcertkey.reset();
  }
  void TearDown() override {
    opt.sslcertfile.reset();
    opt.sslcertkey.reset();
  }

  // Connects and runs the handshake; the socket and connection go to the
  // caller.
  int handshake(const ssl_ctx_ptr &ctx, uint16_t port, const std::string &host, unique_fd &sock,
                ssl_conn &con) {
    in_addr lo;
    lo.s_addr = htonl(INADDR_LOOPBACK);
    sock.reset(connect_to_one(lo, port, 1));
    if (!sock)
      return -1;
    return connect_ssl(con, ctx.get(), sock.get(), host);
  }
};

const credentials &valid_creds() {
  static credentials c(-1, 30);
  return c;
}

}  // namespace

TEST_F(Ssl, ReadsTakeBufferedPlaintextBeforeWaitingOnTheSocket) {
  std::string payload(10000, '\0');
  for (size_t i = 0; i < payload.size(); i++)
    payload[i] = static_cast<char>('a' + i % 26);
  tls_server srv(valid_creds(), behaviour::SEND_PAYLOAD, payload);
  ssl_ctx_ptr ctx;
  ASSERT_EQ(init_ssl(ctx), 0);
  unique_fd sock;
  ssl_conn con;
  ASSERT_EQ(handshake(ctx, srv.port(), "localhost", sock, con), 0);
  std::string request = "GET / HTTP/1.0\r\n\r\n";
  EXPECT_GT(ssl_iwrite(con.get(), request.data(), request.size()), 0);

  // The whole payload comes in one record; the server then stays silent, so
  // a read that waited on the socket for the decrypted rest would time out.
  opt.timeout = 1;
  std::string got;
  char buf[100];
  for (int i = 0; i < 1000 && got.size() < payload.size(); i++) {
    ssize_t n = ssl_iread(con.get(), buf, sizeof buf);
    ASSERT_GT(n, 0) << "after " << got.size() << " bytes, errno " << errno;
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, payload);
  con.reset();
  sock.reset();
  srv.wait();
  EXPECT_EQ(srv.request, request);
  EXPECT_EQ(srv.servername, "localhost");
  EXPECT_FALSE(srv.got_client_cert);
}

TEST_F(Ssl, ServerClosingWithoutCloseNotifyEndsTheStream) {
  tls_server srv(valid_creds(), behaviour::SEND_AND_DROP, "whole body");
  ssl_ctx_ptr ctx;
  ASSERT_EQ(init_ssl(ctx), 0);
  unique_fd sock;
  ssl_conn con;
  ASSERT_EQ(handshake(ctx, srv.port(), "localhost", sock, con), 0);
  std::string request = "GET /\r\n\r\n";
  ASSERT_GT(ssl_iwrite(con.get(), request.data(), request.size()), 0);
  std::string got;
  char buf[4];
  ssize_t n;
  for (int i = 0; i < 100 && (n = ssl_iread(con.get(), buf, sizeof buf)) > 0; i++)
    got.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(n, 0);
  EXPECT_EQ(got, "whole body");
  con.reset();
  sock.reset();
  srv.wait();
}

TEST_F(Ssl, ServerCertificatesAreNotVerified) {
  struct row {
    const char *name;
    long from, to;
  } rows[] = {{"self-signed", -1, 30}, {"expired", -30, -1}, {"not yet valid", 10, 30}};
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    credentials creds(r.from, r.to);
    tls_server srv(creds, behaviour::SILENT);
    ssl_ctx_ptr ctx;
    ASSERT_EQ(init_ssl(ctx), 0);
    unique_fd sock;
    ssl_conn con;
    EXPECT_EQ(handshake(ctx, srv.port(), "127.0.0.1", sock, con), 0);
    con.reset();
    sock.reset();
    srv.wait();
    // Literal addresses are not sent as a server name.
    EXPECT_EQ(srv.servername, "");
  }
}

TEST_F(Ssl, StalledServerTimesOut) {
  tls_server srv(valid_creds(), behaviour::SILENT);
  ssl_ctx_ptr ctx;
  ASSERT_EQ(init_ssl(ctx), 0);
  unique_fd sock;
  ssl_conn con;
  ASSERT_EQ(handshake(ctx, srv.port(), "localhost", sock, con), 0);
  opt.timeout = 1;
  char buf[16];
  errno = 0;
  EXPECT_EQ(ssl_iread(con.get(), buf, sizeof buf), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  con.reset();
  sock.reset();
  srv.wait();
}

TEST_F(Ssl, ClientCertificateAndKeyFiles) {
  std::string dir = make_temp_dir("ssl-cert");
  std::string pem = dir + "/client.pem";
  credentials client(-1, 30);
  client.write_pem(pem);
  struct row {
    const char *name;
    std::optional<std::string> certfile, keyfile;
    int init_result;
    bool presented;
  } rows[] = {
      {"certificate file holding the key", pem, std::nullopt, 0, true},
      {"separate key file", pem, pem, 0, true},
      {"missing certificate file", dir + "/missing.pem", std::nullopt, SSL_CERT_FILE_FAILED, false},
      {"missing key file", pem, dir + "/missing.key", SSL_KEY_FILE_FAILED, false},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    opt.sslcertfile = r.certfile;
    opt.sslcertkey = r.keyfile;
    tls_server srv(valid_creds(), behaviour::SILENT);
    ssl_ctx_ptr ctx;
    EXPECT_EQ(init_ssl(ctx), r.init_result);
    ASSERT_TRUE(ctx);
    if (r.init_result == 0) {
      EXPECT_EQ(opt.sslcertkey, r.keyfile ? r.keyfile : r.certfile);
    }
    ssl_printerrors();
    unique_fd sock;
    ssl_conn con;
    EXPECT_EQ(handshake(ctx, srv.port(), "localhost", sock, con), 0);
    con.reset();
    sock.reset();
    srv.wait();
    EXPECT_EQ(srv.got_client_cert, r.presented);
  }
  std::filesystem::remove_all(dir);
}

TEST_F(Ssl, ErrorQueueIsDrained) {
  ssl_printerrors();
  ERR_put_error(ERR_LIB_SSL, 0, SSL_R_BAD_LENGTH, __FILE__, __LINE__);
  ERR_put_error(ERR_LIB_SSL, 0, SSL_R_BAD_LENGTH, __FILE__, __LINE__);
  EXPECT_EQ(ssl_printerrors(), 2);
  EXPECT_EQ(ssl_printerrors(), 0);
}

TEST_F(Ssl, VerifyCallbackForgivesOnlyDateAndSelfSignedErrors) {
  struct row {
    int ok, error, expected;
  } rows[] = {
      {0, X509_V_ERR_CERT_NOT_YET_VALID, 1},
      {0, X509_V_ERR_CERT_HAS_EXPIRED, 1},
      {0, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, 1},
      {0, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, 0},
      {1, X509_V_OK, 1},
  };
  X509_STORE_CTX *store = X509_STORE_CTX_new();
  for (const row &r : rows) {
    SCOPED_TRACE(r.error);
    X509_STORE_CTX_set_error(store, r.error);
    EXPECT_EQ(verify_callback(r.ok, store), r.expected);
  }
  X509_STORE_CTX_free(store);
}

TEST_F(Ssl, EgdClientSpeaksTheDaemonProtocol) {
  std::string dir = make_temp_dir("egd");
  std::string path = dir + "/entropy";
  struct row {
    const char *name;
    std::string answer;
    std::string expected;
  } rows[] = {
      {"full answer", std::string("\x04" "abcd", 5), "abcd"},
      {"short answer", std::string("\x04" "ab", 3), ""},
      {"empty answer", std::string("\x00", 1), ""},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    path.copy(sa.sun_path, path.size());
    unlink(path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    listen(listener, 1);
    std::string request;
    std::thread daemon([&] {
      int fd = accept(listener, nullptr, nullptr);
      char buf[2];
      ssize_t n = recv(fd, buf, 2, MSG_WAITALL);
      if (n > 0)
        request.assign(buf, static_cast<size_t>(n));
      send(fd, r.answer.data(), r.answer.size(), MSG_NOSIGNAL);
      close(fd);
    });
    std::vector<unsigned char> got = egd_read_entropy(path, 255);
    daemon.join();
    close(listener);
    EXPECT_EQ(request, std::string("\x01\xff", 2));
    EXPECT_EQ(std::string(got.begin(), got.end()), r.expected);
  }
  EXPECT_TRUE(egd_read_entropy(dir + "/nobody-listens", 255).empty());
  EXPECT_TRUE(egd_read_entropy(std::string(200, 'x'), 255).empty());
  std::filesystem::remove_all(dir);
}

TEST_F(Ssl, SeedFileNameTooLongIsSkipped) {
  const char *old_home = getenv("HOME");
  std::string saved = old_home ? old_home : "";
  unsetenv("RANDFILE");
  setenv("HOME", ("/" + std::string(400, 'h')).c_str(), 1);
  ssl_init_prng();
  EXPECT_EQ(RAND_status(), 1);
  EXPECT_EQ(url_scheme("https://localhost/"), SCHEME_HTTPS);
  if (old_home)
    setenv("HOME", saved.c_str(), 1);
  else
    unsetenv("HOME");
}
