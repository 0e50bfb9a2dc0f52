// SpeedCheck: "@lowspeed=BYTES,SECONDS", the watch over a body that comes
// too slowly. The session feeds it every body byte it reads; it says when
// the body brought fewer than BYTES bytes per second over the last SECONDS
// seconds, and bounds the waits for the body so that this is noticed even
// while nothing arrives.
#ifndef QUORVANE_HTTP_SPEED_CHECK_H_
#define QUORVANE_HTTP_SPEED_CHECK_H_

#include <sys/time.h>

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "http/link.h"

// The sentence of a stalled body begins with this, and a retry names it as
// its reason.
extern const char kDownloadStalled[];

// What waitWatched returns when the wait ended because the body is too
// slow.
const int kWaitStalled = -5;

class SpeedCheck {
 public:
  // Watches nothing.
  SpeedCheck() = default;
  SpeedCheck(const SpeedCheck&) = delete;
  SpeedCheck& operator=(const SpeedCheck&) = delete;

  // Starts watching a body at `nowMicros` (the end of its header) for at
  // least `bytes` bytes per second over `seconds` seconds; either at 0 or
  // below watches nothing.
  void start(int32_t bytes, int32_t seconds, int64_t nowMicros);
  // Stops watching.
  void stop() { seconds_ = 0; }
  bool watching() const { return seconds_ > 0; }

  // Counts `count` body bytes read at `nowMicros`.
  void count(int64_t count, int64_t nowMicros);
  // Whether the body is too slow: the check at the last whole second (of
  // the time limits, limitSecondMicros) since
  // the start, once `seconds` have passed, found fewer than bytes * seconds
  // bytes over the seconds before it.
  bool stalled(int64_t nowMicros);
  // Microseconds from `nowMicros` to the next check; the body is checked
  // once a second after the first `seconds`.
  int64_t untilNextCheck(int64_t nowMicros) const;
  // "download stalled: under BYTES bytes/s for SECONDS s".
  std::string sentence() const;

 private:
  // The whole seconds since the start.
  int64_t secondOf(int64_t nowMicros) const;

  int32_t bytes_ = 0;
  int32_t seconds_ = 0;
  int64_t startMicros_ = 0;
  // A second, as the time limits count it (limitSecondMicros).
  int64_t secondMicros_ = 1000000;
  // Bytes per second since the start, for the seconds that brought any and
  // that a check may still look at, and their sum.
  std::deque<std::pair<int64_t, int64_t>> perSecond_;
  int64_t sum_ = 0;
};

// Waits on `link` as Link::waitReadable does within *limit (null: without
// bound), but while `check` watches, in slices that end at its checks:
// returns kWaitStalled when a check finds the body too slow.
int waitWatched(Link& link, timeval* limit, SpeedCheck& check);

#endif  // QUORVANE_HTTP_SPEED_CHECK_H_
