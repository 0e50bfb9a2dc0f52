// The one clock that the program's waits and time limits read.
#ifndef QUORVANE_BASE_CLOCK_H_
#define QUORVANE_BASE_CLOCK_H_

#include <time.h>

#include <cstdint>

// Microseconds on the system's monotonic clock: only differences between
// two readings mean anything, and a change of the wall clock moves neither.
inline int64_t monotonicMicros() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

#endif  // QUORVANE_BASE_CLOCK_H_
