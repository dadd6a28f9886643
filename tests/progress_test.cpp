#include "progress.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "log.h"
#include "pty_session.h"
#include "settings.h"
#include "test_util.h"

namespace {

std::string blanks(size_t n) { return std::string(n, ' '); }

// The log goes to a file for the whole suite; each test reads what it added.
class ProgressTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = make_temp_dir("progress");
    log_path = dir + "/log";
    log_init(log_path.c_str(), 0);
  }
  void SetUp() override {
    saved = opt;
    opt.verbose = 1;
    opt.quiet = 0;
    opt.logfile = log_path;
    start = read_file_text(log_path).size();
    set_progress_implementation("dot:default");
  }
  void TearDown() override { opt = saved; }
  std::string logged() {
    logflush();
    return read_file_text(log_path).substr(start);
  }
  static inline std::string dir, log_path;
  options saved;
  size_t start = 0;
};

bar_display bar(int width, int64_t initial, int64_t total, int64_t received) {
  bar_display bp;
  bp.width = width;
  bp.initial = initial;
  bp.total = total;
  bp.received = received;
  return bp;
}

TEST(BarImage, HasExactlyItsWidthAndTheFieldsInPlace) {
  struct image_case {
    const char *name;
    bar_display display;
    int64_t elapsed;
    std::string image;
  };
  const std::vector<image_case> cases = {
      {"80 columns, 1,000,000 bytes, at the start", bar(79, 0, 1000000, 0), 0,
       " 0% [" + blanks(37) + "] 0" + blanks(10) + "   --.--K/s" + "    ETA --:--"},
      {"half-way after a second", bar(79, 0, 1000000, 500000), 1000,
       "50% [" + std::string(17, '=') + ">" + blanks(19) + "] 500,000" + blanks(4) + "  488.28K/s" +
           "    ETA 00:01"},
      {"resumed: only this transfer's bytes make the speed", bar(79, 900000, 1000000, 50000), 2000,
       "95% [" + std::string(34, '=') + ">" + blanks(2) + "] 950,000" + blanks(4) + "   24.41K/s" +
           "    ETA 00:02"},
      {"complete", bar(79, 0, 1000, 1000), 10, "100%[" + std::string(36, '=') + ">] 1,000" + blanks(6) +
                                                   "   97.66K/s" + "    ETA 00:00"},
      {"hours left", bar(79, 0, 100000000, 1000), 1000,
       " 0% [" + blanks(37) + "] 1,000" + blanks(6) + " 1000.00B/s" + " ETA 27:46:39"},
      {"more than 99 hours left", bar(79, 0, 1000000000, 1), 1000,
       " 0% [" + blanks(37) + "] 1" + blanks(10) + "    1.00B/s" + "    ETA --:--"},
      {"no length announced: bouncing and no time left", bar(79, 0, 0, 10), 1000,
       "    [<=>" + blanks(34) + "] 10" + blanks(9) + "   10.00B/s" + blanks(13)},
      {"narrow terminal: no bar", bar(44, 0, 1000, 0), 0,
       " 0%  0" + blanks(10) + "   --.--K/s" + "    ETA --:--" + blanks(4)},
  };
  for (image_case c : cases) {
    SCOPED_TRACE(c.name);
    const std::string &image = create_image(c.display, c.elapsed);
    EXPECT_EQ(image, c.image);
    EXPECT_EQ(image.size(), static_cast<size_t>(c.display.width));
  }
}

TEST(BarImage, NeverOverflowsItsWidth) {
  struct odd_case {
    const char *name;
    bar_display display;
    int64_t elapsed;
  };
  const std::vector<odd_case> cases = {
      {"huge sizes", bar(79, INT64_MAX / 2, INT64_MAX / 2 + 1000, INT64_MAX / 4), 1},
      {"huge size, narrowest terminal", bar(44, INT64_MAX / 2, 0, INT64_MAX / 2), 1},
      {"more received than announced", bar(79, 0, 100, 5000), 1000},
      {"negative elapsed time", bar(79, 0, 1000, 10), -5000},
      {"enormous elapsed time", bar(79, 0, 1000, 10), INT64_MAX},
      {"a width of zero", bar(0, 0, 1000, 10), 1000},
  };
  for (odd_case c : cases) {
    SCOPED_TRACE(c.name);
    for (int i = 0; i < 3; i++)
      EXPECT_EQ(create_image(c.display, c.elapsed).size(), static_cast<size_t>(c.display.width));
  }
}

