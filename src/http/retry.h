// Asking again after a failure: the policy that "@retry=" sets, and the
// one loop that repeats the request of a step that failed ("@connect=",
// "@buffering:", "@->file:"), with the waits between attempts, their
// announcements and the server's "Retry-After"; and the repetition of a
// request whose connect or answer failed in a way that may pass.
#ifndef QUORVANE_HTTP_RETRY_H_
#define QUORVANE_HTTP_RETRY_H_

#include <time.h>

#include <cstdint>
#include <string>

#include "base/status.h"

class HttpSession;

// How a step that failed is repeated.
struct RetryPolicy {
  // "@retry=": how many times a step repeats its request after the first
  // attempt (0 or less: never).
  int32_t retries = 0;
  // How long one second of the waits between attempts lasts, in
  // milliseconds; tests shorten it.
  int32_t secondMillis = 1000;
  // "@resume=": whether "@->file:" writes into a part file that a later
  // run continues, instead of into the output file itself.
  bool resume = false;
  // "@split=": how many connections at most "@->file:" fetches one body
  // over at once (1: one, as a plain download).
  int32_t split = 1;
};

// The waits between attempts double from one second up to this: a network
// that stays away for minutes costs an attempt every half minute, not a
// pause that grows without end.
const int32_t kMaxRetryWaitSeconds = 30;
// A server's "Retry-After" is waited for up to this long; one that asks
// for more ends the retries, since a run should not sit silent for longer.
const int32_t kMaxRetryAfterSeconds = 60;

// The wait before retry number `retry` (from 1): 1, 2, 4 ... seconds, at
// most kMaxRetryWaitSeconds.
int32_t retryWaitSeconds(int32_t retry);

// What a step says of a failed attempt that may pass when asked again.
struct RetryCause {
  // What the announcement says happened ("download interrupted at 10
  // bytes (download incomplete)").
  std::string what;
  // The seconds the server's "Retry-After" asked for; -1: none.
  int64_t askedSeconds = -1;
};

// A step whose request may be repeated after a failure.
class RepeatableStep {
 public:
  virtual ~RepeatableStep() = default;
  // Whether the attempt that ended with `failed` may pass when asked
  // again; if so, *cause says why and what the server asked.
  virtual bool mayRepeat(const Status& failed, RetryCause* cause) = 0;
  // Attempt number `retry` + 1, after the wait.
  virtual Status again(int32_t retry) = 0;
};

// The retries of `step`, whose first attempt ended with `first`: while
// retries are left and the step says the failure may pass, it is
// announced on standard error ("WHAT; retrying in 2 s (1 of 3)"), waited
// for (retryWaitSeconds, or the server's Retry-After when that is longer;
// one longer than kMaxRetryAfterSeconds ends the retries, the failure then
// saying "; it asks to retry after N s"), and the step asked again. Returns
// the result of the last attempt.
Status repeatWhileFailing(Status first, RepeatableStep& step, const RetryPolicy& policy);

// The seconds a "Retry-After" value asks for, as of `now`: a number of
// seconds, or an HTTP date (a date already past asks for 0). -1 when the
// value is neither.
int64_t retryAfterSeconds(const char* value, time_t now);

// "@connect=": session.request(method), repeated through
// repeatWhileFailing when the connection was refused or timed out before
// anything was sent (any method), or when the answer was 429 or 503 (any
// method), or 500, 502 or 504 (GET and HEAD). A retry sends again the
// request that failed (after a redirect: the redirect's GET to its
// address), never one that was answered; an address is printed once, by
// the first attempt that sends its request. Returns the last attempt's
// result.
Status requestWithRetries(HttpSession& session, const char* method, const RetryPolicy& policy);

#endif  // QUORVANE_HTTP_RETRY_H_
