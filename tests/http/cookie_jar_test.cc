// Tests of the cookie jar: parsing of Set-Cookie values, the domain rule,
// ordering and replacement, the size limit and the "Cookie" header value.
#include "http/cookie_jar.h"

#include <gtest/gtest.h>

#include <string>

#include "base/messages.h"
#include "support/capture.h"

namespace {

// The header value for host/path as a string; "<none>" for a null result.
std::string header(const CookieJar& jar, const char* host, const char* path, bool overTls = false) {
  TextBuffer value = jar.cookieHeader(host, path, overTls);
  if (value.data() == nullptr) return "<none>";
  return value.data();
}

std::string field(const TextBuffer& buffer) {
  return buffer.data() == nullptr ? "<none>" : std::string(buffer.data());
}

// The stored cookie as "domain|path|name|pair".
std::string describe(const Cookie* cookie) {
  return field(cookie->domain) + "|" + field(cookie->path) + "|" + field(cookie->name) + "|" +
         field(cookie->pair) + (cookie->secure ? "|secure" : "");
}

// Stores one value in an empty jar and describes the result; "<dropped>"
// when nothing was stored.
std::string parseOne(const char* host, const char* value) {
  CookieJar jar;
  jar.storeCookie(host, value);
  if (jar.size() == 0) return "<dropped>";
  EXPECT_EQ(1, jar.size());
  return describe((&jar.at(0)));
}

TEST(CookieJarTest, ParsesNamePairPathAndDomain) {
  EXPECT_EQ("www.a.com|/a|id|id=7", parseOne("www.a.com", "id=7; path=/a"));
  // No ";" at all: the whole value is the pair, defaults for the rest.
  EXPECT_EQ("a.com|/|k|k=v", parseOne("a.com", "k=v"));
  EXPECT_EQ("a.com|/p|k|k=v", parseOne("a.com", "k=v; domain=a.com; path=/p"));
  EXPECT_EQ("a.com|/p|k|k=v", parseOne("a.com", "k=v; path=/p; domain=a.com"));
  // The value itself may hold "=".
  EXPECT_EQ("a.com|/|k|k=a=b", parseOne("a.com", "k=a=b; expires=never"));
}

TEST(CookieJarTest, ParsesOddValuesLiterally) {
  // "=" only after the first ";": the name runs across it, the pair stops.
  EXPECT_EQ("a.com|/|flag; x|flag", parseOne("a.com", "flag; x=1"));
  // Attribute names are matched in small letters only.
  EXPECT_EQ("h.a.com|/|k|k=v", parseOne("h.a.com", "k=v; Path=/p; Domain=a.com"));
  // The first "path=" anywhere counts: inside the value ...
  EXPECT_EQ("a.com|/x|q|q=path=/x", parseOne("a.com", "q=path=/x; path=/y"));
  // ... or at the end of a longer attribute name.
  EXPECT_EQ("a.com|/z|k|k=v", parseOne("a.com", "k=v; xpath=/z"));
  // An empty attribute followed by ";" takes the rest of the value.
  EXPECT_EQ("a.com|; secure|k|k=v|secure", parseOne("a.com", "k=v; path=; secure"));
  // An empty attribute at the very end counts as absent.
  EXPECT_EQ("a.com|/|k|k=v", parseOne("a.com", "k=v; path="));
  // Nothing is trimmed.
  EXPECT_EQ("a.com|/|k |k =v", parseOne("a.com", "k =v"));
}

TEST(CookieJarTest, ReadsTheSecureAttributeAndDropsControlBytes) {
  const struct {
    const char* value;
    const char* stored;
  } cases[] = {
      {"s=1; Secure", "a.com|/|s|s=1|secure"},
      {"s=1;secure;path=/p", "a.com|/p|s|s=1|secure"},
      {"s=1; path=/; \tSECURE\t", "a.com|/|s|s=1|secure"},
      // Only an attribute of its own counts.
      {"secure=1", "a.com|/|secure|secure=1"},
      {"s=1; secure=no", "a.com|/|s|s=1"},
      {"s=1; insecure", "a.com|/|s|s=1"},
      // A control byte anywhere would become request syntax when sent back.
      {"sid=1\nX-Evil: 1", "<dropped>"},
      {"sid=1\r\nX-Evil: 1", "<dropped>"},
      {"sid=1; path=/\x7f", "<dropped>"},
      {"sid=\x1b[2K", "<dropped>"},
      {"sid=a\tb", "a.com|/|sid|sid=a\tb"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.stored, parseOne("a.com", c.value)) << c.value;
  EXPECT_EQ("<dropped>", parseOne("a.com\r\nX: 1", "sid=1"));
}

TEST(CookieJarTest, SecureCookiesGoOverTlsOnly) {
  CookieJar jar;
  jar.storeCookie("a.com", "s=1; secure");
  jar.storeCookie("a.com", "p=2");
  EXPECT_EQ("p=2", header(jar, "a.com", "/", false));
  EXPECT_EQ("p=2; s=1", header(jar, "a.com", "/", true));
  // A plain response that sets the same cookie again makes it plain.
  jar.storeCookie("a.com", "s=3");
  EXPECT_EQ("p=2; s=3", header(jar, "a.com", "/", false));
}

TEST(CookieJarTest, DropsValuesWithoutUsableName) {
  EXPECT_EQ("<dropped>", parseOne("a.com", "novalue"));
  EXPECT_EQ("<dropped>", parseOne("a.com", "=v; path=/"));
  EXPECT_EQ("<dropped>", parseOne("a.com", ""));
  EXPECT_EQ("<dropped>", parseOne("a.com", nullptr));
  // A cookie needs a domain: no host and no "domain=" leaves none.
  EXPECT_EQ("<dropped>", parseOne("", "k=v"));
  EXPECT_EQ("<dropped>", parseOne(nullptr, "k=v"));
}

TEST(CookieJarTest, DomainMatchesOnlyAtLabelBoundary) {
  EXPECT_TRUE(domainMatches("a.com", "a.com"));
  EXPECT_TRUE(domainMatches("a.com", "x.a.com"));
  EXPECT_TRUE(domainMatches("a.com", "y.x.a.com"));
  EXPECT_FALSE(domainMatches("a.com", "evila.com"));
  EXPECT_FALSE(domainMatches("a.com", "a.com.evil.net"));
  EXPECT_TRUE(domainMatches(".a.com", "x.a.com"));
  EXPECT_FALSE(domainMatches(".a.com", "a.com"));
  EXPECT_FALSE(domainMatches(".a.com", "evila.com"));
  EXPECT_FALSE(domainMatches("x.a.com", "a.com"));
  EXPECT_FALSE(domainMatches("A.com", "a.com"));
  EXPECT_FALSE(domainMatches("", "a.com"));
  EXPECT_FALSE(domainMatches(nullptr, "a.com"));
  EXPECT_FALSE(domainMatches("a.com", nullptr));
  EXPECT_FALSE(domainMatches("a.com", ""));
}

TEST(CookieJarTest, DropsDomainsTheSenderMayNotSet) {
  // Another site's domain, with or without the dot.
  EXPECT_EQ("<dropped>", parseOne("evila.com", "s=1; domain=a.com"));
  EXPECT_EQ("<dropped>", parseOne("evila.com", "s=1; domain=.a.com"));
  EXPECT_EQ("<dropped>", parseOne("b.com", "s=1; domain=a.com; path=/"));
  // A parent may not set cookies for its children.
  EXPECT_EQ("<dropped>", parseOne("a.com", "s=1; domain=x.a.com"));
  // Nothing left after the dot.
  EXPECT_EQ("<dropped>", parseOne("a.com", "s=1; domain=."));
  // Allowed: own name, a parent domain, with one leading dot removed first.
  EXPECT_EQ("a.com|/|s|s=1", parseOne("a.com", "s=1; domain=a.com"));
  EXPECT_EQ("a.com|/|s|s=1", parseOne("x.a.com", "s=1; domain=a.com"));
  EXPECT_EQ(".a.com|/|s|s=1", parseOne("x.a.com", "s=1; domain=.a.com"));
  EXPECT_EQ(".a.com|/|s|s=1", parseOne("a.com", "s=1; domain=.a.com"));
}

TEST(CookieJarTest, SendsDomainCookiesOnlyToMatchingHosts) {
  CookieJar jar;
  jar.storeCookie("x.a.com", "dot=1; domain=.a.com");
  jar.storeCookie("a.com", "plain=2; domain=a.com");
  ASSERT_EQ(2, jar.size());
  EXPECT_EQ("plain=2; dot=1", header(jar, "y.a.com", "/"));
  EXPECT_EQ("plain=2", header(jar, "a.com", "/"));
  EXPECT_EQ("<none>", header(jar, "evila.com", "/"));
  EXPECT_EQ("<none>", header(jar, "a.com.evil.net", "/"));
  // A cookie set without a domain goes to its host alone.
  CookieJar own;
  own.storeCookie("a.com", "h=1");
  EXPECT_EQ("h=1", header(own, "a.com", "/"));
  EXPECT_EQ("<none>", header(own, "www.a.com", "/"));
  EXPECT_EQ("<none>", header(own, "evila.com", "/"));
  EXPECT_EQ("<none>", header(own, "b.com", "/"));
}

TEST(CookieJarTest, OrdersByPathNewestFirst) {
  CookieJar jar;
  jar.storeCookie("a.com", "b=1; path=/b");
  jar.storeCookie("a.com", "old=1; path=/a");
  jar.storeCookie("a.com", "root=1");
  jar.storeCookie("a.com", "new=1; path=/a");
  jar.storeCookie("a.com", "ab=1; path=/ab");
  ASSERT_EQ(5, jar.size());
  EXPECT_EQ("root", field((&jar.at(0))->name));
  EXPECT_EQ("new", field((&jar.at(1))->name));
  EXPECT_EQ("old", field((&jar.at(2))->name));
  EXPECT_EQ("ab", field((&jar.at(3))->name));
  EXPECT_EQ("b", field((&jar.at(4))->name));
  EXPECT_EQ("root=1; new=1; old=1; ab=1", header(jar, "a.com", "/ab/c"));
  // Byte order: "/B" sorts before "/a".
  jar.storeCookie("a.com", "upper=1; path=/B");
  ASSERT_EQ(6, jar.size());
  EXPECT_EQ("upper", field((&jar.at(1))->name));
}

TEST(CookieJarTest, ReplacesPairInPlace) {
  CookieJar jar;
  jar.storeCookie("a.com", "id=1; path=/a");
  jar.storeCookie("a.com", "x=1; path=/a");
  jar.storeCookie("a.com", "y=1; path=/");
  ASSERT_EQ(3, jar.size());
  ASSERT_EQ("id", field((&jar.at(2))->name));
  jar.storeCookie("a.com", "id=2; path=/a; expires=later");
  ASSERT_EQ(3, jar.size());
  EXPECT_EQ("a.com|/a|id|id=2", describe((&jar.at(2))));
  EXPECT_EQ("y=1; x=1; id=2", header(jar, "a.com", "/a"));
  // Same name, other path or other domain: a second cookie.
  jar.storeCookie("a.com", "id=3; path=/b");
  jar.storeCookie("x.a.com", "id=4; path=/a");
  ASSERT_EQ(5, jar.size());
  EXPECT_EQ("id=2", field((&jar.at(3))->pair));
  EXPECT_EQ("id=4", header(jar, "x.a.com", "/a"));
}

TEST(CookieJarTest, FullJarDropsEverythingUntilCleared) {
  CookieJar jar;
  for (int i = 0; i < CookieJar::kCapacity; ++i) {
    std::string value = "c" + std::to_string(i) + "=v";
    jar.storeCookie("a.com", value.c_str());
  }
  ASSERT_EQ(CookieJar::kCapacity, jar.size());
  jar.storeCookie("a.com", "extra=1");
  EXPECT_EQ(CookieJar::kCapacity, jar.size());
  // Not even a replacement gets in.
  jar.storeCookie("a.com", "c0=changed");
  EXPECT_EQ(CookieJar::kCapacity, jar.size());
  // Equal paths, newest first: the first cookie stored is the last one.
  EXPECT_EQ("a.com|/|c0|c0=v", describe((&jar.at(CookieJar::kCapacity - 1))));
  std::string all = header(jar, "a.com", "/");
  EXPECT_EQ(std::string::npos, all.find("extra"));
  EXPECT_EQ(std::string::npos, all.find("changed"));

  jar.clearCookies();
  EXPECT_EQ(0, jar.size());
  EXPECT_EQ("<none>", header(jar, "a.com", "/"));
  jar.storeCookie("a.com", "extra=1");
  EXPECT_EQ("extra=1", header(jar, "a.com", "/"));
  for (int i = 1; i < CookieJar::kCapacity; ++i) {
    std::string value = "d" + std::to_string(i) + "=v";
    jar.storeCookie("a.com", value.c_str());
  }
  EXPECT_EQ(CookieJar::kCapacity, jar.size());
  jar.storeCookie("a.com", "more=1");
  EXPECT_EQ(CookieJar::kCapacity, jar.size());
}

TEST(CookieJarTest, ComposesHeaderFromMatchingCookies) {
  CookieJar jar;
  EXPECT_EQ("<none>", header(jar, "a.com", "/"));
  jar.storeCookie("b.com", "other=0");
  jar.storeCookie("a.com", "one=1; path=/a");
  jar.storeCookie("a.com", "two=2; path=/a");
  jar.storeCookie("a.com", "three=3; path=/c");
  ASSERT_EQ(4, jar.size());
  // The first cookie in the jar is b.com's: no leading "; ".
  EXPECT_EQ("two=2; one=1", header(jar, "a.com", "/a"));
  EXPECT_EQ("two=2; one=1", header(jar, "a.com", "/ab?x=1"));
  EXPECT_EQ("three=3", header(jar, "a.com", "/c/d"));
  EXPECT_EQ("<none>", header(jar, "a.com", "/b"));
  EXPECT_EQ("<none>", header(jar, "a.com", ""));
  EXPECT_EQ("<none>", header(jar, "a.com", nullptr));
  EXPECT_EQ("<none>", header(jar, nullptr, "/a"));
  EXPECT_EQ("other=0", header(jar, "b.com", "/"));
  EXPECT_EQ("<none>", header(jar, "c.com", "/a"));
}

TEST(CookieJarTest, TracesExtractionsInOrderInVerboseMode) {
  setDisplayMode("/D");
  CookieJar jar;
  StdoutCapture capture;
  jar.storeCookie("a.com", "id=7; path=/a");
  TextBuffer value = jar.cookieHeader("a.com", "/a", false);
  std::string trace = capture.finish();
  setDisplayMode(nullptr);
  ASSERT_NE(nullptr, value.data());
  EXPECT_STREQ("id=7", value.data());
  EXPECT_EQ(
      "key:...=\nkeystart foud.\nkeyend foud.\n"
      "key:...;\nkeystart foud.\nkeyend foud.\n"
      "key:path=...;\nkeystart foud.\n"
      "key:path=...\nkeystart foud.\nkeyend foud.\n"
      "key:domain=...;\n"
      "key:domain=...\n",
      trace);

  // A full jar drops a value before any extraction.
  for (int i = 1; i < CookieJar::kCapacity; ++i) {
    std::string v = "n" + std::to_string(i) + "=1";
    jar.storeCookie("a.com", v.c_str());
  }
  ASSERT_EQ(CookieJar::kCapacity, jar.size());
  setDisplayMode("/D");
  StdoutCapture full;
  jar.storeCookie("a.com", "late=1");
  std::string none = full.finish();
  setDisplayMode(nullptr);
  EXPECT_EQ("", none);
}

}  // namespace
