#include "pty_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

int exit_status(int wstatus) {
  if (WIFEXITED(wstatus))
    return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus))
    return 128 + WTERMSIG(wstatus);
  return -1;
}

// Reads the master side until every slave descriptor is closed or time runs out.
bool drain(int master, std::string &output, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0)
      return false;
    pollfd pfd{master, POLLIN, 0};
    int ready = ::poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      return false;
    char buf[4096];
    ssize_t n = ::read(master, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    // Linux reports EIO on the master once the last slave descriptor closes.
    if (n <= 0)
      return true;
    output.append(buf, static_cast<size_t>(n));
  }
}

// A raw pseudo-terminal pair.
bool open_raw_pty(int &master, int &slave) {
  master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0)
    return false;
  const char *name = nullptr;
  if (::grantpt(master) == 0 && ::unlockpt(master) == 0)
    name = ::ptsname(master);
  slave = name ? ::open(name, O_RDWR | O_NOCTTY) : -1;
  termios raw{};
  if (slave < 0 || ::tcgetattr(slave, &raw) != 0) {
    ::close(master);
    if (slave >= 0)
      ::close(slave);
    return false;
  }
  cfmakeraw(&raw);
  ::tcsetattr(slave, TCSANOW, &raw);
  return true;
}

}  // namespace

pty_run_result run_on_pty(const std::function<int()> &body, int timeout_ms) {
  pty_run_result result;
  int master = -1, slave = -1;
  if (!open_raw_pty(master, slave))
    return result;
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(master);
    ::close(slave);
    return result;
  }
  if (pid == 0) {
    ::close(master);
    ::dup2(slave, STDERR_FILENO);
    ::close(slave);
    int status = body();
    std::fflush(nullptr);
    ::_exit(status);
  }
  ::close(slave);
  if (!drain(master, result.output, timeout_ms))
    ::kill(pid, SIGKILL);
  ::close(master);
  int wstatus = 0;
  if (::waitpid(pid, &wstatus, 0) == pid)
    result.status = exit_status(wstatus);
  return result;
}
