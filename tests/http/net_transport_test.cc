// The real transport on loopback: connect attempts in order with their time
// limit and the failure that is reported, and the certificate check of TLS
// links against the scripted server's certificates.
#include "http/net_transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/process_setup.h"
#include "support/capture.h"
#include "support/scripted_server.h"

namespace {

// TLS writes cannot ask for MSG_NOSIGNAL: like the program, these tests
// ignore SIGPIPE, so that a server that goes away fails a send instead of
// ending the test program.
const bool kBrokenPipeIgnored = (ignoreWriteSignals(), true);

using Clock = std::chrono::steady_clock;

// Before any thread: the TLS checks below trust the test authority.
const std::string kAuthorityFile = trustTestAuthority();

// A loopback port with a listener that accepts, one whose listener never
// answers (its queue of connections is full, so new ones are never
// completed), and one that nobody listens on (refused).
class LoopbackPorts {
 public:
  LoopbackPorts() {
    std::string error;
    answering_ = listenOnLoopback(0, 0, &error);
    silent_ = listenOnLoopback(0, 0, &error);
    int closed = listenOnLoopback(0, 0, &error);
    refusedPort_ = portOf(closed);
    ::close(closed);
    // A queue of one connection, filled by a client nobody accepts.
    if (silent_ >= 0 && listen(silent_, 0) == 0) {
      filler_ = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address = loopback(portOf(silent_));
      if (connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(filler_);
        filler_ = -1;
      }
    }
  }
  ~LoopbackPorts() {
    for (int fd : {answering_, silent_, filler_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  LoopbackPorts(const LoopbackPorts&) = delete;
  LoopbackPorts& operator=(const LoopbackPorts&) = delete;

  bool ok() const { return answering_ >= 0 && filler_ >= 0 && refusedPort_ > 0; }
  int answering() const { return portOf(answering_); }
  int silent() const { return portOf(silent_); }
  int refused() const { return refusedPort_; }

  static sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }

 private:
  static int portOf(int fd) {
    if (fd < 0) return 0;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
  }

  int answering_ = -1;
  int silent_ = -1;
  int filler_ = -1;
  int refusedPort_ = 0;
};

// The addresses 127.0.0.1:port for each port, as the resolver would list
// them for one name.
class AddressList {
 public:
  explicit AddressList(const std::vector<int>& ports) : addresses_(ports.size()) {
    entries_.resize(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
      addresses_[i] = LoopbackPorts::loopback(ports[i]);
      addrinfo& entry = entries_[i];
      entry.ai_family = AF_INET;
      entry.ai_socktype = SOCK_STREAM;
      entry.ai_protocol = IPPROTO_TCP;
      entry.ai_addr = reinterpret_cast<sockaddr*>(&addresses_[i]);
      entry.ai_addrlen = sizeof addresses_[i];
      entry.ai_next = i + 1 < ports.size() ? &entries_[i + 1] : nullptr;
    }
  }
  const addrinfo* first() const { return entries_.empty() ? nullptr : &entries_[0]; }

 private:
  std::vector<sockaddr_in> addresses_;
  std::vector<addrinfo> entries_;
};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(NetTransportTest, TriesEachAddressInTurnWithinTheLimit) {
  LoopbackPorts ports;
  ASSERT_TRUE(ports.ok());
  AddressList list({ports.silent(), ports.refused(), ports.answering()});
  ConnectFailure failure;
  Clock::time_point start = Clock::now();
  int fd = connectInOrder(list.first(), 1, &failure);
  double seconds = secondsSince(start);
  ASSERT_GT(fd, 2);
  EXPECT_EQ(ConnectFailure::kNone, failure.kind);
  EXPECT_EQ(3, failure.attempts);
  // The silent address was given up after its second, not the system's
  // own limit of minutes.
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 10);
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  ASSERT_EQ(0, getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length));
  EXPECT_EQ(ports.answering(), ntohs(peer.sin_port));
  close(fd);
}

TEST(NetTransportTest, ReportsTheFailureOfTheLastAddress) {
  LoopbackPorts ports;
  ASSERT_TRUE(ports.ok());
  ConnectFailure failure;
  AddressList refusedLast({ports.silent(), ports.refused()});
  EXPECT_EQ(-1, connectInOrder(refusedLast.first(), 1, &failure));
  EXPECT_EQ(ConnectFailure::kRefused, failure.kind);
  EXPECT_EQ(ECONNREFUSED, failure.error);
  EXPECT_EQ(2, failure.attempts);

  AddressList silentLast({ports.refused(), ports.silent()});
  EXPECT_EQ(-1, connectInOrder(silentLast.first(), 1, &failure));
  EXPECT_EQ(ConnectFailure::kTimedOut, failure.kind);
  EXPECT_EQ(1, failure.seconds);

  AddressList none({});
  EXPECT_EQ(-1, connectInOrder(none.first(), 1, &failure));
  EXPECT_EQ(ConnectFailure::kNotResolved, failure.kind);

  // A dotted address is read whole: a blank and more after it is no
  // address, not the address before the blank.
  NetTransport net;
  EXPECT_EQ(-1, net.connectTo("127.0.0.1 .localhost", ports.answering(), 1, &failure));
  EXPECT_EQ(ConnectFailure::kNotResolved, failure.kind);
}

// One TLS exchange: the reason the check gave ("" when it passed) and, when
// it passed, whether the server answered over the link; with `stored`, how
// many certificates the link's store held after the handshake.
std::string untrustedReason(ServerCertificate certificate, const char* name, bool ipLiteral,
                            bool verify, bool* answered, int* stored = nullptr) {
  ScriptedServer server(true, {{sendAction("hello"), closeAction()}}, 0, certificate);
  EXPECT_TRUE(server.ok()) << server.error();
  NetTransport net;
  ConnectFailure failure;
  int fd = net.connectTo("127.0.0.1", server.port(), 5, &failure);
  EXPECT_GT(fd, 2);
  if (fd <= 2) return "no connection";
  net.limitBlocking(fd, 5);
  TlsPeer peer;
  peer.name = name;
  peer.ipLiteral = ipLiteral;
  peer.verify = verify;
  TlsStart started = net.startTls(fd, peer, 5);
  EXPECT_EQ(started.untrusted.empty() ? TlsStart::kDone : TlsStart::kUntrusted, started.outcome);
  if (stored != nullptr && started.link != nullptr) {
    *stored =
        sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(started.link->ctx)));
  }
  *answered = false;
  if (started.untrusted.empty()) {
    const char request[] = "GET / HTTP/1.0\r\n\r\n";
    EXPECT_EQ(static_cast<int>(sizeof request - 1),
              net.send(started.link.get(), fd, request, sizeof request - 1, 0));
    char reply[16];
    timeval limit = {5, 0};
    int got = kReadWouldBlock;
    while (got == kReadWouldBlock && net.waitReadable(fd, &limit) > 0)
      got = net.recv(started.link.get(), fd, reply, sizeof reply, 0);
    *answered = got == 5 && std::string(reply, 5) == "hello";
  }
  net.close(started.link.get(), fd);
  server.stop();
  std::vector<ConnectionRecord> records = server.records();
  // The server name goes out for names only.
  if (!records.empty() && records[0].handshakeOk) {
    EXPECT_EQ(ipLiteral ? "" : name, records[0].serverName);
  }
  return started.untrusted;
}

