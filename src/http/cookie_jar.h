// CookieJar: the cookies servers set during one run, and the value of the
// "Cookie" request header built from them.
#ifndef QUORVANE_HTTP_COOKIE_JAR_H_
#define QUORVANE_HTTP_COOKIE_JAR_H_

#include <cstdint>

#include "text/text_buffer.h"

struct Cookie {
  TextBuffer domain;  // host suffix the cookie is sent to; never empty
  TextBuffer path;    // request path prefix; "/" by default
  TextBuffer name;    // text before the first "=" of the Set-Cookie value
  TextBuffer pair;    // what is sent back: the value up to its first ";"
};

class CookieJar {
 public:
  // A jar never holds more than this many cookies; further values are
  // dropped until it is cleared, so a hostile server cannot grow it.
  static const int kCapacity = 256;

  CookieJar() = default;
  virtual ~CookieJar();
  CookieJar(const CookieJar&) = delete;
  CookieJar& operator=(const CookieJar&) = delete;

  // Destroys every stored cookie.
  void clearCookies();
  // Stores one Set-Cookie header value received from `host`. Values without a
  // usable name, values for a domain that `host` may not set, and values
  // arriving at a full jar are dropped silently.
  void storeCookie(const char* host, const char* setCookieValue);
  // The "Cookie" header value for a request to `host` with `requestPath`, as
  // a new[] string the caller owns; null when no cookie matches.
  char* cookieHeader(const char* host, const char* requestPath) const;

  // Ordered by path (strcmp), newest first among equal paths.
  Cookie* items[kCapacity] = {};
  int32_t count = 0;
};

// True when a cookie for `domain` may be sent to `host`: equal, or `host`
// ends with `domain` at a label boundary (domain starting with "." or the
// host's character before it being ".").
bool domainMatches(const char* domain, const char* host);

#endif  // QUORVANE_HTTP_COOKIE_JAR_H_
