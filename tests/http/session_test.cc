// Session state and request composition: target rules, request headers,
// the cookie switch and the exact request text, sent through a fake
// transport.
#include "http/session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/messages.h"
#include "http/transport.h"
#include "support/capture.h"
#include "support/fake_transport.h"

namespace {

// A session wired to a fake transport. The transport is declared first so
// that it outlives the session, whose destructor closes its slots.
struct Wired {
  FakeTransport net;
  HttpSession session{net};
};

// Sets the target and sends one request with `method` on a fresh fake
// connection; returns the code and leaves the printed text in *printed.
int sendOnce(Wired& w, const char* method, std::string* printed = nullptr) {
  StdoutCapture capture;
  int result = w.session.connectAndSend(method).code();
  std::string out = capture.finish();
  if (printed != nullptr) *printed = out;
  return result;
}

TEST(SessionTest, NewSessionHasTheDefaults) {
  FakeTransport net;
  HttpSession s(net);
  EXPECT_EQ(30, s.settings().timeoutSeconds);
  EXPECT_EQ(80, s.settings().port);
  EXPECT_EQ(443, s.settings().tlsPort);
  EXPECT_FALSE(s.cookiesEnabled());
  EXPECT_EQ(0, s.status());
  EXPECT_EQ(nullptr, s.connection(0));
  EXPECT_EQ(nullptr, s.connection(1));
  EXPECT_EQ(nullptr, s.host().data());
  EXPECT_EQ(nullptr, s.url().data());
  EXPECT_EQ(nullptr, s.responseHeader().data());
  EXPECT_EQ(nullptr, s.body().data());
  EXPECT_EQ(nullptr, s.extraHeaders().data());
  const SessionSettings& settings = s.settings();
  for (const TextBuffer* text :
       {&settings.userAgent, &settings.proxy, &settings.user, &settings.password}) {
    EXPECT_EQ(nullptr, text->data());
  }
  EXPECT_EQ(0, s.cookieJar().size());

  HttpSession withAddress(net, "http://a.example/x");
  EXPECT_STREQ("a.example", withAddress.host().data());
  EXPECT_STREQ("/x", withAddress.requestPath());
}

TEST(SessionTest, TargetHostComesAfterTheEarliestScheme) {
  HttpSession s(networkTransport());
  EXPECT_EQ(0, s.setTarget("http://example.com/a?b=1"));
  EXPECT_STREQ("example.com", s.host().data());
  EXPECT_STREQ("http://example.com/a?b=1", s.url().data());
  EXPECT_FALSE(s.targetIsTls());
  EXPECT_STREQ("/a?b=1", s.requestPath());

  // An "http://" inside the query of an "https://" address is path text.
  EXPECT_EQ(0, s.setTarget("https://h.example/p?u=http://x.example/y"));
  EXPECT_STREQ("h.example", s.host().data());
  EXPECT_TRUE(s.targetIsTls());
  EXPECT_STREQ("/p?u=http://x.example/y", s.requestPath());

  EXPECT_EQ(0, s.setTarget("http://h.example/p?next=https://y.example/z"));
  EXPECT_STREQ("h.example", s.host().data());
  EXPECT_FALSE(s.targetIsTls());
  EXPECT_STREQ("/p?next=https://y.example/z", s.requestPath());

  // Text before the scheme is kept in url but is no part of host or path.
  EXPECT_EQ(0, s.setTarget("see https://h2.example/v"));
  EXPECT_STREQ("h2.example", s.host().data());
  EXPECT_STREQ("/v", s.requestPath());

  // A port written into the address stays part of the host text.
  EXPECT_EQ(0, s.setTarget("http://h.example:8080/x"));
  EXPECT_STREQ("h.example:8080", s.host().data());
  EXPECT_STREQ("/x", s.requestPath());
}

TEST(SessionTest, TargetWithoutHostLeavesNoAddress) {
  HttpSession s(networkTransport());
  const char* bad[] = {"/relative/path", "http:///empty-host", "plain words", ""};
  for (const char* text : bad) {
    ASSERT_EQ(0, s.setTarget("http://good.example/")) << text;
    EXPECT_EQ(201, s.setTarget(text)) << text;
    EXPECT_FALSE(s.url().hasText()) << text;
    EXPECT_FALSE(s.host().hasText()) << text;
    EXPECT_STREQ("", s.requestPath()) << text;
  }

  // No text at all changes nothing.
  ASSERT_EQ(0, s.setTarget("http://keep.example/k"));
  EXPECT_EQ(201, s.setTarget(nullptr));
  EXPECT_STREQ("http://keep.example/k", s.url().data());
  EXPECT_STREQ("keep.example", s.host().data());
  EXPECT_STREQ("/k", s.requestPath());
}

TEST(SessionTest, TargetLookupTracesInVerboseMode) {
  HttpSession s(networkTransport());
  setDisplayMode("/D");
  StdoutCapture capture;
  s.setTarget("http://h/p");
  s.setTarget("https://h/p");
  s.setTarget("http://");
  std::string out = capture.finish();
  setDisplayMode(nullptr);
  EXPECT_EQ(
      "key:http://.../\nkeystart foud.\nkeyend foud.\n"
      "key:http://.../\nkey:https://.../\nkeystart foud.\nkeyend foud.\n"
      "key:http://.../\nkeystart foud.\nkey:https://.../\n",
      out);
}

TEST(SessionTest, ResetRequestAndAddHeader) {
  Wired w;
  HttpSession& s = w.session;
  s.setTarget("http://h.example/");
  w.net.addConnection().deliver("HTTP/1.0 200 OK\r\n\r\n");
  ASSERT_EQ(0, sendOnce(w, "GET"));
  ASSERT_EQ(0, s.receive().code());
  ASSERT_EQ(15, s.responseHeader().length());
  s.setRequestBody("old body");
  s.resetRequest();
  s.resetRequest();
  EXPECT_STREQ("Accept: */*\r\nUser-Agent: \r\n", s.extraHeaders().data());
  EXPECT_EQ(0, s.responseHeader().length());
  EXPECT_EQ(0, s.body().length());
  EXPECT_STREQ("", s.body().data());

  s.settings().userAgent.assign("Agent/1.0");
  s.resetRequest();
  s.addHeader("X", "1");
  s.addHeader("Y", "");
  s.addHeader(nullptr, "v");
  EXPECT_STREQ("Accept: */*\r\nUser-Agent: Agent/1.0\r\nX: 1\r\nY: \r\n: v\r\n",
               s.extraHeaders().data());
  EXPECT_EQ(static_cast<int32_t>(strlen(s.extraHeaders().data())), s.extraHeaders().length());
}

TEST(SessionTest, HeaderWithALineBreakStopsTheRequestBeforeItConnects) {
  // Each header is refused on its own; the request fails with the first.
  const struct {
    const char* name;
    const char* value;
    const char* sentence;
  } refused[] = {
      {"X-Token", "a\r\nX-Evil: 1", "the value of the header X-Token"},
      {"X-Token", "a\nb", "the value of the header X-Token"},
      {"X-Token", "a\r", "the value of the header X-Token"},
      {"X-A\rB", "1", "the name of the header X-A\rB"},
      {nullptr, "\n", "the value of the header "},
  };
  for (const auto& header : refused) {
    Wired w;
    w.session.resetRequest();
    w.session.setTarget("http://h.example/a");
    w.session.addHeader("X-Fine", "1");
    w.session.addHeader(header.name, header.value);
    w.session.addHeader("X-Other", "\n");
    EXPECT_STREQ("Accept: */*\r\nUser-Agent: \r\nX-Fine: 1\r\n", w.session.extraHeaders().data());
    StdoutCapture capture;
    Status result = w.session.request("GET");
    EXPECT_EQ("", capture.finish());
    EXPECT_EQ(200, result.code()) << header.sentence;
    EXPECT_EQ("request header holds a line break", result.detail());
    EXPECT_EQ(
        std::string("request header holds a line break: ") + header.sentence + "; nothing was sent",
        result.message());
    EXPECT_EQ(0u, w.net.opened);

    // A new request starts without it.
    w.session.resetRequest();
    w.net.addConnection().deliver("HTTP/1.0 200 OK\r\n\r\n");
    StdoutCapture again;
    EXPECT_EQ(0, w.session.request("GET").code());
    EXPECT_EQ(1u, w.net.opened);
  }
}

TEST(SessionTest, CookieModeSwitchesAndTraces) {
  HttpSession s(networkTransport());
  s.cookieJar().storeCookie("h.example", "id=7");
  ASSERT_EQ(1, s.cookieJar().size());
  setDisplayMode("/D");
  StdoutCapture capture;
  s.setCookieMode(1);
  EXPECT_TRUE(s.cookiesEnabled());
  s.setCookieMode(0);
  EXPECT_EQ(0, s.cookieJar().size());
  EXPECT_TRUE(s.cookiesEnabled());
  s.setCookieMode(5);
  EXPECT_FALSE(s.cookiesEnabled());
  s.setCookieMode(1);
  s.setCookieMode(2);
  EXPECT_FALSE(s.cookiesEnabled());
  std::string out = capture.finish();
  setDisplayMode(nullptr);
  EXPECT_EQ("Cookie on\nCookie clear\nCookie off\nCookie on\nCookie off\n", out);
}

TEST(SessionTest, PlainRequestText) {
  Wired w;
  w.session.settings().userAgent.assign("U");
  w.session.resetRequest();
  ASSERT_EQ(0, w.session.setTarget("http://H/a?b=1"));
  std::string printed;
  ASSERT_EQ(0, sendOnce(w, "GET", &printed));
  EXPECT_EQ("http://H/a?b=1\n", printed);
  ASSERT_EQ(1u, w.net.opened);
  const FakeConnection& c = w.net.connections[0];
  EXPECT_EQ("H", c.target);
  EXPECT_EQ(80, c.port);
  EXPECT_FALSE(c.tlsStarted);
  EXPECT_EQ("GET /a?b=1 HTTP/1.0\r\nAccept: */*\r\nUser-Agent: U\r\nHost: H\r\n\r\n", c.sent);
  ASSERT_NE(nullptr, w.session.connection(0));
  EXPECT_EQ(&c, FakeTransport::connectionOf(w.session.connection(0)));
}

TEST(SessionTest, BodyGetsContentLengthAndFollowsTheBlankLine) {
  Wired w;
  w.session.settings().userAgent.assign("U");
  w.session.resetRequest();
  w.session.addHeader("Content-Type", "application/x-www-form-urlencoded");
  w.session.setTarget("http://H/form");
  w.session.setRequestBody("x=1");
  ASSERT_EQ(0, sendOnce(w, "POST"));
  EXPECT_EQ(
      "POST /form HTTP/1.0\r\nAccept: */*\r\nUser-Agent: U\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n"
      "Host: H\r\nContent-Length: 3\r\n\r\nx=1",
      w.net.connections[0].sent);

  // An empty body gives no Content-Length line and nothing after the blank line.
  w.session.setRequestBody("");
  ASSERT_EQ(0, sendOnce(w, "POST"));
  EXPECT_EQ(
      "POST /form HTTP/1.0\r\nAccept: */*\r\nUser-Agent: U\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\nHost: H\r\n\r\n",
      w.net.connections[1].sent);
}

TEST(SessionTest, TlsTargetsUseTheTlsPortAndSendTheServerName) {
  Wired w;
  w.session.resetRequest();
  w.session.setTarget("https://secure.example/p?q=1");
  w.session.settings().port = 8080;  // not used for an https:// address
  ASSERT_EQ(0, sendOnce(w, "GET"));
  const FakeConnection& c = w.net.connections[0];
  EXPECT_EQ("secure.example", c.target);
  EXPECT_EQ(443, c.port);
  EXPECT_TRUE(c.tlsStarted);
  EXPECT_TRUE(c.serverNameGiven);
  EXPECT_EQ("secure.example", c.serverName);
  ASSERT_NE(nullptr, w.session.connection(0));
  EXPECT_TRUE(w.session.connection(0)->isTls());
  EXPECT_EQ("GET /p?q=1 HTTP/1.0\r\nAccept: */*\r\nUser-Agent: \r\nHost: secure.example\r\n\r\n",
            c.sent);

  // A dotted address is no name: no server name is sent.
  w.session.setTarget("https://127.0.0.1/x");
  ASSERT_EQ(0, sendOnce(w, "GET"));
  EXPECT_TRUE(w.net.connections[1].tlsStarted);
  EXPECT_FALSE(w.net.connections[1].serverNameGiven);
}

TEST(SessionTest, PortSettingDecidesTlsAndThePathStaysWhole) {
  Wired w;
  w.session.resetRequest();
  // The TLS port set for a plain address: TLS, and the path is still "/path".
  w.session.settings().port = 443;
  w.session.setTarget("http://h.example/path");
  ASSERT_EQ(0, sendOnce(w, "GET"));
  EXPECT_EQ(443, w.net.connections[0].port);
  EXPECT_TRUE(w.net.connections[0].tlsStarted);
  EXPECT_EQ(0u, w.net.connections[0].sent.find("GET /path HTTP/1.0\r\n"));

  // Only the low 16 bits of the port count.
  w.session.settings().port = 65536 + 80;
  setDisplayMode("/D");
  std::string printed;
  ASSERT_EQ(0, sendOnce(w, "GET", &printed));
  setDisplayMode(nullptr);
  EXPECT_EQ(80, w.net.connections[1].port);
  EXPECT_FALSE(w.net.connections[1].tlsStarted);
  EXPECT_NE(std::string::npos, printed.find("@connect h.example:80.\n"));
}

// Where a connection goes and whether it uses TLS: a port in the address
// wins (and the scheme alone decides TLS); without one the port setting or
// the TLS port applies and TLS follows the port; a proxy is reached on its
// own port, or else as the address would be without one.
TEST(SessionTest, PortsOfAddressSettingsAndProxy) {
  const struct {
    const char* address;
    const char* proxy;  // "" for none
    int portSetting;
    const char* name;  // connected to
    int port;
    bool tls;
    bool serverName;  // a name, not an IP address, went out for TLS
    const char* hostLine;
  } rows[] = {
      {"http://h.example/", "", 80, "h.example", 80, false, false, "h.example"},
      {"https://h.example/", "", 80, "h.example", 443, true, true, "h.example"},
      {"http://h.example/", "", 443, "h.example", 443, true, true, "h.example"},
      {"http://h.example:8080/", "", 81, "h.example", 8080, false, false, "h.example:8080"},
      {"https://h.example:8443/", "", 80, "h.example", 8443, true, true, "h.example:8443"},
      {"http://h.example:443/", "", 80, "h.example", 443, false, false, "h.example:443"},
      {"https://h.example:80/", "", 80, "h.example", 80, true, true, "h.example:80"},
      {"https://10.0.0.1:8443/", "", 80, "10.0.0.1", 8443, true, false, "10.0.0.1:8443"},
      {"http://[::1]:8080/", "", 80, "::1", 8080, false, false, "[::1]:8080"},
      {"https://[::1]/", "", 80, "::1", 443, true, false, "[::1]"},
      {"https://h.example:8443/", "proxy.local", 3128, "proxy.local", 443, true, true,
       "h.example:8443"},
      {"http://h.example:8443/", "proxy.local", 3128, "proxy.local", 3128, false, false,
       "h.example:8443"},
      {"http://h.example/", "proxy.local:8000", 80, "proxy.local", 8000, false, false, "h.example"},
      {"http://h.example/", "[::1]:443", 80, "::1", 443, true, false, "h.example"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.address) + " proxy " + row.proxy);
    Wired w;
    w.session.resetRequest();
    w.session.settings().port = row.portSetting;
    w.session.settings().proxy.assign(row.proxy);
    ASSERT_EQ(0, w.session.setTarget(row.address));
    ASSERT_EQ(0, sendOnce(w, "GET"));
    const FakeConnection& c = w.net.connections[0];
    EXPECT_EQ(row.name, c.target);
    EXPECT_EQ(row.port, c.port);
    EXPECT_EQ(row.tls, c.tlsStarted);
    if (row.tls) {
      EXPECT_EQ(row.serverName, c.serverNameGiven);
      EXPECT_EQ(row.name, c.serverName);
      EXPECT_TRUE(c.tlsVerified);
    }
    EXPECT_NE(std::string::npos, c.sent.find(std::string("\r\nHost: ") + row.hostLine + "\r\n"))
        << c.sent;
  }
  // A proxy setting that is no host and port leaves nothing to connect to.
  Wired bad;
  bad.session.settings().proxy.assign("proxy.local:0");
  bad.session.setTarget("http://h.example/");
  EXPECT_EQ(201, sendOnce(bad, "GET"));
  EXPECT_EQ(0u, bad.net.opened);
}

