// Connections: failures of connectAndSend, closing slots, and the kept
// connection that two slots share.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/messages.h"
#include "http/session.h"
#include "http/transport.h"
#include "support/capture.h"
#include "support/fake_transport.h"

namespace {

// Counts the occurrences of `needle` in `text`.
int countOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST(ConnectionTest, ConnectFailuresLeaveTheSlotEmptyAndTheSocketClosed) {
  FakeTransport net;
  HttpSession s(net);
  StdoutCapture capture;

  // No address: no socket at all.
  EXPECT_EQ(201, s.connectAndSend("GET").code());
  EXPECT_EQ(0u, net.opened);
  s.setTarget("http:/broken");
  EXPECT_EQ(201, s.connectAndSend("GET").code());
  EXPECT_EQ(0u, net.opened);

  s.setTarget("http://h.example/");
  net.failOpenSocket = true;
  Status noSocket = s.connectAndSend("GET");
  EXPECT_EQ(202, noSocket.code());
  EXPECT_EQ("cannot create a socket to connect to h.example port 80", noSocket.message());
  net.failOpenSocket = false;

  net.addConnection().connectResult = 203;
  net.addConnection().connectResult = 204;
  EXPECT_EQ(203, s.connectAndSend("GET").code());
  EXPECT_EQ(nullptr, s.connection(0));
  EXPECT_EQ(204, s.connectAndSend("GET").code());
  EXPECT_EQ(nullptr, s.connection(0));
  for (int i = 0; i < 2; ++i) {
    const FakeConnection& c = net.connections[static_cast<size_t>(i)];
    EXPECT_FALSE(c.connected) << i;
    EXPECT_EQ(0, c.closes) << i;
    EXPECT_FALSE(c.tlsStarted) << i;
    EXPECT_EQ("", c.sent) << i;
  }
  std::string out = capture.finish();
  // Nothing is sent, so the address is never printed.
  EXPECT_EQ("", out);
}

// A name with several addresses: each is tried in the resolver's order
// with the time-out as its limit, and a failure names the last one's fate.
TEST(ConnectionTest, EveryAddressOfANameIsTriedInOrder) {
  FakeTransport net;
  net.addName("multi.example", {{"2001:db8::1", FakeAddress::kSilent},
                                {"192.0.2.1", FakeAddress::kRefuses},
                                {"192.0.2.2", FakeAddress::kAnswers}});
  net.addName("down.example",
              {{"2001:db8::1", FakeAddress::kRefuses}, {"192.0.2.1", FakeAddress::kSilent}});
  net.addName("gone.example",
              {{"192.0.2.1", FakeAddress::kSilent}, {"192.0.2.2", FakeAddress::kUnreachable}});
  net.addName("none.example", {});
  HttpSession s(net);
  s.settings().timeoutSeconds = 7;
  s.resetRequest();
  StdoutCapture capture;

  s.setTarget("http://multi.example/a");
  ASSERT_TRUE(s.connectAndSend("GET").ok());
  ASSERT_EQ(3u, net.attempts.size());
  const char* order[] = {"2001:db8::1", "192.0.2.1", "192.0.2.2"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(order[i], net.attempts[i].address);
    EXPECT_EQ(7, net.attempts[i].limitSeconds);
    EXPECT_EQ(80, net.attempts[i].port);
  }
  EXPECT_EQ("192.0.2.2", net.connections[0].address);
  EXPECT_EQ(0u, net.connections[0].sent.find("GET /a HTTP/1.0\r\n"));

  s.setTarget("http://down.example/a");
  Status failed = s.connectAndSend("GET");
  EXPECT_EQ(204, failed.code());
  EXPECT_EQ("down.example port 80 did not accept the connection within 7 s", failed.message());

  s.setTarget("http://gone.example:8080/a");
  failed = s.connectAndSend("GET");
  EXPECT_EQ(204, failed.code());
  EXPECT_EQ("cannot connect to gone.example port 8080 (Network is unreachable)", failed.message());

  s.setTarget("http://none.example/a");
  failed = s.connectAndSend("GET");
  EXPECT_EQ(203, failed.code());
  EXPECT_EQ("cannot resolve the host name none.example", failed.message());

  // No time-out set: the system's own limit for each attempt.
  s.settings().timeoutSeconds = 0;
  s.setTarget("http://multi.example/a");
  ASSERT_TRUE(s.connectAndSend("GET").ok());
  EXPECT_EQ(0, net.attempts.back().limitSeconds);
  capture.finish();
}

// Certificates are checked unless "@tlsverify=0" turned that off; one that
// fails ends the request before anything is sent, naming the host.
TEST(ConnectionTest, UntrustedCertificateEndsTheRequest) {
  FakeTransport net;
  net.untrustedNames = {"bad.example"};
  HttpSession s(net);
  s.resetRequest();
  s.setTarget("https://bad.example:8443/");
  StdoutCapture capture;
  Status failed = s.connectAndSend("GET");
  EXPECT_EQ(200, failed.code());
  EXPECT_EQ("certificate of bad.example not trusted (self-signed certificate)", failed.detail());
  EXPECT_EQ(nullptr, s.connection(0));
  EXPECT_EQ(1, net.connections[0].closes);
  EXPECT_TRUE(net.connections[0].closedAsTls);
  EXPECT_EQ("", net.connections[0].sent);

  s.settings().tlsVerify = false;
  ASSERT_TRUE(s.connectAndSend("GET").ok());
  EXPECT_FALSE(net.connections[1].tlsVerified);
  EXPECT_NE("", net.connections[1].sent);
  capture.finish();
}

TEST(ConnectionTest, NewConnectClosesThePreviousOneFirst) {
  FakeTransport net;
  HttpSession s(net);
  s.resetRequest();
  s.setTarget("http://h.example/");
  net.addConnection().deliver("HTTP/1.0 200 OK\r\n\r\n");
  {
    StdoutCapture quiet;
    ASSERT_EQ(0, s.connectAndSend("GET").code());
    ASSERT_EQ(0, s.receive().code());
  }
  ASSERT_EQ(200, s.status());
  setDisplayMode("/D");
  StdoutCapture capture;
  int result = s.connectAndSend("GET").code();
  std::string out = capture.finish();
  setDisplayMode(nullptr);
  ASSERT_EQ(0, result);
  EXPECT_EQ(0u, out.find("@closesocket.\n@connect h.example:80.\n"));
  EXPECT_EQ(1, net.connections[0].closes);
  EXPECT_EQ(0, net.connections[1].closes);
  EXPECT_EQ(0, s.status());
}

TEST(ConnectionTest, ClosingAnEmptySlotIsSilent) {
  FakeTransport net;
  HttpSession s(net);
  setDisplayMode("/D");
  StdoutCapture capture;
  s.closeSlot(0);
  s.closeSlot(1);
  s.keepConnection();
  std::string out = capture.finish();
  setDisplayMode(nullptr);
  EXPECT_EQ("", out);
  EXPECT_EQ(nullptr, s.connection(0));
  EXPECT_EQ(nullptr, s.connection(1));
}

// The kept connection survives the next connect and is closed exactly once,
// by whichever slot lets go of it last.
TEST(ConnectionTest, KeptConnectionIsSharedAndClosedOnce) {
  FakeTransport net;
  std::string out;
  {
    HttpSession s(net);
    s.resetRequest();
    s.setTarget("https://a.example/");
    setDisplayMode("/D");
    StdoutCapture capture;
    ASSERT_EQ(0, s.connectAndSend("GET").code());
    const Link* first = s.connection(0);
    ASSERT_NE(nullptr, first);
    ASSERT_TRUE(first->isTls());
    s.keepConnection();
    EXPECT_EQ(first, s.connection(1));
    // Keeping again without a new connect keeps the same connection open.
    s.keepConnection();
    EXPECT_EQ(first, s.connection(1));
    EXPECT_EQ(0, net.connections[0].closes);

    s.setTarget("http://b.example/");
    ASSERT_EQ(0, s.connectAndSend("GET").code());
    EXPECT_EQ(0, net.connections[0].closes);
    EXPECT_EQ(first, s.connection(1));
    EXPECT_NE(first, s.connection(0));

    // The kept connection is now replaced: it is closed, once.
    s.keepConnection();
    EXPECT_EQ(1, net.connections[0].closes);
    EXPECT_TRUE(net.connections[0].closedAsTls);
    EXPECT_EQ(s.connection(0), s.connection(1));
    EXPECT_EQ(0, net.connections[1].closes);
    out = capture.finish();
    setDisplayMode(nullptr);
    EXPECT_EQ(1, countOf(out, "@closesocket."));
  }
  // The destructor drops both shares of the second connection: one close.
  EXPECT_EQ(1, net.connections[0].closes);
  EXPECT_EQ(1, net.connections[1].closes);
}

TEST(ConnectionTest, DestructorClosesCurrentThenKept) {
  FakeTransport net;
  {
    HttpSession s(net);
    s.resetRequest();
    s.setTarget("http://a.example/");
    StdoutCapture quiet;
    ASSERT_EQ(0, s.connectAndSend("GET").code());
    s.keepConnection();
    ASSERT_EQ(0, s.connectAndSend("GET").code());
    quiet.finish();
    setDisplayMode("/D");
    StdoutCapture capture;
    s.closeSlot(0);
    EXPECT_EQ(1, net.connections[1].closes);
    EXPECT_EQ(0, net.connections[0].closes);
    EXPECT_EQ("@closesocket.\n", capture.finish());
    setDisplayMode(nullptr);
  }
  EXPECT_EQ(1, net.connections[0].closes);
  EXPECT_EQ(1, net.connections[1].closes);
}

// A link sends once per call and tells a failure from a count, whatever
// the count is.
TEST(ConnectionTest, SendTellsFailureFromCount) {
  FakeTransport net;
  FakeConnection& c = net.addConnection();
  c.failSendAt = 1;
  ConnectFailure failure;
  std::unique_ptr<Link> link = net.connect("h.example", 80, 0, &failure);
  ASSERT_NE(nullptr, link);
  std::string data(604, 'x');
  // A complete send of 604 bytes is a count, not the failure code.
  EXPECT_EQ(604, link->send(data.data(), 604));
  EXPECT_GE(0, link->send(data.data(), 604));

  c.deliver("abc");
  char buffer[8];
  EXPECT_EQ(3, link->recv(buffer, sizeof buffer));
  EXPECT_EQ(0, link->recv(buffer, sizeof buffer));
}

}  // namespace
