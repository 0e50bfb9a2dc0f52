// Settings lines shared by the registry and plugin scripts.
#include "script/settings.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "http/session.h"
#include "http/split_download.h"
#include "script/download.h"
#include "script/keywords.h"

int32_t settingNumber(const char* text) {
  long number = strtol(text, nullptr, 10);
  if (number > INT32_MAX) return INT32_MAX;
  if (number < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(number);
}

namespace {

// Whether a "@tlsverify=" value asks for no check: exactly "0", blanks around
// it aside. A word, "00" or nothing keeps the check, so that no slip of the
// pen turns it off.
bool turnsCheckOff(const char* value) {
  const char* blanks = " \t";
  value += strspn(value, blanks);
  if (*value != '0') return false;
  ++value;
  return value[strspn(value, blanks)] == '\0';
}

// Reads "BYTES,SECONDS" (blanks around each number allowed), both numbers
// above 0 and within 32 bits; false for anything else.
bool readLowSpeed(const char* value, int32_t* bytes, int32_t* seconds) {
  long numbers[2] = {0, 0};
  const char* at = value;
  for (int i = 0; i < 2; ++i) {
    at += strspn(at, " \t");
    if (*at < '0' || *at > '9') return false;
    char* end = nullptr;
    errno = 0;
    numbers[i] = strtol(at, &end, 10);
    if (errno != 0 || numbers[i] <= 0 || numbers[i] > INT32_MAX) return false;
    at = end + strspn(end, " \t");
    if (*at != (i == 0 ? ',' : '\0')) return false;
    ++at;
  }
  *bytes = static_cast<int32_t>(numbers[0]);
  *seconds = static_cast<int32_t>(numbers[1]);
  return true;
}

// Whether an "@auth=" value asks for Basic authentication: "basic" in any
// letter case, blanks around it aside.
bool asksForBasic(const char* value) {
  const char* blanks = " \t";
  const char kBasic[] = "basic";
  const size_t length = sizeof kBasic - 1;
  value += strspn(value, blanks);
  if (strncasecmp(value, kBasic, length) != 0) return false;
  value += length;
  return value[strspn(value, blanks)] == '\0';
}

}  // namespace

bool isSetting(int code) {
  return (code >= kTimeout && code <= kPass) || code == kTlsVerify || code == kRetry ||
         code == kResume || code == kLowSpeed || code == kAuth || code == kSplit;
}

bool applySetting(SessionSettings& settings, RetryPolicy& retry, int code, const char* value) {
  switch (code) {
    case kTimeout:
      settings.timeoutSeconds = settingNumber(value);
      return true;
    case kPort:
      settings.port = settingNumber(value);
      return true;
    case kTlsVerify:
      settings.tlsVerify = !turnsCheckOff(value);
      return true;
    case kRetry:
      retry.retries = settingNumber(value);
      return true;
    case kResume:
      retry.resume = settingNumber(value) != 0;
      return true;
    case kLowSpeed:
      readLowSpeed(value, &settings.lowSpeedBytes, &settings.lowSpeedSeconds);
      return true;
    case kSplit:
      retry.split = std::min(std::max(settingNumber(value), 1), kMaxSplitConnections);
      return true;
    case kUserAgent:
      settings.userAgent.assign(value);
      return true;
    case kProxy:
      // An empty value is kept as one (with storage): it turns every proxy
      // off, where no line leaves the environment's.
      settings.proxy.reserve(1);
      settings.proxy.assign(value);
      return true;
    case kUser:
      settings.user.assign(value);
      return true;
    case kPass:
      settings.password.assign(value);
      return true;
    case kAuth:
      settings.basicAuth = asksForBasic(value);
      return true;
    default:
      return false;
  }
}

bool readSettingLine(const std::string& line, int* code, std::string* value) {
  if (line.find_first_of("\r\n") != std::string::npos) return false;
  std::string copy = line;
  char* found = nullptr;
  int keyword = classifyLine(&copy[0], &found, nullptr);
  bool cookieFile = keyword == kCookieFile || keyword == kCookieJar;
  if (found == nullptr || !(isSetting(keyword) || cookieFile)) return false;
  *code = keyword;
  value->assign(found);
  return true;
}