TEST(SessionTest, ProxyGetsTheWholeAddress) {
  Wired w;
  w.session.resetRequest();
  w.session.settings().proxy.assign("proxy.local");
  w.session.setTarget("http://H/a?b=1");
  ASSERT_EQ(0, sendOnce(w, "GET"));
  EXPECT_STREQ("http://H/a?b=1", w.session.requestPath());
  const FakeConnection& c = w.net.connections[0];
  EXPECT_EQ("proxy.local", c.target);
  EXPECT_EQ(80, c.port);
  EXPECT_EQ("GET http://H/a?b=1 HTTP/1.0\r\nAccept: */*\r\nUser-Agent: \r\nHost: H\r\n\r\n",
            c.sent);
}

TEST(SessionTest, CookieLineOnlyWhenEnabledAndMatching) {
  Wired w;
  w.session.resetRequest();
  w.session.setTarget("http://H/a");
  w.session.cookieJar().storeCookie("H", "id=7; path=/");
  w.session.cookieJar().storeCookie("other.example", "no=1");

  ASSERT_EQ(0, sendOnce(w, "GET"));
  EXPECT_EQ(std::string::npos, w.net.connections[0].sent.find("Cookie"));

  w.session.setCookieMode(1);
  ASSERT_EQ(0, sendOnce(w, "GET"));
  EXPECT_EQ("GET /a HTTP/1.0\r\nAccept: */*\r\nUser-Agent: \r\nCookie: id=7\r\nHost: H\r\n\r\n",
            w.net.connections[1].sent);

  // A path the cookie does not cover gets no Cookie line.
  w.session.cookieJar().clearCookies();
  w.session.cookieJar().storeCookie("H", "id=8; path=/b");
  ASSERT_EQ(0, sendOnce(w, "GET"));
  EXPECT_EQ(std::string::npos, w.net.connections[2].sent.find("Cookie"));
}

