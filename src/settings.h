// The settings record `opt` and the startup commands that fill it.
//
// Texts are owned copies; std::nullopt means "none".  Vectors are empty when
// "none".  Integer flags are 0/1 unless said otherwise.  Byte counts and rates
// are 64-bit so that "3g" fits.  After start-up only the run counters change.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

struct options {
  int verbose = -1;             // -1 until the driver resolves it from quiet
  int quiet = 0;
  int tries = 20;               // 0 = unlimited
  int background = 0;
  int killlonger = 0;
  int ignorelength = 0;
  int recursive = 0;
  int spanhosts = 0;
  int relativeonly = 0;
  int noparent = 0;
  int reclevel = 5;             // after start-up -1 = infinite
  int dirstruct = 0;
  int no_dirstruct = 0;         // always the opposite of what "dirstruct" stored
  int cutdirs = 0;
  int addhostdir = 1;
  int noclobber = 0;
  std::optional<std::string> dirprefix = std::string(".");
  std::optional<std::string> logfile;
  std::optional<std::string> input;
  int forcehtml = 0;
  int spider = 0;
  std::vector<std::string> accept;
  std::vector<std::string> reject;
  std::vector<std::string> excludedirectories;
  std::vector<std::string> includedirectories;
  std::vector<std::string> domains;
  std::vector<std::string> excludedomains;
  std::vector<std::string> followtags;
  std::vector<std::string> ignoretags;
  int followftp = 0;
  int retrsymlinks = 0;
  std::optional<std::string> outputdocument;
  int output_document_regular = 0;        // run state: set by the driver
  FILE *output_document_stream = nullptr; // run state: opened by the driver, closed by cleanup()
  int alwaysrest = 0;
  std::optional<std::string> login = std::string("anonymous");
  std::optional<std::string> passwd = std::string("-tuvo@");
  int netrc = 1;
  int glob = 1;
  int passiveftp = 0;           // -1 never, 0 off, 1 on, 2 always (locks at -1 and 2)
  std::optional<std::string> httpuser;
  std::optional<std::string> httppasswd;
  std::optional<std::string> user_header; // header lines, each ending CR LF
  int httpkeepalive = 1;
  int useproxy = 1;
  int cache = 1;
  std::optional<std::string> httpproxy;
  std::optional<std::string> ftpproxy;
  std::optional<std::string> httpsproxy;
  std::vector<std::string> noproxy;
  std::optional<std::string> base;
  std::optional<std::string> progress;
  std::optional<std::string> proxyuser;
  std::optional<std::string> proxypasswd;
  int timeout = 900;            // seconds
  int randomwait = 0;
  int wait = 0;                 // seconds
  int waitretry = 0;            // seconds
  int robots = 1;
  int64_t limitrate = 0;        // bytes per second; 0 = no limit
  int64_t quota = 0;            // bytes; 0 = no quota
  uint64_t downloaded = 0;      // run counter
  int downloaded_overflow = 0;  // run counter: set once downloaded has wrapped
  int downloaded_files = 0;     // run counter
  int serverresponse = 0;
  int saveheaders = 0;
  int debug = 0;
  int timestamping = 0;
  int backupconverted = 0;
  int backups = 0;
  std::optional<std::string> useragent;
  std::optional<std::string> referer;
  int convertlinks = 0;
  int removelisting = 1;
  int htmlify = 1;
  std::optional<std::string> dotstyle;
  int64_t dotbytes = 1024;
  int dots_in_line = 50;
  int dotspacing = 10;
  int deleteafter = 0;
  int htmlextension = 0;
  int pagerequisites = 0;
  std::optional<sockaddr_in> bindaddress;
  std::optional<std::string> sslcertfile;
  std::optional<std::string> sslcertkey;
  std::optional<std::string> egdfile;
  int cookies = 1;
  std::optional<std::string> loadcookies;
  std::optional<std::string> savecookies;
};

extern options opt;

// The program name that prefixes every start-up diagnostic; set first thing.
extern std::string exec_name;

// Zero-fills opt and stores the defaults (reads "no_proxy" from the environment).
void defaults();
// defaults(), then the system startup file, then the user startup file.
void initialize();
// The user startup file to run, or none; may end the program (bad TUVORC).
std::optional<std::string> tuvorc_file_name();
// Runs every line of one startup file, reporting bad lines and going on.
void run_tuvorc(const std::string &path);
// 1: a known command (name normalised, value trimmed); 0: malformed or unknown;
// -1: blank or comment (outputs untouched).
int parse_line(const std::string &line, std::string &name, std::string &value);
// Looks the command up and runs its setter; 1 on success, 0 on failure.
int setval(const char *name, const char *value);
// The user's home directory, or none.
std::optional<std::string> home_dir();
// 1 when the text is acceptable as an extra request header line.
int check_user_specified_header(const std::string &text);
// The value of a text of ASCII digits; -1 when empty or anything else.
int myatoi(const char *text);
// Closes the output document if it is open.
void cleanup();
