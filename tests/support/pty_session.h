// Pseudo-terminals for tests of behaviour that only happens on a terminal.
#pragma once

#include <functional>
#include <string>

struct pty_run_result {
  int status = -1;     // the body's return value; 128 + signal when killed; -1 when it could not run
  std::string output;  // every byte the child wrote to the terminal, unchanged
};

// Runs BODY in a forked child whose standard error is the slave side of a
// fresh raw pseudo-terminal, collecting what reaches the master side until
// the child exits (killed after TIMEOUT_MS).
pty_run_result run_on_pty(const std::function<int()> &body, int timeout_ms = 10000);
