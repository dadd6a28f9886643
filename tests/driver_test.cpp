// The program seen from outside: its texts, its refusals and exit statuses,
// and the order in which start-up reads settings, opens files and forks.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "run_program.h"
#include "script_server.h"
#include "test_util.h"

namespace {

const std::string usage_hint =
    "Usage: tuvo [OPTION]... [URL]...\n"
    "\n"
    "Try `tuvo --help' for more options.\n";

const std::string help_text =
    "Quarn Tuvo 1.8.1, a non-interactive network retriever.\n"
    "Usage: tuvo [OPTION]... [URL]...\n"
    "\n"
    "Mandatory arguments to long options are mandatory for short options too.\n"
    "\n"
    "Startup:\n"
    "  -V,  --version           display the version of Tuvo and exit.\n"
    "  -h,  --help              print this help.\n"
    "  -b,  --background        go to background after startup.\n"
    "  -e,  --execute=COMMAND   execute a `.tuvorc'-style command.\n"
    "\n"
    "Logging and input file:\n"
    "  -o,  --output-file=FILE     log messages to FILE.\n"
    "  -a,  --append-output=FILE   append messages to FILE.\n"
    "  -d,  --debug                print debug output.\n"
    "  -q,  --quiet                quiet (no output).\n"
    "  -v,  --verbose              be verbose (this is the default).\n"
    "  -nv, --non-verbose          turn off verboseness, without being quiet.\n"
    "  -i,  --input-file=FILE      download URLs found in FILE.\n"
    "  -F,  --force-html           treat input file as HTML.\n"
    "  -B,  --base=URL             prepends URL to relative links in -F -i file.\n"
    "       --sslcertfile=FILE     optional client certificate.\n"
    "       --sslcertkey=KEYFILE   optional keyfile for this certificate.\n"
    "       --egd-file=FILE        file name of the EGD socket.\n"
    "\n"
    "Download:\n"
    "       --bind-address=ADDRESS   bind to ADDRESS (hostname or IP) on local host.\n"
    "  -t,  --tries=NUMBER           set number of retries to NUMBER (0 unlimits).\n"
    "  -O   --output-document=FILE   write documents to FILE.\n"
    "  -nc, --no-clobber             don't clobber existing files or use .# suffixes.\n"
    "  -c,  --continue               resume getting a partially-downloaded file.\n"
    "       --progress=TYPE          select progress gauge type.\n"
    "  -N,  --timestamping           don't re-retrieve files unless newer than local.\n"
    "  -S,  --server-response        print server response.\n"
    "       --spider                 don't download anything.\n"
    "  -T,  --timeout=SECONDS        set the read timeout to SECONDS.\n"
    "  -w,  --wait=SECONDS           wait SECONDS between retrievals.\n"
    "       --waitretry=SECONDS      wait 1...SECONDS between retries of a retrieval.\n"
    "       --random-wait            wait from 0...2*WAIT secs between retrievals.\n"
    "  -Y,  --proxy=on/off           turn proxy on or off.\n"
    "  -Q,  --quota=NUMBER           set retrieval quota to NUMBER.\n"
    "       --limit-rate=RATE        limit download rate to RATE.\n"
    "\n"
    "Directories:\n"
    "  -nd  --no-directories            don't create directories.\n"
    "  -x,  --force-directories         force creation of directories.\n"
    "  -nH, --no-host-directories       don't create host directories.\n"
    "  -P,  --directory-prefix=PREFIX   save files to PREFIX/...\n"
    "       --cut-dirs=NUMBER           ignore NUMBER remote directory components.\n"
    "\n"
    "HTTP options:\n"
    "       --http-user=USER      set http user to USER.\n"
    "       --http-passwd=PASS    set http password to PASS.\n"
    "  -C,  --cache=on/off        (dis)allow server-cached data (normally allowed).\n"
    "  -E,  --html-extension      save all text/html documents with .html extension.\n"
    "       --ignore-length       ignore `Content-Length' header field.\n"
    "       --header=STRING       insert STRING among the headers.\n"
    "       --proxy-user=USER     set USER as proxy username.\n"
    "       --proxy-passwd=PASS   set PASS as proxy password.\n"
    "       --referer=URL         include `Referer: URL' header in HTTP request.\n"
    "  -s,  --save-headers        save the HTTP headers to file.\n"
    "  -U,  --user-agent=AGENT    identify as AGENT instead of Tuvo/VERSION.\n"
    "       --no-http-keep-alive  disable HTTP keep-alive (persistent connections).\n"
    "       --cookies=off         don't use cookies.\n"
    "       --load-cookies=FILE   load cookies from FILE before session.\n"
    "       --save-cookies=FILE   save cookies to FILE after session.\n"
    "\n"
    "FTP options:\n"
    "  -nr, --dont-remove-listing   don't remove `.listing' files.\n"
    "  -g,  --glob=on/off           turn file name globbing on or off.\n"
    "       --passive-ftp           use the \"passive\" transfer mode.\n"
    "       --retr-symlinks         when recursing, get linked-to files (not dirs).\n"
    "\n"
    "Recursive retrieval:\n"
    "  -r,  --recursive          recursive web-suck -- use with care!\n"
    "  -l,  --level=NUMBER       maximum recursion depth (inf or 0 for infinite).\n"
    "       --delete-after       delete files locally after downloading them.\n"
    "  -k,  --convert-links      convert non-relative links to relative.\n"
    "  -K,  --backup-converted   before converting file X, back up as X.orig.\n"
    "  -m,  --mirror             shortcut option equivalent to -r -N -l inf -nr.\n"
    "  -p,  --page-requisites    get all images, etc. needed to display HTML page.\n"
    "\n"
    "Recursive accept/reject:\n"
    "  -A,  --accept=LIST                comma-separated list of accepted extensions.\n"
    "  -R,  --reject=LIST                comma-separated list of rejected extensions.\n"
    "  -D,  --domains=LIST               comma-separated list of accepted domains.\n"
    "       --exclude-domains=LIST       comma-separated list of rejected domains.\n"
    "       --follow-ftp                 follow FTP links from HTML documents.\n"
    "       --follow-tags=LIST           comma-separated list of followed HTML tags.\n"
    "  -G,  --ignore-tags=LIST           comma-separated list of ignored HTML tags.\n"
    "  -H,  --span-hosts                 go to foreign hosts when recursive.\n"
    "  -L,  --relative                   follow relative links only.\n"
    "  -I,  --include-directories=LIST   list of allowed directories.\n"
    "  -X,  --exclude-directories=LIST   list of excluded directories.\n"
    "  -np, --no-parent                  don't ascend to the parent directory.\n"
    "\n"
    "Mail bug reports and suggestions to <bug-tuvo@tuvo.invalid>.\n";

const std::string version_text =
    "Quarn Tuvo 1.8.1\n"
    "\n"
    "Copyright (C) 2026 The Tuvo developers.\n"
    "This program is free software and comes WITHOUT ANY WARRANTY, to the\n"
    "extent permitted by law; not even for MERCHANTABILITY or FITNESS FOR\n"
    "A PARTICULAR PURPOSE.\n"
    "\n"
    "Written by the Tuvo developers.\n";

// A URL whose retrieval fails without touching the network.
const std::string dead_url = "nosuch://example/";

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Each run gets a fresh directory that is both HOME and the working
// directory, and an environment with nothing but what the case sets.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::filesystem::exists("/usr/local/etc/tuvorc"))
      GTEST_SKIP() << "a system startup file exists and would change every run";
    dir_ = make_temp_dir("driver");
  }
  void TearDown() override {
    if (!dir_.empty())
      std::filesystem::remove_all(dir_);
  }

  std::string path(const std::string &name) const { return dir_ + "/" + name; }

  // "@DIR@" in arguments, environment entries and expectations stands for the
  // run's directory.
  std::string expand(const std::string &text) const { return replace_all(text, "@DIR@", dir_); }

  program_result run(const std::vector<std::string> &args, std::vector<std::string> env = {},
                     const std::string &argv0 = TUVO_BINARY) {
    std::vector<std::string> expanded;
    for (const std::string &arg : args)
      expanded.push_back(expand(arg));
    std::vector<std::string> full_env{"HOME=" + dir_, "PATH=/usr/bin:/bin", "LC_ALL=C"};
    for (const std::string &entry : env)
      full_env.push_back(expand(entry));
    return run_program(TUVO_BINARY, argv0, expanded, full_env, dir_);
  }

  std::string dir_;
};