TEST(BarImage, BounceMovesBackAndForthInsideTheBrackets) {
  bar_display bp = bar(79, 0, -1, 0);  // 37-character bar, period 68
  std::vector<size_t> positions;
  for (int i = 0; i < 70; i++) {
    const std::string &image = create_image(bp, 0);
    size_t at = image.find("<=>");
    ASSERT_NE(at, std::string::npos);
    ASSERT_GE(at, 5u);
    ASSERT_LE(at + 3, 5u + 37u);
    positions.push_back(at - 5);
  }
  EXPECT_EQ(positions[0], 0u);
  EXPECT_EQ(positions[1], 1u);
  EXPECT_EQ(positions[34], 34u);  // the right end
  EXPECT_EQ(positions[35], 33u);  // on its way back
  EXPECT_EQ(positions[67], 1u);
  EXPECT_EQ(positions[68], 0u);   // period complete
}

TEST_F(ProgressTest, DotRowsShowPercentageAndSpeed) {
  auto display = progress_create(0, 102400);
  ASSERT_STREQ(display->impl->name, "dot");
  progress_update(*display, 51200, 1000);
  progress_update(*display, 3072, 1500);
  progress_finish(std::move(display), 2000);
  std::string row = " .........." " .........." " .........." " .........." " ..........";
  EXPECT_EQ(logged(), "\n    0K" + row + " 50%   50.00 KB/s" + "\n   50K ..." + blanks(47 + 4) + " 53%" +
                          "    3.00 KB/s" + "\n\n");
}

TEST_F(ProgressTest, ResumptionSkipsWholeRowsAndMarksThePartialOne) {
  auto display = progress_create(122880, 0);
  progress_update(*display, 30720, 1000);
  progress_finish(std::move(display), 1000);
  std::string present = " ,,,,,,,,,, ,,,,,,,,,,";
  std::string received = " .........." " .........." " ..........";
  EXPECT_EQ(logged(), "\n" + blanks(7) + "[ skipping 100K ]" + "\n  100K" + present + received +
                          "   30.00 KB/s" + "\n  150K" + blanks(50 + 5) + "    0.00 B/s" + "\n\n");
}

TEST_F(ProgressTest, DotStylesAndBadSettings) {
  set_progress_implementation("dot:MEGA");
  EXPECT_EQ(opt.dotbytes, 65536);
  EXPECT_EQ(opt.dotspacing, 8);
  EXPECT_EQ(opt.dots_in_line, 48);
  set_progress_implementation("d:nonsense");
  EXPECT_EQ(opt.dotbytes, 65536);
  opt.dotstyle = "giga";
  set_progress_implementation("dot");
  EXPECT_EQ(opt.dotbytes, 1048576);
  EXPECT_EQ(opt.dots_in_line, 32);

  // Settings that would divide by zero fall back to the default style.
  opt.dotbytes = 0;
  opt.dotspacing = 0;
  auto display = progress_create(5000, 0);
  progress_update(*display, 2048, 10);
  progress_finish(std::move(display), 10);
  EXPECT_EQ(logged().substr(0, 14), "\n    0K ,,,,..");
}

TEST_F(ProgressTest, ChoosingTheImplementation) {
  struct choice_case {
    const char *name;
    const char *spec;
    bool redirected;
    const char *used;
  };
  const std::vector<choice_case> cases = {
      {"a log file turns the bar into dots", "bar", false, "dot"},
      {"a forced bar stays", "bar:force", false, "bar"},
      {"a prefix names an implementation", "b:force", false, "bar"},
      {"a redirection makes the next display dots", "bar:force", true, "bar"},
      {"dots stay dots", "dot", true, "dot"},
  };
  for (const choice_case &c : cases) {
    SCOPED_TRACE(c.name);
    set_progress_implementation(c.spec);
    if (c.redirected)
      progress_schedule_redirect();
    auto display = progress_create(0, 100);
    EXPECT_STREQ(display->impl->name, c.used);
    progress_finish(std::move(display), 1);
  }
}

TEST_F(ProgressTest, ARedirectionNeverChangesTheDisplayInProgress) {
  set_progress_implementation("bar:force");
  auto during = progress_create(0, 100);
  progress_schedule_redirect();
  progress_update(*during, 10, 300);
  progress_finish(std::move(during), 400);
  std::string text = logged();
  EXPECT_NE(text.find("\r10% ["), std::string::npos);
}

TEST_F(ProgressTest, BarFollowsBytesBeyondTheAnnouncedLength) {
  set_progress_implementation("bar:force");
  auto display = progress_create(0, 100);
  progress_update(*display, 150, 500);
  const bar_display &bp = std::get<bar_display>(display->state);
  EXPECT_EQ(bp.total, 150);
  EXPECT_EQ(bp.buffer.substr(0, 4), "100%");
  progress_finish(std::move(display), 600);
  std::string text = logged();
  EXPECT_EQ(text.substr(0, 2), "\n\r");
  EXPECT_EQ(text.substr(text.size() - 2), "\n\n");
}

