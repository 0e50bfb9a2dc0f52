// The cookie jar: parsing of Set-Cookie values into stored cookies, the
// domain rule that decides which host may set and receive a cookie, and the
// composition of the "Cookie" request header.
#include "http/cookie_jar.h"

#include <cstring>

#include "text/text_transforms.h"

namespace {

// Extracts the value of attribute `marker` (e.g. "path="): up to the next
// ";" or, failing that, to the end of the Set-Cookie value. Null when the
// attribute is absent or empty.
char* attributeValue(const char* value, const char* marker) {
  char* found = extractBetween(value, marker, ";", 0);
  if (found == nullptr) found = extractBetween(value, marker, "", 0);
  return found;
}

// True when `text` begins with `prefix`.
bool startsWith(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

}  // namespace

bool domainMatches(const char* domain, const char* host) {
  if (domain == nullptr || host == nullptr || domain[0] == '\0') return false;
  size_t domainLength = strlen(domain);
  size_t hostLength = strlen(host);
  if (domainLength > hostLength) return false;
  const char* tail = host + (hostLength - domainLength);
  if (strcmp(tail, domain) != 0) return false;
  if (tail == host) return true;  // equal texts
  return domain[0] == '.' || tail[-1] == '.';
}

// Definition for uses that bind the limit by reference.
const int CookieJar::kCapacity;

CookieJar::~CookieJar() {
  clearCookies();
}

void CookieJar::clearCookies() {
  for (int i = 0; i < count; ++i) {
    delete items[i];
    items[i] = nullptr;
  }
  count = 0;
}

void CookieJar::storeCookie(const char* host, const char* setCookieValue) {
  // A full jar takes nothing more, not even a replacement.
  if (count >= kCapacity) return;

  TextBuffer name(extractBetween(setCookieValue, "", "=", 0));
  if (name.data == nullptr) return;

  TextBuffer pair(extractBetween(setCookieValue, "", ";", 0));
  if (pair.data == nullptr) pair.assign(setCookieValue);

  TextBuffer path(attributeValue(setCookieValue, "path="));
  if (path.data == nullptr) path.assign("/");

  TextBuffer domain(attributeValue(setCookieValue, "domain="));
  if (domain.data != nullptr) {
    // A site may set cookies for itself and for domains it lies in, never
    // for another site.
    const char* bare = domain.data[0] == '.' ? domain.data + 1 : domain.data;
    if (!domainMatches(bare, host)) return;
  } else {
    // Without a host the cookie would have an empty domain; nothing could
    // ever match it.
    if (host == nullptr || host[0] == '\0') return;
    domain.assign(host);
  }

  for (int i = 0; i < count; ++i) {
    Cookie* stored = items[i];
    if (strcmp(stored->domain.data, domain.data) == 0 &&
        strcmp(stored->path.data, path.data) == 0 && strcmp(stored->name.data, name.data) == 0) {
      stored->pair.adopt(pair.release());
      return;
    }
  }

  Cookie* cookie = new Cookie;
  cookie->domain.adopt(domain.release());
  cookie->path.adopt(path.release());
  cookie->name.adopt(name.release());
  cookie->pair.adopt(pair.release());

  // Before the first cookie whose path is not smaller: ascending by path,
  // newest first among equal paths.
  int slot = 0;
  while (slot < count && strcmp(items[slot]->path.data, cookie->path.data) < 0) ++slot;
  memmove(&items[slot + 1], &items[slot], sizeof(items[0]) * static_cast<size_t>(count - slot));
  items[slot] = cookie;
  ++count;
}

char* CookieJar::cookieHeader(const char* host, const char* requestPath) const {
  if (host == nullptr || requestPath == nullptr) return nullptr;
  TextBuffer result;
  for (int i = 0; i < count; ++i) {
    const Cookie* cookie = items[i];
    if (!domainMatches(cookie->domain.data, host)) continue;
    if (!startsWith(requestPath, cookie->path.data)) continue;
    if (result.hasText()) result.append("; ");
    result.append(cookie->pair.data);
  }
  return result.release();
}
