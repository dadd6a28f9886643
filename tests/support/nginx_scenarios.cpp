#include "nginx_scenarios.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <stdexcept>

#include "test_util.h"

namespace nginx_scenarios {

namespace {

using nginx_fixture::request;
using nginx_fixture::server;

constexpr int RUN_BOUND_SECONDS = 120;

// A directory that lives as long as the scenario.
struct temp_dir {
  std::string path = make_temp_dir("interop");
  ~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

time_t mtime_of(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

// The requests logged after the first `before`, waiting for `count` of them.
std::vector<request> new_requests(const server &srv, size_t before, size_t count) {
  std::vector<request> all = srv.requests(before + count);
  return {all.begin() + static_cast<std::ptrdiff_t>(std::min(before, all.size())), all.end()};
}

std::string describe(const program_result &run) {
  return "exit status " + std::to_string(run.status) + ", log:\n" + run.err;
}

}  // namespace

program_result run_tuvo(const std::vector<std::string> &args, const std::string &cwd) {
  temp_dir home;
  return run_program(TUVO_BINARY, "tuvo", args, {"HOME=" + home.path, "PATH=/usr/bin:/bin"}, cwd,
                     RUN_BOUND_SECONDS);
}

std::string random_bytes(size_t size, uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; i += 8) {
    uint64_t word = generator();
    for (size_t j = 0; j < 8 && i + j < size; ++j)
      bytes[i + j] = static_cast<char>(word >> (8 * j));
  }
  return bytes;
}

void set_mtime(const std::string &path, time_t when) {
  struct timespec times[2] = {{when, 0}, {when, 0}};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    throw std::runtime_error("cannot set the time of " + path);
}

void large_download(const server &srv) {
  temp_dir work;
  std::string body = random_bytes(20 * 1000 * 1000, 1);
  write_file_text(srv.root() + "/large.bin", body);
  size_t before = srv.requests().size();

  program_result run = run_tuvo({srv.url("large.bin")}, work.path);

  EXPECT_EQ(run.status, 0) << describe(run);
  EXPECT_TRUE(read_file_text(work.path + "/large.bin") == body) << "large.bin differs";
  std::vector<request> seen = new_requests(srv, before, 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].status, 200);
  EXPECT_EQ(seen[0].body_bytes, static_cast<int64_t>(body.size()));
}

void resume_from_middle(const server &srv) {
  temp_dir work;
  std::string body = random_bytes(8 * 1000 * 1000 + 123, 2);
  size_t half = body.size() / 2 + 7;
  write_file_text(srv.root() + "/resume.bin", body);
  write_file_text(work.path + "/resume.bin", body.substr(0, half));
  size_t before = srv.requests().size();

  program_result run = run_tuvo({"-c", srv.url("resume.bin")}, work.path);

  EXPECT_EQ(run.status, 0) << describe(run);
  EXPECT_TRUE(read_file_text(work.path + "/resume.bin") == body) << "resume.bin differs";
  std::vector<request> seen = new_requests(srv, before, 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].status, 206);
  EXPECT_EQ(seen[0].range, "bytes=" + std::to_string(half) + "-");
  EXPECT_EQ(seen[0].body_bytes, static_cast<int64_t>(body.size() - half));
}

void timestamping(const server &srv) {
  temp_dir work;
  std::string served = srv.root() + "/stamped.bin";
  std::string local = work.path + "/stamped.bin";
  time_t served_time = time(nullptr) - 3600;
  write_file_text(served, random_bytes(100 * 1000, 3));
  set_mtime(served, served_time);

  struct step {
    const char *name;
    bool change_served;            // new content and a newer time before the run
    std::vector<std::string> methods;  // what the run asks nginx
  };
  const std::vector<step> steps = {
      {"first run: nothing local yet", false, {"GET"}},
      {"second run: local copy as new as the served one", false, {"HEAD"}},
      {"third run: the served file changed and is newer", true, {"HEAD", "GET"}},
  };
  for (const step &s : steps) {
    SCOPED_TRACE(s.name);
    if (s.change_served) {
      served_time += 60;
      write_file_text(served, random_bytes(100 * 1000, 4));
      set_mtime(served, served_time);
    }
    size_t before = srv.requests().size();

    program_result run = run_tuvo({"-N", srv.url("stamped.bin")}, work.path);

    EXPECT_EQ(run.status, 0) << describe(run);
    std::vector<request> seen = new_requests(srv, before, s.methods.size());
    std::vector<std::string> methods;
    for (const request &r : seen)
      methods.push_back(r.method);
    EXPECT_EQ(methods, s.methods) << describe(run);
    EXPECT_TRUE(read_file_text(local) == read_file_text(served)) << "stamped.bin differs";
    EXPECT_EQ(mtime_of(local), served_time);
  }
}

void keep_alive_reuse(const server &srv) {
  temp_dir work;
  const std::vector<std::string> names = {"first.txt", "second.html", "third.bin"};
  std::vector<std::string> args;
  for (size_t i = 0; i < names.size(); ++i) {
    write_file_text(srv.root() + "/" + names[i], random_bytes(1000 * (i + 1) + 17, 10 + i));
    args.push_back(srv.url(names[i]));
  }
  size_t before = srv.requests().size();

  program_result run = run_tuvo(args, work.path);

  EXPECT_EQ(run.status, 0) << describe(run);
  for (const std::string &name : names)
    EXPECT_TRUE(read_file_text(work.path + "/" + name) == read_file_text(srv.root() + "/" + name))
        << name << " differs";
  std::vector<request> seen = new_requests(srv, before, names.size());
  ASSERT_EQ(seen.size(), names.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(seen[i].uri, "/" + names[i]);
    EXPECT_EQ(seen[i].status, 200);
    EXPECT_EQ(seen[i].connection, seen[0].connection) << "a new connection was opened";
  }
}

void redirect(const server &srv) {
  temp_dir work;
  write_file_text(srv.root() + "/redirect-target.txt", "the target\n");
  size_t before = srv.requests().size();

  program_result run = run_tuvo({"-O", "out.txt", srv.url("redirect")}, work.path);

  EXPECT_EQ(run.status, 0) << describe(run);
  EXPECT_EQ(read_file_text(work.path + "/out.txt"), "the target\n");
  std::vector<request> seen = new_requests(srv, before, 2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].uri, "/redirect");
  EXPECT_EQ(seen[0].status, 301);
  EXPECT_EQ(seen[1].uri, "/redirect-target.txt");
  EXPECT_EQ(seen[1].status, 200);
}

}  // namespace nginx_scenarios
