// Fuzz target: the cookie jar under a fuzzed sequence of stores, header
// compositions and clears, checking its order, its uniqueness, its limit
// and that no cookie is ever set for or sent to a site outside its domain:
// a cookie set without a domain, or by an IP address, goes to exactly the
// host that set it, and an IP address matches no domain by its suffix.
//
// Input: one operation per line.
//   S<host>\t<Set-Cookie value>   storeCookie
//   H<host>\t<request path>       cookieHeader over a plain connection
//   T<host>\t<request path>       cookieHeader over TLS
//   C                             clearCookies
// A line without a tab uses its whole text as the value / path and an
// empty host.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "http/cookie_jar.h"

namespace {

// The domain rule, written out on its own: `domain` may be used for
// `host` when the two are equal, or `host` ends with `domain` and the
// match starts at a label ("." at the front of domain, or before it in
// host).
bool withinDomain(const std::string& domain, const std::string& host) {
  if (domain.empty() || domain.size() > host.size()) return false;
  if (host.compare(host.size() - domain.size(), domain.size(), domain) != 0) return false;
  if (domain.size() == host.size()) return true;
  return domain[0] == '.' || host[host.size() - domain.size() - 1] == '.';
}

bool isIpAddress(const std::string& host) {
  unsigned char parsed[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), parsed) == 1 ||
         inet_pton(AF_INET6, host.c_str(), parsed) == 1;
}

// Whether `cookie` may be sent to `host`: its own host only when it is
// host-only or the host is an address, else any host within its domain.
bool mayGoTo(const Cookie& cookie, const std::string& host) {
  if (cookie.hostOnly || isIpAddress(host)) return host == cookie.domain.data();
  return withinDomain(cookie.domain.data(), host);
}

bool hasText(const TextBuffer& buffer) {
  return buffer.data() != nullptr && buffer.data()[0] != '\0';
}

// True when a stored text holds a byte that would end a header line or
// change the terminal: below 32 other than tab, or 127.
bool holdsControlByte(const TextBuffer& buffer) {
  for (const char* p = buffer.data(); *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if ((c < 32 && c != '\t') || c == 127) return true;
  }
  return false;
}

void checkJar(const CookieJar& jar) {
  FUZZ_CHECK(jar.size() >= 0 && jar.size() <= CookieJar::kCapacity, "count out of range");
  for (int i = 0; i < jar.size(); ++i) {
    const Cookie* cookie = &jar.at(i);
    FUZZ_CHECK(hasText(cookie->domain) && hasText(cookie->path) && hasText(cookie->name) &&
                   hasText(cookie->pair),
               "cookie with an empty field");
    FUZZ_CHECK(!holdsControlByte(cookie->domain) && !holdsControlByte(cookie->path) &&
                   !holdsControlByte(cookie->pair),
               "cookie holding a control byte");
    if (i > 0) {
      FUZZ_CHECK(strcmp(jar.at(i - 1).path.data(), cookie->path.data()) <= 0,
                 "cookies not in path order");
    }
    for (int j = 0; j < i; ++j) {
      const Cookie* other = &jar.at(j);
      FUZZ_CHECK(strcmp(other->domain.data(), cookie->domain.data()) != 0 ||
                     strcmp(other->path.data(), cookie->path.data()) != 0 ||
                     strcmp(other->name.data(), cookie->name.data()) != 0,
                 "two cookies with the same domain, path and name");
    }
  }
}

void store(CookieJar& jar, const std::string& host, const std::string& value) {
  int before = jar.size();
  // Remember which cookies were there, to find the one added.
  std::vector<const Cookie*> previous;
  for (int i = 0; i < before; ++i) previous.push_back(&jar.at(i));
  jar.storeCookie(host.c_str(), value.c_str());
  FUZZ_CHECK(jar.size() == before || jar.size() == before + 1, "store added more than one");
  if (jar.size() == before + 1) {
    for (int i = 0; i < jar.size(); ++i) {
      bool old = false;
      for (int j = 0; j < before && !old; ++j) old = previous[j] == &jar.at(i);
      if (old) continue;
      // Without a domain attribute the domain is the host itself; with one,
      // the attribute (less one leading ".") must lie within the host.
      std::string domain = jar.at(i).domain.data();
      std::string bare = domain[0] == '.' ? domain.substr(1) : domain;
      FUZZ_CHECK(domain == host || withinDomain(bare, host),
                 "a host set a cookie for another site");
      // Without a domain attribute, or from an address, it is for the host
      // alone.
      if (value.find("domain=") == std::string::npos || isIpAddress(host)) {
        FUZZ_CHECK(jar.at(i).hostOnly && domain == host, "a cookie for the host alone is not");
      }
    }
  }
}

void compose(const CookieJar& jar, const std::string& host, const std::string& path, bool overTls) {
  TextBuffer composed = jar.cookieHeader(host.c_str(), path.c_str(), overTls);
  const char* header = composed.data();
  // The pairs of the cookies that may go to this host and path, in jar
  // order, with "; " between them; secure ones over TLS only.
  std::string expected;
  for (int i = 0; i < jar.size(); ++i) {
    const Cookie* cookie = &jar.at(i);
    if (cookie->secure && !overTls) continue;
    if (!mayGoTo(*cookie, host)) continue;
    if (path.compare(0, strlen(cookie->path.data()), cookie->path.data()) != 0) continue;
    if (!expected.empty()) expected += "; ";
    expected += cookie->pair.data();
  }
  if (header == nullptr) {
    FUZZ_CHECK(expected.empty(), "no header although cookies match");
    return;
  }
  FUZZ_CHECK(expected == header, "header value differs from the matching cookies");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CookieJar jar;
  std::string input = bytesOf(data, size);
  size_t at = 0;
  while (at < input.size()) {
    size_t lineEnd = input.find('\n', at);
    if (lineEnd == std::string::npos) lineEnd = input.size();
    std::string line = input.substr(at, lineEnd - at);
    at = lineEnd + 1;
    if (line.empty()) continue;
    // Texts reach the jar as C strings.
    std::string body = line.substr(1);
    body = body.substr(0, body.find('\0'));
    size_t tab = body.find('\t');
    std::string host = tab == std::string::npos ? "" : body.substr(0, tab);
    std::string text = tab == std::string::npos ? body : body.substr(tab + 1);
    switch (line[0]) {
      case 'S':
        store(jar, host, text);
        break;
      case 'H':
      case 'T':
        compose(jar, host, text, line[0] == 'T');
        break;
      case 'C':
        jar.clearCookies();
        FUZZ_CHECK(jar.size() == 0, "clear left cookies");
        break;
      default:
        break;
    }
  }
  checkJar(jar);
  return 0;
}
