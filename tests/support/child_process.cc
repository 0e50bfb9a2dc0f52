// Child processes for the tests: started with posix_spawn, output read
// through pipes while the parent waits for the end or the deadline.
#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The parent looks this often whether the child has ended, also while its
// output pipes stay open (a process it started may hold them).
const int kWaitStepMillis = 5;
// A child that has not ended this long after SIGKILL is reported as such (it
// cannot happen, but a wait must not hang the tests).
const int kKillGraceMillis = 5000;

// A pipe whose read end the parent keeps; both ends close with the object.
class OutputPipe {
 public:
  OutputPipe() = default;
  OutputPipe(const OutputPipe&) = delete;
  OutputPipe& operator=(const OutputPipe&) = delete;
  ~OutputPipe() {
    closeRead();
    closeWrite();
  }

  // Makes the pipe; false with *problem when it cannot. Both ends are
  // close-on-exec so that children of other threads do not inherit them.
  bool open(std::string* problem) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
      *problem = std::string("pipe: ") + strerror(errno);
      return false;
    }
    read_ = ends[0];
    write_ = ends[1];
    return true;
  }
  int readEnd() const { return read_; }
  int writeEnd() const { return write_; }
  void closeRead() {
    if (read_ >= 0) close(read_);
    read_ = -1;
  }
  void closeWrite() {
    if (write_ >= 0) close(write_);
    write_ = -1;
  }

  // Appends what one read returns to *sink; closes the read end at the end
  // of the data or on an error.
  void readSome(std::string* sink) {
    char buffer[65536];
    ssize_t n = read(read_, buffer, sizeof buffer);
    if (n > 0) {
      sink->append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      closeRead();
    }
  }

  // Appends whatever is still buffered, without waiting for a writer that
  // lives on, and closes the read end.
  void drain(std::string* sink) {
    if (read_ < 0) return;
    fcntl(read_, F_SETFL, O_NONBLOCK);
    while (read_ >= 0) readSome(sink);
  }

 private:
  int read_ = -1;
  int write_ = -1;
};

// posix_spawn's file actions, destroyed with the object.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

std::vector<char*> pointersTo(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Waits for `pid` to end; true when it was reaped within `millis`.
bool reapWithin(pid_t pid, int millis, int* status) {
  Clock::time_point giveUp = Clock::now() + std::chrono::milliseconds(millis);
  for (;;) {
    if (waitpid(pid, status, WNOHANG) == pid) return true;
    if (Clock::now() >= giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kWaitStepMillis));
  }
}

}  // namespace

int exitOfForkedCall(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid < 0) return -2;
  if (pid == 0) _exit(body());
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ChildRun runChild(const ChildSpec& child) {
  ChildRun run;
  OutputPipe out;
  OutputPipe err;
  if ((!child.closeStdout && !out.open(&run.problem)) || !err.open(&run.problem)) return run;

  SpawnActions actions;
  if (child.closeStdin) {
    posix_spawn_file_actions_addclose(actions.get(), 0);
  } else {
    posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  }
  if (child.closeStdout) {
    posix_spawn_file_actions_addclose(actions.get(), 1);
  } else if (child.stdoutUnread) {
    // The reader goes before the child starts, so not even its first write
    // finds one.
    out.closeRead();
    posix_spawn_file_actions_adddup2(actions.get(), out.writeEnd(), 1);
  } else {
    posix_spawn_file_actions_adddup2(actions.get(), out.writeEnd(), 1);
  }
  posix_spawn_file_actions_adddup2(actions.get(), err.writeEnd(), 2);
  posix_spawn_file_actions_addchdir_np(actions.get(), child.folder.c_str());

  std::vector<char*> argv = pointersTo(child.argv);
  std::vector<char*> env = pointersTo(child.environment);
  Clock::time_point start = Clock::now();
  pid_t pid = 0;
  int failure = posix_spawn(&pid, argv[0], actions.get(), nullptr, argv.data(), env.data());
  out.closeWrite();
  err.closeWrite();
  if (failure != 0) {
    run.problem = "cannot start " + child.argv[0] + ": " + strerror(failure);
    return run;
  }
  run.started = true;

  Clock::time_point deadline =
      start + std::chrono::milliseconds(static_cast<long>(child.limitSeconds * 1000));
  int status = 0;
  bool reaped = false;
  bool signalled = child.signalNumber <= 0;
  for (;;) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      reaped = true;
      break;
    }
    if (!signalled &&
        Clock::now() - start >= std::chrono::duration<double>(child.signalAfterSeconds)) {
      kill(pid, child.signalNumber);
      signalled = true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    int step = static_cast<int>(std::min<long>(left.count(), kWaitStepMillis));
    pollfd watched[2];
    OutputPipe* pipes[2];
    nfds_t count = 0;
    for (OutputPipe* pipe : {&out, &err}) {
      if (pipe->readEnd() < 0) continue;
      watched[count] = {pipe->readEnd(), POLLIN, 0};
      pipes[count++] = pipe;
    }
    if (count == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(step));
      continue;
    }
    if (poll(watched, count, step) <= 0) continue;
    for (nfds_t i = 0; i < count; ++i) {
      if (watched[i].revents != 0) pipes[i]->readSome(pipes[i] == &out ? &run.out : &run.err);
    }
  }
  if (!reaped) {
    run.killed = true;
    kill(pid, SIGKILL);
    reaped = reapWithin(pid, kKillGraceMillis, &status);
    if (!reaped) run.problem = "the program did not end after SIGKILL";
  }
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  out.drain(&run.out);
  err.drain(&run.err);
  if (reaped && WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  if (reaped && WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}

std::vector<std::string> environmentWith(const std::vector<std::string>& overrides) {
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
  return environment;
}
