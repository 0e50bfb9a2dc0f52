// Test helpers: capture of everything written to standard output (by
// printf, puts and fwrite alike), temporary folders, and scoped changes of
// the display mode and of environment variables.
#ifndef QUORVANE_TESTS_SUPPORT_CAPTURE_H_
#define QUORVANE_TESTS_SUPPORT_CAPTURE_H_

#include <string>

#include "base/clock.h"

// Redirects file descriptor 1 into a temporary file from construction until
// finish() (or destruction). REQUIRES: not nested.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Restores standard output and returns what was written meanwhile.
  std::string finish();

 private:
  int savedFd_ = -1;
  int captureFd_ = -1;
  std::string text_;
};

// A fresh folder under $TMPDIR (or /tmp), removed with its content on
// destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Writes `content` to path()/name (creating parent folders); returns the
  // full path.
  std::string write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

// Sets a display mode for one scope and restores normal mode afterwards.
class ModeScope {
 public:
  explicit ModeScope(const char* arg);
  ~ModeScope();
  ModeScope(const ModeScope&) = delete;
  ModeScope& operator=(const ModeScope&) = delete;
};

// Sets an environment variable and puts back its earlier value (or its
// absence) on restore() or destruction.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ~ScopedEnv() { restore(); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  // Sets `name` to `value`; a null value unsets it. REQUIRES: not set yet.
  void set(const char* name, const char* value);
  void restore();

 private:
  std::string name_;
  std::string saved_;
  bool active_ = false;
  bool hadValue_ = false;
};

// While it lives, a second of the session's time limits lasts `millis`
// milliseconds, so that a test of a time-out does not wait whole seconds.
class ShortLimitSeconds {
 public:
  explicit ShortLimitSeconds(int millis) { setLimitSecondMillis(millis); }
  ~ShortLimitSeconds() { setLimitSecondMillis(1000); }
  ShortLimitSeconds(const ShortLimitSeconds&) = delete;
  ShortLimitSeconds& operator=(const ShortLimitSeconds&) = delete;
};

// Reads a whole file; "" when it cannot be opened.
std::string readFile(const std::string& path);
// Number of open file descriptors of this process.
int openDescriptorCount();

#endif  // QUORVANE_TESTS_SUPPORT_CAPTURE_H_
