// The seam between an HttpSession and the network. Every byte the session
// sends or receives, every connect, wait and close goes through a Transport.
// The program uses the socket and TLS implementation (net_transport.h);
// tests and fuzz targets give the session a scripted one instead.
#ifndef QUORVANE_HTTP_TRANSPORT_H_
#define QUORVANE_HTTP_TRANSPORT_H_

#include <memory>
#include <string>

struct timeval;
struct TlsLink;
class Transport;

// What recv returns when a TLS read found no complete record to hand out:
// the socket held only part of one, or only handshake messages such as
// session tickets. Nothing failed; the caller waits on the socket again.
const int kReadWouldBlock = -2;

// What recv returns when the peer of a TLS link closed the TCP connection
// without the TLS closing alert (close_notify). Whatever came before may be
// cut short: a body that ends only with the connection is not complete.
const int kReadEndWithoutTlsClose = -3;

// What spliceInto returns when the bytes cannot go into a pipe without
// passing through the program: the link is TLS (its records are decrypted
// here), the transport has no sockets, or the system refuses the move for
// this socket or pipe. Nothing was moved; the caller reads with recv.
const int kSpliceRefused = -4;

// Why connectTo() found no connection, with what the caller needs to say
// so: the kind of the last failure, its system error and the time limit.
struct ConnectFailure {
  enum Kind {
    kNone,
    kNoSocket,     // no socket could be created for any address
    kNotResolved,  // the name has no address (error: the resolver's code)
    kRefused,      // the last address refused the connection
    kTimedOut,     // the last address did not answer within `seconds`
    kFailed,       // the last attempt failed otherwise (error: errno)
  };
  Kind kind = kNone;
  // errno of the last attempt; for kNotResolved the getaddrinfo() code.
  int error = 0;
  // kTimedOut: the limit of each attempt; 0 when the system's own limit ran
  // out (no limit was set).
  int seconds = 0;
  // Addresses tried.
  int attempts = 0;
};

// The peer a TLS link is for, and how far it is checked.
struct TlsPeer {
  // The host name or IP address connected to (no port, no brackets).
  const char* name = nullptr;
  // `name` is an IP address: it is checked against the certificate's
  // addresses and not sent as the server name.
  bool ipLiteral = false;
  // Check the certificate chain against the system's trusted certificates
  // and the certificate against `name`.
  bool verify = true;
};

// Frees a TLS link through the transport that made it (Transport::freeLink).
struct TlsLinkDeleter {
  Transport* transport = nullptr;
  void operator()(TlsLink* link) const;
};
// A TLS link with its owner: letting go of it frees the link.
using TlsLinkPtr = std::unique_ptr<TlsLink, TlsLinkDeleter>;

// What startTls() gives back: the link (never null, whatever the outcome)
// and how the handshake ended.
struct TlsStart {
  enum Outcome {
    kDone,       // the handshake finished: the link is ready
    kUntrusted,  // the certificate did not pass the check (see `untrusted`)
    kTimedOut,   // the handshake did not finish within the time limit
    kNotTls,     // the peer answered with bytes that begin no TLS record
    kFailed,     // the handshake failed otherwise (a TLS alert, a close)
  };
  TlsLinkPtr link;
  Outcome outcome = kDone;
  // kUntrusted: the library's reason, e.g. "self-signed certificate".
  std::string untrusted;
};

class Transport {
 public:
  virtual ~Transport() = default;

  // Looks `name` up (IPv6 and IPv4, in the resolver's order; an IP
  // address is read as one, whole) and connects to `port` on each address
  // in turn until one answers. When `limitSeconds` is above 0 each attempt
  // gives up after that long; otherwise the system's own limit applies.
  // Returns the connected descriptor, never 0, 1 or 2, or -1 with the last
  // failure in *failure.
  virtual int connectTo(const char* name, int port, int limitSeconds, ConnectFailure* failure) = 0;
  // Sets up TLS on the connected `socket` for `peer` and performs the whole
  // client handshake (TLS 1.2 at least), certificate check included, within
  // `limitSeconds` when that is above 0 (else without a limit of its own).
  // The link is the caller's, whatever the outcome; it is freed through
  // freeLink when its owner lets go of it, after close().
  virtual TlsStart startTls(int socket, const TlsPeer& peer, int limitSeconds) = 0;
  // Sends through the link when there is one, else on the socket. Returns
  // the library's result: the count sent (> 0), or 0 / negative on failure.
  virtual int send(TlsLink* link, int socket, const char* data, int length, int flags) = 0;
  // Reads at most size bytes. Returns a positive count, 0 when the peer
  // closed (over TLS: with its closing alert), kReadEndWithoutTlsClose when
  // a TLS peer closed the connection without that alert, kReadWouldBlock
  // when a TLS read has no complete record yet, or another negative value
  // on error. A TLS read never waits for the rest of
  // a record: that wait is the caller's, with its time limit.
  virtual int recv(TlsLink* link, int socket, char* buffer, int size, int flags) = 0;
  // Moves at most `size` bytes that have arrived on `socket` into the pipe
  // whose write end is `pipeFd`, inside the system, so that they never
  // enter the program. Returns as recv: a positive count, 0 when the peer
  // closed, kReadWouldBlock when nothing had arrived on a socket that does
  // not block (or before a blocking call's time limit ran out), another
  // negative value on error; or kSpliceRefused, which this default always
  // returns. Like recv, it waits on a blocking socket where nothing has
  // arrived, so the caller waits for the socket to be readable first.
  // REQUIRES: size > 0, and the pipe has room for `size` bytes.
  virtual int spliceInto(TlsLink* link, int socket, int pipeFd, int size) {
    (void)link;
    (void)socket;
    (void)pipeFd;
    (void)size;
    return kSpliceRefused;
  }
  // Bytes the TLS layer already holds that the next recv returns without
  // touching the socket (> 0 also when that recv reports the end of the
  // link: the peer's close or a failure already read); 0 without a link.
  virtual int pending(TlsLink* link) = 0;
  // Waits until `socket` is readable: returns > 0 when readable, 0 when
  // `limit` ran out, < 0 on error, and leaves the unused time in *limit (a
  // signal does not end the wait early). A null limit waits without bound.
  virtual int waitReadable(int socket, timeval* limit) = 0;
  // Asks that waits on `socket` end only once `bytes` bytes are there to
  // read, or the peer closed, or the wait's time ran out (1: as soon as
  // anything is there). A reader that waits for a batch is not woken by
  // every packet of a fast sender, which saves both sides work. Only a
  // hint: a transport without sockets ignores it.
  virtual void setWakeThreshold(int socket, int bytes) {
    (void)socket;
    (void)bytes;
  }
  // Bounds every later blocking call on `socket` (sends) to `seconds`, so a
  // peer that stalls halfway cannot hold the program beyond its time-out. A
  // call that runs out fails like any other failed send.
  virtual void limitBlocking(int socket, int seconds) {
    (void)socket;
    (void)seconds;
  }
  // Shuts the link down (one close-notify) and closes the socket. Either
  // may be absent (link null, socket 0). The link stays its owner's.
  virtual void close(TlsLink* link, int socket) = 0;
  // Frees a link that startTls of this transport made (TlsLinkDeleter
  // calls it). REQUIRES: `link` is not used afterwards.
  virtual void freeLink(TlsLink* link) = 0;
};

inline void TlsLinkDeleter::operator()(TlsLink* link) const {
  if (transport != nullptr) transport->freeLink(link);
}

// The process-wide socket and TLS transport used by the program.
Transport& networkTransport();

#endif  // QUORVANE_HTTP_TRANSPORT_H_
