#include "driver.h"

#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "cookies.h"
#include "log.h"
#include "progress.h"
#include "retr.h"
#include "settings.h"
#include "ssl.h"
#include "status.h"
#include "url.h"
#include "utils.h"

const char *const version_string = TUVO_VERSION;

namespace {

// The platform text is part of the program's identity, whatever it runs on.
constexpr const char *build_platform = "freebsd4.2";

constexpr const char *short_options =
    "hpVqvdkKsxmNWrHSLcFbEY:G:g:T:U:O:l:n:i:o:a:t:D:A:R:P:B:e:Q:X:I:w:C:";

// What an option does once the parser has recognised it.
enum option_kind {
  OPT_VALUE,    // the command gets the option's argument
  OPT_FIXED,    // the command gets a fixed value
  OPT_APPEND,   // "logfile" gets the argument, and the log is appended to
  OPT_EXECUTE,  // the argument is run as a startup-file line
  OPT_NO,       // each letter of the argument is one command
  OPT_HELP,
  OPT_VERSION,
  OPT_IGNORE,   // accepted for compatibility, does nothing
};

struct cmdline_option {
  const char *long_name;
  char short_name;       // 0 when there is only the long form
  option_kind kind;
  const char *command;   // startup command applied (OPT_VALUE, OPT_FIXED, OPT_APPEND)
  const char *value;     // the fixed value of OPT_FIXED
};

// Every long option with its short letter, if any; --force-directories and
// --force-hier share -x, --proxy and --use-proxy share -Y.
constexpr cmdline_option option_table[] = {
    {"background", 'b', OPT_FIXED, "background", "on"},
    {"backup-converted", 'K', OPT_FIXED, "backupconverted", "on"},
    {"continue", 'c', OPT_FIXED, "continue", "on"},
    {"convert-links", 'k', OPT_FIXED, "convertlinks", "on"},
    {"debug", 'd', OPT_FIXED, "debug", "on"},
    {"delete-after", 0, OPT_FIXED, "deleteafter", "on"},
    {"dont-remove-listing", 0, OPT_FIXED, "removelisting", "off"},
    {"follow-ftp", 0, OPT_FIXED, "followftp", "on"},
    {"force-directories", 'x', OPT_FIXED, "dirstruct", "on"},
    {"force-hier", 'x', OPT_FIXED, "dirstruct", "on"},
    {"force-html", 'F', OPT_FIXED, "forcehtml", "on"},
    {"help", 'h', OPT_HELP, nullptr, nullptr},
    {"html-extension", 'E', OPT_FIXED, "htmlextension", "on"},
    {"ignore-length", 0, OPT_FIXED, "ignorelength", "on"},
    {"mirror", 'm', OPT_FIXED, "mirror", "on"},
    {"no-clobber", 0, OPT_FIXED, "noclobber", "on"},
    {"no-directories", 0, OPT_FIXED, "dirstruct", "off"},
    {"no-host-directories", 0, OPT_FIXED, "addhostdir", "off"},
    {"no-host-lookup", 0, OPT_IGNORE, nullptr, nullptr},
    {"no-http-keep-alive", 0, OPT_FIXED, "httpkeepalive", "off"},
    {"no-parent", 0, OPT_FIXED, "noparent", "on"},
    {"non-verbose", 0, OPT_FIXED, "verbose", "off"},
    {"passive-ftp", 0, OPT_FIXED, "passiveftp", "on"},
    {"page-requisites", 'p', OPT_FIXED, "pagerequisites", "on"},
    {"quiet", 'q', OPT_FIXED, "quiet", "on"},
    {"random-wait", 0, OPT_FIXED, "randomwait", "on"},
    {"recursive", 'r', OPT_FIXED, "recursive", "on"},
    {"relative", 'L', OPT_FIXED, "relativeonly", "on"},
    {"retr-symlinks", 0, OPT_FIXED, "retrsymlinks", "on"},
    {"save-headers", 's', OPT_FIXED, "saveheaders", "on"},
    {"server-response", 'S', OPT_FIXED, "serverresponse", "on"},
    {"span-hosts", 'H', OPT_FIXED, "spanhosts", "on"},
    {"spider", 0, OPT_FIXED, "spider", "on"},
    {"timestamping", 'N', OPT_FIXED, "timestamping", "on"},
    {"verbose", 'v', OPT_FIXED, "verbose", "on"},
    {"version", 'V', OPT_VERSION, nullptr, nullptr},
    {"accept", 'A', OPT_VALUE, "accept", nullptr},
    {"append-output", 'a', OPT_APPEND, "logfile", nullptr},
    {"backups", 0, OPT_VALUE, "backups", nullptr},
    {"base", 'B', OPT_VALUE, "base", nullptr},
    {"bind-address", 0, OPT_VALUE, "bindaddress", nullptr},
    {"cache", 'C', OPT_VALUE, "cache", nullptr},
    {"cookies", 0, OPT_VALUE, "cookies", nullptr},
    {"cut-dirs", 0, OPT_VALUE, "cutdirs", nullptr},
    {"directory-prefix", 'P', OPT_VALUE, "dirprefix", nullptr},
    {"domains", 'D', OPT_VALUE, "domains", nullptr},
    {"dot-style", 0, OPT_VALUE, "dotstyle", nullptr},
    {"execute", 'e', OPT_EXECUTE, nullptr, nullptr},
    {"exclude-directories", 'X', OPT_VALUE, "excludedirectories", nullptr},
    {"exclude-domains", 0, OPT_VALUE, "excludedomains", nullptr},
    {"follow-tags", 0, OPT_VALUE, "followtags", nullptr},
    {"glob", 'g', OPT_VALUE, "glob", nullptr},
    {"header", 0, OPT_VALUE, "header", nullptr},
    {"htmlify", 0, OPT_VALUE, "htmlify", nullptr},
    {"http-passwd", 0, OPT_VALUE, "httppasswd", nullptr},
    {"http-user", 0, OPT_VALUE, "httpuser", nullptr},
    {"ignore-tags", 'G', OPT_VALUE, "ignoretags", nullptr},
    {"include-directories", 'I', OPT_VALUE, "includedirectories", nullptr},
    {"input-file", 'i', OPT_VALUE, "input", nullptr},
    {"level", 'l', OPT_VALUE, "reclevel", nullptr},
    {"limit-rate", 0, OPT_VALUE, "limitrate", nullptr},
    {"load-cookies", 0, OPT_VALUE, "loadcookies", nullptr},
    {"no", 'n', OPT_NO, nullptr, nullptr},
    {"output-document", 'O', OPT_VALUE, "outputdocument", nullptr},
    {"output-file", 'o', OPT_VALUE, "logfile", nullptr},
    {"progress", 0, OPT_VALUE, "progress", nullptr},
    {"proxy", 'Y', OPT_VALUE, "useproxy", nullptr},
    {"proxy-passwd", 0, OPT_VALUE, "proxypasswd", nullptr},
    {"proxy-user", 0, OPT_VALUE, "proxyuser", nullptr},
    {"quota", 'Q', OPT_VALUE, "quota", nullptr},
    {"reject", 'R', OPT_VALUE, "reject", nullptr},
    {"save-cookies", 0, OPT_VALUE, "savecookies", nullptr},
    {"timeout", 'T', OPT_VALUE, "timeout", nullptr},
    {"tries", 't', OPT_VALUE, "tries", nullptr},
    {"user-agent", 'U', OPT_VALUE, "useragent", nullptr},
    {"referer", 0, OPT_VALUE, "referer", nullptr},
    {"use-proxy", 'Y', OPT_VALUE, "useproxy", nullptr},
    {"sslcertfile", 0, OPT_VALUE, "sslcertfile", nullptr},
    {"sslcertkey", 0, OPT_VALUE, "sslcertkey", nullptr},
    {"egd-file", 0, OPT_VALUE, "egdfile", nullptr},
    {"wait", 'w', OPT_VALUE, "wait", nullptr},
    {"waitretry", 0, OPT_VALUE, "waitretry", nullptr},
};
static_assert(std::size(option_table) == 82, "the option table has 82 rows");

// Long-only options get codes from here up, clear of every short letter.
constexpr int first_long_only_code = 129;

struct no_letter {
  char letter;
  const char *command;
  const char *value;
};

constexpr no_letter no_letters[] = {
    {'v', "verbose", "off"},      {'H', "addhostdir", "off"},
    {'d', "dirstruct", "off"},    {'c', "noclobber", "on"},
    {'r', "removelisting", "off"}, {'p', "noparent", "on"},
    {'k', "httpkeepalive", "off"},
};

constexpr const char help_format[] =
    "Quarn Tuvo %s, a non-interactive network retriever.\n"
    "Usage: %s [OPTION]... [URL]...\n"
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

constexpr const char version_copyright[] =
    "Copyright (C) 2026 The Tuvo developers.\n";
constexpr const char version_warranty[] =
    "This program is free software and comes WITHOUT ANY WARRANTY, to the\n"
    "extent permitted by law; not even for MERCHANTABILITY or FITNESS FOR\n"
    "A PARTICULAR PURPOSE.\n";
constexpr const char version_author[] =
    "\nWritten by the Tuvo developers.\n";

// The parser's view of option_table, and the row behind each code it returns.
struct option_parser {
  std::vector<option> long_options;
  std::array<int, 256> row_of_code;
};

option_parser make_option_parser() {
  option_parser parser;
  parser.row_of_code.fill(-1);
  int next_code = first_long_only_code;
  for (size_t i = 0; i < std::size(option_table); ++i) {
    const cmdline_option &row = option_table[i];
    bool takes_argument = row.kind == OPT_VALUE || row.kind == OPT_APPEND ||
                          row.kind == OPT_EXECUTE || row.kind == OPT_NO;
    int code = row.short_name ? static_cast<unsigned char>(row.short_name) : next_code++;
    parser.long_options.push_back({row.long_name, takes_argument ? required_argument : no_argument,
                                   nullptr, code});
    if (parser.row_of_code[code] < 0)
      parser.row_of_code[code] = static_cast<int>(i);
  }
  parser.long_options.push_back({nullptr, 0, nullptr, 0});
  return parser;
}

std::string program_name(const char *argv0) {
  if (!argv0 || !*argv0)
    return "tuvo";
  const char *slash = std::strrchr(argv0, '/');
  return slash ? slash + 1 : argv0;
}

void print_usage() { std::printf("Usage: %s [OPTION]... [URL]...\n", exec_name.c_str()); }

// The usage lines that close every refused command line; the run did nothing.
[[noreturn]] void exit_with_usage_hint() {
  print_usage();
  std::putchar('\n');
  std::printf("Try `%s --help' for more options.\n", exec_name.c_str());
  std::exit(1);
}

[[noreturn]] void print_help() {
  std::printf(help_format, version_string, exec_name.c_str());
  std::exit(0);
}

[[noreturn]] void print_version() {
  std::printf("Quarn Tuvo %s\n\n", version_string);
  std::fputs(version_copyright, stdout);
  std::fputs(version_warranty, stdout);
  std::fputs(version_author, stdout);
  std::exit(0);
}

void apply_no_letters(const char *letters) {
  for (const char *p = letters; *p; ++p) {
    const no_letter *found = nullptr;
    for (const no_letter &row : no_letters)
      if (row.letter == *p)
        found = &row;
    if (!found) {
      std::printf("%s: illegal option -- `-n%c'\n", exec_name.c_str(), *p);
      exit_with_usage_hint();
    }
    setval(found->command, found->value);
  }
}

// An -e line that is blank or a comment applies nothing and is accepted, as
// the same line would be in a startup file.
void execute_command(const char *line) {
  std::string name, value;
  int parsed = parse_line(line, name, value);
  if (parsed < 0)
    return;
  if (parsed == 0) {
    std::fprintf(stderr, "%s: %s: invalid command\n", exec_name.c_str(), line);
    std::exit(1);
  }
  if (!setval(name.c_str(), value.c_str()))
    std::exit(1);
}

// What the command line leaves besides the settings.
struct command_line {
  std::vector<std::string> urls;  // the arguments that are not options, in order
  bool append_logfile = false;    // -a was given
};

void apply_option(const cmdline_option &row, const char *argument, command_line &line) {
  switch (row.kind) {
    case OPT_VALUE:
      setval(row.command, argument);
      break;
    case OPT_FIXED:
      setval(row.command, row.value);
      break;
    case OPT_APPEND:
      setval(row.command, argument);
      line.append_logfile = true;
      break;
    case OPT_EXECUTE:
      execute_command(argument);
      break;
    case OPT_NO:
      apply_no_letters(argument);
      break;
    case OPT_HELP:
      print_help();
    case OPT_VERSION:
      print_version();
    case OPT_IGNORE:
      break;
  }
}

// Applies every option in command-line order; options may follow the URLs
// and "--" ends them.
command_line parse_command_line(int argc, char **argv) {
  option_parser parser = make_option_parser();
  // The parser names the program by its first argument in its complaints.
  std::vector<char *> args(argv, argv + argc);
  if (args.empty())
    args.push_back(exec_name.data());
  else
    args[0] = exec_name.data();
  args.push_back(nullptr);
  int count = static_cast<int>(args.size()) - 1;

  command_line line;
  optind = 0;
  for (;;) {
    int code = getopt_long(count, args.data(), short_options, parser.long_options.data(), nullptr);
    if (code == -1)
      break;
    if (code == '?')
      exit_with_usage_hint();
    int row = code >= 0 && code < 256 ? parser.row_of_code[code] : -1;
    if (row < 0)
      continue;  // -W has no long form and no effect
    apply_option(option_table[row], optarg, line);
  }
  for (int i = optind; i < count; ++i)
    line.urls.emplace_back(args[i]);
  return line;
}

void apply_derived_settings() {
  if (opt.reclevel == 0)
    opt.reclevel = -1;
  if (opt.pagerequisites && !opt.recursive) {
    opt.recursive = 1;
    opt.reclevel = 0;
    if (!opt.no_dirstruct)
      opt.dirstruct = 1;
  }
  if (opt.verbose == -1)
    opt.verbose = !opt.quiet;
}

void check_settings(const command_line &line) {
  if (opt.verbose && opt.quiet) {
    std::printf("Can't be verbose and quiet at the same time.\n");
    print_usage();
    std::exit(1);
  }
  if (opt.timestamping && opt.noclobber) {
    std::printf("Can't timestamp and not clobber old files at the same time.\n");
    print_usage();
    std::exit(1);
  }
  if (line.urls.empty() && !opt.input) {
    std::printf("%s: missing URL\n", exec_name.c_str());
    exit_with_usage_hint();
  }
}

void open_output_document() {
  if (!opt.outputdocument)
    return;
  const std::string &name = *opt.outputdocument;
  if (name == "-") {
    opt.output_document_stream = stdout;
  } else {
    opt.output_document_stream = std::fopen(name.c_str(), opt.alwaysrest ? "ab" : "wb");
    if (!opt.output_document_stream) {
      int error = errno;
      std::fprintf(stderr, "%s: %s\n", name.c_str(), std::strerror(error));
      std::exit(1);
    }
  }
  struct stat st;
  if (fstat(fileno(opt.output_document_stream), &st) == 0 && S_ISREG(st.st_mode))
    opt.output_document_regular = 1;
}

void set_signal_handler(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // Interrupted reads and writes are resumed rather than failed.
  action.sa_flags = SA_RESTART;
  sigaction(sig, &action, nullptr);
}

void install_signal_handlers() {
  struct sigaction current {};
  // A run started with SIGHUP ignored (nohup) keeps ignoring it.
  if (sigaction(SIGHUP, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
    set_signal_handler(SIGHUP, redirect_output_signal);
  set_signal_handler(SIGUSR1, redirect_output_signal);
  // Write errors are reported where they happen instead of killing the run.
  set_signal_handler(SIGPIPE, SIG_IGN);
  set_signal_handler(SIGWINCH, progress_handle_sigwinch);
}

// ---- Stages whose modules are not part of this build yet -------------------
// Each one says plainly what cannot be done and fails, so that a run never
// reports a retrieval it did not make.

status_t retrieve_tree_unavailable(const std::string &url) {
  logprintf(LOG_NOTQUIET, "%s: %s: recursive retrieval is not supported yet.\n",
            exec_name.c_str(), url.c_str());
  return RETRIEVAL_FAILED;
}

void convert_all_links_unavailable(status_t &status) {
  logprintf(LOG_NOTQUIET, "%s: link conversion is not supported yet.\n", exec_name.c_str());
  status = RETRIEVAL_FAILED;
}

// ---- The run ----------------------------------------------------------------

status_t retrieve_argument(const std::string &url) {
  // FTP recurses by itself inside the ordinary retrieval.
  if (opt.recursive && url_scheme(url) != SCHEME_FTP)
    return retrieve_tree_unavailable(url);
  std::optional<std::string> local_file, redirected_url;
  int dt = 0;
  status_t status = retrieve_url(url, &local_file, &redirected_url, nullptr, &dt);
  delete_after_retrieval(local_file, dt, "main()");
  return status;
}

status_t retrieve_input_file(const std::string &file) {
  int count = 0;
  status_t status = retrieve_from_file(file, opt.forcehtml, &count);
  if (count == 0)
    logprintf(LOG_NOTQUIET, "No URLs found in %s.\n", file.c_str());
  return status;
}

void print_summary(size_t url_count) {
  if (!(opt.recursive || url_count > 1 || (opt.input && opt.downloaded != 0)))
    return;
  std::string amount = opt.downloaded_overflow ? "<overflow>" : legible_very_long(opt.downloaded);
  logprintf(LOG_NOTQUIET, "\nFINISHED --%s--\nDownloaded: %s bytes in %d files\n",
            time_str(nullptr).c_str(), amount.c_str(), opt.downloaded_files);
  if (downloaded_exceeds_quota())
    logprintf(LOG_NOTQUIET, "Download quota (%s bytes) EXCEEDED!\n", legible(opt.quota).c_str());
}

std::vector<std::string> expand_shorthands(const std::vector<std::string> &arguments) {
  std::vector<std::string> urls;
  for (const std::string &argument : arguments)
    urls.push_back(rewrite_shorthand_url(argument).value_or(argument));
  return urls;
}

}  // namespace

void redirect_output_signal(int sig) {
  int saved_errno = errno;
  const char *name = sig == SIGHUP ? "SIGHUP" : sig == SIGUSR1 ? "SIGUSR1" : "WTF?!";
  log_request_redirect_output(name);
  progress_schedule_redirect();
  // Installed with sigaction and without SA_RESETHAND, the handler stays armed.
  errno = saved_errno;
}

int tuvo_main(int argc, char **argv) {
  exec_name = program_name(argc > 0 ? argv[0] : nullptr);
  initialize();
  command_line line = parse_command_line(argc, argv);
  apply_derived_settings();
  check_settings(line);

  if (opt.background)
    fork_to_background();
  if (opt.verbose)
    set_progress_implementation(opt.progress);
  std::vector<std::string> urls = expand_shorthands(line.urls);
  log_init(opt.logfile ? opt.logfile->c_str() : nullptr, line.append_logfile);
  DEBUGP(("DEBUG output created by Tuvo %s on %s.\n\n", version_string, build_platform));
  open_output_document();
  install_signal_handlers();
  ssl_init_prng();

  status_t status = RETRIEVAL_OK;
  for (const std::string &url : urls)
    status = retrieve_argument(url);
  if (opt.input)
    status = retrieve_input_file(*opt.input);

  print_summary(urls.size());
  if (opt.savecookies)
    save_cookies(*opt.savecookies);
  if (opt.convertlinks && !opt.deleteafter)
    convert_all_links_unavailable(status);
  log_close();
  cleanup();
  return status == RETRIEVAL_OK ? 0 : 1;
}
