// Fuzz target: the cookie jar under a fuzzed sequence of stores, header
// compositions and clears, checking its order, its uniqueness, its limit
// and that no cookie is ever set for or sent to a site outside its domain.
//
// Input: one operation per line.
//   S<host>\t<Set-Cookie value>   storeCookie
//   H<host>\t<request path>       cookieHeader
//   C                             clearCookies
// A line without a tab uses its whole text as the value / path and an
// empty host.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

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

bool hasText(const TextBuffer& buffer) {
  return buffer.data != nullptr && buffer.data[0] != '\0';
}

void checkJar(const CookieJar& jar) {
  FUZZ_CHECK(jar.count >= 0 && jar.count <= CookieJar::kCapacity, "count out of range");
  for (int i = 0; i < jar.count; ++i) {
    const Cookie* cookie = jar.items[i];
    FUZZ_CHECK(cookie != nullptr, "hole in the jar");
    FUZZ_CHECK(hasText(cookie->domain) && hasText(cookie->path) && hasText(cookie->name) &&
                   hasText(cookie->pair),
               "cookie with an empty field");
    if (i > 0) {
      FUZZ_CHECK(strcmp(jar.items[i - 1]->path.data, cookie->path.data) <= 0,
                 "cookies not in path order");
    }
    for (int j = 0; j < i; ++j) {
      const Cookie* other = jar.items[j];
      FUZZ_CHECK(strcmp(other->domain.data, cookie->domain.data) != 0 ||
                     strcmp(other->path.data, cookie->path.data) != 0 ||
                     strcmp(other->name.data, cookie->name.data) != 0,
                 "two cookies with the same domain, path and name");
    }
  }
}

void store(CookieJar& jar, const std::string& host, const std::string& value) {
  int before = jar.count;
  // Remember which cookies were there, to find the one added.
  Cookie* previous[CookieJar::kCapacity];
  memcpy(previous, jar.items, sizeof previous);
  jar.storeCookie(host.c_str(), value.c_str());
  FUZZ_CHECK(jar.count == before || jar.count == before + 1, "store added more than one");
  if (jar.count == before + 1) {
    for (int i = 0; i < jar.count; ++i) {
      bool old = false;
      for (int j = 0; j < before && !old; ++j) old = previous[j] == jar.items[i];
      if (old) continue;
      // Without a domain attribute the domain is the host itself; with one,
      // the attribute (less one leading ".") must lie within the host.
      std::string domain = jar.items[i]->domain.data;
      std::string bare = domain[0] == '.' ? domain.substr(1) : domain;
      FUZZ_CHECK(domain == host || withinDomain(bare, host),
                 "a host set a cookie for another site");
    }
  }
}

void compose(const CookieJar& jar, const std::string& host, const std::string& path) {
  char* header = jar.cookieHeader(host.c_str(), path.c_str());
  // The pairs of the cookies that may go to this host and path, in jar
  // order, with "; " between them.
  std::string expected;
  for (int i = 0; i < jar.count; ++i) {
    const Cookie* cookie = jar.items[i];
    if (!withinDomain(cookie->domain.data, host)) continue;
    if (path.compare(0, strlen(cookie->path.data), cookie->path.data) != 0) continue;
    if (!expected.empty()) expected += "; ";
    expected += cookie->pair.data;
  }
  if (header == nullptr) {
    FUZZ_CHECK(expected.empty(), "no header although cookies match");
    return;
  }
  FUZZ_CHECK(expected == header, "header value differs from the matching cookies");
  delete[] header;
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
        compose(jar, host, text);
        break;
      case 'C':
        jar.clearCookies();
        FUZZ_CHECK(jar.count == 0, "clear left cookies");
        break;
      default:
        break;
    }
  }
  checkJar(jar);
  return 0;
}
