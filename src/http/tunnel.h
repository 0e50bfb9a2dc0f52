// Tunnels through a proxy: the bytes a connection to an "http://" proxy
// (CONNECT) or a SOCKS 5 proxy exchanges before it leads to the target.
// They run over any Link that a transport handed out, before TLS is set up
// over it, and read no byte past the proxy's answer, so that whatever
// follows (the TLS handshake, the request) finds the link as a direct
// connection would be.
#ifndef QUORVANE_HTTP_TUNNEL_H_
#define QUORVANE_HTTP_TUNNEL_H_

#include <string>

#include "base/status.h"
#include "http/link.h"
#include "http/proxy.h"

// Where a tunnel leads and who asks for it.
struct TunnelTarget {
  // The host as the address writes it, without its port (an IPv6 address
  // in brackets): what CONNECT names and what failures show.
  std::string host;
  // What the proxy is asked to reach: for SOCKS a name (socks5h) or an
  // address (an IP address, or what socks5 looked up), without brackets.
  std::string destination;
  int port = 0;
  // CONNECT's "User-Agent:" line; empty: the line is sent without a value.
  std::string userAgent;
};

// Asks the "http://" `proxy` at the other end of `link` for a tunnel to
// `target` with "CONNECT HOST:PORT HTTP/1.0", its "Host:", "User-Agent:"
// and, with credentials, "Proxy-Authorization: Basic" lines, and reads the
// answer, all within `limitSeconds` when that is above 0. The answer is
// read up to its blank line; a 2xx answer that carries bytes after it fails
// (a proxy sends nothing of the tunnel before the client speaks).
// `proxyName` names the proxy in failures ("proxy NAME port N"). Returns ok
// when the tunnel is open, else kCannotConnect: "proxy NAME port N refused
// the tunnel to HOST:PORT: STATUS LINE", or a failure of the exchange.
Status openHttpTunnel(Link& link, const Proxy& proxy, const std::string& proxyName,
                      const TunnelTarget& target, int limitSeconds);

// Asks the SOCKS 5 `proxy` at the other end of `link` (RFC 1928) to connect
// to target.destination (sent as an IPv4 or IPv6 address when it is one,
// else as a name) and target.port, offering no authentication and, with
// credentials, user name and password (RFC 1929); reads its replies exactly,
// all within `limitSeconds` when that is above 0. Returns ok when the proxy
// connected, else kCannotConnect: "proxy NAME port N refused the connection
// to HOST:PORT (REASON)", "... refused the user name and password", "...
// accepts none of the offered methods", or a failure of the exchange; or
// kNoAddress for a name longer than SOCKS carries. *tryNext says whether
// the refusal was of the destination alone (unreachable, refused, TTL
// expired), which another address of the same host may pass.
Status openSocksTunnel(Link& link, const Proxy& proxy, const std::string& proxyName,
                       const TunnelTarget& target, int limitSeconds, bool* tryNext);

// The SOCKS 5 exchange of openSocksTunnel, driven by its caller's waits, so
// that one loop can race the exchanges of several connections: start()
// sends the greeting, and each advance() after the link became readable
// reads what arrived and goes on, until done().
class SocksTunnel {
 public:
  // REQUIRES: `link`, `proxy` and `target` outlive the tunnel.
  SocksTunnel(Link& link, const Proxy& proxy, const std::string& proxyName,
              const TunnelTarget& target);
  SocksTunnel(const SocksTunnel&) = delete;
  SocksTunnel& operator=(const SocksTunnel&) = delete;

  // Sends the greeting. Returns its failure, or kNoAddress for a name
  // longer than SOCKS carries.
  Status start();
  // Reads what the link holds (one read; nothing there is no failure) and
  // answers it. Returns the failures openSocksTunnel returns.
  Status advance();
  // Whether the proxy connected to the target.
  bool done() const { return stage_ == kDone; }
  // After a refusal: whether it was of the destination alone.
  bool tryNext() const { return tryNext_; }
  // The failure of a proxy silent for `seconds`, and of a read or wait
  // that failed.
  Status silence(int seconds) const;
  Status readFailed() const;

 private:
  enum Stage { kMethod, kAuthentication, kReplyHead, kNameLength, kBound, kDone };
  // Sends `bytes` whole.
  Status send(const std::string& bytes);
  // The answer to the bytes of the stage at hand, now all read.
  Status answer();
  Status failure(const std::string& what) const;

  Link& link_;
  const Proxy& proxy_;
  const TunnelTarget& target_;
  const std::string who_;
  Stage stage_ = kMethod;
  std::string wanted_;  // the bytes of the stage at hand read so far
  size_t want_ = 0;     // ... and how many it needs
  bool tryNext_ = false;
};

#endif  // QUORVANE_HTTP_TUNNEL_H_
