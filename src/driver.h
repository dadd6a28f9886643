// The program entry: start-up (startup files, options, checks, background,
// log, output document, signals), the URL walk, the summary and the exit
// status.
#pragma once

// The version text shown by --version and --help and in the debug banner.
extern const char *const version_string;

// Runs the whole program; returns the exit status (0 when the last retrieval
// succeeded, 1 otherwise).  Some start-up failures and --help/--version end the
// process directly with the status they document.
int tuvo_main(int argc, char **argv);

// Handler of SIGHUP and SIGUSR1: asks the log to move to a file at its next
// write and the progress display to switch to dots.  Only sets flags.
void redirect_output_signal(int sig);
