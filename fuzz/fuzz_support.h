// Helpers shared by the fuzz targets: invariant checks that stop the run,
// a quiet standard output, a scratch home folder, and the way script files
// are cut into reads.
#ifndef QUORVANE_FUZZ_FUZZ_SUPPORT_H_
#define QUORVANE_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Stops the process with a message when `condition` is false, so that the
// fuzzer keeps the input that broke the invariant.
#define FUZZ_CHECK(condition, what) \
  ((condition) ? (void)0 : fuzzCheckFailed(__FILE__, __LINE__, #condition, what))

[[noreturn]] void fuzzCheckFailed(const char* file, int line, const char* condition,
                                  const char* what);

// Sends standard output (messages, traces, progress lines) to /dev/null for
// the rest of the process: the fuzzer reports on standard error, and
// printing every run's output would only slow it down.
void quietStandardOutput();

// A fresh folder under $TMPDIR (or /dev/shm, or /tmp), made once per process and
// removed when the process exits normally. HOME is pointed at it, so the
// script engine finds its configuration there.
const std::string& scratchHome();

// Writes `bytes` to `path`, replacing the file. Returns false on failure.
bool writeWholeFile(const std::string& path, const std::string& bytes);

// Cuts `text` the way every script and registry reader does: reads of at
// most kLineReadLimit - 1 bytes, each ending just after a line feed.
std::vector<std::string> scriptReads(const std::string& text);

// The bytes [data, data + size) as a string.
std::string bytesOf(const uint8_t* data, size_t size);

#endif  // QUORVANE_FUZZ_FUZZ_SUPPORT_H_