TEST(SessionTest, ShortSendsAreRepeatedUntilTheWholeRequestIsOut) {
  Wired w;
  w.session.resetRequest();
  w.session.setTarget("http://H/some/longer/path");
  w.session.setRequestBody("payload=0123456789");
  w.net.addConnection().maxSend = 7;
  ASSERT_EQ(0, sendOnce(w, "POST"));
  const FakeConnection& c = w.net.connections[0];
  EXPECT_EQ(
      "POST /some/longer/path HTTP/1.0\r\nAccept: */*\r\nUser-Agent: \r\nHost: H\r\n"
      "Content-Length: 18\r\n\r\npayload=0123456789",
      c.sent);
  EXPECT_EQ(static_cast<int>((c.sent.size() + 6) / 7), c.sendCalls);
}

TEST(SessionTest, FailedSendGives604) {
  Wired w;
  w.session.resetRequest();
  w.session.setTarget("http://H/");
  FakeConnection& first = w.net.addConnection();
  first.failSendAt = 0;
  EXPECT_EQ(604, sendOnce(w, "GET"));
  EXPECT_EQ("", first.sent);
  // The connection stays in its slot until the next connect.
  ASSERT_NE(nullptr, w.session.connection(0));
  EXPECT_EQ(&first, FakeTransport::connectionOf(w.session.connection(0)));
  EXPECT_EQ(0, first.closes);

  // Failure after a partial send; a send that reports 0 bytes is a failure too.
  FakeConnection& second = w.net.addConnection();
  second.maxSend = 10;
  second.failSendAt = 2;
  EXPECT_EQ(604, sendOnce(w, "GET"));
  EXPECT_EQ(20u, second.sent.size());
  FakeConnection& third = w.net.addConnection();
  third.failSendAt = 0;
  third.sendFailResult = 0;
  EXPECT_EQ(604, sendOnce(w, "GET"));
}

