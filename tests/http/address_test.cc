// The address parser and the resolution of relative Locations, as tables.
#include "http/address.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ParseRow {
  const char* text;
  bool tls;
  const char* asWritten;
  const char* name;
  bool ipLiteral;
  int port;
  const char* target;  // the text from the start of the request target
};

const ParseRow kParseRows[] = {
    {"http://h.example/a", false, "h.example", "h.example", false, 0, "/a"},
    {"https://h.example:8443/x?y", true, "h.example:8443", "h.example", false, 8443, "/x?y"},
    {"http://127.0.0.1:18080/vid/watch/abc", false, "127.0.0.1:18080", "127.0.0.1", true, 18080,
     "/vid/watch/abc"},
    {"http://[::1]:8080/", false, "[::1]:8080", "::1", true, 8080, "/"},
    {"https://[2001:db8::7]/v", true, "[2001:db8::7]", "2001:db8::7", true, 0, "/v"},
    {"http://h:65535/", false, "h:65535", "h", false, 65535, "/"},
    {"http://h:00080/", false, "h:00080", "h", false, 80, "/"},
    {"http://0.0.0.0/", false, "0.0.0.0", "0.0.0.0", true, 0, "/"},
    // Digits in a label other than the last: a name.
    {"http://127.0.0.1.nip.example/", false, "127.0.0.1.nip.example", "127.0.0.1.nip.example",
     false, 0, "/"},
    // The earliest scheme decides; a later one is part of the path.
    {"see https://a/?u=http://b/", true, "a", "a", false, 0, "/?u=http://b/"},
    {"x http://b/?u=https://a/", false, "b", "b", false, 0, "/?u=https://a/"},
    // A path may hold blanks and control bytes other than CR and LF.
    {"http://h/a b\tc", false, "h", "h", false, 0, "/a b\tc"},
};

// Texts with no usable address in them.
const char* const kUnusable[] = {
    "http://h:/",
    "http://h:0/",
    "http://h:65536/",
    "http://h:123456/",
    "http://h:8o/",
    "http://h:+80/",
    "http://h:80:90/",
    "http:///p",
    "http://:80/",
    "http://127.0.0.2 .localhost/x",
    "http://h\tx/",
    "http://h\x7f/",
    "http://h\x01/",
    "http://h/\r\nX-Evil: 1",
    "http://h/a\nb",
    "http://h/a\rb",
    "http://[::1/",
    "http://[::g]/",
    "http://[]/",
    "http://[::1]x/",
    "http://[::1]:/",
    "http://[127.0.0.1]/",
    // A last label of digits or "0x": four plain decimal numbers, or nothing.
    "http://127.1/",
    "http://0177.0.0.1/",
    "http://2130706433/",
    "http://0x7f.1/",
    "http://0X7F000001/",
    "http://999.1.1.1/",
    "http://1.2.3.4.5/",
    "http://1.2.3.4./",
    "http://a.b.0x/",
    "http://a]b/",
    "ftp://h/",
    "http:/h/",
    "",
};

TEST(AddressTest, ParsesSchemeHostPortAndTarget) {
  for (const ParseRow& row : kParseRows) {
    SCOPED_TRACE(row.text);
    Address address;
    ASSERT_TRUE(parseAddress(row.text, &address));
    EXPECT_EQ(row.tls, address.tls);
    EXPECT_EQ(row.asWritten, address.host.asWritten);
    EXPECT_EQ(row.name, address.host.name);
    EXPECT_EQ(row.ipLiteral, address.host.ipLiteral);
    EXPECT_EQ(row.port, address.host.port);
    EXPECT_EQ(row.target, std::string(row.text).substr(address.targetAt));
  }
  for (const char* text : kUnusable) {
    Address address;
    EXPECT_FALSE(parseAddress(text, &address)) << text;
  }
}

TEST(AddressTest, ReadsAProxyAsHostAndPort) {
  const struct {
    const char* text;
    const char* name;
    int port;
  } rows[] = {
      {"proxy.local", "proxy.local", 0},
      {"proxy.local:3128", "proxy.local", 3128},
      {"10.0.0.1:8080", "10.0.0.1", 8080},
      {"[::1]:3128", "::1", 3128},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    HostPart host;
    ASSERT_TRUE(parseHostPart(row.text, &host));
    EXPECT_EQ(row.name, host.name);
    EXPECT_EQ(row.port, host.port);
    EXPECT_EQ(row.text, host.asWritten);
  }
  for (const char* text : {"proxy.local:", "proxy.local:99999", "proxy local:3128", ""}) {
    HostPart host;
    EXPECT_FALSE(parseHostPart(text, &host)) << text;
  }
}

