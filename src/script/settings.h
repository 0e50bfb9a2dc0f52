// Session settings that the registry and plugin scripts both set: the
// time-out, the port, the certificate check, the download retries and
// parts, authentication, and the four text settings. The keyword codes end
// here: the session has named settings.
#ifndef QUORVANE_SCRIPT_SETTINGS_H_
#define QUORVANE_SCRIPT_SETTINGS_H_

#include <cstdint>
#include <string>

struct RetryPolicy;
struct SessionSettings;

// A decimal value as strtol reads it in base 10 (leading blanks and a sign
// allowed, no digits gives 0), held to the signed 32-bit range.
int32_t settingNumber(const char* text);

// Applies a "@timeout=", "@port=", "@tlsverify=", "@retry=", "@resume=",
// "@lowspeed=", "@split=", "@useragent=", "@proxy=", "@user=", "@pass=" or
// "@auth=" line to the session's `settings` or, for "@retry=", "@resume="
// and "@split=", to `retry` ("@tlsverify=0" turns the certificate check
// off, any other value on; "@lowspeed=" takes two numbers above 0 separated
// by ",", and any other value leaves it as it was; "@proxy=" with an empty
// value turns every proxy off, the environment's too; "@auth=basic", in any
// letter case, turns Basic authentication on, any other value off;
// "@split=" counts 1 below 1 and kMaxSplitConnections above it). Returns
// false,
// changing nothing, for any other keyword code. REQUIRES: value != nullptr.
bool applySetting(SessionSettings& settings, RetryPolicy& retry, int code, const char* value);
// Whether `code` is one of the keywords applySetting applies.
bool isSetting(int code);

// Reads `line` as a setting line that tovel.ini may hold: one line (no CR
// or LF) that begins with a keyword applySetting applies, or with
// "@cookiefile=" or "@cookiejar=" ("@plugin=" is none), and has a value. Sets *code and *value (the
// text after the first
// "=") and returns true; returns false, changing nothing, otherwise.
bool readSettingLine(const std::string& line, int* code, std::string* value);

#endif  // QUORVANE_SCRIPT_SETTINGS_H_
