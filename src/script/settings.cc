// Settings lines shared by the registry and plugin scripts.
#include "script/settings.h"

#include <climits>
#include <cstdlib>

#include "http/session.h"
#include "script/keywords.h"

int32_t settingNumber(const char* text) {
  long number = strtol(text, nullptr, 10);
  if (number > INT32_MAX) return INT32_MAX;
  if (number < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(number);
}

bool isSetting(int code) {
  return (code >= kTimeout && code <= kPass) || code == kTlsVerify || code == kRetry ||
         code == kResume;
}

bool applySetting(HttpSession& session, int code, const char* value) {
  switch (code) {
    case kTimeout:
      session.timeoutSeconds = settingNumber(value);
      return true;
    case kPort:
      session.port = settingNumber(value);
      return true;
    case kTlsVerify:
      session.tlsVerify = settingNumber(value) != 0;
      return true;
    case kRetry:
      session.retries = settingNumber(value);
      return true;
    case kResume:
      session.resumeParts = settingNumber(value) != 0;
      return true;
    case kUserAgent:
    case kProxy:
    case kUser:
    case kPass:
      session.settings[code].assign(value);
      return true;
    default:
      return false;
  }
}
