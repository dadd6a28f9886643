// The program entry: start-up, the URL walk, the summary and the exit status.
#pragma once

// Runs the whole program; returns the exit status.
int tuvo_main(int argc, char **argv);
