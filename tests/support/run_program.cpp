#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace {

std::vector<char *> c_strings(std::vector<std::string> &texts) {
  std::vector<char *> pointers;
  for (std::string &text : texts)
    pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

[[noreturn]] void exec_child(const std::string &binary, std::vector<std::string> argv,
                             std::vector<std::string> env, const std::string &cwd, int out_fd,
                             int err_fd) {
  int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0 ||
      chdir(cwd.c_str()) != 0)
    _exit(127);
  std::vector<char *> argv_c = c_strings(argv);
  std::vector<char *> env_c = c_strings(env);
  execve(binary.c_str(), argv_c.data(), env_c.data());
  _exit(127);
}

// Reads both pipes until both are closed or the deadline passes.
void drain(int out_fd, int err_fd, program_result &result,
           std::chrono::steady_clock::time_point deadline) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  while (open_count > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return;
    int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      return;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

}  // namespace

program_result run_program(const std::string &binary, const std::string &argv0,
                           const std::vector<std::string> &args,
                           const std::vector<std::string> &env, const std::string &cwd,
                           int bound_seconds) {
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  std::vector<std::string> argv{argv0};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = fork();
  if (pid < 0)
    throw std::runtime_error("fork failed");
  if (pid == 0)
    exec_child(binary, argv, env, cwd, out_pipe[1], err_pipe[1]);
  close(out_pipe[1]);
  close(err_pipe[1]);

  program_result result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(bound_seconds);
  drain(out_pipe[0], err_pipe[0], result, deadline);
  close(out_pipe[0]);
  close(err_pipe[0]);
  if (std::chrono::steady_clock::now() >= deadline)
    kill(pid, SIGKILL);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return result;
}
