// The script engine's construction (its configuration folder, its session
// and the retry policy's length of a second), the settings that the command
// line holds for the whole run, and the cookie file lines.
#include "script/script_engine.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "base/clock.h"
#include "http/cookie_file.h"
#include "script/keywords.h"
#include "script/settings.h"

namespace {

// The environment variable that shortens the waits between download
// attempts, for tests: how many milliseconds (0 to 1000) one second of a wait
// lasts. The announcements still name the seconds of the schedule.
const char kRetrySecondVariable[] = "QUORVANE_RETRY_SECOND_MS";
const long kMillisPerSecond = 1000;

// The same for the time limits (time-outs, connects, handshakes): how many
// milliseconds (1 to 1000) one second of a limit lasts. The failures still
// name the seconds set.
const char kLimitSecondVariable[] = "QUORVANE_LIMIT_SECOND_MS";

// The value of `variable` when it is a number from 0 to 1000, otherwise a
// real second.
int32_t secondMillis(const char* variable) {
  const char* text = getenv(variable);
  if (text == nullptr || text[0] < '0' || text[0] > '9') return kMillisPerSecond;
  char* end = nullptr;
  long millis = strtol(text, &end, 10);
  if (*end != '\0' || millis > kMillisPerSecond) return kMillisPerSecond;
  return static_cast<int32_t>(millis);
}

}  // namespace

ScriptEngine::ScriptEngine(Transport& transport, const char* configFolder) : session(transport) {
  if (configFolder != nullptr) configDir.assign(configFolder);
  retry.secondMillis = secondMillis(kRetrySecondVariable);
  setLimitSecondMillis(secondMillis(kLimitSecondVariable));
}

Status ScriptEngine::holdSetting(int code, const char* value) {
  held_.insert(code);
  return applyLine(code, value);
}

Status ScriptEngine::applyFileSetting(int code, const char* value) {
  if (held_.count(code) != 0) return Status();
  return applyLine(code, value);
}

Status ScriptEngine::applyLine(int code, const char* value) {
  if (code == kCookieFile || code == kCookieJar) return applyCookieFileLine(code, value);
  applySetting(session.settings(), retry, code, value);
  return Status();
}

Status ScriptEngine::applyCookieFileLine(int code, const char* value) {
  if (code == kCookieJar) {
    cookieJarPath.assign(value);
    return Status();
  }
  Status loaded = loadCookieFile(value, session.cookieJar(), static_cast<int64_t>(time(nullptr)));
  if (loaded.ok()) session.setCookieMode(1);
  return loaded;
}

Status ScriptEngine::saveCookieJar() const {
  if (!cookieJarPath.hasText()) return Status();
  return saveCookieFile(session.cookieJar(), cookieJarPath.data());
}
