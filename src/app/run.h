// The run sequence of one command line: banner, arguments, display mode,
// plugin selection, the plugin script and the closing message.
#ifndef QUORVANE_APP_RUN_H_
#define QUORVANE_APP_RUN_H_

// Runs the program for `argc`/`argv` as given to main (argv[0] the program
// path, then SWITCH, TARGET and FILE; further arguments are ignored). A
// SWITCH of "--help" or "-h" shows the usage and "--version" only the
// banner; both succeed. A failed run whose SWITCH holds "://" (an address
// given where the switch goes) ends its line on standard error with how the
// command line is written.
// Returns the run's result code, which is the process exit status.
int runProgram(int argc, char** argv);

#endif  // QUORVANE_APP_RUN_H_
