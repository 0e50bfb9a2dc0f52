// The fixed keyword table and classifyLine.
#include "script/keywords.h"

#include <cstring>

// The bound comes from the entries, so that a keyword added to the enum but
// not here (or the other way round) stops the build below.
// clang-format off
const char kKeywords[][kKeywordField] = {
    "#=",       "@timeout=",     "@port=",      "@useragent=", "@proxy=",       "@user=",
    "@pass=",   "@plugin=",      "@httpinit:",  "@analysis=",  "@analysis end", "@startcode",
    "@<-read:", "@<-read=",      "@->host:",    "@->body:",    "@->header=",    "@<-host:",
    "@<-body:", "@<-header=",    "@urldecode:", "@urlencode:", "@connect=",     "@keepconnect:",
    "@sum=",    "@cookieclear:", "@cookieon:",  "@cookieoff:", "@buffering:",   "@push=",
    "@pop=",    "@replace=",     "@->log=",     "@->file:",    "@exit:",        "@tlsverify=",
    "@retry=",  "@resume=",      "@lowspeed=",  "@cookiefile=", "@cookiejar=",  "@auth=",
    "@jsonunescape:", "@htmlunescape:", "@<-json=",       "@split=",
};
// clang-format on
static_assert(sizeof kKeywords / sizeof kKeywords[0] == kKeywordCount,
              "one table entry per keyword code");

int classifyLine(char* line, char** value, char** secondValue) {
  if (line == nullptr) return kNoKeyword;
  size_t n = strcspn(line, "\r\n");
  if (n != 0) line[n] = '\0';

  char* equals = strchr(line, '=');
  *value = equals ? equals + 1 : nullptr;

  if (secondValue != nullptr) {
    char* separator = strstr(line, "@=>");
    if (separator == nullptr) {
      *secondValue = nullptr;
    } else {
      *separator = '\0';
      *secondValue = separator + 3;
    }
  }

  for (int i = 0; i < kKeywordCount; ++i) {
    // An empty entry is a code not yet in use.
    if (kKeywords[i][0] == '\0') continue;
    if (strncmp(line, kKeywords[i], strlen(kKeywords[i])) == 0) return i + 1;
  }
  return kNoKeyword;
}