TEST_F(DriverTest, HelpAndVersionPrintTheirTextAndExitZero) {
  struct row {
    const char *name;
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<row> rows = {
      {"short help", {"-h"}, help_text},
      {"long help", {"--help"}, help_text},
      {"help by prefix", {"--hel"}, help_text},
      {"help before a URL", {"-h", dead_url}, help_text},
      {"help after a URL", {dead_url, "--help"}, help_text},
      {"short version", {"-V"}, version_text},
      {"long version", {"--version"}, version_text},
      {"version by prefix", {"--vers", dead_url}, version_text},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    program_result result = run(r.args);
    EXPECT_EQ(result.out, r.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
}

TEST_F(DriverTest, ProgramNameIsTheLastComponentOfTheFirstArgument) {
  program_result bare = run({"-nz"}, {}, "getter");
  EXPECT_EQ(bare.out, "getter: illegal option -- `-nz'\n"
                      "Usage: getter [OPTION]... [URL]...\n\n"
                      "Try `getter --help' for more options.\n");
  program_result with_dirs = run({"--bogus"}, {}, "/opt/x/fetcher");
  EXPECT_EQ(with_dirs.err.rfind("fetcher: ", 0), 0u) << with_dirs.err;
}

// A command line the parser refuses did nothing, so the run must not report
// success.
TEST_F(DriverTest, ParserRefusalsPrintTheComplaintAndUsageAndExitOne) {
  struct row {
    const char *name;
    std::vector<std::string> args;
    std::string complaint;
  };
  const std::vector<row> rows = {
      {"unrecognised long option", {"--no-such-option", dead_url}, "--no-such-option"},
      {"unrecognised short option", {"-Z", dead_url}, "'Z'"},
      {"short option without its argument", {dead_url, "-t"}, "'t'"},
      {"long option without its argument", {dead_url, "--tries"}, "--tries"},
      {"argument to a flag", {"--quiet=yes", dead_url}, "--quiet"},
      {"ambiguous prefix", {"--prox=on", dead_url}, "ambiguous"},
      {"prefix of names with different letters", {"--force-", dead_url}, "ambiguous"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    program_result result = run(r.args);
    EXPECT_EQ(result.out, usage_hint);
    EXPECT_EQ(result.err.rfind("tuvo: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(r.complaint), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one complaint only";
    EXPECT_EQ(result.status, 1);
  }
}

struct check_row {
  const char *name;
  std::vector<std::string> args;
  std::string rc;   // the user startup file ($HOME/.tuvorc) when not empty
  std::string out;
  std::string err;
  int status;
};

const std::string verbose_quiet =
    "Can't be verbose and quiet at the same time.\nUsage: tuvo [OPTION]... [URL]...\n";
const std::string timestamp_noclobber =
    "Can't timestamp and not clobber old files at the same time.\n"
    "Usage: tuvo [OPTION]... [URL]...\n";
const std::string missing_url = "tuvo: missing URL\n" + usage_hint;

TEST_F(DriverTest, StartupChecksRefuseWithTheirMessageAndStatus) {
  const std::vector<check_row> rows = {
      {"verbose and quiet", {"-q", "-v", dead_url}, "", verbose_quiet, "", 1},
      {"options after the URL", {dead_url, "-q", "-v"}, "", verbose_quiet, "", 1},
      {"long prefixes", {"--qui", "--verb", dead_url}, "", verbose_quiet, "", 1},
      {"timestamping and no-clobber", {"-N", "-nc", dead_url}, "", timestamp_noclobber, "", 1},
      {"-n letters in one argument", {"-N", "-nvc", dead_url}, "", timestamp_noclobber, "", 1},
      {"--no with letters", {"--no=c", "--timestamping", dead_url}, "", timestamp_noclobber, "", 1},
      {"no-clobber from the startup file", {"-N", dead_url}, "noclobber = on\n",
       timestamp_noclobber, "", 1},
      {"no URL", {}, "", missing_url, "", 1},
      {"-nv takes verbose back", {"-v", "-q", "-nv"}, "", missing_url, "", 1},
      {"-W and --no-host-lookup do nothing", {"-W", "--no-host-lookup"}, "", missing_url, "", 1},
      {"illegal -n letter", {"-nx", dead_url}, "",
       "tuvo: illegal option -- `-nx'\n" + usage_hint, "", 1},
      {"illegal letter after good ones", {"-nvcx", dead_url}, "",
       "tuvo: illegal option -- `-nx'\n" + usage_hint, "", 1},
      {"a bad value of an ordinary option goes on", {"-t", "lots"}, "", missing_url,
       "tuvo: tries: Invalid specification `lots'.\n", 1},
      {"output document that cannot be opened", {"-O", "@DIR@/no/such/out", dead_url}, "", "",
       "@DIR@/no/such/out: No such file or directory\n", 1},
      {"no tilde expansion on the command line", {"-O", "~/out", dead_url}, "", "",
       "~/out: No such file or directory\n", 1},
  };
  for (const check_row &r : rows) {
    SCOPED_TRACE(r.name);
    std::filesystem::remove(path(".tuvorc"));
    if (!r.rc.empty())
      write_file_text(path(".tuvorc"), r.rc);
    program_result result = run(r.args);
    EXPECT_EQ(result.out, expand(r.out));
    EXPECT_EQ(result.err, expand(r.err));
    EXPECT_EQ(result.status, r.status);
  }
}

TEST_F(DriverTest, ExecuteRunsOneStartupLine) {
  const std::vector<check_row> rows = {
      {"malformed line", {"-e", "tries 3", dead_url}, "", "", "tuvo: tries 3: invalid command\n", 1},
      {"unknown command", {"-e", "colour = red", dead_url}, "", "",
       "tuvo: colour = red: invalid command\n", 1},
      {"failing setter", {"-e", "tries = lots", dead_url}, "", "",
       "tuvo: tries: Invalid specification `lots'.\n", 1},
      {"failing setter that reports on standard output", {"-e", "wait=5s", dead_url}, "",
       "wait: Invalid specification `5s'\n", "", 1},
      {"good line is applied", {"--execute", "quiet = on", "-v", dead_url}, "", verbose_quiet, "",
       1},
      {"names are normalised", {"-e", "Time_Stamping=on", "-nc", dead_url}, "",
       timestamp_noclobber, "", 1},
      {"overrides the startup file", {"-e", "quiet=off", "-v"}, "quiet = on\n", missing_url, "", 1},
      {"comment and blank lines apply nothing", {"-e", "# quiet = on", "-e", "  ", "-v"}, "",
       missing_url, "", 1},
  };
  for (const check_row &r : rows) {
    SCOPED_TRACE(r.name);
    std::filesystem::remove(path(".tuvorc"));
    if (!r.rc.empty())
      write_file_text(path(".tuvorc"), r.rc);
    program_result result = run(r.args);
    EXPECT_EQ(result.out, r.out);
    EXPECT_EQ(result.err, r.err);
    EXPECT_EQ(result.status, r.status);
  }
}

TEST_F(DriverTest, DoubleDashEndsTheOptions) {
  program_result as_url = run({"--", "-h"});
  EXPECT_EQ(as_url.out.find("Quarn Tuvo"), std::string::npos);
  EXPECT_EQ(as_url.status, 1);

  program_result after_url = run({"-v", "--", "-q"});
  EXPECT_EQ(after_url.out.find("verbose and quiet"), std::string::npos) << after_url.out;
  EXPECT_EQ(after_url.out.find("missing URL"), std::string::npos) << after_url.out;
  EXPECT_EQ(after_url.status, 1);
}

TEST_F(DriverTest, StartupFilesRunBeforeTheOptions) {
  write_file_text(path("rc"), "tries = lots\nquiet = on\n");
  program_result bad_line = run({"-v", dead_url}, {"TUVORC=@DIR@/rc"});
  EXPECT_EQ(bad_line.out, verbose_quiet);
  EXPECT_EQ(bad_line.err, expand("tuvo: tries: Invalid specification `lots'.\n"
                                 "tuvo: Error in @DIR@/rc at line 1.\n"));
  EXPECT_EQ(bad_line.status, 1);

  write_file_text(path(".tuvorc"), "quiet = on\n");
  write_file_text(path("rc"), "\n");
  program_result named = run({"-v"}, {"TUVORC=@DIR@/rc"});
  EXPECT_EQ(named.out, missing_url) << "TUVORC replaces $HOME/.tuvorc";

  program_result missing = run({"-h"}, {"TUVORC=@DIR@/absent"});
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, expand("tuvo: @DIR@/absent: No such file or directory.\n"));
  EXPECT_EQ(missing.status, 1);
}

TEST_F(DriverTest, OutputDocumentIsOpenedBeforeRetrieval) {
  struct row {
    const char *name;
    std::vector<std::string> args;
    std::string rc;
    std::string left;  // what is left of the file "out" that held "kept\n"
  };
  const std::vector<row> rows = {
      {"truncated", {"-O", "out", dead_url}, "", ""},
      {"appended with -c", {"-c", "-O", "out", dead_url}, "", "kept\n"},
      {"tilde expanded in the startup file", {"-e", "alwaysrest = on", dead_url},
       "outputdocument = ~/out\n", "kept\n"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    write_file_text(path("out"), "kept\n");
    std::filesystem::remove(path(".tuvorc"));
    if (!r.rc.empty())
      write_file_text(path(".tuvorc"), r.rc);
    run(r.args);
    EXPECT_EQ(read_file_text(path("out")), r.left);
  }
}

TEST_F(DriverTest, AppendOutputThenOutputFileAppendsToTheSecondName) {
  write_file_text(path("second.log"), "old\n");
  program_result result = run({"-d", "-a", "first.log", "-o", "second.log", dead_url});
  std::string log = read_file_text(path("second.log"));
  EXPECT_EQ(log.rfind("old\n", 0), 0u) << log;
  EXPECT_NE(log.find("DEBUG output created by Tuvo 1.8.1 on freebsd4.2.\n\n"), std::string::npos) << log;
  EXPECT_FALSE(std::filesystem::exists(path("first.log")));
  EXPECT_EQ(result.err, "");

  run({"-d", "-o", "second.log", dead_url});
  EXPECT_EQ(read_file_text(path("second.log")).rfind("DEBUG output", 0), 0u);
}

TEST_F(DriverTest, SummaryAppearsForMoreThanOneUrl) {
  program_result one = run({dead_url});
  EXPECT_EQ(one.err.find("FINISHED"), std::string::npos) << one.err;
  EXPECT_EQ(one.status, 1);

  program_result two = run({dead_url, dead_url});
  EXPECT_NE(two.err.find("\nFINISHED --"), std::string::npos) << two.err;
  EXPECT_NE(two.err.find("--\nDownloaded: 0 bytes in 0 files\n"), std::string::npos) << two.err;
  EXPECT_EQ(two.status, 1);

  program_result quiet = run({"-q", dead_url, dead_url});
  EXPECT_EQ(quiet.err.find("FINISHED"), std::string::npos) << quiet.err;
}

TEST_F(DriverTest, InputFileAloneIsEnough) {
  write_file_text(path("urls"), "");
  program_result result = run({"-i", "@DIR@/urls"});
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find(expand("No URLs found in @DIR@/urls.\n")), std::string::npos)
      << result.err;
}

// The log named by the options is opened only after the fork, so the
// background child is the one that writes it.
TEST_F(DriverTest, BackgroundChildWritesTheLog) {
  program_result parent = run({"-b", "-d", dead_url});
  EXPECT_EQ(parent.status, 0);
  EXPECT_EQ(parent.out.rfind("Continuing in background, pid ", 0), 0u) << parent.out;
  EXPECT_NE(parent.out.find(".\nOutput will be written to `tuvo-log'.\n"), std::string::npos)
      << parent.out;

  std::string log;
  for (int i = 0; i < 200 && log.find("DEBUG output created") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    log = read_file_text(path("tuvo-log"));
  }
  EXPECT_NE(log.find("DEBUG output created by Tuvo 1.8.1"), std::string::npos) << log;

  program_result named = run({"-b", "-o", "bg.log", dead_url});
  EXPECT_EQ(named.status, 0);
  EXPECT_EQ(named.out.find("Output will be written"), std::string::npos) << named.out;
  // Let the child finish its failed retrieval before the directory goes.
  for (int i = 0; i < 200 && read_file_text(path("bg.log")).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

}  // namespace

namespace {

using script::server;
using script::step;

std::string ok_reply(const std::string &body) {
  return "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string not_found_reply = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";

std::vector<step> answer(const std::string &bytes) {
  return {script::expect_head(), script::send_bytes(bytes), script::close_conn()};
}

// Runs against a scripted server that answers each URL in turn.
class DriverRunTest : public DriverTest {
 protected:
  std::string url(const server &srv, const std::string &name) {
    return "http://127.0.0.1:" + std::to_string(srv.port()) + "/" + name;
  }
};

// Only the last retrieval decides the exit status; earlier failures do not
// count.
TEST_F(DriverRunTest, ExitStatusFollowsTheLastRetrieval) {
  struct row {
    const char *name;
    std::vector<std::string> replies;  // one per URL, in order
    int status;
  };
  const std::vector<row> rows = {
      {"failure then success", {not_found_reply, ok_reply("hello")}, 0},
      {"success then failure", {ok_reply("hello"), not_found_reply}, 1},
      {"single failure", {not_found_reply}, 1},
      {"single success", {ok_reply("hello")}, 0},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::vector<step>> scripts;
    for (const std::string &reply : r.replies)
      scripts.push_back(answer(reply));
    server srv(scripts);
    std::vector<std::string> args{"-t", "1"};
    for (size_t i = 0; i < r.replies.size(); ++i)
      args.push_back(url(srv, "f" + std::to_string(i)));
    program_result result = run(args);
    EXPECT_EQ(result.status, r.status) << result.err;
    EXPECT_EQ(srv.heads().size(), r.replies.size());
    for (size_t i = 0; i < r.replies.size(); ++i)
      std::filesystem::remove(path("f" + std::to_string(i)));
  }
}

TEST_F(DriverRunTest, SummaryCountsWhatTwoUrlsDownloaded) {
  server srv({answer(not_found_reply), answer(ok_reply("hello"))});
  program_result result = run({"-t", "1", url(srv, "a"), url(srv, "b")});
  EXPECT_NE(result.err.find("\nFINISHED --"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("--\nDownloaded: 5 bytes in 1 files\n"), std::string::npos)
      << result.err;
  EXPECT_EQ(result.status, 0);
}

TEST_F(DriverRunTest, OutputDocumentDashWritesToStandardOutput) {
  server srv({answer(ok_reply("hello"))});
  program_result result = run({"-q", "-O", "-", url(srv, "a")});
  EXPECT_EQ(result.out, "hello");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(std::filesystem::exists(path("a")));
}

TEST_F(DriverRunTest, QuietAfterTheUrlSilencesTheRun) {
  server srv({answer(ok_reply("hello"))});
  program_result result = run({url(srv, "a"), "-q"});
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_file_text(path("a")), "hello");
}

}  // namespace
