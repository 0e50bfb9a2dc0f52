// CookieJar: the cookies servers set during one run, and the value of the
// "Cookie" request header built from them.
#ifndef QUORVANE_HTTP_COOKIE_JAR_H_
#define QUORVANE_HTTP_COOKIE_JAR_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "text/text_buffer.h"

struct Cookie {
  TextBuffer domain;    // host, or host suffix, the cookie is sent to; never empty
  TextBuffer path;      // request path prefix; "/" by default
  TextBuffer name;      // text before the first "=" of the Set-Cookie value
  TextBuffer pair;      // what is sent back: the value up to its first ";"
  bool secure = false;  // sent over TLS connections only
  // Set without "domain=", or by an IP address: sent to exactly the host
  // that set it, never to its subdomains.
  bool hostOnly = false;
  // Seconds since 1970 when a cookie file gave one; 0: a cookie for the
  // session. Kept and written back, never matched on.
  int64_t expires = 0;
};

class CookieJar {
 public:
  // A jar never holds more than this many cookies; further values are
  // dropped until it is cleared, so a hostile server cannot grow it.
  static const int kCapacity = 256;

  CookieJar() = default;
  CookieJar(const CookieJar&) = delete;
  CookieJar& operator=(const CookieJar&) = delete;

  // Destroys every stored cookie.
  void clearCookies();
  // Stores one Set-Cookie header value received from `host` (the host name
  // or IP address, without port and brackets). Values without a usable
  // name, values holding a control byte (below 32 other than tab, or 127:
  // they would become request syntax when sent back), values for a domain
  // that `host` may not set (for an IP address, any domain but the address
  // itself), and values arriving at a full jar are dropped silently. A value
  // without "domain=" is for `host` alone. The attribute "secure" (any
  // letter case) marks a cookie for TLS connections only.
  void storeCookie(const char* host, const char* setCookieValue);
  // The "Cookie" header value for a request to `host` (as storeCookie takes
  // it; an IP address matches no domain by its suffix) whose address has the
  // path `addressPath` (never the absolute target a proxy is sent), over TLS
  // or not; a buffer without storage when no cookie matches.
  TextBuffer cookieHeader(const char* host, const char* addressPath, bool overTls) const;
  // Stores `cookie` as it is (a cookie read from a file): it replaces the
  // stored cookie of the same domain, path and name, and a full jar drops
  // it. REQUIRES: domain, path, name and pair have text.
  void keepCookie(std::unique_ptr<Cookie> cookie);

  // The stored cookies, ordered by path (strcmp), newest first among equal
  // paths. REQUIRES: 0 <= index < size().
  int32_t size() const { return static_cast<int32_t>(items_.size()); }
  const Cookie& at(int32_t index) const { return *items_[static_cast<size_t>(index)]; }

 private:
  std::vector<std::unique_ptr<Cookie>> items_;
};

// True when a cookie for `domain` may be sent to `host`: equal, or `host`
// ends with `domain` at a label boundary (domain starting with "." or the
// host's character before it being ".").
bool domainMatches(const char* domain, const char* host);

#endif  // QUORVANE_HTTP_COOKIE_JAR_H_
