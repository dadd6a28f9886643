#include "log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "pty_session.h"
#include "test_util.h"

namespace fs = std::filesystem;

namespace {

// The log keeps process-wide state that only moves forward (a redirection
// happens once, log_close is final), so every case runs in a child of its own.
int run_in_child(const std::function<int()> &body) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int status = body();
    std::fflush(nullptr);
    ::_exit(status);
  }
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

std::string read_file(const fs::path &path) { return read_file_text(path.string()); }

void on_signal(int signal) {
  log_request_redirect_output(signal == SIGHUP ? "SIGHUP" : "SIGUSR1");
}

void install_redirect_handlers() {
  struct sigaction action{};
  action.sa_handler = on_signal;
  ::sigaction(SIGHUP, &action, nullptr);
  ::sigaction(SIGUSR1, &action, nullptr);
}

std::string numbered_lines(int from, int to) {
  std::string text;
  for (int i = from; i <= to; ++i)
    text += "line " + std::to_string(i) + "\n";
  return text;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = make_temp_dir("log"); }
  void TearDown() override { fs::remove_all(dir); }

  // Runs BODY on a terminal with the log on standard error, in the scratch directory.
  pty_run_result on_terminal(const std::function<void()> &body) {
    return run_on_pty([&] {
      if (::chdir(dir.c_str()) != 0)
        return 99;
      opt = options{};
      opt.verbose = 1;
      install_redirect_handlers();
      log_init(nullptr, 0);
      body();
      return 0;
    });
  }

  fs::path dir;
};

