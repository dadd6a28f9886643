// A fixture for suites that run the HTTP client in-process against the
// scripted server: fresh settings, a scratch download directory, and the log
// in a file the test can read back.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "http.h"
#include "log.h"
#include "script_server.h"
#include "settings.h"
#include "test_util.h"

class HttpFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    opt = options{};
    opt.verbose = 1;
    opt.timeout = 10;
    opt.netrc = 0;
    dir = make_temp_dir("http");
    opt.dirprefix = dir;
    log_path = dir + "/log";
    log_init(log_path.c_str(), 0);
    local = dir + "/doc";
  }
  void TearDown() override {
    http_cleanup();
    std::filesystem::remove_all(dir);
  }

  std::string base(const script_server &srv) { return "http://127.0.0.1:" + std::to_string(srv.port()); }

  std::string log_text() {
    logflush();
    return read_file_text(log_path);
  }

  std::string dir;       // the download directory (dirprefix)
  std::string log_path;  // where the log goes
  std::string local;     // the local name the tests download to
};
