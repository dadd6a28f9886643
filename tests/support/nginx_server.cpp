#include "nginx_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "test_util.h"

namespace nginx_fixture {

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int LAUNCH_ATTEMPTS = 5;
constexpr auto READY_BOUND = std::chrono::seconds(5);
constexpr auto STOP_BOUND = std::chrono::seconds(3);
constexpr auto LOG_BOUND = std::chrono::seconds(2);
constexpr auto POLL_STEP = std::chrono::milliseconds(20);

struct fd_closer {
  int fd;
  ~fd_closer() {
    if (fd >= 0)
      close(fd);
  }
};

sockaddr_in loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// A port that was free a moment ago; nginx may still lose it to someone else,
// which the launcher notices and retries.
uint16_t pick_port() {
  fd_closer sock{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  if (sock.fd < 0 || bind(sock.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      getsockname(sock.fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
    throw std::runtime_error("cannot find a free port on 127.0.0.1");
  return ntohs(addr.sin_port);
}

bool accepts_connections(uint16_t port) {
  fd_closer sock{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  sockaddr_in addr = loopback(port);
  return sock.fd >= 0 && connect(sock.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
}

std::string nginx_configuration(const std::string &dir, uint16_t port, const options &opts) {
  std::ostringstream c;
  if (geteuid() == 0)
    c << "user root;\n";
  c << "daemon off;\n"
       "master_process off;\n"
       "worker_processes 1;\n"
    << "pid " << dir << "/nginx.pid;\n"
    << "error_log " << dir << "/error.log info;\n"
    << "events { worker_connections 64; }\n"
       "http {\n"
       "  types { text/html html; text/plain txt; }\n"
       "  default_type application/octet-stream;\n"
       "  log_format fields '$connection|$request_method|$uri|$status|$body_bytes_sent|$http_range|$https';\n"
    << "  access_log " << dir << "/access.log fields;\n"
    << "  client_body_temp_path " << dir << "/temp/body;\n"
    << "  proxy_temp_path " << dir << "/temp/proxy;\n"
    << "  fastcgi_temp_path " << dir << "/temp/fastcgi;\n"
    << "  uwsgi_temp_path " << dir << "/temp/uwsgi;\n"
    << "  scgi_temp_path " << dir << "/temp/scgi;\n"
    << "  sendfile on;\n"
       "  keepalive_timeout 60s;\n"
       "  keepalive_requests 10000;\n"
       "  server {\n"
    << "    listen 127.0.0.1:" << port << (opts.https ? " ssl" : "") << ";\n"
    << "    server_name localhost;\n"
    << "    root " << dir << "/root;\n";
  if (opts.https) {
    c << "    ssl_certificate " << dir << "/server.crt;\n"
      << "    ssl_certificate_key " << dir << "/server.key;\n";
    if (opts.ask_client_certificate)
      c << "    ssl_verify_client optional_no_ca;\n";
  }
  c << "    location = /redirect { return 301 " << (opts.https ? "https" : "http")
    << "://127.0.0.1:" << port << "/redirect-target.txt; }\n"
    << "    location = /client-certificate {\n"
       "      default_type text/plain;\n"
       "      return 200 \"$ssl_client_verify $ssl_client_s_dn\\n\";\n"
       "    }\n"
       "  }\n"
       "}\n";
  return c.str();
}

pid_t spawn_nginx(const std::string &program, const std::string &dir) {
  std::string prefix = dir + "/";
  std::string conf = dir + "/nginx.conf";
  std::string startup_log = dir + "/error.log";
  std::string output = dir + "/nginx.out";
  pid_t pid = fork();
  if (pid != 0)
    return pid;
  int null_fd = open("/dev/null", O_RDONLY);
  int out_fd = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (null_fd < 0 || out_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out_fd, 1) < 0 ||
      dup2(out_fd, 2) < 0)
    _exit(127);
  execl(program.c_str(), "nginx", "-p", prefix.c_str(), "-c", conf.c_str(), "-e",
        startup_log.c_str(), static_cast<char *>(nullptr));
  _exit(127);
}

// Waits for the child to end, at most `bound`; true when it did.
bool reap_within(pid_t pid, clock_type::duration bound) {
  auto deadline = clock_type::now() + bound;
  while (clock_type::now() < deadline) {
    int wstatus = 0;
    pid_t done = waitpid(pid, &wstatus, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD))
      return true;
    std::this_thread::sleep_for(POLL_STEP);
  }
  return false;
}

request parse_request(const std::string &line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t bar; (bar = line.find('|', start)) != std::string::npos; start = bar + 1)
    fields.push_back(line.substr(start, bar - start));
  fields.push_back(line.substr(start));
  request r;
  if (fields.size() < 7)
    return r;
  r.connection = std::stol(fields[0]);
  r.method = fields[1];
  r.uri = fields[2];
  r.status = std::stoi(fields[3]);
  r.body_bytes = std::stoll(fields[4]);
  r.range = fields[5];
  r.https = fields[6] == "on";
  return r;
}

struct pkey_free {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct x509_free {
  void operator()(X509 *x) const { X509_free(x); }
};
struct file_close {
  void operator()(FILE *f) const { fclose(f); }
};

}  // namespace

std::string nginx_program() {
  for (const char *candidate : {"/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/bin/nginx"})
    if (access(candidate, X_OK) == 0)
      return candidate;
  return "";
}

certificate_files write_self_signed_certificate(const std::string &dir, const std::string &stem,
                                                const std::string &common_name,
                                                long not_before_seconds, long not_after_seconds) {
  certificate_files files{dir + "/" + stem + ".crt", dir + "/" + stem + ".key"};
  std::unique_ptr<EVP_PKEY, pkey_free> key(EVP_EC_gen("P-256"));
  std::unique_ptr<X509, x509_free> cert(X509_new());
  if (!key || !cert)
    throw std::runtime_error("cannot create a key and a certificate");
  X509_NAME *name = X509_get_subject_name(cert.get());
  bool built =
      X509_set_version(cert.get(), 2) == 1 &&
      ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(time(nullptr))) ==
          1 &&
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), not_before_seconds) != nullptr &&
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), not_after_seconds) != nullptr &&
      X509_set_pubkey(cert.get(), key.get()) == 1 &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char *>(common_name.c_str()), -1,
                                 -1, 0) == 1 &&
      X509_set_issuer_name(cert.get(), name) == 1 &&
      X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  if (!built)
    throw std::runtime_error("cannot build the certificate for " + common_name);
  std::unique_ptr<FILE, file_close> cert_out(fopen(files.certificate.c_str(), "w"));
  std::unique_ptr<FILE, file_close> key_out(fopen(files.key.c_str(), "w"));
  if (!cert_out || !key_out || PEM_write_X509(cert_out.get(), cert.get()) != 1 ||
      PEM_write_PrivateKey(key_out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    throw std::runtime_error("cannot write " + files.certificate + " or " + files.key);
  return files;
}

server::server(options opts) : https_(opts.https) {
  std::string program = nginx_program();
  if (program.empty()) {
    failure_ = "nginx is not installed (scripts/install-deps check installs nginx-light)";
    return;
  }
  dir_ = make_temp_dir("nginx");
  for (const char *sub : {"/root", "/scratch", "/temp"})
    std::filesystem::create_directory(dir_ + sub);
  if (opts.https) {
    long day = 24L * 60 * 60;
    if (opts.expired_certificate)
      write_self_signed_certificate(dir_, "server", "127.0.0.1", -30 * day, -day);
    else
      write_self_signed_certificate(dir_, "server", "127.0.0.1", -day, 30 * day);
  }
  for (int attempt = 0; attempt < LAUNCH_ATTEMPTS && !started(); ++attempt)
    if (!launch(opts) && failure_.find("Address already in use") == std::string::npos)
      break;
}

server::~server() {
  stop();
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}

bool server::launch(const options &opts) {
  port_ = pick_port();
  write_file_text(dir_ + "/nginx.conf", nginx_configuration(dir_, port_, opts));
  std::filesystem::remove(dir_ + "/error.log");
  pid_t pid = spawn_nginx(nginx_program(), dir_);
  if (pid < 0) {
    failure_ = "cannot fork for nginx";
    return false;
  }
  auto deadline = clock_type::now() + READY_BOUND;
  while (clock_type::now() < deadline) {
    int wstatus = 0;
    if (waitpid(pid, &wstatus, WNOHANG) == pid) {
      failure_ = "nginx stopped at start-up: " + read_file_text(dir_ + "/error.log") +
                 read_file_text(dir_ + "/nginx.out");
      return false;
    }
    if (accepts_connections(port_)) {
      pid_ = pid;
      return true;
    }
    std::this_thread::sleep_for(POLL_STEP);
  }
  kill(pid, SIGKILL);
  reap_within(pid, STOP_BOUND);
  failure_ = "nginx did not accept connections within 5 seconds: " +
             read_file_text(dir_ + "/error.log");
  return false;
}

void server::stop() {
  if (pid_ <= 0)
    return;
  kill(pid_, SIGTERM);
  if (!reap_within(pid_, STOP_BOUND)) {
    kill(pid_, SIGKILL);
    reap_within(pid_, STOP_BOUND);
  }
  pid_ = -1;
}

std::string server::url(const std::string &path) const {
  return std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/" +
         path;
}

std::vector<request> server::requests(size_t at_least) const {
  auto deadline = clock_type::now() + LOG_BOUND;
  std::vector<request> found;
  for (;;) {
    found.clear();
    std::istringstream log(read_file_text(dir_ + "/access.log"));
    std::string line;
    while (std::getline(log, line))
      found.push_back(parse_request(line));
    if (found.size() >= at_least || clock_type::now() >= deadline)
      return found;
    std::this_thread::sleep_for(POLL_STEP);
  }
}

}  // namespace nginx_fixture
