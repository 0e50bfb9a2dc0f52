// The one clock that the program's waits and time limits read, and the
// length of a second of those limits.
#ifndef QUORVANE_BASE_CLOCK_H_
#define QUORVANE_BASE_CLOCK_H_

#include <sys/time.h>
#include <time.h>

#include <cstdint>

// Microseconds on the system's monotonic clock: only differences between
// two readings mean anything, and a change of the wall clock moves neither.
inline int64_t monotonicMicros() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// How long one second of a time limit (a time-out, a connect's limit, a
// handshake's) lasts, in microseconds: a real second, unless tests made it
// shorter, so that a time-out of "1 s" passes in a tenth of that while the
// words still name the seconds set.
int64_t limitSecondMicros();
// Sets that length, for tests: `millis` from 1 to 1000 (anything else: a
// real second).
void setLimitSecondMillis(int64_t millis);
// `seconds` of a time limit as a timeval.
timeval limitOf(int64_t seconds);

#endif  // QUORVANE_BASE_CLOCK_H_
