// The built program against a real nginx over HTTPS on 127.0.0.1, with
// certificates generated for the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "nginx_scenarios.h"
#include "nginx_server.h"
#include "test_util.h"

namespace {

using namespace nginx_scenarios;
using nginx_fixture::server;

class NginxHttps : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!srv_.started())
      GTEST_SKIP() << srv_.failure();
  }
  server srv_{{.https = true}};
};

TEST_F(NginxHttps, LargeFileArrivesWhole) { large_download(srv_); }

TEST_F(NginxHttps, ContinueResumesFromTheMiddleWithRange) { resume_from_middle(srv_); }

TEST_F(NginxHttps, TimestampingFollowsLastModified) { timestamping(srv_); }

TEST_F(NginxHttps, SeveralUrlsShareOneKeptAliveConnection) { keep_alive_reuse(srv_); }

TEST_F(NginxHttps, RedirectIsFollowed) { redirect(srv_); }

// Server certificates are not verified: a self-signed one and an expired one
// both let the download through.
TEST_F(NginxHttps, SelfSignedAndExpiredCertificatesAreAccepted) {
  server expired({.https = true, .expired_certificate = true});
  ASSERT_TRUE(expired.started()) << expired.failure();
  struct row {
    const char *name;
    const server &srv;
  };
  const std::vector<row> rows = {{"self-signed", srv_}, {"expired", expired}};
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    std::string work = make_temp_dir("https-cert");
    write_file_text(r.srv.root() + "/doc.txt", "over TLS\n");

    program_result run = run_tuvo({"-O", "doc.txt", r.srv.url("doc.txt")}, work);

    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file_text(work + "/doc.txt"), "over TLS\n");
    std::filesystem::remove_all(work);
  }
}

// A kept-alive connection serves only the security it was made with: a plain
// HTTP connection is never reused for an HTTPS URL on the same host and port,
// nor the reverse.  The second URL goes to a new connection of the other kind,
// which that server cannot answer, so it must not come back as a document.
TEST_F(NginxHttps, KeptConnectionIsNeverReusedAcrossSecurity) {
  server plain;
  ASSERT_TRUE(plain.started()) << plain.failure();
  struct row {
    const char *name;
    const server &srv;
    std::string first, second;
  };
  const std::vector<row> rows = {
      {"HTTP kept, then HTTPS", plain, plain.url("a.txt"),
       "https://127.0.0.1:" + std::to_string(plain.port()) + "/b.txt"},
      {"HTTPS kept, then HTTP", srv_, srv_.url("a.txt"),
       "http://127.0.0.1:" + std::to_string(srv_.port()) + "/b.txt"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    std::string work = make_temp_dir("https-mix");
    write_file_text(r.srv.root() + "/a.txt", "first\n");
    write_file_text(r.srv.root() + "/b.txt", "second\n");
    size_t before = r.srv.requests().size();

    program_result run = run_tuvo({"-t", "1", r.first, r.second}, work);

    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(read_file_text(work + "/a.txt"), "first\n");
    EXPECT_NE(read_file_text(work + "/b.txt"), "second\n");
    std::vector<nginx_fixture::request> seen = r.srv.requests(before + 1);
    ASSERT_GT(seen.size(), before);
    const nginx_fixture::request &first = seen[before];
    EXPECT_EQ(first.uri, "/a.txt");
    for (size_t i = before + 1; i < seen.size(); ++i) {
      EXPECT_NE(seen[i].connection, first.connection) << "the kept connection was reused";
      EXPECT_NE(seen[i].status, 200) << seen[i].uri;
    }
    std::filesystem::remove_all(work);
  }
}

// nginx asks for a client certificate without requiring one and answers with
// what it got: "<verdict> <subject>".  A self-signed client certificate fails
// nginx's verification but is still received, which is what the test needs.
TEST_F(NginxHttps, ClientCertificateIsPresentedWhenGiven) {
  server asking({.https = true, .ask_client_certificate = true});
  ASSERT_TRUE(asking.started()) << asking.failure();
  nginx_fixture::certificate_files client = nginx_fixture::write_self_signed_certificate(
      asking.scratch(), "client", "tuvo-test-client", -3600, 3600);
  std::string combined = asking.scratch() + "/combined.pem";
  write_file_text(combined, read_file_text(client.certificate) + read_file_text(client.key));
  std::string missing = asking.scratch() + "/missing.pem";

  struct row {
    const char *name;
    std::vector<std::string> options;
    bool presented;
    std::vector<std::string> messages;  // expected in the log
  };
  const std::vector<row> rows = {
      {"no certificate asked for", {}, false, {}},
      {"certificate and key files",
       {"--sslcertfile=" + client.certificate, "--sslcertkey=" + client.key},
       true,
       {}},
      {"key read from the certificate file", {"--sslcertfile=" + combined}, true, {}},
      {"missing certificate file",
       {"--sslcertfile=" + missing},
       false,
       {"Failed to load certificates from " + missing + "\n",
        "Trying without the specified certificate\n"}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    std::string work = make_temp_dir("https-client");
    std::vector<std::string> args = r.options;
    args.insert(args.end(), {"-O", "verdict.txt", asking.url("client-certificate")});

    program_result run = run_tuvo(args, work);

    EXPECT_EQ(run.status, 0) << run.err;
    std::string verdict = read_file_text(work + "/verdict.txt");
    if (r.presented)
      EXPECT_NE(verdict.find(" CN=tuvo-test-client\n"), std::string::npos) << verdict;
    else
      EXPECT_EQ(verdict, "NONE \n");
    for (const std::string &message : r.messages)
      EXPECT_NE(run.err.find(message), std::string::npos) << message << " missing from:\n"
                                                          << run.err;
    std::filesystem::remove_all(work);
  }
}

}  // namespace
