// The HttpSession over the real socket and TLS transport, against the
// scripted loopback server: exact request texts, header and body reading,
// redirects, status handling, time-outs, cookies and connection closing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/process_setup.h"
#include "base/messages.h"
#include "http/net_transport.h"
#include "http/session.h"
#include "http/transport.h"
#include "support/capture.h"
#include "support/scripted_server.h"

namespace {

// TLS writes cannot ask for MSG_NOSIGNAL: like the program, these tests
// ignore SIGPIPE, so that a server that goes away fails a send instead of
// ending the test program.
const bool kBrokenPipeIgnored = (ignoreWriteSignals(), true);

using Clock = std::chrono::steady_clock;

// Before any thread: the TLS servers' certificates are checked against the
// test authority.
const std::string kAuthorityFile = trustTestAuthority();

// One connection's actions from the text form.
ConnectionScript script(const std::string& text) {
  ConnectionScript actions;
  std::string error;
  EXPECT_TRUE(parseActions(text, &actions, &error)) << error;
  return actions;
}

// Reads body pieces until receive() fails; returns that result.
int receiveToEnd(HttpSession& session) {
  int result;
  while ((result = session.receive().code()) == 0) {
  }
  return result;
}

// Waits (at most 5 s) until the server has seen the client close
// connection `index`.
bool waitForClientClose(const ScriptedServer& server, size_t index) {
  for (int i = 0; i < 250; ++i) {
    std::vector<ConnectionRecord> records = server.records();
    if (records.size() > index && records[index].clientClosed) return true;
    usleep(20 * 1000);
  }
  return false;
}

std::string text(const TextBuffer& buffer) {
  return buffer.data() != nullptr ? std::string(buffer.data(), static_cast<size_t>(buffer.length()))
                                  : std::string();
}

std::string header(HttpSession& session, const char* name, int findLast = 0) {
  TextBuffer value(session.headerValue(name, findLast));
  return value.data() != nullptr ? value.data() : "<none>";
}

// What a LoopbackRelay does to the bytes it passes between the client and
// the server of one connection.
struct RelayPlan {
  // Once `withholdAfter` bytes have come from the server, the last
  // `withheld` of them are always kept back: over TLS the client then holds
  // the start of a record whose rest never comes, as from a server that
  // stalls in the middle of one.
  size_t withholdAfter = SIZE_MAX;
  size_t withheld = 0;
  // Once 8 KiB have come from the client (past the TLS handshake), nothing
  // more is read from it for this long, through a small receive buffer, so
  // that the client's writes find the socket full.
  int clientPauseMillis = 0;
  // The server's bytes are collected for this long before they are passed
  // on, so that what it sent close together reaches the client in one piece.
  int batchMillis = 0;
  // The server's close is not passed on: the client's connection stays open.
  bool hideServerClose = false;
};

class LoopbackRelay {
 public:
  LoopbackRelay(int serverPort, const RelayPlan& plan) : serverPort_(serverPort), plan_(plan) {
    std::string error;
    listener_ = listenOnLoopback(0, 0, &error);
    if (listener_ >= 0 && plan.clientPauseMillis > 0) {
      // Inherited by the accepted socket.
      int small = 4096;
      setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    sockaddr_in address;
    socklen_t size = sizeof address;
    if (listener_ >= 0 && getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
      port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~LoopbackRelay() {
    stop_ = true;
    thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }
  LoopbackRelay(const LoopbackRelay&) = delete;
  LoopbackRelay& operator=(const LoopbackRelay&) = delete;

  int port() const { return port_; }

 private:
  void run() {
    pollfd waiting = {listener_, POLLIN, 0};
    while (!stop_ && poll(&waiting, 1, 50) <= 0) {
    }
    if (stop_) return;
    int client = accept(listener_, nullptr, nullptr);
    int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(serverPort_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool open = client >= 0 && server >= 0 &&
                connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    bool serverOpen = true;
    std::string held;
    size_t fromServer = 0;
    size_t fromClient = 0;
    bool paused = false;
    char buffer[65536];
    while (!stop_ && open) {
      pollfd ends[2] = {{client, POLLIN, 0}, {serverOpen ? server : -1, POLLIN, 0}};
      if (poll(ends, 2, 50) <= 0) continue;
      if (ends[0].revents != 0) {
        ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        if (serverOpen) ::send(server, buffer, static_cast<size_t>(got), MSG_NOSIGNAL);
        fromClient += static_cast<size_t>(got);
        if (plan_.clientPauseMillis > 0 && !paused && fromClient > 8192) {
          paused = true;
          usleep(static_cast<useconds_t>(plan_.clientPauseMillis) * 1000);
        }
      }
      if (serverOpen && ends[1].revents != 0) {
        auto until = Clock::now() + std::chrono::milliseconds(plan_.batchMillis);
        for (;;) {
          ssize_t got = ::recv(server, buffer, sizeof buffer, MSG_DONTWAIT);
          if (got > 0) {
            held.append(buffer, static_cast<size_t>(got));
            fromServer += static_cast<size_t>(got);
            continue;
          }
          if (got == 0) {
            serverOpen = false;
            break;
          }
          if (Clock::now() >= until) break;
          pollfd one = {server, POLLIN, 0};
          poll(&one, 1, 5);
        }
        size_t keep = fromServer > plan_.withholdAfter ? plan_.withheld : 0;
        if (held.size() > keep) {
          ::send(client, held.data(), held.size() - keep, MSG_NOSIGNAL);
          held.erase(0, held.size() - keep);
        }
        if (!serverOpen && !plan_.hideServerClose) break;
      }
    }
    if (client >= 0) ::close(client);
    if (server >= 0) ::close(server);
  }

  int serverPort_;
  RelayPlan plan_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class SessionNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override { setDisplayMode(nullptr); }
  void TearDown() override { setDisplayMode(nullptr); }

  // A session pointed at the servers given (either may be null), with the
  // user agent "UA/1" and a fresh request.
  std::unique_ptr<HttpSession> makeSession(const ScriptedServer* plain, const ScriptedServer* tls) {
    auto session = std::make_unique<HttpSession>(networkTransport());
    if (plain != nullptr) session->settings().port = plain->port();
    if (tls != nullptr) session->settings().tlsPort = tls->port();
    session->settings().userAgent.assign("UA/1");
    session->resetRequest();
    return session;
  }
};

const char kOkWithBody[] = "send HTTP/1.0 200 OK\\r\\nServer: loop\\r\\n\\r\\n0123456789\nclose\n";

TEST_F(SessionNetworkTest, PlainRequestTextAndResponseInOneRead) {
  ScriptedServer server(false, {script(kOkWithBody)});
  ASSERT_TRUE(server.ok()) << server.error();
  auto session = makeSession(&server, nullptr);
  ASSERT_EQ(0, session->setTarget("http://127.0.0.1/a?b=1"));
  StdoutCapture capture;
  int result = session->request("GET").code();
  std::string printed = capture.finish();
  EXPECT_EQ(0, result);
  EXPECT_EQ("http://127.0.0.1/a?b=1\n", printed);
  EXPECT_EQ(200, session->status());
  EXPECT_EQ("HTTP/1.0 200 OK\r\nServer: loop", text(session->responseHeader()));
  EXPECT_EQ("0123456789", text(session->body()));
  // The server closed after the body: the body phase ends with 605 and
  // leaves the body as it was.
  EXPECT_EQ(605, session->receive().code());
  EXPECT_EQ("0123456789", text(session->body()));
  session.reset();
  server.stop();
  ASSERT_EQ(1u, server.requests().size());
  EXPECT_EQ("GET /a?b=1 HTTP/1.0\r\nAccept: */*\r\nUser-Agent: UA/1\r\nHost: 127.0.0.1\r\n\r\n",
            server.requests()[0]);
}

TEST_F(SessionNetworkTest, TlsRequestTextAndResponse) {
  ScriptedServer server(true, {script(kOkWithBody)});
  ASSERT_TRUE(server.ok()) << server.error();
  auto session = makeSession(nullptr, &server);
  ASSERT_EQ(0, session->setTarget("https://127.0.0.1/secure/x?y=2"));
  EXPECT_EQ(0, session->request("GET").code());
  ASSERT_NE(nullptr, session->connection(0));
  EXPECT_TRUE(session->connection(0)->isTls());
  EXPECT_EQ(200, session->status());
  EXPECT_EQ("HTTP/1.0 200 OK\r\nServer: loop", text(session->responseHeader()));
  EXPECT_EQ("0123456789", text(session->body()));
  EXPECT_EQ(605, session->receive().code());
  session.reset();
  server.stop();
  ASSERT_EQ(1u, server.records().size());
  EXPECT_TRUE(server.records()[0].handshakeOk);
  EXPECT_EQ(
      "GET /secure/x?y=2 HTTP/1.0\r\nAccept: */*\r\nUser-Agent: UA/1\r\nHost: 127.0.0.1\r\n\r\n",
      server.requests()[0]);
}

TEST_F(SessionNetworkTest, ProxyGetsWholeAddressAndTargetHost) {
  ScriptedServer proxy(false, {script(kOkWithBody)});
  auto session = makeSession(&proxy, nullptr);
  session->settings().proxy.assign("127.0.0.1");
  ASSERT_EQ(0, session->setTarget("http://www.example.com/p?q=1"));
  EXPECT_EQ(0, session->request("GET").code());
  EXPECT_EQ("0123456789", text(session->body()));
  session.reset();
  proxy.stop();
  ASSERT_EQ(1u, proxy.requests().size());
  EXPECT_EQ(
      "GET http://www.example.com/p?q=1 HTTP/1.0\r\nAccept: */*\r\nUser-Agent: UA/1\r\n"
      "Host: www.example.com\r\n\r\n",
      proxy.requests()[0]);
}

TEST_F(SessionNetworkTest, RequestBodyAndExtraHeader) {
  // The response has nothing after its blank line: the body must then be
  // empty, not the request body that was sent.
  ScriptedServer server(false, {script("send HTTP/1.0 200 OK\\r\\nX: 1\\r\\n\\r\\n\nclose\n")});
  auto session = makeSession(&server, nullptr);
  session->addHeader("Referer", "http://127.0.0.1/");
  session->setRequestBody("x=1&y=22");
  ASSERT_EQ(0, session->setTarget("http://127.0.0.1/form"));
  EXPECT_EQ(0, session->request("POST").code());
  EXPECT_EQ(0, session->body().length());
  session.reset();
  server.stop();
  EXPECT_EQ(
      "POST /form HTTP/1.0\r\nAccept: */*\r\nUser-Agent: UA/1\r\nReferer: http://127.0.0.1/\r\n"
      "Host: 127.0.0.1\r\nContent-Length: 8\r\n\r\nx=1&y=22",
      server.requests()[0]);
}

TEST_F(SessionNetworkTest, LargeRequestBodyOverTlsIsSentWhole) {
  // The relay takes nothing for a while: the TLS writes must wait until the
  // socket can take more, not give up when it is full.
  std::string payload(3 * 1024 * 1024, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
  ScriptedServer server(true, {script("send HTTP/1.0 200 OK\\r\\n\\r\\n\nclose\n")});
  ASSERT_TRUE(server.ok()) << server.error();
  RelayPlan pausing;
  pausing.clientPauseMillis = 300;
  LoopbackRelay relay(server.port(), pausing);
  ASSERT_NE(0, relay.port());
  auto session = makeSession(nullptr, nullptr);
  session->settings().tlsPort = relay.port();
  session->settings().timeoutSeconds = 5;
  session->setRequestBody(payload.c_str());
  ASSERT_EQ(0, session->setTarget("https://127.0.0.1/upload"));
  EXPECT_EQ(0, session->request("POST").code());
  session.reset();
  server.stop();
  ASSERT_EQ(1u, server.requests().size());
  const std::string request = server.requests()[0];
  ASSERT_GE(request.size(), payload.size());
  EXPECT_TRUE(request.compare(request.size() - payload.size(), payload.size(), payload) == 0);

  // A peer that takes nothing for longer than the time-out (a second of
  // 200 ms here): the send gives up by then (it would succeed once the
  // relay resumes, after 600 ms).
  ShortLimitSeconds shortSeconds(200);
  ScriptedServer stalled(true, {script("send HTTP/1.0 200 OK\\r\\n\\r\\n\nclose\n")});
  ASSERT_TRUE(stalled.ok()) << stalled.error();
  RelayPlan longPause;
  longPause.clientPauseMillis = 600;
  LoopbackRelay slowRelay(stalled.port(), longPause);
  auto slow = makeSession(nullptr, nullptr);
  slow->settings().tlsPort = slowRelay.port();
  slow->settings().timeoutSeconds = 1;
  slow->setRequestBody(payload.c_str());
  ASSERT_EQ(0, slow->setTarget("https://127.0.0.1/upload"));
  EXPECT_EQ(604, slow->request("POST").code());
  slow.reset();
  stalled.stop();
}

TEST_F(SessionNetworkTest, HeaderOneBytePerReadOnBothTransports) {
  const std::string reply = "HTTP/1.0 200 OK\r\nX-Long-Header: abcdefghij\r\n\r\n0123456789";
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "tls" : "plain");
    ScriptedServer server(tls, {{sendAction(reply, 1, tls ? 0 : 2), closeAction()}});
    auto session = makeSession(tls ? nullptr : &server, tls ? &server : nullptr);
    ASSERT_EQ(0, session->setTarget(tls ? "https://127.0.0.1/one" : "http://127.0.0.1/one"));
    EXPECT_EQ(0, session->request("GET").code());
    EXPECT_EQ(200, session->status());
    EXPECT_EQ("HTTP/1.0 200 OK\r\nX-Long-Header: abcdefghij", text(session->responseHeader()));
    // The body bytes came one by one after the header: the header phase
    // stops at the blank line and the body phase collects the rest.
    EXPECT_EQ(605, receiveToEnd(*session));
    EXPECT_EQ("0123456789", text(session->body()));
  }
}

TEST_F(SessionNetworkTest, BodyBytesArrivingWithHeaderAreKept) {
  // Header and the start of the body in one piece, the rest later.
  ScriptedServer server(
      false, {script("send HTTP/1.0 200 OK\\r\\n\\r\\nfirst-\npause 100\nsend second\nclose\n")});
  auto session = makeSession(&server, nullptr);
  ASSERT_EQ(0, session->setTarget("http://127.0.0.1/b"));
  EXPECT_EQ(0, session->request("GET").code());
  EXPECT_EQ("first-", text(session->body()));
  EXPECT_EQ(605, receiveToEnd(*session));
  EXPECT_EQ("first-second", text(session->body()));
}

TEST_F(SessionNetworkTest, PlainRedirectsAreFollowedWithGet) {
  ScriptedServer server(
      false,
      {// Location in the middle of the header
       script("send HTTP/1.0 302 Found\\r\\nLocation: http://127.0.0.1/second\\r\\n"
              "Server: loop\\r\\n\\r\\n\nclose\n"),
       // Location on the last line
       script(
           "send HTTP/1.0 301 Moved\\r\\nServer: loop\\r\\nLocation: http://127.0.0.1/third\\r\\n"
           "\\r\\n\nclose\n"),
       // Location in small letters
       script("send HTTP/1.0 303 See Other\\r\\nlocation: http://127.0.0.1/fourth\\r\\n\\r\\n\n"
              "close\n"),
       script("send HTTP/1.0 200 OK\\r\\n\\r\\ndone\nclose\n")});
  auto session = makeSession(&server, nullptr);
  session->setRequestBody("a=1");
  ASSERT_EQ(0, session->setTarget("http://127.0.0.1/first"));
  StdoutCapture capture;
  int result = session->request("POST").code();
  std::string printed = capture.finish();
  EXPECT_EQ(0, result);
  EXPECT_EQ(200, session->status());
  EXPECT_EQ("done", text(session->body()));
  EXPECT_EQ(
      "http://127.0.0.1/first\nhttp://127.0.0.1/second\nhttp://127.0.0.1/third\n"
      "http://127.0.0.1/fourth\n",
      printed);
  session.reset();
  server.stop();
  std::vector<std::string> requests = server.requests();
  ASSERT_EQ(4u, requests.size());
  EXPECT_EQ(
      "POST /first HTTP/1.0\r\nAccept: */*\r\nUser-Agent: UA/1\r\nHost: 127.0.0.1\r\n"
      "Content-Length: 3\r\n\r\na=1",
      requests[0]);
  // Redirects carry no body.
  EXPECT_EQ("GET /second HTTP/1.0\r\nAccept: */*\r\nUser-Agent: UA/1\r\nHost: 127.0.0.1\r\n\r\n",
            requests[1]);
  EXPECT_EQ(0u, requests[2].find("GET /third HTTP/1.0\r\n"));
  EXPECT_EQ(0u, requests[3].find("GET /fourth HTTP/1.0\r\n"));
  EXPECT_EQ(0, server.unscriptedCount());
}

TEST_F(SessionNetworkTest, RedirectsBetweenPlainAndTls) {
  ScriptedServer plain(
      false,
      {script(
           "send HTTP/1.0 302 Found\\r\\nLocation: https://127.0.0.1/secure\\r\\n\\r\\n\nclose\n"),
       script("send HTTP/1.0 200 OK\\r\\n\\r\\nback on plain\nclose\n")});
  // Over TLS a redirect is followed as well.
  ScriptedServer tls(
      true,
      {script(
          "send HTTP/1.0 302 Found\\r\\nLocation: http://127.0.0.1/plain\\r\\n\\r\\n\nclose\n")});
  ASSERT_TRUE(plain.ok() && tls.ok());
  auto session = makeSession(&plain, &tls);
  ASSERT_EQ(0, session->setTarget("http://127.0.0.1/start"));
  EXPECT_EQ(0, session->request("GET").code());
  EXPECT_EQ("back on plain", text(session->body()));
  ASSERT_NE(nullptr, session->connection(0));
  EXPECT_FALSE(session->connection(0)->isTls());
  session.reset();
  plain.stop();
  tls.stop();
  ASSERT_EQ(2u, plain.requests().size());
  ASSERT_EQ(1u, tls.requests().size());
  EXPECT_EQ("GET /secure HTTP/1.0\r\nAccept: */*\r\nUser-Agent: UA/1\r\nHost: 127.0.0.1\r\n\r\n",
            tls.requests()[0]);
  EXPECT_EQ(0u, plain.requests()[1].find("GET /plain HTTP/1.0\r\n"));
}

// A relative Location goes back to the host and port of the address it
// answers, which need not be the port setting.
TEST_F(SessionNetworkTest, RelativeLocationKeepsTheAddressPort) {
  ScriptedServer server(
      false, {script("send HTTP/1.0 302 Found\\r\\nLocation: /elsewhere\\r\\n\\r\\n\nclose\n"),
              script(kOkWithBody)});
  auto session = makeSession(nullptr, nullptr);
  session->settings().port = 1;
  const std::string at = "127.0.0.1:" + std::to_string(server.port());
  ASSERT_EQ(0, session->setTarget(("http://" + at + "/r").c_str()));
  EXPECT_TRUE(session->request("GET").ok());
  EXPECT_EQ("0123456789", text(session->body()));
  session.reset();
  server.stop();
  ASSERT_EQ(2u, server.requests().size());
  EXPECT_EQ(
      "GET /elsewhere HTTP/1.0\r\nAccept: */*\r\nUser-Agent: UA/1\r\nHost: " + at + "\r\n\r\n",
      server.requests()[1]);
}

TEST_F(SessionNetworkTest, RedirectCapOfTwenty) {
  const std::string redirect =
      "send HTTP/1.0 302 Found\\r\\nLocation: http://127.0.0.1/again\\r\\n\\r\\n\nclose\n";
  {
    // Twenty redirects are followed.
    std::vector<ConnectionScript> scripts(20, script(redirect));
    scripts.push_back(script("send HTTP/1.0 200 OK\\r\\n\\r\\nfinally\nclose\n"));
    ScriptedServer server(false, scripts);
    auto session = makeSession(&server, nullptr);
    ASSERT_EQ(0, session->setTarget("http://127.0.0.1/loop"));
    StdoutCapture capture;
    int result = session->request("GET").code();
    capture.finish();
    EXPECT_EQ(0, result);
    EXPECT_EQ("finally", text(session->body()));
    session.reset();
    server.stop();
    EXPECT_EQ(21, server.connectionCount());
  }
  {
    // The twenty-first ends the request.
    std::vector<ConnectionScript> scripts(22, script(redirect));
    ScriptedServer server(false, scripts);
    auto session = makeSession(&server, nullptr);
    ASSERT_EQ(0, session->setTarget("http://127.0.0.1/loop"));
    StdoutCapture capture;
    Status result = session->request("GET");
    capture.finish();
    EXPECT_EQ(200, result.code());
    EXPECT_EQ("too many redirects", result.detail());
    session.reset();
    server.stop();
    EXPECT_EQ(21, server.connectionCount());
  }
}

TEST_F(SessionNetworkTest, ErrorStatusGives204OnBothTransports) {
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "tls" : "plain");
    ScriptedServer server(
        tls, {script("send HTTP/1.0 404 Not Found\\r\\nX-Reason: gone\\r\\n\\r\\nmissing\nclose\n"),
              script("send HTTP/1.0 304 Not Modified\\r\\nX: 1\\r\\n\\r\\n\nclose\n")});
    auto session = makeSession(tls ? nullptr : &server, tls ? &server : nullptr);
    ASSERT_EQ(0, session->setTarget(tls ? "https://127.0.0.1/x" : "http://127.0.0.1/x"));
    EXPECT_EQ(204, session->request("GET").code());
    EXPECT_EQ(404, session->status());
    // The header stays for lookups.
    EXPECT_EQ("gone", header(*session, "X-Reason"));
    // A 3xx without Location is a final answer.
    session->resetRequest();
    EXPECT_EQ(0, session->request("GET").code());
    EXPECT_EQ(304, session->status());
  }
}

TEST_F(SessionNetworkTest, TimeOuts) {
  // A second of the time limits lasts 200 ms here.
  ShortLimitSeconds shortSeconds(200);
  // Nothing comes: 206 after about one (short) second.
  {
    ScriptedServer server(false, {script("hold\n")});
    auto session = makeSession(&server, nullptr);
    session->settings().timeoutSeconds = 1;
    ASSERT_EQ(0, session->setTarget("http://127.0.0.1/slow"));
    auto started = Clock::now();
    EXPECT_EQ(206, session->request("GET").code());
    auto elapsed = Clock::now() - started;
    EXPECT_GE(elapsed, std::chrono::milliseconds(180));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
  }
  // The header trickles in over more than the limit: the limit holds for
  // the whole header, so 206, and the partial header is kept.
  {
    ScriptedServer server(false, {script("send HTTP/1.0 200 OK\\r\\n\npause 150\n"
                                         "send X: 1\\r\\n\npause 150\nsend \\r\\n\nhold\n")});
    auto session = makeSession(&server, nullptr);
    session->settings().timeoutSeconds = 1;
    ASSERT_EQ(0, session->setTarget("http://127.0.0.1/trickle"));
    EXPECT_EQ(206, session->request("GET").code());
    // All of it would be there after 300 ms; at least the status line came.
    EXPECT_EQ(0u, text(session->responseHeader()).find("HTTP/1.0 200 OK\r\n"));
  }
  // A limit of 0 does not wait at all.
  {
    ScriptedServer server(false, {script("pause 300\nsend HTTP/1.0 200 OK\\r\\n\\r\\n\n")});
    auto session = makeSession(&server, nullptr);
    session->settings().timeoutSeconds = 0;
    ASSERT_EQ(0, session->setTarget("http://127.0.0.1/now"));
    EXPECT_EQ(206, session->request("GET").code());
    EXPECT_EQ(0, session->responseHeader().length());
  }
}

TEST_F(SessionNetworkTest, StalledTlsHandshakeEndsWithinTheTimeOut) {
  // A plain server that never answers the client's hello: the handshake,
  // and the request send behind it, must give up by the session time-out
  // instead of blocking for good.
  ShortLimitSeconds shortSeconds(200);
  ScriptedServer server(false, {script("hold\n")});
  ASSERT_TRUE(server.ok()) << server.error();
  auto session = makeSession(nullptr, &server);
  session->settings().timeoutSeconds = 1;
  ASSERT_EQ(0, session->setTarget("https://127.0.0.1/stall"));
  auto started = Clock::now();
  int result = session->request("GET").code();
  auto elapsed = Clock::now() - started;
  EXPECT_TRUE(result == 604 || result == 605 || result == 206) << result;
  EXPECT_LT(elapsed, std::chrono::seconds(8));
}

TEST_F(SessionNetworkTest, SilentTlsServerTimesOutLikeAPlainOne) {
  // After the handshake the server's session tickets make the socket
  // readable, but no response data follows. The wait must end on the time
  // limit with 206, as over a plain socket, and a limit of 0 must not wait.
  ShortLimitSeconds shortSeconds(200);
  for (int limit : {1, 0}) {
    for (bool overTls : {false, true}) {
      SCOPED_TRACE(std::string(overTls ? "tls" : "plain") + " limit " + std::to_string(limit));
      ScriptedServer server(overTls, {script("hold\n")});
      ASSERT_TRUE(server.ok()) << server.error();
      auto session = overTls ? makeSession(nullptr, &server) : makeSession(&server, nullptr);
      session->settings().timeoutSeconds = limit;
      ASSERT_EQ(0,
                session->setTarget(overTls ? "https://127.0.0.1/quiet" : "http://127.0.0.1/quiet"));
      auto started = Clock::now();
      EXPECT_EQ(206, session->request("GET").code());
      auto elapsed = Clock::now() - started;
      EXPECT_LT(elapsed, std::chrono::seconds(limit + 3));
      server.stop();
    }
  }
}

TEST_F(SessionNetworkTest, PeerStallingInsideATlsRecordTimesOut) {
  // The server sends a header without a length and 20000 body bytes, then
  // neither sends more nor closes; the relay keeps back the last 200 bytes
  // (the handshake passes whole, far below 12000 bytes). The body ends on
  // the time-out, over TLS as over a plain socket: read as a failed read, a
  // download without a length would count as complete.
  const std::string body(20000, 'x');
  ShortLimitSeconds shortSeconds(200);
  for (bool overTls : {false, true}) {
    SCOPED_TRACE(overTls ? "tls" : "plain");
    ScriptedServer server(overTls, {{sendAction("HTTP/1.0 200 OK\r\n\r\n" + body), holdAction()}});
    ASSERT_TRUE(server.ok()) << server.error();
    RelayPlan withholding;
    withholding.withholdAfter = 12000;
    withholding.withheld = 200;
    LoopbackRelay relay(server.port(), withholding);
    ASSERT_NE(0, relay.port());
    auto session = makeSession(nullptr, nullptr);
    (overTls ? session->settings().tlsPort : session->settings().port) = relay.port();
    session->settings().timeoutSeconds = 1;
    ASSERT_EQ(0, session->setTarget(overTls ? "https://127.0.0.1/clip" : "http://127.0.0.1/clip"));
    ASSERT_EQ(0, session->request("GET").code());
    EXPECT_EQ(206, receiveToEnd(*session));
    // The body buffer keeps every piece: all that came before the stall
    // (over TLS, the records that arrived whole).
    EXPECT_GT(session->body().length(), 10000);
    EXPECT_LT(session->body().length(), 20000);
    server.stop();
  }
}

TEST_F(SessionNetworkTest, TlsCloseThatCameWithTheLastRecordsEndsTheBody) {
  // The server sends its last piece and its closing alert together and
  // keeps the TCP connection open. The alert is read with the last records;
  // the next receive must report the close at once, not wait on a socket
  // that has nothing more to say until the time-out.
  ScriptedServer server(
      true, {script("send HTTP/1.0 200 OK\\r\\n\\r\\n\npause 400\nsend 0123456789\nclose\n")});
  ASSERT_TRUE(server.ok()) << server.error();
  RelayPlan batched;
  batched.batchMillis = 150;
  batched.hideServerClose = true;
  LoopbackRelay relay(server.port(), batched);
  auto session = makeSession(nullptr, nullptr);
  session->settings().tlsPort = relay.port();
  session->settings().timeoutSeconds = 3;
  ASSERT_EQ(0, session->setTarget("https://127.0.0.1/end"));
  ASSERT_EQ(0, session->request("GET").code());
  auto started = Clock::now();
  EXPECT_EQ(605, receiveToEnd(*session));
  EXPECT_TRUE(session->closedByPeer());
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(2));
  EXPECT_EQ("0123456789", text(session->body()));
  session.reset();
  server.stop();
}

TEST_F(SessionNetworkTest, PeerClosingBeforeBlankLine) {
  for (const char* ending : {"close\n", "reset\n"}) {
    SCOPED_TRACE(ending);
    ScriptedServer server(
        false, {script(std::string("send HTTP/1.0 200 OK\\r\\nX-Partial: 1\\r\\n\n") + ending)});
    auto session = makeSession(&server, nullptr);
    ASSERT_EQ(0, session->setTarget("http://127.0.0.1/cut"));
    EXPECT_EQ(605, session->request("GET").code());
    if (std::string(ending) == "close\n") {
      EXPECT_EQ("HTTP/1.0 200 OK\r\nX-Partial: 1\r\n", text(session->responseHeader()));
    }
    // The connection stays in its slot; the next call takes the body phase
    // and fails at once.
    EXPECT_NE(nullptr, session->connection(0));
    EXPECT_EQ(605, session->receive().code());
  }
}

TEST_F(SessionNetworkTest, LargeTlsBodyReadWithoutWaitingForTimeOut) {
  // TLS records carry up to 16 KiB; the last one here carries 10000 bytes,
  // more than one 4 KiB read takes, so its rest waits inside the TLS layer
  // while the socket has nothing more to report.
  const size_t size = 1024 * 1024 + 10000;
  std::string payload(size, '\0');
  for (size_t i = 0; i < size; ++i) payload[i] = static_cast<char>((i * 7 + i / 4096) % 251);
  const std::string head =
      "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
  for (bool keepAll : {false, true}) {
    SCOPED_TRACE(keepAll ? "body kept whole" : "body written out piece by piece");
    // The server keeps the connection open after the body: only the bytes
    // already received can end the loops below, never the server's close.
    ScriptedServer server(true, {{sendAction(head), sendAction(payload), holdAction()}});
    auto session = makeSession(nullptr, &server);
    session->settings().timeoutSeconds = 20;
    ASSERT_EQ(0, session->setTarget("https://127.0.0.1/big"));
    auto started = Clock::now();
    ASSERT_EQ(0, session->request("GET").code());
    std::string received;
    int result = 0;
    if (keepAll) {
      while (static_cast<size_t>(session->body().length()) < size && result == 0) {
        result = session->receive().code();
      }
      received = text(session->body());
    } else {
      // As the output file loop does: take each piece and empty the body.
      received = text(session->body());
      session->clearBody();
      while (received.size() < size && result == 0) {
        result = session->receive().code();
        received += text(session->body());
        session->clearBody();
      }
    }
    auto elapsed = Clock::now() - started;
    EXPECT_EQ(0, result);
    ASSERT_EQ(size, received.size());
    EXPECT_TRUE(received == payload);
    EXPECT_LT(elapsed, std::chrono::seconds(10));
  }
}

TEST_F(SessionNetworkTest, AFilledPieceGoesOutWhileTheSenderStillTrickles) {
  // 100 records of 1 KiB, 10 ms apart: each comes within the fill's short
  // wait, yet the piece is handed out long before the last one.
  ScriptedServer server(
      true, {script("send HTTP/1.0 200 OK\\r\\n\\r\\n\nchunk 1024 10\nsend-repeat 102400 x\n")});
  ASSERT_TRUE(server.ok()) << server.error();
  auto session = makeSession(nullptr, &server);
  ASSERT_EQ(0, session->setTarget("https://127.0.0.1/slow"));
  ASSERT_EQ(0, session->request("GET").code());
  session->clearBody();
  session->reserveBody(256 * 1024);
  EXPECT_EQ(0, session->receivePiece(256 * 1024).code());
  EXPECT_GT(session->body().length(), 0);
  EXPECT_LT(session->body().length(), 102400);
}

TEST_F(SessionNetworkTest, CookiesStoredAndSentInPathOrder) {
  ScriptedServer server(
      false,
      {// Several Set-Cookie lines, the last one on the header's last line.
       script("send HTTP/1.0 200 OK\\r\\nSet-Cookie: a=1; path=/\\r\\n"
              "Set-Cookie: b=2; path=/x\\r\\nSet-Cookie: c=3\\r\\n\\r\\n\nclose\n"),
       // The same name, domain and path again: replaced in place.
       script("send HTTP/1.0 200 OK\\r\\nset-cookie: a=9; path=/\\r\\nX: 1\\r\\n\\r\\n\nclose\n"),
       script("send HTTP/1.0 200 OK\\r\\n\\r\\n\nclose\n"),
       script("send HTTP/1.0 200 OK\\r\\nSet-Cookie: d=4\\r\\n\\r\\n\nclose\n"),
       script("send HTTP/1.0 200 OK\\r\\n\\r\\n\nclose\n")});
  auto session = makeSession(&server, nullptr);
  session->setCookieMode(1);
  ASSERT_EQ(0, session->setTarget("http://127.0.0.1/x/start"));
  EXPECT_EQ(0, session->request("GET").code());
  EXPECT_EQ(3, session->cookieJar().size());

  session->resetRequest();
  ASSERT_EQ(0, session->setTarget("http://127.0.0.1/x/next"));
  EXPECT_EQ(0, session->request("GET").code());
  session->resetRequest();
  ASSERT_EQ(0, session->setTarget("http://127.0.0.1/y"));
  EXPECT_EQ(0, session->request("GET").code());

  // Cookies off: neither sent nor stored, but kept.
  session->setCookieMode(2);
  session->resetRequest();
  ASSERT_EQ(0, session->setTarget("http://127.0.0.1/x/off"));
  EXPECT_EQ(0, session->request("GET").code());
  EXPECT_EQ(3, session->cookieJar().size());
  session->setCookieMode(1);
  session->resetRequest();
  EXPECT_EQ(0, session->request("GET").code());

  session.reset();
  server.stop();
  std::vector<std::string> requests = server.requests();
  ASSERT_EQ(5u, requests.size());
  EXPECT_EQ(std::string::npos, requests[0].find("Cookie:"));
  // Ascending by path, newest first among equal paths.
  EXPECT_EQ(
      "GET /x/next HTTP/1.0\r\nAccept: */*\r\nUser-Agent: UA/1\r\nCookie: c=3; a=1; b=2\r\n"
      "Host: 127.0.0.1\r\n\r\n",
      requests[1]);
  EXPECT_NE(std::string::npos, requests[2].find("\r\nCookie: c=3; a=9\r\n"));
  EXPECT_EQ(std::string::npos, requests[3].find("Cookie:"));
  EXPECT_NE(std::string::npos, requests[4].find("\r\nCookie: c=3; a=9; b=2\r\n"));
}

TEST_F(SessionNetworkTest, CookieDomainRule) {
  // A proxy lets the session talk to named hosts; cookie paths are matched
  // against the address's path, not the absolute target the proxy gets.
  ScriptedServer proxy(
      false, {script("send HTTP/1.0 200 OK\\r\\nSet-Cookie: wide=1; domain=.a.com; path=/\\r\\n"
                     "Set-Cookie: planted=1; domain=.b.com; path=/\\r\\n"
                     "Set-Cookie: exact=1; path=/\\r\\nX: 1\\r\\n\\r\\n\nclose\n"),
              script("send HTTP/1.0 200 OK\\r\\n\\r\\n\nclose\n"),
              script("send HTTP/1.0 200 OK\\r\\n\\r\\n\nclose\n"),
              script("send HTTP/1.0 200 OK\\r\\n\\r\\n\nclose\n"),
              script("send HTTP/1.0 200 OK\\r\\n\\r\\n\nclose\n")});
  auto session = makeSession(&proxy, nullptr);
  session->settings().proxy.assign("127.0.0.1");
  session->setCookieMode(1);
  const char* targets[] = {"http://x.a.com/set", "http://y.a.com/p", "http://a.com/p",
                           "http://evila.com/p", "http://x.a.com/again"};
  for (const char* target : targets) {
    session->resetRequest();
    ASSERT_EQ(0, session->setTarget(target));
    EXPECT_EQ(0, session->request("GET").code()) << target;
  }
  // The cookie for another site was not stored.
  EXPECT_EQ(2, session->cookieJar().size());
  session.reset();
  proxy.stop();
  std::vector<std::string> requests = proxy.requests();
  ASSERT_EQ(5u, requests.size());
  EXPECT_NE(std::string::npos, requests[1].find("\r\nCookie: wide=1\r\nHost: y.a.com\r\n"));
  EXPECT_EQ(std::string::npos, requests[2].find("Cookie:"));  // a.com lacks the dot
  EXPECT_EQ(std::string::npos, requests[3].find("Cookie:"));
  EXPECT_NE(std::string::npos,
            requests[4].find("\r\nCookie: exact=1; wide=1\r\nHost: x.a.com\r\n"));
}

// Keeps connection 0, opens connection 1, keeps that one too, then ends
// the session: each connection must be closed once, at the right time.
void checkKeptConnectionsClosedOnce(bool tls) {
  ScriptedServer server(tls, {script("send HTTP/1.0 200 OK\\r\\n\\r\\nfirst\nhold\n"),
                              script("send HTTP/1.0 200 OK\\r\\n\\r\\nsecond\nhold\n"),
                              script("send HTTP/1.0 200 OK\\r\\n\\r\\nthird\nhold\n")});
  ASSERT_TRUE(server.ok()) << server.error();
  const char* address = tls ? "https://127.0.0.1/k" : "http://127.0.0.1/k";
  {
    HttpSession session(networkTransport());
    (tls ? session.settings().tlsPort : session.settings().port) = server.port();
    session.resetRequest();
    ASSERT_EQ(0, session.setTarget(address));
    ASSERT_EQ(0, session.request("GET").code());
    session.keepConnection();
    EXPECT_EQ(session.connection(0), session.connection(1));

    // The next request drops the current slot's share only.
    session.resetRequest();
    ASSERT_EQ(0, session.request("GET").code());
    EXPECT_EQ("second", text(session.body()));
    EXPECT_NE(session.connection(0), session.connection(1));
    usleep(200 * 1000);
    EXPECT_FALSE(server.records()[0].clientClosed);

    // Keeping again closes the connection kept before, and only that one.
    session.keepConnection();
    EXPECT_TRUE(waitForClientClose(server, 0));
    session.resetRequest();
    ASSERT_EQ(0, session.request("GET").code());
    EXPECT_EQ("third", text(session.body()));
    usleep(200 * 1000);
    EXPECT_FALSE(server.records()[1].clientClosed);
  }
  EXPECT_TRUE(waitForClientClose(server, 1));
  EXPECT_TRUE(waitForClientClose(server, 2));
  server.stop();
  std::vector<ConnectionRecord> records = server.records();
  ASSERT_EQ(3u, records.size());
  for (const ConnectionRecord& record : records) {
    EXPECT_TRUE(record.clientClosed);
    EXPECT_EQ(tls ? 1 : 0, record.closeNotifies);
  }
  EXPECT_EQ(0, server.unscriptedCount());
}

TEST_F(SessionNetworkTest, KeptConnectionsClosedOnceWithoutDescriptorLeak) {
  // A first TLS exchange, so that whatever the TLS library keeps open for
  // good is open before counting.
  {
    ScriptedServer warm(true, {script(kOkWithBody)});
    HttpSession session(networkTransport());
    session.settings().tlsPort = warm.port();
    ASSERT_EQ(0, session.setTarget("https://127.0.0.1/warm"));
    session.request("GET").code();
  }
  int before = openDescriptorCount();
  checkKeptConnectionsClosedOnce(false);
  checkKeptConnectionsClosedOnce(true);
  EXPECT_EQ(before, openDescriptorCount());
}

TEST_F(SessionNetworkTest, FailedRequestsLeakNoDescriptor) {
  int before = openDescriptorCount();
  {
    // Refused connect: the port is free again once the server has stopped.
    ScriptedServer gone(false, {});
    int port = gone.port();
    gone.stop();
    HttpSession session(networkTransport());
    session.settings().port = port;
    ASSERT_EQ(0, session.setTarget("http://127.0.0.1/refused"));
    EXPECT_EQ(204, session.request("GET").code());
    EXPECT_EQ(nullptr, session.connection(0));
  }
  {
    ScriptedServer server(false, {script("reset\n"), script(kOkWithBody)});
    HttpSession session(networkTransport());
    session.settings().port = server.port();
    ASSERT_EQ(0, session.setTarget("http://127.0.0.1/again"));
    EXPECT_EQ(605, session.request("GET").code());
    EXPECT_EQ(0, session.request("GET").code());
  }
  EXPECT_EQ(before, openDescriptorCount());
}

}  // namespace