TEST(SessionTest, SendWithoutConnectionGives205AndPrintsNothing) {
  HttpSession s(networkTransport());
  s.setTarget("http://H/");
  StdoutCapture capture;
  EXPECT_EQ(205, s.sendRequest("GET").code());
  EXPECT_EQ("", capture.finish());
}

TEST(SessionTest, VerboseEchoOfTheRequest) {
  Wired w;
  w.session.resetRequest();
  w.session.setTarget("http://127.0.0.1/index.html");
  setDisplayMode("/D");
  std::string printed;
  int result = sendOnce(w, "GET", &printed);
  setDisplayMode(nullptr);
  ASSERT_EQ(0, result);
  EXPECT_EQ(
      "@connect 127.0.0.1:80.\n"
      "http://127.0.0.1/index.html\n"
      "============[Send method]============\n"
      "GET /index.html HTTP/1.0\r\nAccept: */*\r\nUser-Agent: \r\nHost: 127.0.0.1\r\n\r\n"
      "\n"
      "============[Send method]============\n",
      printed);
}

}  // namespace

namespace {

// A session that repeats another's request for a piece goes the same way:
// through the environment's proxy here, with the other's headers.
TEST(SessionTest, ASiblingTakesEverySetting) {
  Wired w;
  w.session.settings().proxyEnvironment.http = "http://proxy.example:3128";
  w.session.settings().userAgent.assign("UA/2");
  w.session.resetRequest();
  ASSERT_EQ(0, w.session.setTarget("http://h.example/a"));
  std::unique_ptr<HttpSession> sibling = w.session.sibling();
  StdoutCapture quiet;
  ASSERT_TRUE(sibling->sendRange(0, 9, nullptr).ok());
  EXPECT_EQ("proxy.example", w.net.connections[0].target);
  EXPECT_EQ(0u, w.net.connections[0].sent.find("GET http://h.example/a HTTP/1.0\r\n"));
  EXPECT_NE(std::string::npos, w.net.connections[0].sent.find("User-Agent: UA/2\r\n"));
}

}  // namespace
