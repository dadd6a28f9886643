// Runs a program as a child process and collects what it wrote and how it
// ended, for suites that test the built program from the outside.
#pragma once

#include <string>
#include <vector>

struct program_result {
  std::string out;  // everything written on standard output
  std::string err;  // everything written on standard error
  int status = -1;  // the exit status; 128 + the signal number when killed
};

// Runs `binary` with `args` (not counting the program name, which is
// `argv0`), the exact environment `env` ("NAME=value" entries) and working
// directory `cwd`; standard input is /dev/null.  A child still running after
// `bound_seconds` is killed.
program_result run_program(const std::string &binary, const std::string &argv0,
                           const std::vector<std::string> &args,
                           const std::vector<std::string> &env, const std::string &cwd,
                           int bound_seconds = 60);