struct ResolveRow {
  const char* reference;
  const char* resolved;  // null: no usable address
};

// The examples of RFC 3986 (5.4.1 and 5.4.2) against its base
// "http://a/b/c/d;p?q". One departs: "//g" gets the root path, since an
// HTTP request needs one.
const ResolveRow kStandardRows[] = {
    {"g", "http://a/b/c/g"},
    {"./g", "http://a/b/c/g"},
    {"g/", "http://a/b/c/g/"},
    {"/g", "http://a/g"},
    {"//g", "http://g/"},
    {"?y", "http://a/b/c/d;p?y"},
    {"g?y", "http://a/b/c/g?y"},
    {"#s", "http://a/b/c/d;p?q"},
    {"g#s", "http://a/b/c/g"},
    {"g?y#s", "http://a/b/c/g?y"},
    {";x", "http://a/b/c/;x"},
    {"", "http://a/b/c/d;p?q"},
    {".", "http://a/b/c/"},
    {"./", "http://a/b/c/"},
    {"..", "http://a/b/"},
    {"../g", "http://a/b/g"},
    {"../..", "http://a/"},
    {"../../g", "http://a/g"},
    {"../../../g", "http://a/g"},
    {"/./g", "http://a/g"},
    {"/../g", "http://a/g"},
    {"g.", "http://a/b/c/g."},
    {"..g", "http://a/b/c/..g"},
    {"./../g", "http://a/b/g"},
    {"./g/.", "http://a/b/c/g/"},
    {"g/../h", "http://a/b/c/h"},
    {"g;x=1/../y", "http://a/b/c/y"},
    {"g?y/./x", "http://a/b/c/g?y/./x"},
    {"g#s/../x", "http://a/b/c/g"},
};

// Against an address with a port and TLS, and what no redirect may reach.
const ResolveRow kOwnRows[] = {
    {"/p", "https://h.example:8443/p"},
    {"p", "https://h.example:8443/dir/p"},
    {"../p", "https://h.example:8443/p"},
    {"?q=2", "https://h.example:8443/dir/file?q=2"},
    {"//other:81/x", "https://other:81/x"},
    {"//other?x", "https://other/?x"},
    {"http://b.example/y#top", "http://b.example/y"},
    {"https://b.example:9/", "https://b.example:9/"},
    {"/go?to=http://evil/x", "https://h.example:8443/go?to=http://evil/x"},
    {"ftp://b.example/f", nullptr},
    {"file:///etc/passwd", nullptr},
    {"file:///x?http://evil/", nullptr},
    {"mailto:a@b", nullptr},
    {"https:x", nullptr},
    {"//", nullptr},
    {"//bad host/p", nullptr},
    {"//other:0/", nullptr},
    {"/p\nX-Evil: 1", nullptr},
    {"/p\r\nX-Evil: 1", nullptr},
    {"/p#\nX-Evil: 1", nullptr},
    {"http://b.example/\nX: 1", nullptr},
};

template <size_t N>
void expectResolutions(const char* base, const ResolveRow (&rows)[N]) {
  for (const ResolveRow& row : rows) {
    SCOPED_TRACE(std::string(base) + " + " + row.reference);
    std::string resolved = "untouched";
    bool usable = resolveLocation(base, row.reference, &resolved);
    ASSERT_EQ(row.resolved != nullptr, usable) << resolved;
    EXPECT_EQ(row.resolved != nullptr ? row.resolved : "untouched", resolved);
  }
}

TEST(AddressTest, ResolvesLocationsAsTheStandardDoes) {
  expectResolutions("http://a/b/c/d;p?q", kStandardRows);
  // Text before the scheme and the base's fragment are no part of the result.
  expectResolutions("xx https://h.example:8443/dir/file?q=1#f", kOwnRows);
  const ResolveRow pathless[] = {{"p", "http://a/p"}, {"?x", "http://a/?x"}};
  expectResolutions("HTTP://a?q", pathless);
  std::string resolved;
  EXPECT_FALSE(resolveLocation("no address", "/p", &resolved));
}

}  // namespace
