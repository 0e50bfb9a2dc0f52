// Runs the program under test as a child process with its own working
// folder, environment and output files, and a deadline after which it is
// killed.
#ifndef QUORVANE_TESTS_CAMPAIGN_CHILD_PROCESS_H_
#define QUORVANE_TESTS_CAMPAIGN_CHILD_PROCESS_H_

#include <string>
#include <vector>

struct ChildOutcome {
  bool started = false;  // false: the program could not be started (see error)
  std::string error;
  bool killed = false;  // it outlived its deadline
  int exitStatus = -1;  // when it exited
  int signal = 0;       // when a signal ended it
  double seconds = 0;   // wall time from start to end
};

// Starts argv[0] with `argv` in folder `cwd`, the current environment with
// the `overrides` ("NAME=value") applied, standard output and standard
// error written to the two files, and waits for it; kills it after
// `killAfterMillis`.
ChildOutcome runChild(const std::vector<std::string>& argv,
                      const std::vector<std::string>& overrides, const std::string& cwd,
                      const std::string& stdoutPath, const std::string& stderrPath,
                      int killAfterMillis);

#endif  // QUORVANE_TESTS_CAMPAIGN_CHILD_PROCESS_H_
