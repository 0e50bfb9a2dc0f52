// The cookie jar: parsing of Set-Cookie values into stored cookies, the
// domain rule that decides which host may set and receive a cookie, and the
// composition of the "Cookie" request header.
#include "http/cookie_jar.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <cstring>
#include <utility>

#include "text/text_transforms.h"

namespace {

// Extracts the value of attribute `marker` (e.g. "path="): up to the next
// ";" or, failing that, to the end of the Set-Cookie value. Null when the
// attribute is absent or empty.
TextBuffer attributeValue(const char* value, const char* marker) {
  TextBuffer found = extractBetween(value, marker, ";", 0);
  if (found.data() == nullptr) found = extractBetween(value, marker, "", 0);
  return found;
}

// True when the value holds a byte below 32 other than tab, or 127.
bool holdsControlByte(const char* value) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(value); *p != 0; ++p) {
    if ((*p < 32 && *p != '\t') || *p == 127) return true;
  }
  return false;
}

// True when one of the attributes after the first ";" is "secure" in any
// letter case, blanks around it aside.
bool marksSecure(const char* value) {
  static const char kSecure[] = "secure";
  const size_t secureLength = sizeof kSecure - 1;
  for (const char* at = strchr(value, ';'); at != nullptr; at = strchr(at, ';')) {
    ++at;
    const char* end = strchr(at, ';');
    if (end == nullptr) end = at + strlen(at);
    const char* first = at;
    while (first < end && (*first == ' ' || *first == '\t')) ++first;
    const char* last = end;
    while (last > first && (last[-1] == ' ' || last[-1] == '\t')) --last;
    if (static_cast<size_t>(last - first) == secureLength &&
        strncasecmp(first, kSecure, secureLength) == 0) {
      return true;
    }
  }
  return false;
}

// True when `text` begins with `prefix`.
bool startsWith(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

// True when `host` is an IPv4 or IPv6 address rather than a name.
bool isIpAddress(const char* host) {
  in6_addr parsed;
  return inet_pton(AF_INET, host, &parsed) == 1 || inet_pton(AF_INET6, host, &parsed) == 1;
}

// True when `cookie` may be sent to `host`: the host that set a host-only
// cookie, or for an IP address the address itself; else a host the domain
// matches.
bool sendsTo(const Cookie& cookie, const char* host) {
  if (cookie.hostOnly || isIpAddress(host)) return strcmp(cookie.domain.data(), host) == 0;
  return domainMatches(cookie.domain.data(), host);
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

void CookieJar::clearCookies() {
  items_.clear();
}

void CookieJar::storeCookie(const char* host, const char* setCookieValue) {
  // A full jar takes nothing more, not even a replacement.
  if (size() >= kCapacity) return;
  if (setCookieValue != nullptr && holdsControlByte(setCookieValue)) return;
  // A host holding one would become the cookie's domain; addresses refuse
  // such hosts, and the jar does not rely on it.
  if (host != nullptr && holdsControlByte(host)) return;

  TextBuffer name(extractBetween(setCookieValue, "", "=", 0));
  if (name.data() == nullptr) return;

  TextBuffer pair(extractBetween(setCookieValue, "", ";", 0));
  if (pair.data() == nullptr) pair.assign(setCookieValue);

  TextBuffer path(attributeValue(setCookieValue, "path="));
  if (path.data() == nullptr) path.assign("/");

  // Without a host the cookie would have an empty domain; nothing could
  // ever match it.
  if (host == nullptr || host[0] == '\0') return;
  TextBuffer domain(attributeValue(setCookieValue, "domain="));
  bool hostOnly = domain.data() == nullptr || isIpAddress(host);
  if (domain.data() != nullptr) {
    // A site may set cookies for itself and for domains it lies in, never
    // for another site; an address lies in no domain but itself.
    const char* bare = domain.data()[0] == '.' ? domain.data() + 1 : domain.data();
    if (hostOnly ? strcmp(bare, host) != 0 : !domainMatches(bare, host)) return;
  }
  if (hostOnly) domain.assign(host);

  std::unique_ptr<Cookie> cookie(new Cookie);
  cookie->domain = std::move(domain);
  cookie->path = std::move(path);
  cookie->name = std::move(name);
  cookie->pair = std::move(pair);
  cookie->secure = marksSecure(setCookieValue);
  cookie->hostOnly = hostOnly;
  keepCookie(std::move(cookie));
}

void CookieJar::keepCookie(std::unique_ptr<Cookie> cookie) {
  // A full jar takes nothing more, not even a replacement.
  if (size() >= kCapacity) return;
  for (std::unique_ptr<Cookie>& stored : items_) {
    if (strcmp(stored->domain.data(), cookie->domain.data()) == 0 &&
        strcmp(stored->path.data(), cookie->path.data()) == 0 &&
        strcmp(stored->name.data(), cookie->name.data()) == 0) {
      // The cookie keeps its place.
      stored = std::move(cookie);
      return;
    }
  }
  // Before the first cookie whose path is not smaller: ascending by path,
  // newest first among equal paths.
  auto slot = items_.begin();
  while (slot != items_.end() && strcmp((*slot)->path.data(), cookie->path.data()) < 0) ++slot;
  items_.insert(slot, std::move(cookie));
}

TextBuffer CookieJar::cookieHeader(const char* host, const char* addressPath, bool overTls) const {
  TextBuffer result;
  if (host == nullptr || addressPath == nullptr) return result;
  for (const std::unique_ptr<Cookie>& cookie : items_) {
    if (cookie->secure && !overTls) continue;
    if (!sendsTo(*cookie, host)) continue;
    if (!startsWith(addressPath, cookie->path.data())) continue;
    if (result.hasText()) result.append("; ");
    result.append(cookie->pair.data());
  }
  return result;
}