TEST(ProgressNames, ValidImplementationNames) {
  struct name_case {
    const char *spec;
    int valid;
  };
  const std::vector<name_case> cases = {
      {"dot", 1}, {"bar", 1}, {"d", 1}, {"ba", 1}, {"", 1}, {":mega", 1}, {"bar:force", 1},
      {"dots", 0}, {"bars", 0}, {"x", 0}, {"Dot", 0}, {"bar force", 0},
  };
  for (const name_case &c : cases) {
    SCOPED_TRACE(c.spec);
    EXPECT_EQ(valid_progress_implementation_p(c.spec), c.valid);
  }
}

// Runs BODY with standard error on a pseudo-terminal of COLUMNS columns and the
// log on it, as a verbose run on a terminal has it.
pty_run_result on_terminal(int columns, const std::function<void()> &body) {
  return run_on_pty([&] {
    winsize size{24, static_cast<unsigned short>(columns), 0, 0};
    ::ioctl(STDERR_FILENO, TIOCSWINSZ, &size);
    opt.verbose = 1;
    opt.quiet = 0;
    opt.logfile.reset();
    log_init(nullptr, 0);
    body();
    return 0;
  });
}

TEST(ProgressOnTerminal, BarAtTheStartOfAMillionBytesOn80Columns) {
  pty_run_result run = on_terminal(80, [] {
    set_progress_implementation("bar");
    auto display = progress_create(0, 1000000);
    progress_finish(std::move(display), 0);
  });
  ASSERT_EQ(run.status, 0);
  std::string image = " 0% [" + blanks(37) + "] 0" + blanks(10) + "   --.--K/s" + "    ETA --:--";
  ASSERT_EQ(image.size(), 79u);
  EXPECT_EQ(run.output, "\n\r" + image + "\r" + image + "\n\n");
}

TEST(ProgressOnTerminal, NoAnnouncedLengthBouncesWithoutPercentageOrTimeLeft) {
  pty_run_result run = on_terminal(80, [] {
    set_progress_implementation("bar");
    auto display = progress_create(0, 0);
    progress_update(*display, 5000, 300);
    progress_update(*display, 5000, 350);  // too soon: not redrawn
    progress_update(*display, 5000, 600);
    progress_finish(std::move(display), 700);
  });
  ASSERT_EQ(run.status, 0);
  std::vector<std::string> images;
  for (size_t at = run.output.find('\r'); at != std::string::npos; at = run.output.find('\r', at + 1))
    images.push_back(run.output.substr(at + 1, 79));
  ASSERT_EQ(images.size(), 4u);
  EXPECT_EQ(images[1], "    [ <=>" + blanks(33) + "] 5,000" + blanks(6) + "   16.28K/s" + blanks(13));
  EXPECT_EQ(images[2].substr(0, 10), "    [  <=>");
  EXPECT_EQ(images[3].substr(0, 11), "    [   <=>");
  EXPECT_EQ(run.output.find('%'), std::string::npos);
  EXPECT_EQ(run.output.find("ETA"), std::string::npos);
}

TEST(ProgressOnTerminal, WindowChangesAndNarrowTerminals) {
  pty_run_result run = on_terminal(80, [] {
    std::signal(SIGWINCH, progress_handle_sigwinch);
    set_progress_implementation("bar");
    auto display = progress_create(0, 1000);
    winsize wide{24, 100, 0, 0};
    ::ioctl(STDERR_FILENO, TIOCSWINSZ, &wide);
    std::raise(SIGWINCH);
    progress_update(*display, 10, 1);  // redrawn at once: the width changed
    winsize narrow{24, 30, 0, 0};
    ::ioctl(STDERR_FILENO, TIOCSWINSZ, &narrow);
    std::raise(SIGWINCH);
    progress_finish(std::move(display), 2);
  });
  ASSERT_EQ(run.status, 0);
  std::vector<size_t> widths;
  size_t at = run.output.find('\r');
  while (at != std::string::npos) {
    size_t next = run.output.find_first_of("\r\n", at + 1);
    widths.push_back((next == std::string::npos ? run.output.size() : next) - at - 1);
    at = run.output.find('\r', at + 1);
  }
  EXPECT_EQ(widths, (std::vector<size_t>{79, 99, 99}));
}

TEST(ProgressOnTerminal, AfterARedirectionTheNextTransferUsesDots) {
  pty_run_result run = on_terminal(80, [] {
    set_progress_implementation("bar");
    auto during = progress_create(0, 1000);
    progress_schedule_redirect();
    progress_update(*during, 1000, 500);
    progress_finish(std::move(during), 500);
    auto next = progress_create(0, 2048);
    progress_update(*next, 2048, 100);
    progress_finish(std::move(next), 100);
  });
  ASSERT_EQ(run.status, 0);
  size_t dots = run.output.find("\n    0K ..");
  ASSERT_NE(dots, std::string::npos);
  EXPECT_NE(run.output.rfind("\r100%[", dots), std::string::npos);
  EXPECT_EQ(run.output.find('\r', dots), std::string::npos);
}

}  // namespace
