// Retries: the wait schedule, Retry-After, the one loop of attempts and
// the repetition of a request.
#include "http/retry.h"

#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "base/interrupt.h"
#include "base/messages.h"
#include "http/http_status.h"
#include "http/response_parser.h"
#include "http/session.h"
#include "http/transport.h"
#include "text/text_buffer.h"

namespace {

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

// "@connect=": the request that failed, sent again.
class ConnectStep : public RepeatableStep {
 public:
  explicit ConnectStep(HttpSession& session) : session_(session) {}

  bool mayRepeat(const Status& failed, RetryCause* cause) override {
    if (failed.ok() || failed.isFinal() || failed.code() != kCannotConnect) return false;
    int32_t status = session_.status();
    if (status == 0) {
      ConnectFailure::Kind kind = session_.lastConnectFailure();
      if (kind != ConnectFailure::kRefused && kind != ConnectFailure::kTimedOut) return false;
    } else {
      // Answers that say "not now" rather than "no", for any method, and
      // server errors that repeating a request without side effects may
      // pass.
      bool any = status == kStatusTooManyRequests || status == kStatusUnavailable;
      bool safe = status == kStatusServerError || status == kStatusBadGateway ||
                  status == kStatusGatewayTimeout;
      if (!any && !(safe && isSafeMethod(session_.lastMethod()))) return false;
      std::string value;
      const char* header = session_.responseHeader().data();
      if (header != nullptr && headerField(header, "Retry-After", false, &value)) {
        cause->askedSeconds = retryAfterSeconds(value.c_str(), time(nullptr));
      }
    }
    cause->what = failed.message();
    // An answered request printed its address; a refused one did not.
    const char* url = session_.url().data() != nullptr ? session_.url().data() : "";
    if (status != 0) printed_ = url;
    return true;
  }

  Status again(int32_t) override {
    const std::string method = session_.lastMethod();
    const char* url = session_.url().data() != nullptr ? session_.url().data() : "";
    return session_.requestAgain(method.c_str(), printed_ != url);
  }

 private:
  HttpSession& session_;
  // The address the last answered attempt printed.
  std::string printed_;
};

}  // namespace

int32_t retryWaitSeconds(int32_t retry) {
  int32_t seconds = 1;
  for (int32_t i = 1; i < retry && seconds < kMaxRetryWaitSeconds; ++i) seconds *= 2;
  return seconds < kMaxRetryWaitSeconds ? seconds : kMaxRetryWaitSeconds;
}

Status repeatWhileFailing(Status first, RepeatableStep& step, const RetryPolicy& policy) {
  Status result = std::move(first);
  for (int32_t retry = 1; retry <= policy.retries; ++retry) {
    RetryCause cause;
    if (!step.mayRepeat(result, &cause)) break;
    if (cause.askedSeconds > kMaxRetryAfterSeconds) {
      return Status(result.code(),
                    result.message() + formatText("; it asks to retry after %lld s",
                                                  static_cast<long long>(cause.askedSeconds)));
    }
    int32_t seconds = retryWaitSeconds(retry);
    if (cause.askedSeconds > seconds) seconds = static_cast<int32_t>(cause.askedSeconds);
    reportNotice(formatText("%s; retrying in %d s (%d of %d)", cause.what.c_str(),
                            static_cast<int>(seconds), static_cast<int>(retry),
                            static_cast<int>(policy.retries)));
    {
      // A wait between attempts is no download: an interrupt ends the run.
      SignalsAsBefore asBefore;
      waitSeconds(seconds, policy.secondMillis);
    }
    result = step.again(retry);
  }
  return result;
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
  ConnectStep step(session);
  return repeatWhileFailing(session.request(method), step, policy);
}
