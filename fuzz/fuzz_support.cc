// Shared helpers of the fuzz targets.
#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "script/keywords.h"

void fuzzCheckFailed(const char* file, int line, const char* condition, const char* what) {
  fprintf(stderr, "%s:%d: invariant broken: %s (%s)\n", file, line, what, condition);
  abort();
}

void quietStandardOutput() {
  static const bool done = [] {
    fflush(stdout);
    int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (sink >= 0) {
      dup2(sink, 1);
      close(sink);
    }
    return true;
  }();
  (void)done;
}

namespace {

std::string gScratch;

void removeScratch() {
  if (gScratch.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(gScratch, ignored);
}

}  // namespace

const std::string& scratchHome() {
  if (gScratch.empty()) {
    // Every run writes its plugin and output files here: memory-backed
    // storage keeps that from waiting on a disk.
    const char* base = getenv("TMPDIR");
    if (base == nullptr || base[0] == '\0')
      base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/quorvane-fuzz-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
      perror("mkdtemp");
      abort();
    }
    gScratch = name.data();
    setenv("HOME", gScratch.c_str(), 1);
    atexit(removeScratch);
  }
  return gScratch;
}

bool writeWholeFile(const std::string& path, const std::string& bytes) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && ok;
}

std::vector<std::string> scriptReads(const std::string& text) {
  const size_t most = static_cast<size_t>(kLineReadLimit - 1);
  std::vector<std::string> reads;
  size_t at = 0;
  while (at < text.size()) {
    size_t take = text.size() - at < most ? text.size() - at : most;
    size_t lineFeed = text.find('\n', at);
    if (lineFeed != std::string::npos && lineFeed - at < take) take = lineFeed - at + 1;
    reads.push_back(text.substr(at, take));
    at += take;
  }
  return reads;
}

std::string bytesOf(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}
