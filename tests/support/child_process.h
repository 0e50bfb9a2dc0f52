// Runs a program as a child process for a test: its own working folder and
// environment, standard input from /dev/null, standard output and standard
// error captured, and a deadline after which it is killed. Shared by the
// end-to-end cases and the campaign; needs neither gtest nor the program's
// own code.
#ifndef QUORVANE_TESTS_SUPPORT_CHILD_PROCESS_H_
#define QUORVANE_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <functional>
#include <string>
#include <vector>

// What to start and how.
struct ChildSpec {
  std::vector<std::string> argv;         // argv[0] is the program's path
  std::vector<std::string> environment;  // the whole environment, "NAME=value"
  std::string folder;                    // working folder
  double limitSeconds = 20;              // killed with SIGKILL after this
  // Descriptors the child starts with closed instead of /dev/null (input)
  // or a capturing pipe (output), as a program run from a careless parent
  // may find them.
  bool closeStdin = false;
  bool closeStdout = false;
  // Standard output is a pipe whose reader has already gone, as after
  // `| head -n 3` has exited: every write to it fails (EPIPE, and SIGPIPE
  // unless the child ignores it). Nothing is captured.
  bool stdoutUnread = false;
  // When above 0: this signal is sent to the child once it has run for
  // signalAfterSeconds (as a user's Ctrl-C would come).
  int signalNumber = 0;
  double signalAfterSeconds = 0;
};

// What became of the child.
struct ChildRun {
  bool started = false;  // false: it could not be started (see problem)
  std::string problem;   // why it could not be started or waited for
  std::string out;       // its standard output (empty when closed or unread)
  std::string err;       // its standard error
  int exitStatus = -1;   // -1 unless it exited normally
  int signal = 0;        // the signal that ended it, or 0
  bool killed = false;   // it outlived the deadline
  double seconds = 0;    // wall time from start to end
};

// Starts `child.argv[0]` and waits for it to end or for the deadline, reading
// its output as it comes. REQUIRES: child.argv is not empty. Safe to call
// from several threads at once (the pipes are not inherited by children
// other threads start).
ChildRun runChild(const ChildSpec& child);

// Runs `body` in a forked copy of this process (for a test that changes
// what the whole process holds: its descriptors, signals or limits) and
// returns the value it returned as the copy's exit status; -1 when the copy
// did not exit normally, -2 when it could not be started.
int exitOfForkedCall(const std::function<int()>& body);

// This process's environment with `overrides` ("NAME=value") replacing the
// variables of the same name or added to it.
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides);

#endif  // QUORVANE_TESTS_SUPPORT_CHILD_PROCESS_H_
