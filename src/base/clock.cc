// The length of a second of the program's time limits.
#include "base/clock.h"

namespace {

const int64_t kMicrosPerSecond = 1000000;
const int64_t kMillisPerSecond = 1000;

int64_t gLimitSecondMicros = kMicrosPerSecond;

}  // namespace

int64_t limitSecondMicros() {
  return gLimitSecondMicros;
}

void setLimitSecondMillis(int64_t millis) {
  bool shortened = millis >= 1 && millis <= kMillisPerSecond;
  gLimitSecondMicros = shortened ? millis * kMillisPerSecond : kMicrosPerSecond;
}

timeval limitOf(int64_t seconds) {
  int64_t micros = seconds * gLimitSecondMicros;
  timeval limit;
  limit.tv_sec = static_cast<time_t>(micros / kMicrosPerSecond);
  limit.tv_usec = static_cast<suseconds_t>(micros % kMicrosPerSecond);
  return limit;
}