namespace {

// A SOCKS 5 proxy on loopback that leaves its first CONNECT unanswered (a
// destination that does not answer, as a black-holed address) and answers
// every later one, then plays the target's reply itself.
class StallingSocksProxy {
 public:
  StallingSocksProxy() {
    std::string error;
    listener_ = listenOnLoopback(0, 0, &error);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~StallingSocksProxy() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    for (int fd : accepted_) close(fd);
    close(listener_);
  }
  int port() const { return port_; }
  int connections() const { return static_cast<int>(accepted_.size()); }

 private:
  void serve() {
    for (;;) {
      int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      accepted_.push_back(fd);
      char bytes[512];
      // The greeting, then the request (its address is not looked at).
      if (recv(fd, bytes, sizeof bytes, 0) <= 0 || send(fd, "\x05\x00", 2, 0) != 2) continue;
      if (recv(fd, bytes, sizeof bytes, 0) <= 0 || accepted_.size() == 1) continue;
      const char reply[] = "\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50HTTP/1.0 200 OK\r\n\r\nhi";
      send(fd, reply, sizeof reply - 1, 0);
      shutdown(fd, SHUT_WR);
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::vector<int> accepted_;
  std::thread thread_;
};

// The real network, where every name has two addresses (which only the
// proxy would reach).
class TwoAddressNetwork : public NetTransport {
 public:
  bool lookUp(const char*, std::vector<std::string>* addresses, ConnectFailure*) override {
    *addresses = {"192.0.2.1", "192.0.2.2"};
    return true;
  }
};

// A "socks5://" proxy is handed the target's addresses as they race: the
// second goes a quarter of a second after the first, which the proxy does
// not get through, and wins long before the first's time limit.
TEST(SocksRaceTest, TheAddressesOfTheTargetRaceThroughTheProxy) {
  StallingSocksProxy proxy;
  TwoAddressNetwork network;
  HttpSession session(network);
  session.settings().timeoutSeconds = 5;
  session.settings().proxy.assign(formatText("socks5://127.0.0.1:%d", proxy.port()).c_str());
  session.resetRequest();
  ASSERT_EQ(0, session.setTarget("http://video.example:8080/a"));
  StdoutCapture quiet;
  auto started = Clock::now();
  ASSERT_TRUE(session.request("GET").ok());
  auto elapsed = Clock::now() - started;
  EXPECT_GE(elapsed, std::chrono::milliseconds(200));
  EXPECT_LT(elapsed, std::chrono::seconds(2));
  EXPECT_EQ(2, proxy.connections());
  EXPECT_EQ("hi", text(session.body()));
}

}  // namespace
