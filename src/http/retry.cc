// Retries: the wait schedule, Retry-After and the repetition of a request.
#include "http/retry.h"

#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "http/response_parser.h"
#include "http/session.h"
#include "http/transport.h"
#include "text/text_buffer.h"

namespace {

// Answers that say "not now" rather than "no", for any method.
const int kStatusTooManyRequests = 429;
const int kStatusUnavailable = 503;
// Server errors that repeating a request without side effects may pass.
const int kStatusServerError = 500;
const int kStatusBadGateway = 502;
const int kStatusGatewayTimeout = 504;

// The forms of an HTTP date: the usual one, and the two obsolete ones that
// servers must still be understood in.
const char* const kHttpDateFormats[] = {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT",
                                        "%a %b %e %H:%M:%S %Y"};

// Sleeps `seconds`, each lasting `secondMillis` milliseconds.
void waitSeconds(int64_t seconds, int32_t secondMillis) {
  int64_t millis = seconds * secondMillis;
  if (millis <= 0) return;
  timespec pause = {static_cast<time_t>(millis / 1000),
                    static_cast<long>(millis % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

bool isSafeMethod(const char* method) {
  return strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0;
}

// Whether the failed `result` of a request sent with `method` may pass when
// asked again; *asked is the Retry-After of the answer in seconds (-1:
// none).
bool mayRepeat(HttpSession& session, const Status& result, const char* method, int64_t* asked) {
  *asked = -1;
  if (result.ok() || result.isFinal() || result.code() != kCannotConnect) return false;
  int32_t status = session.status();
  if (status == 0) {
    ConnectFailure::Kind kind = session.lastConnectFailure();
    return kind == ConnectFailure::kRefused || kind == ConnectFailure::kTimedOut;
  }
  bool any = status == kStatusTooManyRequests || status == kStatusUnavailable;
  bool safe = status == kStatusServerError || status == kStatusBadGateway ||
              status == kStatusGatewayTimeout;
  if (!any && !(safe && isSafeMethod(method))) return false;
  std::string value;
  const char* header = session.responseHeader().data();
  if (header != nullptr && headerField(header, "Retry-After", false, &value)) {
    *asked = retryAfterSeconds(value.c_str(), time(nullptr));
  }
  return true;
}

}  // namespace

int32_t retryWaitSeconds(int32_t retry) {
  int32_t seconds = 1;
  for (int32_t i = 1; i < retry && seconds < kMaxRetryWaitSeconds; ++i) seconds *= 2;
  return seconds < kMaxRetryWaitSeconds ? seconds : kMaxRetryWaitSeconds;
}

void announceAndWait(const std::string& what, int32_t seconds, int32_t retry,
                     const RetryPolicy& policy) {
  reportNotice(formatText("%s; retrying in %d s (%d of %d)", what.c_str(),
                          static_cast<int>(seconds), static_cast<int>(retry),
                          static_cast<int>(policy.retries)));
  waitSeconds(seconds, policy.secondMillis);
}

int64_t retryAfterSeconds(const char* value, time_t now) {
  while (*value == ' ' || *value == '\t') ++value;
  if (*value >= '0' && *value <= '9') {
    char* end = nullptr;
    errno = 0;
    long long seconds = strtoll(value, &end, 10);
    while (*end == ' ' || *end == '\t') ++end;
    if (*end != '\0') return -1;
    return errno == ERANGE ? INT64_MAX : seconds;
  }
  for (const char* format : kHttpDateFormats) {
    tm date;
    memset(&date, 0, sizeof date);
    const char* end = strptime(value, format, &date);
    if (end == nullptr) continue;
    while (*end == ' ' || *end == '\t') ++end;
    if (*end != '\0') continue;
    time_t when = timegm(&date);
    if (when == static_cast<time_t>(-1)) return -1;
    return when > now ? static_cast<int64_t>(when - now) : 0;
  }
  return -1;
}

Status requestWithRetries(HttpSession& session, const char* method, const RetryPolicy& policy) {
  // What the first attempt sends, for the repetitions (kept only when
  // there may be some: the body may be a large page).
  TextBuffer address;
  TextBuffer requestBody;
  if (policy.retries > 0) {
    address.assign(session.url().data());
    requestBody.assign(session.body().data());
  }
  Status result = session.request(method);
  // Whether an attempt got as far as sending the request, which prints the
  // address.
  bool printed = false;
  for (int32_t retry = 1; retry <= policy.retries; ++retry) {
    // A redirect that was followed sent GET to another address.
    bool redirected = address.hasText() && session.url().hasText() &&
                      strcmp(address.data(), session.url().data()) != 0;
    int64_t asked = -1;
    if (!mayRepeat(session, result, redirected ? "GET" : method, &asked)) break;
    // An attempt that got an answer printed the address; until one has, the
    // next attempt prints it.
    printed = printed || redirected || session.status() != 0;
    if (asked > kMaxRetryAfterSeconds) {
      return Status(result.code(), result.message() + formatText("; it asks to retry after %lld s",
                                                                 static_cast<long long>(asked)));
    }
    int32_t seconds = retryWaitSeconds(retry);
    if (asked > seconds) seconds = static_cast<int32_t>(asked);
    announceAndWait(result.message(), seconds, retry, policy);
    if (redirected) session.setTarget(address.data());
    session.setRequestBody(requestBody.data());
    result = session.requestAgain(method, !printed);
  }
  return result;
}
