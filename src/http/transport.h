// The seam between an HttpSession and the network. A Transport opens
// connections and hands each out as a Link (http/link.h) that the caller
// owns; it also sets TLS up over a link it handed out. The program uses the
// socket and TLS implementation (net_transport.h), wrapped for "--record"
// or replaced for "--replay"; tests and fuzz targets give the session a
// scripted one instead.
#ifndef QUORVANE_HTTP_TRANSPORT_H_
#define QUORVANE_HTTP_TRANSPORT_H_

#include <memory>
#include <string>
#include <vector>

#include "http/link.h"

// Why connect() found no connection, with what the caller needs to say so:
// the kind of the last failure, its system error and the time limit.
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

// What startTls() gives back: the TLS link when the handshake finished, and
// how it ended.
struct TlsStart {
  enum Outcome {
    kDone,       // the handshake finished: the link is ready
    kUntrusted,  // the certificate did not pass the check (see `untrusted`)
    kTimedOut,   // the handshake did not finish within the time limit
    kNotTls,     // the peer answered with bytes that begin no TLS record
    kFailed,     // the handshake failed otherwise (a TLS alert, a close)
  };
  // The link, on kDone only; otherwise null (the connection is closed).
  std::unique_ptr<Link> link;
  Outcome outcome = kDone;
  // kUntrusted: the library's reason, e.g. "self-signed certificate".
  std::string untrusted;
};

class Transport {
 public:
  virtual ~Transport() = default;

  // Looks `name` up (IPv6 and IPv4; an IP address is read as one, whole)
  // and connects to `port`. When `limitSeconds` is above 0 each attempt
  // gives up after that long; otherwise the system's own limit applies.
  // Returns the connected link, or null with the last failure in *failure.
  virtual std::unique_ptr<Link> connect(const char* name, int port, int limitSeconds,
                                        ConnectFailure* failure) = 0;
  // Sets up TLS over `link` for `peer` and performs the whole client
  // handshake (TLS 1.2 at least), certificate check included, within
  // `limitSeconds` when that is above 0 (else without a limit of its own).
  // The TLS link owns `link`; on any other outcome than kDone, `link` is
  // closed. REQUIRES: this transport's connect() handed `link` out, and no
  // TLS runs over it yet; the bytes exchanged on it so far (a proxy's
  // tunnel) left nothing unread.
  virtual TlsStart startTls(std::unique_ptr<Link> link, const TlsPeer& peer, int limitSeconds) = 0;
  // Looks `name` up as connect() would (an IP address is itself) and puts
  // its addresses, as text, in *addresses in the order connect() tries
  // them: for a proxy that is handed an address rather than a name. False,
  // with the failure (kNotResolved) in *failure, when the name has none.
  virtual bool lookUp(const char* name, std::vector<std::string>* addresses,
                      ConnectFailure* failure) = 0;
};

// The process-wide socket and TLS transport used by the program.
Transport& networkTransport();

#endif  // QUORVANE_HTTP_TRANSPORT_H_
