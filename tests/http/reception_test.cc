// Response reception through a fake transport: header and body phases,
// time-outs, the header size cap, header lookup, redirects and cookies.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/messages.h"
#include "http/session.h"
#include "http/transport.h"
#include "support/capture.h"
#include "support/fake_transport.h"

namespace {

const char kOkHeader[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain";

// A session wired to a fake transport (declared first, so it outlives the
// session) with a plain target set and the request reset.
struct Wired {
  FakeTransport net;
  HttpSession session{net};
  Status last;
  explicit Wired(const char* address = "http://h.example/index.html") {
    session.resetRequest();
    session.setTarget(address);
  }
  // request() with standard output captured; its status stays in `last`.
  int request(const char* method = "GET", std::string* printed = nullptr) {
    StdoutCapture capture;
    last = session.request(method);
    std::string out = capture.finish();
    if (printed != nullptr) *printed = out;
    return last.code();
  }
  // Connects (sending the request) without reading anything.
  int connect() {
    StdoutCapture capture;
    return session.connectAndSend("GET").code();
  }
};

// Connects `w` and receives `header` (without its blank line) as the
// response header.
void receiveHeader(Wired& w, const std::string& header) {
  w.session.resetRequest();
  w.net.addConnection().deliver(header + "\r\n\r\n");
  ASSERT_EQ(0, w.connect());
  ASSERT_EQ(0, w.session.receive().code());
  ASSERT_STREQ(header.c_str(), w.session.responseHeader().data());
}

std::string redirectTo(const std::string& location) {
  return "HTTP/1.0 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
}

TEST(ReceptionTest, HeaderAndBodyInOneRead) {
  Wired w;
  w.net.addConnection().deliver(std::string(kOkHeader) + "\r\n\r\n0123456789");
  ASSERT_EQ(0, w.request());
  EXPECT_EQ(200, w.session.status());
  EXPECT_STREQ(kOkHeader, w.session.responseHeader().data());
  EXPECT_EQ(static_cast<int32_t>(strlen(kOkHeader)), w.session.responseHeader().length());
  EXPECT_EQ(10, w.session.body().length());
  EXPECT_STREQ("0123456789", w.session.body().data());
}

TEST(ReceptionTest, HeaderOneBytePerRead) {
  Wired w;
  std::string response = std::string(kOkHeader) + "\r\n\r\n";
  w.net.addConnection().deliver(response, 1).deliver("body", 1);
  ASSERT_EQ(0, w.request());
  EXPECT_EQ(200, w.session.status());
  EXPECT_STREQ(kOkHeader, w.session.responseHeader().data());
  // The header phase stops right at the blank line.
  EXPECT_EQ(static_cast<int>(response.size()), w.net.connections[0].recvCalls);
  EXPECT_EQ(0, w.session.body().length());
  // Then each receive adds one body piece.
  for (int i = 0; i < 4; ++i) ASSERT_EQ(0, w.session.receive().code());
  EXPECT_STREQ("body", w.session.body().data());
  EXPECT_EQ(605, w.session.receive().code());
  EXPECT_STREQ("body", w.session.body().data());
}

TEST(ReceptionTest, BodyIsExactlyWhatFollowedTheBlankLine) {
  // The request body never shows up as the start of the response body.
  Wired w;
  w.session.setRequestBody("x=1&y=2");
  w.net.addConnection().deliver(std::string(kOkHeader) + "\r\n\r\n");
  ASSERT_EQ(0, w.request("POST"));
  EXPECT_EQ(0, w.session.body().length());
  EXPECT_STREQ("", w.session.body().data());

  // Bytes after the blank line keep NUL bytes and count them.
  Wired binary;
  std::string payload("a\0b\0c", 5);
  binary.net.addConnection().deliver(std::string(kOkHeader) + "\r\n\r\n" + payload).close();
  ASSERT_EQ(0, binary.request());
  ASSERT_EQ(5, binary.session.body().length());
  EXPECT_EQ(payload, std::string(binary.session.body().data(), 5));
  EXPECT_EQ(605, binary.session.receive().code());
  EXPECT_EQ(5, binary.session.body().length());
}

TEST(ReceptionTest, PartialHeaderThenFailureKeepsItAndMovesToTheBodyPhase) {
  Wired w;
  w.net.addConnection().deliver("HTTP/1.0 200 OK\r\nX-Par").error().deliver("tial: 1\r\n\r\n");
  ASSERT_EQ(0, w.connect());
  EXPECT_EQ(605, w.session.receive().code());
  EXPECT_STREQ("HTTP/1.0 200 OK\r\nX-Par", w.session.responseHeader().data());
  EXPECT_EQ(0, w.session.status());
  // The connection stays, and the next call reads body bytes.
  EXPECT_EQ(0, w.net.connections[0].closes);
  EXPECT_EQ(0, w.session.receive().code());
  EXPECT_STREQ("tial: 1\r\n\r\n", w.session.body().data());
  EXPECT_STREQ("HTTP/1.0 200 OK\r\nX-Par", w.session.responseHeader().data());

  Wired closed;
  closed.net.addConnection().deliver("HTTP/1.0 2").close();
  EXPECT_EQ(605, closed.request());
  EXPECT_STREQ("HTTP/1.0 2", closed.session.responseHeader().data());
}

TEST(ReceptionTest, TimeOutsAndTheWaitLimit) {
  Wired w;
  w.session.settings().timeoutSeconds = 7;
  w.net.addConnection().deliver("HTTP/1.0 200").stall().deliver(" OK\r\n\r\n").stall();
  ASSERT_EQ(0, w.connect());
  EXPECT_EQ(206, w.session.receive().code());
  const FakeConnection& c = w.net.connections[0];
  EXPECT_FALSE(c.lastWaitUnbounded);
  EXPECT_EQ(7, c.lastWaitLimit.tv_sec);
  EXPECT_EQ(0, c.lastWaitLimit.tv_usec);
  EXPECT_STREQ("HTTP/1.0 200", w.session.responseHeader().data());
  // The partial header is kept, so this call is a body piece...
  EXPECT_EQ(0, w.session.receive().code());
  EXPECT_STREQ(" OK\r\n\r\n", w.session.body().data());
  // ...and a body piece can time out too, leaving the body as it was.
  EXPECT_EQ(206, w.session.receive().code());
  EXPECT_STREQ(" OK\r\n\r\n", w.session.body().data());

  // A negative setting waits without a limit; 0 polls.
  Wired unbounded;
  unbounded.session.settings().timeoutSeconds = -1;
  unbounded.net.addConnection().deliver(std::string(kOkHeader) + "\r\n\r\n");
  ASSERT_EQ(0, unbounded.request());
  EXPECT_TRUE(unbounded.net.connections[0].lastWaitUnbounded);
  Wired polling;
  polling.session.settings().timeoutSeconds = 0;
  polling.net.addConnection().stall();
  EXPECT_EQ(206, polling.request());
  EXPECT_FALSE(polling.net.connections[0].lastWaitUnbounded);
  EXPECT_EQ(0, polling.net.connections[0].lastWaitLimit.tv_sec);
}

// One time limit covers the whole header: what a wait uses is gone for the
// next wait of the same call.
TEST(ReceptionTest, HeaderMustArriveWithinOneLimit) {
  Wired slow;
  slow.session.settings().timeoutSeconds = 3;
  FakeConnection& c = slow.net.addConnection();
  c.waitCostSeconds = 1;
  c.deliver("HTTP/1.0 200 OK\r\n\r\n", 5);  // four reads of at most 5 bytes
  EXPECT_EQ(206, slow.request());
  EXPECT_EQ(4, c.waits);
  EXPECT_EQ(3, c.recvCalls);

  Wired fast;
  fast.session.settings().timeoutSeconds = 4;
  FakeConnection& d = fast.net.addConnection();
  d.waitCostSeconds = 1;
  d.deliver("HTTP/1.0 200 OK\r\n\r\n", 5);
  EXPECT_EQ(0, fast.request());
  EXPECT_EQ(200, fast.session.status());
}

TEST(ReceptionTest, PendingTlsBytesAreReadWithoutWaiting) {
  Wired w("https://h.example/v");
  FakeConnection& c = w.net.addConnection();
  c.tlsPending = 16;
  c.deliver(std::string(kOkHeader) + "\r\n\r\n").deliver("piece").stall();
  ASSERT_EQ(0, w.request());
  ASSERT_TRUE(c.tlsStarted);
  ASSERT_EQ(0, w.session.receive().code());
  EXPECT_STREQ("piece", w.session.body().data());
  EXPECT_EQ(0, c.waits);
  // Nothing buffered any more: the socket is waited on.
  EXPECT_EQ(206, w.session.receive().code());
  EXPECT_EQ(1, c.waits);
}

// A TLS read that finds only part of a record hands nothing out: the rest is
// waited for on the socket, within the call's one limit. When it never comes
// that is a time-out, in the header and in the body, not a failed read.
TEST(ReceptionTest, PartOfATlsRecordIsWaitedForWithinTheLimit) {
  Wired w("https://h.example/v");
  w.session.settings().timeoutSeconds = 5;
  FakeConnection& c = w.net.addConnection();
  c.tlsPending = 10;
  c.waitCostSeconds = 2;
  c.deliver("HTTP/1.0 200 OK\r\n").partRecord().deliver("\r\nhead").partRecord().deliver("tail");
  c.partRecord().stall();
  ASSERT_EQ(0, w.request());
  EXPECT_STREQ("HTTP/1.0 200 OK", w.session.responseHeader().data());
  EXPECT_STREQ("head", w.session.body().data());
  ASSERT_EQ(0, w.session.receive().code());
  EXPECT_STREQ("headtail", w.session.body().data());
  EXPECT_EQ(206, w.session.receive().code());
  EXPECT_STREQ("headtail", w.session.body().data());
  // Each part record cost one wait; the reads never ran ahead of the waits.
  EXPECT_EQ(3, c.waits);
  EXPECT_EQ(0, c.closes);

  // The rest of the header never comes: the first call ends on its limit.
  Wired header("https://h.example/v");
  header.session.settings().timeoutSeconds = 1;
  FakeConnection& d = header.net.addConnection();
  d.tlsPending = 3;
  d.deliver("HTTP/1.0 200").partRecord().stall();
  EXPECT_EQ(206, header.request());
  EXPECT_STREQ("HTTP/1.0 200", header.session.responseHeader().data());

  // With a limit of 0 nothing is waited for, part record or not.
  Wired polling("https://h.example/v");
  polling.session.settings().timeoutSeconds = 0;
  FakeConnection& e = polling.net.addConnection();
  e.tlsPending = 5;
  e.deliver("HTTP/1.0 200 OK\r\n\r\n").partRecord().stall();
  ASSERT_EQ(0, polling.request());
  EXPECT_EQ(206, polling.session.receive().code());
  EXPECT_EQ(1, e.waits);
  EXPECT_FALSE(e.lastWaitUnbounded);
  EXPECT_EQ(0, e.lastWaitLimit.tv_sec);
}

// 605 stands for a close and for a failed read alike; the session tells
// them apart, since only a close ends a body that has no length.
TEST(ReceptionTest, FailedReadIsToldApartFromThePeersClose) {
  Wired closed;
  closed.net.addConnection().deliver(std::string(kOkHeader) + "\r\n\r\nab").close();
  ASSERT_EQ(0, closed.request());
  EXPECT_EQ(605, closed.session.receive().code());
  EXPECT_TRUE(closed.session.closedByPeer());

  Wired failed;
  failed.net.addConnection().deliver(std::string(kOkHeader) + "\r\n\r\nab").error().close();
  ASSERT_EQ(0, failed.request());
  EXPECT_EQ(605, failed.session.receive().code());
  EXPECT_FALSE(failed.session.closedByPeer());
  // The flag follows the latest read.
  EXPECT_EQ(605, failed.session.receive().code());
  EXPECT_TRUE(failed.session.closedByPeer());

  Wired header;
  header.net.addConnection().deliver("HTTP/1.0 2").error();
  EXPECT_EQ(605, header.request());
  EXPECT_FALSE(header.session.closedByPeer());
}

TEST(ReceptionTest, ReceiveWithoutConnectionGives205) {
  Wired w;
  EXPECT_EQ(205, w.session.receive().code());
  // Also in the body phase, once the connection that brought a header is
  // gone.
  receiveHeader(w, "HTTP/1.0 200 OK");
  w.session.closeSlot(0);
  EXPECT_EQ(205, w.session.receive().code());
}

TEST(ReceptionTest, FullBodyBufferGrowsByItsOwnCapacity) {
  Wired w;
  w.net.addConnection()
      .deliver(std::string(kOkHeader) + "\r\n\r\n")
      .deliver(std::string(30000, 'b'));
  ASSERT_EQ(0, w.request());
  EXPECT_EQ(0, w.session.body().length());
  int32_t capacities[] = {4096, 8192, 16384, 32768};
  int32_t lengths[] = {4096, 8192, 16384, 30000};
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(0, w.session.receive().code()) << i;
    EXPECT_EQ(capacities[i], w.session.body().capacity()) << i;
    EXPECT_EQ(lengths[i], w.session.body().length()) << i;
  }
  EXPECT_EQ(std::string(30000, 'b'), std::string(w.session.body().data(), 30000));
}

TEST(ReceptionTest, BodyPastTheKeptLimitEndsWithDetail) {
  // With the limit lowered to 8 bytes: what each receive returns and the
  // body it leaves, for pieces that reach the limit and for what follows.
  struct Row {
    const char* name;
    std::vector<std::string> pieces;  // after the header; then the server closes
    std::vector<int> codes;           // of the receives after request()
    const char* body;                 // what the session keeps
  };
  const Row rows[] = {
      {"one byte too many", {"abcde", "fgh", "i"}, {0, 0, 200}, "abcdefgh"},
      {"a piece that crosses the limit", {"abcdefghij"}, {0, 200}, "abcdefgh"},
      {"exactly the limit, then the close", {"abcd", "efgh"}, {0, 0, 605}, "abcdefgh"},
      {"below the limit", {"abc"}, {0, 605}, "abc"},
  };
  for (const Row& row : rows) {
    Wired w;
    w.session.limitKeptBody(8);
    FakeConnection& c = w.net.addConnection().deliver(std::string(kOkHeader) + "\r\n\r\n");
    for (const std::string& piece : row.pieces) c.deliver(piece);
    c.close();
    ASSERT_EQ(0, w.request()) << row.name;
    Status last;
    for (size_t i = 0; i < row.codes.size(); ++i) {
      last = w.session.receive();
      EXPECT_EQ(row.codes[i], last.code()) << row.name << ", receive " << i;
    }
    if (last.code() == 200) {
      EXPECT_EQ("response body too large to keep", last.detail()) << row.name;
    }
    EXPECT_EQ(row.body, std::string(w.session.body().data(), w.session.body().length()))
        << row.name;
  }
}

TEST(ReceptionTest, OversizedHeaderEndsWithDetail) {
  Wired w;
  std::string endless = "HTTP/1.0 200 OK\r\nX-Filler: " + std::string(300 * 1024, 'a');
  w.net.addConnection().deliver(endless, 8192);
  EXPECT_EQ(200, w.request());
  EXPECT_EQ("response header too large", w.last.detail());
  EXPECT_GT(w.session.responseHeader().length(), kMaxHeaderBytes);
  EXPECT_LT(w.session.responseHeader().length(), kMaxHeaderBytes + 8192 + 1);

  // A big header that does end is read.
  Wired big;
  std::string header = "HTTP/1.0 200 OK\r\nX-Filler: " + std::string(200 * 1024, 'a');
  big.net.addConnection().deliver(header + "\r\n\r\nrest", 8192);
  EXPECT_EQ(0, big.request());
  EXPECT_EQ(static_cast<int32_t>(header.size()), big.session.responseHeader().length());
  EXPECT_STREQ("rest", big.session.body().data());
}

TEST(ReceptionTest, HeaderValueMatchesWholeNamesAtLineStarts) {
  Wired w;
  HttpSession& s = w.session;
  EXPECT_EQ(nullptr, s.headerValue("Location", 0).data());
  receiveHeader(w,
                "HTTP/1.0 200 Location: status-line-is-no-header\r\n"
                "Content-Location: /c\r\n"
                "Locations: plural\r\n"
                "set-cookie:a=1\r\n"
                "Empty: \r\n"
                "Tabbed:\t \tvalue with blanks \r\n"
                "SET-COOKIE: b=2\r\n"
                "Location: http://x.example/y");
  TextBuffer location(s.headerValue("Location", 0));
  EXPECT_STREQ("http://x.example/y", location.data());
  TextBuffer lower(s.headerValue("location", 1));
  EXPECT_STREQ("http://x.example/y", lower.data());
  TextBuffer first(s.headerValue("Set-Cookie", 0));
  EXPECT_STREQ("a=1", first.data());
  TextBuffer last(s.headerValue("Set-Cookie", 1));
  EXPECT_STREQ("b=2", last.data());
  TextBuffer tabbed(s.headerValue("Tabbed", 0));
  EXPECT_STREQ("value with blanks ", tabbed.data());
  EXPECT_EQ(nullptr, s.headerValue("Empty", 0).data());
  EXPECT_EQ(nullptr, s.headerValue("Missing", 0).data());
  EXPECT_EQ(nullptr, s.headerValue(nullptr, 0).data());

  receiveHeader(w, "HTTP/1.0 302 Found\r\nLocation:");
  EXPECT_EQ(nullptr, s.headerValue("Location", 0).data());
}

TEST(ReceptionTest, HeaderValueTraces) {
  Wired w;
  HttpSession& s = w.session;
  receiveHeader(w, "HTTP/1.0 200 OK\r\nContent-Length: 12\r\nEmpty:");
  setDisplayMode("/D");
  StdoutCapture capture;
  TextBuffer found(s.headerValue("Content-Length", 0));
  TextBuffer empty(s.headerValue("Empty", 0));
  TextBuffer missing(s.headerValue("Missing", 0));
  std::string out = capture.finish();
  setDisplayMode(nullptr);
  EXPECT_STREQ("12", found.data());
  EXPECT_EQ(
      "key:Content-Length: ...\r\n\nkeystart foud.\nkeyend foud.\n"
      "key:Empty: ...\r\n\nkeystart foud.\n"
      "key:Missing: ...\r\n\n",
      out);
}

TEST(ReceptionTest, RedirectIsFollowedWithGetAndNoBody) {
  Wired w;
  w.session.setRequestBody("x=1");
  w.net.addConnection().deliver(redirectTo("http://b.example/next") + "old body");
  w.net.addConnection().deliver("HTTP/1.0 200 OK\r\n\r\nnew");
  std::string printed;
  ASSERT_EQ(0, w.request("POST", &printed));
  EXPECT_EQ("http://h.example/index.html\nhttp://b.example/next\n", printed);
  ASSERT_EQ(2u, w.net.opened);
  EXPECT_EQ(0u, w.net.connections[0].sent.find("POST /index.html HTTP/1.0\r\n"));
  EXPECT_EQ(1, w.net.connections[0].closes);
  const FakeConnection& second = w.net.connections[1];
  EXPECT_EQ("b.example", second.target);
  EXPECT_EQ("GET /next HTTP/1.0\r\nAccept: */*\r\nUser-Agent: \r\nHost: b.example\r\n\r\n",
            second.sent);
  EXPECT_EQ(200, w.session.status());
  EXPECT_STREQ("new", w.session.body().data());
}

TEST(ReceptionTest, RedirectsOverTlsAndToTls) {
  // A redirect to an https:// address is followed with GET over TLS.
  Wired w;
  w.net.addConnection().deliver(redirectTo("https://s.example/t"));
  w.net.addConnection().deliver("HTTP/1.0 200 OK\r\n\r\n");
  ASSERT_EQ(0, w.request());
  EXPECT_EQ(443, w.net.connections[1].port);
  EXPECT_TRUE(w.net.connections[1].tlsStarted);
  EXPECT_EQ(0u, w.net.connections[1].sent.find("GET /t HTTP/1.0\r\n"));

  // A redirect received over TLS is followed as well.
  Wired tls("https://s.example/start");
  tls.net.addConnection().deliver(redirectTo("http://p.example/end"));
  tls.net.addConnection().deliver("HTTP/1.0 200 OK\r\n\r\n");
  ASSERT_EQ(0, tls.request());
  EXPECT_EQ(2u, tls.net.opened);
  EXPECT_EQ(80, tls.net.connections[1].port);
}

TEST(ReceptionTest, RedirectEdgeCases) {
  // A relative Location is followed as the address it resolves to, printed
  // like any other; one of another scheme leaves no target.
  Wired relative("http://h.example:8080/dir/page");
  relative.net.addConnection().deliver(redirectTo("../elsewhere?x#part"));
  relative.net.addConnection().deliver(redirectTo("ftp://h.example/file"));
  std::string printed;
  EXPECT_EQ(201, relative.request("GET", &printed));
  EXPECT_EQ("http://h.example:8080/dir/page\nhttp://h.example:8080/elsewhere?x\n", printed);
  EXPECT_EQ(0u, relative.net.connections[1].sent.find(
                    "GET /elsewhere?x HTTP/1.0\r\nAccept: */*\r\nUser-Agent: \r\n"
                    "Host: h.example:8080\r\n\r\n"));
  EXPECT_EQ(8080, relative.net.connections[1].port);
  EXPECT_FALSE(relative.session.url().hasText());
  EXPECT_EQ("no usable address in \"ftp://h.example/file\"", relative.last.message());

  Wired empty;
  empty.net.addConnection().deliver("HTTP/1.0 302 Found\r\nLocation: \r\nX: 1\r\n\r\n");
  EXPECT_EQ(0, empty.request());
  EXPECT_EQ(302, empty.session.status());
  EXPECT_STREQ("HTTP/1.0 302 Found\r\nLocation: \r\nX: 1", empty.session.responseHeader().data());

  Wired notModified;
  notModified.net.addConnection().deliver("HTTP/1.0 304 Not Modified\r\n\r\n");
  EXPECT_EQ(0, notModified.request());
  EXPECT_EQ(1u, notModified.net.opened);

  // The Location on the last line is found; Content-Location is no Location.
  Wired lastLine;
  lastLine.net.addConnection().deliver(
      "HTTP/1.0 301 Moved\r\nContent-Location: /c\r\nLocation: http://z.example/\r\n\r\n");
  lastLine.net.addConnection().deliver("HTTP/1.0 200 OK\r\n\r\n");
  EXPECT_EQ(0, lastLine.request());
  EXPECT_EQ("z.example", lastLine.net.connections[1].target);
}

TEST(ReceptionTest, RedirectChainsAreCapped) {
  Wired twenty;
  for (int i = 0; i < kMaxRedirects; ++i) {
    twenty.net.addConnection().deliver(redirectTo("http://h.example/" + std::to_string(i)));
  }
  twenty.net.addConnection().deliver("HTTP/1.0 200 OK\r\n\r\n");
  EXPECT_EQ(0, twenty.request());
  EXPECT_EQ(static_cast<size_t>(kMaxRedirects + 1), twenty.net.opened);

  Wired loop;
  for (int i = 0; i < kMaxRedirects + 5; ++i) {
    loop.net.addConnection().deliver(redirectTo("http://h.example/again"));
  }
  EXPECT_EQ(200, loop.request());
  EXPECT_EQ("too many redirects", loop.last.detail());
  EXPECT_EQ(static_cast<size_t>(kMaxRedirects + 1), loop.net.opened);
}

TEST(ReceptionTest, ErrorStatusGives204AndKeepsTheHeader) {
  Wired plain;
  plain.net.addConnection().deliver("HTTP/1.0 404 Not Found\r\nX-Reason: gone\r\n\r\n");
  EXPECT_EQ(204, plain.request());
  EXPECT_EQ(404, plain.session.status());
  TextBuffer reason(plain.session.headerValue("X-Reason", 0));
  EXPECT_STREQ("gone", reason.data());

  Wired tls("https://h.example/");
  tls.net.addConnection().deliver("HTTP/1.1 500 Oops\r\n\r\n");
  EXPECT_EQ(204, tls.request());
}

TEST(ReceptionTest, EverySetCookieIsStoredInOrder) {
  Wired w;
  w.session.setCookieMode(1);
  w.net.addConnection().deliver(
      "HTTP/1.0 200 OK\r\nSet-Cookie: a=1\r\nset-cookie: b=2\r\nX: y\r\nSet-Cookie: a=3\r\n"
      "Set-Cookie: c=4\r\n\r\n");
  ASSERT_EQ(0, w.request());
  // a=3 replaces a=1 in its place; newer cookies of the same path come first.
  ASSERT_EQ(3, w.session.cookieJar().size());
  TextBuffer header(w.session.cookieJar().cookieHeader("h.example", "/", false));
  EXPECT_STREQ("c=4; b=2; a=3", header.data());

  Wired off;
  off.net.addConnection().deliver("HTTP/1.0 200 OK\r\nSet-Cookie: a=1\r\n\r\n");
  ASSERT_EQ(0, off.request());
  EXPECT_EQ(0, off.session.cookieJar().size());
}

TEST(ReceptionTest, CookiesOfARedirectBelongToTheHostThatSetThem) {
  Wired w;
  w.session.setCookieMode(1);
  w.net.addConnection().deliver(
      "HTTP/1.0 302 Found\r\nSet-Cookie: s=1\r\nLocation: http://b.example/x\r\n\r\n");
  w.net.addConnection().deliver("HTTP/1.0 200 OK\r\nSet-Cookie: t=2\r\n\r\n");
  ASSERT_EQ(0, w.request());
  TextBuffer first(w.session.cookieJar().cookieHeader("h.example", "/", false));
  EXPECT_STREQ("s=1", first.data());
  TextBuffer second(w.session.cookieJar().cookieHeader("b.example", "/", false));
  EXPECT_STREQ("t=2", second.data());
  EXPECT_EQ(std::string::npos, w.net.connections[1].sent.find("Cookie:"));
}

TEST(ReceptionTest, VerboseOutputOfOneExchange) {
  std::string out;
  {
    FakeTransport net;
    HttpSession s(net);
    s.resetRequest();
    s.setTarget("http://127.0.0.1/index.html");
    net.addConnection().deliver("HTTP/1.0 200 OK\r\nServer: t\r\n\r\nhello");
    setDisplayMode("/D");
    StdoutCapture capture;
    EXPECT_EQ(0, s.request("GET").code());
    s.closeSlot(0);
    out = capture.finish();
    setDisplayMode(nullptr);
  }
  EXPECT_EQ(
      "@connect 127.0.0.1:80.\n"
      "http://127.0.0.1/index.html\n"
      "============[Send method]============\n"
      "GET /index.html HTTP/1.0\r\nAccept: */*\r\nUser-Agent: \r\nHost: 127.0.0.1\r\n\r\n"
      "\n"
      "============[Send method]============\n"
      "============[Recv method]============\n"
      "HTTP/1.0 200 OK\r\nServer: t\n"
      "============[Recv method]============\n"
      "@closesocket.\n",
      out);
}

}  // namespace
