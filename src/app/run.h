// The run sequence of one command line: banner, arguments, display mode,
// plugin selection, the plugin script and the closing message.
#ifndef QUORVANE_APP_RUN_H_
#define QUORVANE_APP_RUN_H_

// Runs the program for `argc`/`argv` as given to main (argv[0] the program
// path, then the options, each beginning with "--", then SWITCH, TARGET and
// FILE; further arguments are ignored). An option that sets something
// holds it for the whole run, over the registry's and the plugin's lines;
// an unknown option, or one without its value, shows the usage and fails
// with kUsage. "--help" among the options, or a SWITCH of "-h", shows the
// usage and the options, and "--version" only the banner; both succeed. A
// FILE of "-" sends the download to standard output and every message to
// standard error. A failed run whose SWITCH holds "://" (an address given
// where the switch goes) ends its line on standard error with how the
// command line is written.
// Returns the run's result code, which is the process exit status.
int runProgram(int argc, char** argv);

#endif  // QUORVANE_APP_RUN_H_
