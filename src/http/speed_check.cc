// The watch over a slow body and the waits it bounds.
#include "http/speed_check.h"

#include <algorithm>

#include "base/clock.h"
#include "base/status.h"

const char kDownloadStalled[] = "download stalled";

namespace {

const int64_t kMicrosPerSecond = 1000000;

int64_t microsOf(const timeval& time) {
  return static_cast<int64_t>(time.tv_sec) * kMicrosPerSecond + time.tv_usec;
}

timeval timevalOf(int64_t micros) {
  timeval time;
  time.tv_sec = static_cast<time_t>(micros / kMicrosPerSecond);
  time.tv_usec = static_cast<suseconds_t>(micros % kMicrosPerSecond);
  return time;
}

}  // namespace

void SpeedCheck::start(int32_t bytes, int32_t seconds, int64_t nowMicros) {
  bytes_ = bytes;
  seconds_ = bytes > 0 && seconds > 0 ? seconds : 0;
  startMicros_ = nowMicros;
  secondMicros_ = limitSecondMicros();
  perSecond_.clear();
  sum_ = 0;
}

int64_t SpeedCheck::secondOf(int64_t nowMicros) const {
  return std::max<int64_t>(0, (nowMicros - startMicros_) / secondMicros_);
}

void SpeedCheck::count(int64_t count, int64_t nowMicros) {
  if (!watching() || count <= 0) return;
  int64_t second = secondOf(nowMicros);
  if (!perSecond_.empty() && perSecond_.back().first == second) {
    perSecond_.back().second += count;
  } else {
    perSecond_.emplace_back(second, count);
  }
  sum_ += count;
}

bool SpeedCheck::stalled(int64_t nowMicros) {
  if (!watching()) return false;
  int64_t check = secondOf(nowMicros);
  if (check < seconds_) return false;
  // The check looks at the seconds check - seconds_ to check - 1.
  while (!perSecond_.empty() && perSecond_.front().first < check - seconds_) {
    sum_ -= perSecond_.front().second;
    perSecond_.pop_front();
  }
  int64_t window = sum_;
  if (!perSecond_.empty() && perSecond_.back().first >= check) window -= perSecond_.back().second;
  return window < static_cast<int64_t>(bytes_) * seconds_;
}

int64_t SpeedCheck::untilNextCheck(int64_t nowMicros) const {
  int64_t next = std::max<int64_t>(seconds_, secondOf(nowMicros) + 1);
  return startMicros_ + next * secondMicros_ - nowMicros;
}

std::string SpeedCheck::sentence() const {
  return formatText("%s: under %d bytes/s for %d s", kDownloadStalled, static_cast<int>(bytes_),
                    static_cast<int>(seconds_));
}

int waitWatched(Link& link, timeval* limit, SpeedCheck& check) {
  for (;;) {
    if (!check.watching()) return link.waitReadable(limit);
    int64_t now = monotonicMicros();
    if (check.stalled(now)) return kWaitStalled;
    int64_t slice = check.untilNextCheck(now);
    if (limit != nullptr && microsOf(*limit) <= slice) return link.waitReadable(limit);
    timeval part = timevalOf(slice);
    int waited = link.waitReadable(&part);
    if (limit != nullptr) *limit = timevalOf(microsOf(*limit) - (slice - microsOf(part)));
    if (waited != 0) return waited;
  }
}