TEST(NetTransportTest, ChecksTheCertificateAgainstTheTrustedAuthority) {
  ASSERT_FALSE(kAuthorityFile.empty());
  const struct {
    ServerCertificate certificate;
    const char* name;
    bool ipLiteral;
    bool verify;
    const char* reason;  // "" : trusted
  } rows[] = {
      {ServerCertificate::kTrusted, "127.0.0.1", true, true, ""},
      {ServerCertificate::kTrusted, "localhost", false, true, ""},
      {ServerCertificate::kOtherName, "127.0.0.1", true, true, "IP address mismatch"},
      {ServerCertificate::kOtherName, "localhost", false, true, "hostname mismatch"},
      {ServerCertificate::kSelfSigned, "127.0.0.1", true, true, "self-signed certificate"},
      {ServerCertificate::kSelfSigned, "localhost", false, false, ""},
      {ServerCertificate::kOtherName, "127.0.0.1", true, false, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.name) + (row.verify ? " checked" : " unchecked"));
    bool answered = false;
    EXPECT_EQ(row.reason,
              untrustedReason(row.certificate, row.name, row.ipLiteral, row.verify, &answered));
    EXPECT_EQ(row.reason[0] == '\0', answered);
  }
}

// Without SSL_CERT_FILE, the folder of certificates named by subject hash is
// asked first, and the system's bundle is read only when it lacks the issuer.
TEST(NetTransportTest, ReadsTheSystemBundleOnlyWhenTheFolderLacksTheIssuer) {
  TempDir withAuthority;
  TempDir empty;
  BIO* pem =
      BIO_new_mem_buf(testAuthorityPem().data(), static_cast<int>(testAuthorityPem().size()));
  X509* authority = PEM_read_bio_X509(pem, nullptr, nullptr, nullptr);
  BIO_free(pem);
  ASSERT_NE(nullptr, authority);
  char hashName[16];
  snprintf(hashName, sizeof hashName, "%08lx.0", X509_subject_name_hash(authority));
  X509_free(authority);
  withAuthority.write(hashName, testAuthorityPem());
  const bool systemBundle = access(X509_get_default_cert_file(), R_OK) == 0;
  const struct {
    const TempDir& folder;
    const char* reason;
    bool bundleRead;
  } rows[] = {
      {withAuthority, "", false},
      {empty, "unable to get local issuer certificate", systemBundle},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.reason);
    ScopedEnv noFile;
    noFile.set("SSL_CERT_FILE", nullptr);
    ScopedEnv folder;
    folder.set("SSL_CERT_DIR", row.folder.path().c_str());
    bool answered = false;
    int stored = 0;
    EXPECT_EQ(row.reason, untrustedReason(ServerCertificate::kTrusted, "127.0.0.1", true, true,
                                          &answered, &stored));
    // The bundle holds a hundred certificates or more; the folder gave one.
    EXPECT_EQ(row.bundleRead, stored > 1);
  }
}

}  // namespace