TEST_F(LogTest, LevelsFollowVerbosity) {
  struct row {
    const char *name;
    int verbose, quiet, debug;
    const char *expected;
  };
  const std::vector<row> rows = {
      {"default verbose", 1, 0, 0, "notquiet\nverbose\nalways\nabove\n"},
      {"non-verbose", 0, 0, 0, "notquiet\nnonverbose\nalways\nabove\n"},
      {"quiet", 0, 1, 0, "always\nabove\n"},
      {"quiet with debug", 0, 1, 1, "always\nabove\ndebug 7\n"},
      {"verbose with debug", 1, 0, 1, "notquiet\nverbose\nalways\nabove\ndebug 7\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    fs::path file = dir / "log";
    int status = run_in_child([&] {
      opt = options{};
      opt.verbose = r.verbose;
      opt.quiet = r.quiet;
      opt.debug = r.debug;
      log_init(file.c_str(), 0);
      logputs(LOG_NOTQUIET, "notquiet\n");
      logprintf(LOG_NONVERBOSE, "%s\n", "nonverbose");
      logputs(LOG_VERBOSE, "verbose\n");
      logprintf(LOG_ALWAYS, "always\n");
      logputs(static_cast<log_options>(7), "above\n");
      DEBUGP(("debug %d\n", 7));
      log_close();
      logputs(LOG_ALWAYS, "after close\n");
      return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(file), r.expected);
  }
}

TEST_F(LogTest, InitTruncatesOrAppends) {
  fs::path file = dir / "log";
  std::ofstream(file) << "old\n";
  EXPECT_EQ(run_in_child([&] {
              opt = options{};
              log_init(file.c_str(), 1);
              logputs(LOG_ALWAYS, "appended\n");
              log_close();
              return 0;
            }), 0);
  EXPECT_EQ(read_file(file), "old\nappended\n");
  EXPECT_EQ(run_in_child([&] {
              opt = options{};
              log_init(file.c_str(), 0);
              logputs(LOG_ALWAYS, "fresh\n");
              log_close();
              return 0;
            }), 0);
  EXPECT_EQ(read_file(file), "fresh\n");
}

TEST_F(LogTest, InitFailureEndsTheProgram) {
  std::string missing = (dir / "no" / "such" / "log").string();
  EXPECT_EXIT(log_init(missing.c_str(), 0), ::testing::ExitedWithCode(1),
              "/no/such/log: No such file or directory\n");
}

TEST_F(LogTest, CloseLeavesStandardErrorOpen) {
  int status = run_in_child([] {
    opt = options{};
    log_init(nullptr, 0);
    log_close();
    return ::fcntl(STDERR_FILENO, F_GETFD) == -1 ? 1 : 0;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(LogTest, SighupAfterThirtyLinesKeepsTheLastTwentyFour) {
  pty_run_result run = on_terminal([] {
    for (int i = 1; i <= 30; ++i)
      logprintf(LOG_NOTQUIET, "line %d\n", i);
    ::raise(SIGHUP);
    logputs(LOG_NOTQUIET, "after\n");
    ::raise(SIGUSR1);
    logputs(LOG_NOTQUIET, "later\n");
  });
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.output, numbered_lines(1, 30) + "\nSIGHUP received, redirecting output to `tuvo-log'.\n");
  EXPECT_EQ(read_file(dir / "tuvo-log"), numbered_lines(7, 30) + "after\nlater\n");
  EXPECT_FALSE(fs::exists(dir / "tuvo-log.1"));
}

TEST_F(LogTest, FewerLinesThanTheRingComeOutInOrder) {
  pty_run_result run = on_terminal([] {
    logputs(LOG_NOTQUIET, "line 1\nline 2\nline 3\n");
    ::raise(SIGUSR1);
    logputs(LOG_NOTQUIET, "after\n");
  });
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(read_file(dir / "tuvo-log"), numbered_lines(1, 3) + "after\n");
}

TEST_F(LogTest, UnfinishedLineComesLastAndIsContinued) {
  pty_run_result run = on_terminal([] {
    logputs(LOG_NOTQUIET, numbered_lines(1, 25).c_str());
    logputs(LOG_NOTQUIET, "first ");
    logprintf(LOG_NOTQUIET, "%s ", "second");
    logputs(LOG_NOTQUIET, "third");
    ::raise(SIGUSR1);
    logputs(LOG_NOTQUIET, " fourth\n");
  });
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(read_file(dir / "tuvo-log"), numbered_lines(3, 25) + "first second third fourth\n");
  EXPECT_NE(run.output.find("\nSIGUSR1 received, redirecting output to `tuvo-log'.\n"),
            std::string::npos);
}

TEST_F(LogTest, LongLinesAreSavedWhole) {
  struct row {
    const char *name;
    std::function<void(const std::string &)> write;
  };
  const std::vector<row> rows = {
      {"one formatted message", [](const std::string &line) { logprintf(LOG_NOTQUIET, "%s\n", line.c_str()); }},
      {"three chunks growing past the inline buffer",
       [](const std::string &line) {
         logputs(LOG_NOTQUIET, line.substr(0, 100).c_str());
         logputs(LOG_NOTQUIET, line.substr(100, 100).c_str());
         logputs(LOG_NOTQUIET, line.substr(200).c_str());
         logputs(LOG_NOTQUIET, "\n");
       }},
  };
  std::string line;
  for (int i = 0; i < 300; ++i)
    line += char('a' + i % 26);
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    fs::remove_all(dir / "tuvo-log");
    pty_run_result run = on_terminal([&] {
      logputs(LOG_NOTQUIET, "before\n");
      r.write(line);
      ::raise(SIGHUP);
      logputs(LOG_NOTQUIET, "after\n");
    });
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "before\n" + line + "\n\nSIGHUP received, redirecting output to `tuvo-log'.\n");
    EXPECT_EQ(read_file(dir / "tuvo-log"), "before\n" + line + "\nafter\n");
  }
}

TEST_F(LogTest, RedirectionNeverReusesAnExistingName) {
  std::ofstream(dir / "tuvo-log") << "keep 0\n";
  std::ofstream(dir / "tuvo-log.1") << "keep 1\n";
  std::ofstream(dir / "outside") << "outside\n";
  fs::create_symlink(dir / "outside", dir / "tuvo-log.2");
  fs::create_symlink(dir / "nowhere", dir / "tuvo-log.3");
  pty_run_result run = on_terminal([] {
    logputs(LOG_NOTQUIET, "saved\n");
    ::raise(SIGHUP);
    logputs(LOG_NOTQUIET, "after\n");
  });
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "saved\n\nSIGHUP received, redirecting output to `tuvo-log.4'.\n");
  EXPECT_EQ(read_file(dir / "tuvo-log.4"), "saved\nafter\n");
  EXPECT_EQ(read_file(dir / "tuvo-log"), "keep 0\n");
  EXPECT_EQ(read_file(dir / "tuvo-log.1"), "keep 1\n");
  EXPECT_EQ(read_file(dir / "outside"), "outside\n");
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

TEST_F(LogTest, FailedRedirectionSilencesTheLog) {
  pty_run_result run = on_terminal([&] {
    logputs(LOG_NOTQUIET, "before\n");
    fs::remove_all(dir);
    ::raise(SIGHUP);
    logputs(LOG_ALWAYS, "lost\n");
  });
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.output,
            "before\n\nSIGHUP received, redirecting output to `tuvo-log'.\n"
            "tuvo-log: No such file or directory; disabling logging.\n");
}

TEST_F(LogTest, SignalsChangeNothingWithoutATerminal) {
  struct row {
    const char *name;
    bool on_pty;
  };
  for (const row &r : std::vector<row>{{"log file on a terminal", true}, {"standard error is a file", false}}) {
    SCOPED_TRACE(r.name);
    fs::path log = dir / "log";
    auto body = [&] {
      if (::chdir(dir.c_str()) != 0)
        return 99;
      opt = options{};
      install_redirect_handlers();
      if (r.on_pty) {
        log_init(log.c_str(), 0);
      } else {
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDERR_FILENO);
        log_init(nullptr, 0);
      }
      logputs(LOG_NOTQUIET, "one\n");
      ::raise(SIGHUP);
      ::raise(SIGUSR1);
      logputs(LOG_NOTQUIET, "two\n");
      return 0;
    };
    int status = r.on_pty ? run_on_pty(body).status : run_in_child(body);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(read_file(log), "one\ntwo\n");
    EXPECT_FALSE(fs::exists(dir / "tuvo-log"));
  }
}

TEST_F(LogTest, BarOutputStaysOutOfTheRing) {
  pty_run_result run = on_terminal([] {
    logputs(LOG_NOTQUIET, "kept\n");
    int previous = log_set_save_context(0);
    logputs(LOG_VERBOSE, "\r[====>   ]");
    log_set_save_context(previous);
    logputs(LOG_NOTQUIET, "\nalso kept\n");
    ::raise(SIGHUP);
    logputs(LOG_NOTQUIET, "after\n");
  });
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(read_file(dir / "tuvo-log"), "kept\n\nalso kept\nafter\n");
}

TEST_F(LogTest, DeferredFlushStillDeliversEverything) {
  fs::path file = dir / "log";
  int status = run_in_child([&] {
    opt = options{};
    log_init(file.c_str(), 0);
    log_set_flush(0);
    logputs(LOG_ALWAYS, "a");
    logputs(LOG_ALWAYS, "b");
    log_set_flush(1);
    std::string so_far = read_file(file);
    logputs(LOG_ALWAYS, "c\n");
    log_close();
    return so_far == "ab" ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_file(file), "abc\n");
}

}  // namespace
