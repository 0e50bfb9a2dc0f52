// Self-test of the scripted loopback server, driven with plain sockets and
// with OpenSSL client calls.
#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "support/capture.h"

namespace {

int connectTo(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool readable(int fd, int millis) {
  pollfd watched = {fd, POLLIN, 0};
  return poll(&watched, 1, millis) > 0;
}

void sendText(int fd, const std::string& text) {
  ASSERT_EQ(static_cast<ssize_t>(text.size()), send(fd, text.data(), text.size(), MSG_NOSIGNAL));
}

// Reads until the peer closes or fails, or nothing comes for 5 s. Counts the
// reads in *reads and leaves the last recv result in *last.
std::string readToEnd(int fd, int* reads = nullptr, ssize_t* last = nullptr, int* error = nullptr) {
  std::string all;
  char buffer[65536];
  ssize_t n = -1;
  while (readable(fd, 5000)) {
    n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    all.append(buffer, static_cast<size_t>(n));
    if (reads != nullptr) ++*reads;
  }
  if (last != nullptr) *last = n;
  if (error != nullptr) *error = n < 0 ? errno : 0;
  return all;
}

// A blocking TLS client on one connection.
struct TlsClient {
  explicit TlsClient(int port) {
    fd = connectTo(port);
    context = SSL_CTX_new(TLS_client_method());
    ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    connected = SSL_connect(ssl) == 1;
  }
  ~TlsClient() {
    SSL_free(ssl);
    SSL_CTX_free(context);
    if (fd >= 0) close(fd);
  }
  // Reads until close-notify, end or failure; *closeNotify tells which.
  std::string readToEnd(bool* closeNotify) {
    std::string all;
    char buffer[16384];
    for (;;) {
      int n = SSL_read(ssl, buffer, sizeof buffer);
      if (n <= 0) {
        *closeNotify = SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
        return all;
      }
      all.append(buffer, static_cast<size_t>(n));
    }
  }
  int fd = -1;
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  bool connected = false;
};

ConnectionScript parsed(const std::string& text) {
  ConnectionScript actions;
  std::string error;
  EXPECT_TRUE(parseActions(text, &actions, &error)) << error;
  return actions;
}

}  // namespace

TEST(ScriptedServerText, Unescape) {
  std::string out;
  EXPECT_TRUE(unescapeText("a\\r\\n\\t\\\\b\\x00\\x7f\\xFF", &out));
  EXPECT_EQ(std::string("a\r\n\t\\b\0\x7f\xff", 9), out);
  EXPECT_TRUE(unescapeText("", &out));
  EXPECT_EQ("", out);
  EXPECT_FALSE(unescapeText("trailing\\", &out));
  EXPECT_FALSE(unescapeText("\\x4", &out));
  EXPECT_FALSE(unescapeText("\\xg0", &out));
  EXPECT_FALSE(unescapeText("\\q", &out));
}

TEST(ScriptedServerText, ParsesEveryAction) {
  TempDir dir;
  dir.write("body.bin", std::string("file\0bytes", 10));
  ConnectionScript actions;
  std::string error;
  ASSERT_TRUE(
      parseActions("# reply\r\n"
                   "send HTTP/1.0 200 OK\\r\\n\\r\\n\r\n"
                   "\n"
                   "chunk 3 15\n"
                   "send-file body.bin\n"
                   "send-repeat 3 a\\x00\n"
                   "chunk 0\n"
                   "send \n"
                   "pause 250\n"
                   "hold\n",
                   &actions, &error, dir.path()))
      << error;
  ASSERT_EQ(6u, actions.size());
  EXPECT_EQ(ServerAction::kSend, actions[0].kind);
  EXPECT_EQ("HTTP/1.0 200 OK\r\n\r\n", actions[0].bytes);
  EXPECT_EQ(0, actions[0].chunk);
  EXPECT_EQ(std::string("file\0bytes", 10), actions[1].bytes);
  EXPECT_EQ(3, actions[1].chunk);
  EXPECT_EQ(15, actions[1].millis);
  EXPECT_EQ(std::string("a\0a\0a\0", 6), actions[2].bytes);
  EXPECT_EQ(3, actions[2].chunk);
  EXPECT_EQ("", actions[3].bytes);
  EXPECT_EQ(0, actions[3].chunk);
  EXPECT_EQ(ServerAction::kPause, actions[4].kind);
  EXPECT_EQ(250, actions[4].millis);
  EXPECT_EQ(ServerAction::kHold, actions[5].kind);

  ASSERT_TRUE(parseActions("close\nreset\n", &actions, &error));
  ASSERT_EQ(2u, actions.size());
  EXPECT_EQ(ServerAction::kClose, actions[0].kind);
  EXPECT_EQ(ServerAction::kReset, actions[1].kind);
}

TEST(ScriptedServerText, RejectsBadLines) {
  ConnectionScript actions;
  std::string error;
  EXPECT_FALSE(parseActions("send ok\nsend bad\\q\n", &actions, &error));
  EXPECT_EQ("line 2: bad escape: send bad\\q", error);
  EXPECT_FALSE(parseActions("shout x\n", &actions, &error));
  EXPECT_EQ("line 1: unknown action: shout x", error);
  EXPECT_FALSE(parseActions("pause soon\n", &actions, &error));
  EXPECT_FALSE(parseActions("pause -5\n", &actions, &error));
  EXPECT_FALSE(parseActions("send-repeat 3 \\q\n", &actions, &error));
  EXPECT_FALSE(parseActions("send-repeat 268435456 ab\n", &actions, &error));
  EXPECT_FALSE(parseActions("send-repeat x\n", &actions, &error));
  EXPECT_FALSE(parseActions("chunk 2 x\n", &actions, &error));
  EXPECT_FALSE(parseActions("close now\n", &actions, &error));
  EXPECT_FALSE(parseActions("send-file /nonexistent/quorvane/file\n", &actions, &error));
}

// The range answers the campaign's resuming server gives: the rest from the
// asked offset (to the asked end) only while "If-Range:" names the entity's validator.
TEST(ScriptedServerText, RangeAnswers) {
  const std::string kGet = "GET /f HTTP/1.0\r\nHost: h\r\n";
  const std::string kWhole = "HTTP/1.1 200 OK\r\nETag: \"e\"\r\nContent-Length: 6\r\n\r\nabcdef";
  struct Row {
    std::string requestLines;
    bool honour;
    size_t cut;
    std::string answer;
  } rows[] = {
      {"", true, std::string::npos, kWhole},
      {"Range: bytes=2-\r\n", true, std::string::npos,
       "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 2-5/6\r\nETag: \"e\"\r\n"
       "Content-Length: 4\r\n\r\ncdef"},
      {"range: bytes=2-\r\nIf-Range: \"e\"\r\n", true, 2,
       "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 2-5/6\r\nETag: \"e\"\r\n"
       "Content-Length: 4\r\n\r\ncd"},
      {"Range: bytes=2-\r\nIf-Range: \"old\"\r\n", true, std::string::npos, kWhole},
      {"Range: bytes=2-\r\n", false, std::string::npos, kWhole},
      {"Range: bytes=2-4\r\n", true, std::string::npos,
       "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 2-4/6\r\nETag: \"e\"\r\n"
       "Content-Length: 3\r\n\r\ncde"},
      {"Range: bytes=6-\r\n", true, std::string::npos,
       "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */6\r\nETag: \"e\"\r\n"
       "Content-Length: 0\r\n\r\n"},
  };
  for (const Row& row : rows) {
    ServerAction action =
        sendRangeAction("abcdef", "ETag: \"e\"\r\n", "\"e\"", row.honour, row.cut);
    EXPECT_EQ(rangeAnswer(action, kGet + row.requestLines + "\r\n"), row.answer)
        << row.requestLines;
  }
}

TEST(ScriptedServer, RecordsRequestWithBodyAndClosesAfterReply) {
  ScriptedServer server(false, {parsed("send HTTP/1.0 200 OK\\r\\n\\r\\nhello\nclose\n")});
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_GT(server.port(), 0);
  int fd = connectTo(server.port());
  ASSERT_GE(fd, 0);
  // The body comes in a later segment: the server must wait for it.
  sendText(fd, "POST /x HTTP/1.0\r\nContent-length:  4\r\n\r\n");
  usleep(100 * 1000);
  sendText(fd, "a=1&");
  ssize_t last = 0;
  EXPECT_EQ("HTTP/1.0 200 OK\r\n\r\nhello", readToEnd(fd, nullptr, &last));
  EXPECT_EQ(0, last);  // a graceful end, not a reset
  close(fd);
  server.stop();
  ASSERT_EQ(1u, server.requests().size());
  EXPECT_EQ("POST /x HTTP/1.0\r\nContent-length:  4\r\n\r\na=1&", server.requests()[0]);
  EXPECT_EQ(1, server.connectionCount());
  EXPECT_EQ(0, server.unscriptedCount());
}

TEST(ScriptedServer, SendsInChunksWithGaps) {
  std::string reply = "0123456789";
  ScriptedServer server(false, {{sendAction(reply, 1, 30)}});
  ASSERT_TRUE(server.ok()) << server.error();
  int fd = connectTo(server.port());
  sendText(fd, "GET / HTTP/1.0\r\n\r\n");
  int reads = 0;
  EXPECT_EQ(reply, readToEnd(fd, &reads));
  // Ten pieces 30 ms apart cannot all arrive in one or two reads.
  EXPECT_GE(reads, 3);
  close(fd);
}

TEST(ScriptedServer, PausesBeforeSending) {
  ScriptedServer server(false, {parsed("pause 400\nsend late\n")});
  int fd = connectTo(server.port());
  sendText(fd, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_FALSE(readable(fd, 100));
  EXPECT_EQ("late", readToEnd(fd));
  close(fd);
}

TEST(ScriptedServer, ResetIsSeenAsConnectionReset) {
  ScriptedServer server(false, {parsed("reset\n")});
  int fd = connectTo(server.port());
  sendText(fd, "GET / HTTP/1.0\r\n\r\n");
  ssize_t last = 0;
  int error = 0;
  EXPECT_EQ("", readToEnd(fd, nullptr, &last, &error));
  EXPECT_EQ(-1, last);
  EXPECT_EQ(ECONNRESET, error);
  close(fd);
}

TEST(ScriptedServer, HoldLastsUntilClientClosesOrStop) {
  ScriptedServer server(false, {parsed("send first\nhold\n"), parsed("send second\nhold\n")});
  int first = connectTo(server.port());
  sendText(first, "GET /1 HTTP/1.0\r\n\r\n");
  char buffer[64];
  ASSERT_TRUE(readable(first, 5000));
  EXPECT_EQ(5, recv(first, buffer, sizeof buffer, 0));
  EXPECT_FALSE(readable(first, 200));  // held open, nothing more

  // A held connection does not keep the server from serving the next one.
  int second = connectTo(server.port());
  sendText(second, "GET /2 HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(readable(second, 5000));
  EXPECT_EQ(6, recv(second, buffer, sizeof buffer, 0));

  close(first);
  // Give the server a moment to see the first close before stopping.
  for (int i = 0; i < 100 && !server.records()[0].clientClosed; ++i) usleep(20 * 1000);

  auto started = std::chrono::steady_clock::now();
  server.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  ssize_t last = -1;
  EXPECT_EQ("", readToEnd(second, nullptr, &last));
  EXPECT_EQ(0, last);  // stop() ended the held connection gracefully
  close(second);

  std::vector<ConnectionRecord> records = server.records();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ("GET /1 HTTP/1.0\r\n\r\n", records[0].request);
  EXPECT_EQ("GET /2 HTTP/1.0\r\n\r\n", records[1].request);
  EXPECT_TRUE(records[0].clientClosed);
  EXPECT_FALSE(records[1].clientClosed);
}

TEST(ScriptedServer, ConnectionsBeyondScriptAreClosedAndCounted) {
  ScriptedServer server(false, {parsed("send only\n")});
  int first = connectTo(server.port());
  sendText(first, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ("only", readToEnd(first));
  close(first);
  int second = connectTo(server.port());
  ASSERT_GE(second, 0);
  ssize_t last = -1;
  EXPECT_EQ("", readToEnd(second, nullptr, &last));
  EXPECT_LE(last, 0);
  close(second);
  server.stop();
  EXPECT_EQ(2, server.connectionCount());
  EXPECT_EQ(1, server.unscriptedCount());
  EXPECT_EQ(1u, server.requests().size());
}

TEST(ScriptedServer, AddedConnectionsAreServed) {
  ScriptedServer server(false, {});
  server.addConnection(parsed("send added\n"));
  int fd = connectTo(server.port());
  sendText(fd, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ("added", readToEnd(fd));
  close(fd);
}

TEST(ScriptedServer, StopInterruptsSilentClientWait) {
  ScriptedServer server(false, {parsed("send never\n")});
  int fd = connectTo(server.port());
  ASSERT_GE(fd, 0);
  usleep(100 * 1000);  // the server now waits for a request that never comes
  auto started = std::chrono::steady_clock::now();
  server.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started,
            std::chrono::milliseconds(ScriptedServer::kRequestWaitMillis - 1000));
  close(fd);
}

TEST(ScriptedServer, TlsExchangeWithCloseNotifyBothWays) {
  ScriptedServer server(true, {parsed("chunk 4\nsend HTTP/1.0 200 OK\\r\\n\\r\\nsecret\nclose\n"),
                               parsed("send held\nhold\n")});
  ASSERT_TRUE(server.ok()) << server.error();
  EXPECT_TRUE(server.tls());
  {
    TlsClient client(server.port());
    ASSERT_TRUE(client.connected);
    std::string request = "GET /tls HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(static_cast<int>(request.size()),
              SSL_write(client.ssl, request.data(), static_cast<int>(request.size())));
    bool closeNotify = false;
    EXPECT_EQ("HTTP/1.0 200 OK\r\n\r\nsecret", client.readToEnd(&closeNotify));
    EXPECT_TRUE(closeNotify);
  }
  {
    TlsClient client(server.port());
    ASSERT_TRUE(client.connected);
    ASSERT_EQ(5, SSL_write(client.ssl, "X\r\n\r\n", 5));
    char buffer[16];
    EXPECT_EQ(4, SSL_read(client.ssl, buffer, sizeof buffer));
    SSL_shutdown(client.ssl);  // one close-notify, then the socket closes
  }
  for (int i = 0; i < 100 && !server.records()[1].clientClosed; ++i) usleep(20 * 1000);
  server.stop();
  std::vector<ConnectionRecord> records = server.records();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ("GET /tls HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", records[0].request);
  EXPECT_TRUE(records[0].handshakeOk);
  EXPECT_EQ("X\r\n\r\n", records[1].request);
  EXPECT_TRUE(records[1].clientClosed);
  EXPECT_EQ(1, records[1].closeNotifies);
}

TEST(ScriptedServer, PlainClientOnTlsServerFailsHandshake) {
  ScriptedServer server(true, {parsed("send never\n")});
  int fd = connectTo(server.port());
  sendText(fd, "GET / HTTP/1.0\r\n\r\n");
  std::string answer = readToEnd(fd);
  EXPECT_EQ(std::string::npos, answer.find("never"));
  close(fd);
  server.stop();
  ASSERT_EQ(1u, server.records().size());
  EXPECT_FALSE(server.records()[0].handshakeOk);
}

TEST(ScriptedServer, BindFailureIsReported) {
  ScriptedServer first(false, {});
  ASSERT_TRUE(first.ok()) << first.error();
  ScriptedServer second(true, {}, first.port());
  EXPECT_FALSE(second.ok());
  EXPECT_EQ(0, second.port());
  EXPECT_EQ("bind 127.0.0.1:" + std::to_string(first.port()) + ": " + strerror(EADDRINUSE),
            second.error());
}

TEST(ScriptedServer, FreesEveryDescriptor) {
  {
    // Warm up: the TLS library may keep a random source open for good.
    ScriptedServer warm(true, {parsed("send x\n")});
    TlsClient client(warm.port());
    SSL_write(client.ssl, "\r\n\r\n", 4);
  }
  int before = openDescriptorCount();
  {
    ScriptedServer server(true, {parsed("send a\nhold\n"), parsed("send b\nclose\n")});
    TlsClient first(server.port());
    SSL_write(first.ssl, "\r\n\r\n", 4);
    TlsClient second(server.port());
    SSL_write(second.ssl, "\r\n\r\n", 4);
    bool closeNotify = false;
    EXPECT_EQ("b", second.readToEnd(&closeNotify));
    server.stop();
  }
  EXPECT_EQ(before, openDescriptorCount());
}
