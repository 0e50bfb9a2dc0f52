#include "support/capture.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/messages.h"

StdoutCapture::StdoutCapture() {
  fflush(stdout);
  char name[] = "/tmp/quorvane-capture-XXXXXX";
  captureFd_ = mkstemp(name);
  unlink(name);
  savedFd_ = dup(1);
  dup2(captureFd_, 1);
}

StdoutCapture::~StdoutCapture() {
  finish();
}

std::string StdoutCapture::finish() {
  if (savedFd_ < 0) return text_;
  fflush(stdout);
  dup2(savedFd_, 1);
  close(savedFd_);
  savedFd_ = -1;
  lseek(captureFd_, 0, SEEK_SET);
  char chunk[4096];
  ssize_t n;
  while ((n = read(captureFd_, chunk, sizeof chunk)) > 0)
    text_.append(chunk, static_cast<size_t>(n));
  close(captureFd_);
  captureFd_ = -1;
  return text_;
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/quorvane-test-XXXXXX";
  char* made = mkdtemp(&pattern[0]);
  path_ = made ? made : "";
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
  std::filesystem::path full = std::filesystem::path(path_) / name;
  std::filesystem::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary);
  out << content;
  return full.string();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

int openDescriptorCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory stream's own descriptor
}

ModeScope::ModeScope(const char* arg) {
  setDisplayMode(arg);
}

ModeScope::~ModeScope() {
  setDisplayMode(nullptr);
}

void ScopedEnv::set(const char* name, const char* value) {
  name_ = name;
  const char* old = getenv(name);
  hadValue_ = old != nullptr;
  if (hadValue_) saved_ = old;
  active_ = true;
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

void ScopedEnv::restore() {
  if (!active_) return;
  if (hadValue_) {
    setenv(name_.c_str(), saved_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
  active_ = false;
}
