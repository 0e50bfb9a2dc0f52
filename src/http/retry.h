// Asking again after a failure: the policy that "@retry=" sets, the waits
// between attempts and their announcements, the server's "Retry-After", and
// the repetition of a request whose connect or answer failed in a way that
// may pass.
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

// Says on standard error that `what` happened and that retry `retry` of
// the policy's follows in `seconds` ("WHAT; retrying in 2 s (1 of 3)"),
// then waits that long as the policy counts seconds.
void announceAndWait(const std::string& what, int32_t seconds, int32_t retry,
                     const RetryPolicy& policy);

// The seconds a "Retry-After" value asks for, as of `now`: a number of
// seconds, or an HTTP date (a date already past asks for 0). -1 when the
// value is neither.
int64_t retryAfterSeconds(const char* value, time_t now);

// "@connect=": session.request(method), repeated as `policy` allows when
// the connection was refused or timed out before anything was sent (any
// method), when the answer was 429 or 503 (any method), or 500, 502 or 504
// (GET and HEAD). Each retry waits as retryWaitSeconds says, or as long as
// the answer's Retry-After when that is longer and at most
// kMaxRetryAfterSeconds; a longer one ends the retries, and the failure
// says what the server asked. Retries send the request of the first
// attempt again (address, method, request body); the address is printed
// once, by the first attempt that sends the request. Returns the last
// attempt's result.
Status requestWithRetries(HttpSession& session, const char* method, const RetryPolicy& policy);

#endif  // QUORVANE_HTTP_RETRY_H_
