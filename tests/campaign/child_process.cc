// Child processes with deadlines, through posix_spawn.
#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>
#include <cstring>

extern char** environ;

namespace {

// How often the parent looks whether the child has ended.
const int kPollMicros = 2000;

}  // namespace

ChildOutcome runChild(const std::vector<std::string>& argv,
                      const std::vector<std::string>& overrides, const std::string& cwd,
                      const std::string& stdoutPath, const std::string& stderrPath,
                      int killAfterMillis) {
  ChildOutcome outcome;
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string item = *entry;
    bool replaced = false;
    for (const std::string& override : overrides) {
      size_t nameEnd = override.find('=');
      replaced = replaced || item.compare(0, nameEnd + 1, override, 0, nameEnd + 1) == 0;
    }
    if (!replaced) environment.push_back(item);
  }
  environment.insert(environment.end(), overrides.begin(), overrides.end());

  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const std::string& item : environment) env.push_back(const_cast<char*>(item.c_str()));
  env.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

  auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  int failure = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failure != 0) {
    outcome.error = std::string("cannot start ") + argv[0] + ": " + strerror(failure);
    return outcome;
  }
  outcome.started = true;

  auto deadline = start + std::chrono::milliseconds(killAfterMillis);
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      outcome.killed = true;
      break;
    }
    timespec pause = {0, kPollMicros * 1000L};
    nanosleep(&pause, nullptr);
  }
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (WIFEXITED(status)) outcome.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  return outcome;
}
