#include "nginx_scenarios.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <thread>

#include "test_util.h"

namespace nginx_scenarios {

namespace {

using nginx_fixture::request;
using nginx_fixture::server;

constexpr auto RUN_BOUND = std::chrono::seconds(120);

// A directory that lives as long as the scenario.
struct temp_dir {
  std::string path = make_temp_dir("interop");
  ~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

[[noreturn]] void exec_tuvo(const std::vector<std::string> &args, const std::string &cwd,
                            const std::string &home, const std::string &out,
                            const std::string &err) {
  std::vector<std::string> env_texts{"HOME=" + home, "PATH=/usr/bin:/bin"};
  std::vector<char *> argv{const_cast<char *>("tuvo")};
  for (const std::string &arg : args)
    argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (std::string &text : env_texts)
    envp.push_back(text.data());
  envp.push_back(nullptr);
  int in_fd = open("/dev/null", O_RDONLY);
  int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 ||
      dup2(err_fd, 2) < 0 || chdir(cwd.c_str()) != 0)
    _exit(127);
  execve(TUVO_BINARY, argv.data(), envp.data());
  _exit(127);
}

int wait_bounded(pid_t pid) {
  auto deadline = std::chrono::steady_clock::now() + RUN_BOUND;
  int wstatus = 0;
  for (;;) {
    pid_t done = waitpid(pid, &wstatus, WNOHANG);
    if (done == pid)
      break;
    if (done < 0 && errno != EINTR)
      return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

time_t mtime_of(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

// The requests logged after the first `before`, waiting for `count` of them.
std::vector<request> new_requests(const server &srv, size_t before, size_t count) {
  std::vector<request> all = srv.requests(before + count);
  return {all.begin() + static_cast<std::ptrdiff_t>(std::min(before, all.size())), all.end()};
}

std::string describe(const run_result &run) {
  return "exit status " + std::to_string(run.status) + ", log:\n" + run.err;
}

}  // namespace

run_result run_tuvo(const std::vector<std::string> &args, const std::string &cwd) {
  temp_dir io;
  std::string home = io.path + "/home";
  std::filesystem::create_directory(home);
  std::string out = io.path + "/out", err = io.path + "/err";
  pid_t pid = fork();
  if (pid < 0)
    throw std::runtime_error("fork failed");
  if (pid == 0)
    exec_tuvo(args, cwd, home, out, err);
  run_result result;
  result.status = wait_bounded(pid);
  result.out = read_file_text(out);
  result.err = read_file_text(err);
  return result;
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

bool program_downloads(const server &srv) {
  temp_dir work;
  write_file_text(srv.root() + "/probe.txt", "probe\n");
  run_result run = run_tuvo({"-q", "-O", "probe.txt", srv.url("probe.txt")}, work.path);
  return run.status == 0 && read_file_text(work.path + "/probe.txt") == "probe\n";
}

void large_download(const server &srv) {
  temp_dir work;
  std::string body = random_bytes(20 * 1000 * 1000, 1);
  write_file_text(srv.root() + "/large.bin", body);
  size_t before = srv.requests().size();

  run_result run = run_tuvo({srv.url("large.bin")}, work.path);

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

  run_result run = run_tuvo({"-c", srv.url("resume.bin")}, work.path);

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

    run_result run = run_tuvo({"-N", srv.url("stamped.bin")}, work.path);

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

  run_result run = run_tuvo(args, work.path);

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

  run_result run = run_tuvo({"-O", "out.txt", srv.url("redirect")}, work.path);

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
