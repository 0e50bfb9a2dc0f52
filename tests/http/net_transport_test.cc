// The real transport on loopback: connect attempts raced with their time
// limit and the failure that is reported, and the certificate check of TLS
// links against the scripted server's certificates.
#include "http/net_transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/process_setup.h"
#include "http/socket_link.h"
#include "http/tls_link.h"
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

// The port the peer of a connected link answers on.
int peerPort(const SocketLink& link) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (getpeername(link.descriptor(), reinterpret_cast<sockaddr*>(&peer), &length) != 0) return 0;
  return ntohs(peer.sin_port);
}

// The addresses of a name race: a silent one costs a stagger, not its time
// limit; a refused one hands its turn on at once.
TEST(NetTransportTest, RacesTheAddressesOfAName) {
  LoopbackPorts ports;
  ASSERT_TRUE(ports.ok());
  const struct {
    std::vector<int> order;
    double least;
    double most;
  } rows[] = {
      {{ports.silent(), ports.answering()}, 0.2, 0.9},
      {{ports.silent(), ports.refused(), ports.answering()}, 0.2, 0.9},
      {{ports.refused(), ports.answering()}, 0.0, 0.2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.order.size());
    AddressList list(row.order);
    ConnectFailure failure;
    Clock::time_point start = Clock::now();
    std::unique_ptr<SocketLink> link = connectRacing(list.first(), 5, &failure);
    double seconds = secondsSince(start);
    ASSERT_NE(nullptr, link);
    EXPECT_GT(link->descriptor(), 2);
    EXPECT_EQ(ConnectFailure::kNone, failure.kind);
    EXPECT_EQ(static_cast<int>(row.order.size()), failure.attempts);
    EXPECT_EQ(ports.answering(), peerPort(*link));
    EXPECT_GE(seconds, row.least);
    EXPECT_LT(seconds, row.most);
  }
}

TEST(NetTransportTest, ReportsTheFailureOfTheAttemptThatFailedLast) {
  LoopbackPorts ports;
  ASSERT_TRUE(ports.ok());
  ConnectFailure failure;
  // The refused address fails at once; the silent one runs out its second
  // (of 400 ms here).
  ShortLimitSeconds shortSeconds(400);
  AddressList silentFirst({ports.silent(), ports.refused()});
  Clock::time_point start = Clock::now();
  EXPECT_EQ(nullptr, connectRacing(silentFirst.first(), 1, &failure));
  EXPECT_GE(secondsSince(start), 0.35);
  EXPECT_EQ(ConnectFailure::kTimedOut, failure.kind);
  EXPECT_EQ(1, failure.seconds);
  EXPECT_EQ(2, failure.attempts);

  AddressList refusedOnly({ports.refused(), ports.refused()});
  EXPECT_EQ(nullptr, connectRacing(refusedOnly.first(), 1, &failure));
  EXPECT_EQ(ConnectFailure::kRefused, failure.kind);
  EXPECT_EQ(ECONNREFUSED, failure.error);

  AddressList none({});
  EXPECT_EQ(nullptr, connectRacing(none.first(), 1, &failure));
  EXPECT_EQ(ConnectFailure::kNotResolved, failure.kind);

  // A dotted address is read whole: a blank and more after it is no
  // address, not the address before the blank.
  NetTransport net;
  EXPECT_EQ(nullptr, net.connect("127.0.0.1 .localhost", ports.answering(), 1, &failure));
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
  std::unique_ptr<Link> link = net.connect("127.0.0.1", server.port(), 5, &failure);
  EXPECT_NE(nullptr, link);
  if (link == nullptr) return "no connection";
  link->limitBlocking(5);
  TlsPeer peer;
  peer.name = name;
  peer.ipLiteral = ipLiteral;
  peer.verify = verify;
  // The TLS link itself, which stays also when its check failed.
  std::unique_ptr<SocketLink> socket(static_cast<SocketLink*>(link.release()));
  TlsStart started = startTlsOver(std::move(socket), peer, 5);
  EXPECT_EQ(started.untrusted.empty() ? TlsStart::kDone : TlsStart::kUntrusted, started.outcome);
  auto* tls = dynamic_cast<TlsLink*>(started.link.get());
  if (stored != nullptr && tls != nullptr) {
    *stored = sk_X509_OBJECT_num(
        X509_STORE_get0_objects(SSL_CTX_get_cert_store(const_cast<SSL_CTX*>(tls->context()))));
  }
  *answered = false;
  if (started.outcome == TlsStart::kDone && tls != nullptr) {
    const char request[] = "GET / HTTP/1.0\r\n\r\n";
    EXPECT_EQ(static_cast<int>(sizeof request - 1), tls->send(request, sizeof request - 1));
    char reply[16];
    timeval limit = {5, 0};
    int got = kReadWouldBlock;
    while (got == kReadWouldBlock && tls->waitReadable(&limit) > 0)
      got = tls->recv(reply, sizeof reply);
    *answered = got == 5 && std::string(reply, 5) == "hello";
  }
  started.link.reset();
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
