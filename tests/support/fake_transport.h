// FakeTransport: a scripted stand-in for the network, for unit tests and
// fuzz targets. The test queues connections; each holds the steps the
// server side performs as the client reads (deliver bytes, stall, close,
// fail) and records what the client did on it (bytes sent, connect target
// and port, TLS and server name, closes). Nothing here touches a real socket.
#ifndef QUORVANE_TESTS_SUPPORT_FAKE_TRANSPORT_H_
#define QUORVANE_TESTS_SUPPORT_FAKE_TRANSPORT_H_

#include <sys/time.h>

#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "http/transport.h"

// One thing the server side does when the client waits or reads.
struct FakeStep {
  enum Kind {
    kDeliver,     // bytes become readable; maxRead > 0 caps each read
    kStall,       // silence: the next wait of a second or more (or without
                  // limit) runs out (returns 0) and the script goes on;
                  // shorter waits run out too; a read here fails
    kClose,       // the peer closes: every read from here on returns 0
    kBareClose,   // the peer closes the TCP connection: over TLS without the
                  // closing alert (reads give kReadEndWithoutTlsClose), else
                  // as kClose
    kError,       // the next read fails with -1, then the script goes on
    kPartRecord,  // TLS holds part of a record: reads give kReadWouldBlock
                  // (and pending() reports tlsPending) until the client
                  // waits on the socket, then the script goes on
  };
  Kind kind;
  std::string bytes;
  int maxRead;
};

// One address that the fake resolver gives for a name, and what a connect
// to it meets.
struct FakeAddress {
  enum Behaviour {
    kAnswers,      // connects: the next queued connection takes it
    kRefuses,      // refused at once
    kSilent,       // never answers: the attempt runs out its time limit
    kUnreachable,  // the network says there is no way there
  };
  std::string address;
  Behaviour behaviour = kAnswers;
};

// One connect attempt of the client: the name it asked for, the address
// tried, the port and the time limit of the attempt.
struct FakeAttempt {
  std::string name;
  std::string address;
  int port = 0;
  int limitSeconds = 0;
};

// One scripted connection and what the client did with it.
struct FakeConnection {
  // --- set by the test before the client connects ---
  std::vector<FakeStep> steps;
  // 0; 203: the name has no address; 204: the address refuses (either way
  // the connection is used up and never connected).
  int connectResult = 0;
  int maxSend = 0;          // > 0: each send takes at most this many bytes
  int failSendAt = -1;      // >= 0: the send call with this index (from 0) fails
  int sendFailResult = -1;  // what a failing send returns (0 or negative)
  int tlsPending = 0;       // over TLS: what pending() reports while bytes wait
  // Seconds each wait that finds data takes off its limit, as a server that
  // sends slowly would; a limit with less left than this runs out instead.
  int waitCostSeconds = 0;
  // How the TLS handshake on this connection ends (a peer named in
  // untrustedNames fails the check whatever this says).
  TlsStart::Outcome tlsOutcome = TlsStart::kDone;

  // Queues `bytes`; each read takes at most maxRead of them (0: no cap).
  FakeConnection& deliver(const std::string& bytes, int maxRead = 0);
  FakeConnection& stall();
  FakeConnection& close();
  FakeConnection& bareClose();
  FakeConnection& error();
  FakeConnection& partRecord();

  // --- recorded ---
  bool connected = false;
  std::string target;   // the name connected to
  std::string address;  // the address of the name that answered ("" by default)
  int port = 0;
  bool tlsStarted = false;
  int tlsStarts = 0;
  bool serverNameGiven = false;  // a name, not an IP address, was given
  std::string serverName;        // the name (or address) of the TLS peer
  bool tlsVerified = false;      // the peer's certificate was to be checked
  int tlsLimitSeconds = 0;       // the time limit the handshake was given
  std::string sent;
  int sendCalls = 0;
  int recvCalls = 0;
  int waits = 0;
  // Reads that gave kReadWouldBlock since the last wait. A client that reads
  // again and again without waiting would spin for good; past
  // kMaxReadsWithoutWait such reads fail with -1 instead.
  int readsWithoutWait = 0;
  static const int kMaxReadsWithoutWait = 100;
  bool lastWaitUnbounded = false;
  timeval lastWaitLimit = {0, 0};
  // The wake threshold as the client set it last, and the waits that ran
  // with one above 1: all of them, and those of a second or more (or
  // without limit), which must end with any byte.
  int wakeThreshold = 1;
  int batchedWaits = 0;
  int batchedLongWaits = 0;
  int closes = 0;
  bool closedAsTls = false;

  // Script progress.
  size_t step = 0;
  size_t offset = 0;
};

class FakeTransport : public Transport {
 public:
  FakeTransport() = default;
  ~FakeTransport() override = default;
  FakeTransport(const FakeTransport&) = delete;
  FakeTransport& operator=(const FakeTransport&) = delete;

  // Queues the next connection the client will open. References stay valid
  // for the transport's life.
  FakeConnection& addConnection();
  // The connection that `link` plays; null when this transport did not
  // hand it out.
  static FakeConnection* connectionOf(const Link* link);

  // Gives the resolver's answer for `name`: its addresses in order (none:
  // the name is not found). A name without an answer has one address that
  // answers.
  void addName(const std::string& name, const std::vector<FakeAddress>& addresses);

  std::unique_ptr<Link> connect(const char* name, int port, int limitSeconds,
                                ConnectFailure* failure) override;
  // A certificate check of a peer named in `untrustedNames` fails with
  // kUntrustedReason; every other handshake ends as its connection's
  // tlsOutcome says. The same link then plays on as a TLS one.
  TlsStart startTls(std::unique_ptr<Link> link, const TlsPeer& peer, int limitSeconds) override;
  // The name itself, as its one address.
  bool lookUp(const char* name, std::vector<std::string>* addresses,
              ConnectFailure* failure) override;

  // When true, no socket can be created (connect fails with kNoSocket).
  bool failOpenSocket = false;
  // Peers whose certificate does not pass a check.
  std::vector<std::string> untrustedNames;
  static constexpr const char* kUntrustedReason = "self-signed certificate";
  // Every connect attempt, in order.
  std::vector<FakeAttempt> attempts;

  std::deque<FakeConnection> connections;
  // Connections used so far; a connect beyond the queued ones adds an
  // empty connection (its reads see a closed peer).
  size_t opened = 0;

 private:
  // Takes the next queued connection (adding an empty one when none is left).
  FakeConnection& nextConnection();
  std::vector<std::pair<std::string, std::vector<FakeAddress>>> names_;
};

#endif  // QUORVANE_TESTS_SUPPORT_FAKE_TRANSPORT_H_
