// HttpSession's connections: opening the current one (to the host or the
// proxy, on the port of the address or the settings, with TLS when they ask
// for it and the certificate checked) and the two slots that may share it.
#include <poll.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/messages.h"
#include "http/address.h"
#include "http/proxy.h"
#include "http/session.h"
#include "http/socket_link.h"
#include "http/transport.h"
#include "http/tunnel.h"

namespace {

// Ports are 16-bit; settings may hold larger numbers.
const int kPortMask = 0xFFFF;

}  // namespace

// Where the current connection goes and how.
struct HttpSession::Peer {
  std::string name;  // looked up, sent as the TLS server name and checked
  bool ipLiteral = false;
  int port = 0;
  bool tls = false;
};

namespace {

using Peer = HttpSession::Peer;

// Where `session` connects for its target without a proxy: the host, on the
// address's own port (TLS exactly when the scheme is "https://") or else on
// the port setting or, for an "https://" address, the TLS port (TLS exactly
// on the TLS port).
Peer targetPeer(const HttpSession& session) {
  const SessionSettings& settings = session.settings();
  const int tlsPort = settings.tlsPort & kPortMask;
  Peer peer;
  peer.name = session.hostName().data() != nullptr ? session.hostName().data() : "";
  peer.ipLiteral = session.targetIsIp();
  if (session.targetPort() != 0) {
    peer.port = session.targetPort();
    peer.tls = session.targetIsTls();
  } else {
    peer.port = session.targetIsTls() ? tlsPort : settings.port & kPortMask;
    peer.tls = peer.port == tlsPort;
  }
  return peer;
}

// Where `session` connects through `proxy`: its own port, the scheme's, or
// for a value without scheme the port setting or, for an "https://"
// address, the TLS port (a port in the address then stays part of the
// request target only). A proxy without scheme uses TLS exactly on the TLS
// port; one with a scheme is plain.
Peer proxyPeer(const HttpSession& session, const Proxy& proxy) {
  const SessionSettings& settings = session.settings();
  const int tlsPort = settings.tlsPort & kPortMask;
  Peer peer;
  peer.name = proxy.host.name;
  peer.ipLiteral = proxy.host.ipLiteral;
  peer.port = proxy.port();
  if (peer.port == 0) peer.port = session.targetIsTls() ? tlsPort : settings.port & kPortMask;
  peer.tls = proxy.kind == ProxyKind::kBare && peer.port == tlsPort;
  return peer;
}

// The host as the address writes it, without its port: what a tunnel
// names.
std::string hostWithoutPort(const Peer& peer) {
  return peer.name.find(':') != std::string::npos ? "[" + peer.name + "]" : peer.name;
}

// "name:port", an IPv6 address in brackets, for the verbose connect trace.
std::string hostAndPort(const Peer& peer) {
  bool bracketed = peer.name.find(':') != std::string::npos;
  return formatText(bracketed ? "[%s]:%d" : "%s:%d", peer.name.c_str(), peer.port);
}

// The failure of a connect to `peer` (as describePeer says it), the
// host or proxy `name`, as the transport reported it.
Status connectFailure(const ConnectFailure& failure, const std::string& peer, bool proxy,
                      const char* name) {
  switch (failure.kind) {
    case ConnectFailure::kNoSocket:
      return Status(kNoSocket, "cannot create a socket to connect to " + peer);
    case ConnectFailure::kNotResolved:
      return Status(kHostNotFound,
                    formatText("cannot resolve the %s name %s", proxy ? "proxy" : "host", name));
    case ConnectFailure::kRefused:
      return Status(kCannotConnect, peer + " refused the connection");
    case ConnectFailure::kTimedOut:
      if (failure.seconds > 0) {
        return Status(kCannotConnect, formatText("%s did not accept the connection within %d s",
                                                 peer.c_str(), failure.seconds));
      }
      break;
    default:
      break;
  }
  std::string sentence = "cannot connect to " + peer;
  if (failure.error != 0) sentence += formatText(" (%s)", strerror(failure.error));
  return Status(kCannotConnect, sentence);
}

// The failure of a TLS handshake with `peer` (as describePeer says it) that
// ended with `outcome`; `name` is the name the certificate was checked for.
Status handshakeFailure(TlsStart::Outcome outcome, const std::string& untrusted,
                        const std::string& name, const std::string& peer, int timeoutSeconds) {
  switch (outcome) {
    case TlsStart::kUntrusted: {
      std::string detail =
          formatText("certificate of %s not trusted (%s)", name.c_str(), untrusted.c_str());
      return Status::unknownError(detail.c_str(), std::string()).markFinal();
    }
    case TlsStart::kTimedOut:
      return Status(kSendFailed, formatText("%s did not finish the TLS handshake within %d s",
                                            peer.c_str(), timeoutSeconds));
    case TlsStart::kNotTls:
      // A plain port stays plain however often it is asked.
      return Status(kSendFailed, peer + " did not answer with TLS (is it a plain HTTP port?)")
          .markFinal();
    default:
      return Status(kSendFailed, "the TLS handshake with " + peer + " failed");
  }
}

// What a tunnel to `target` asks a proxy for: a SOCKS proxy is handed
// `destination` (the name, or an address looked up here).
TunnelTarget tunnelTarget(const Peer& target, const std::string& destination,
                          const SessionSettings& settings) {
  TunnelTarget to;
  to.host = hostWithoutPort(target);
  to.destination = destination;
  to.port = target.port;
  to.userAgent = settings.userAgent.data() != nullptr ? settings.userAgent.data() : "";
  return to;
}

// Opens the tunnel of `proxy` on `link` to `target` (as tunnelTarget says),
// within `limit` seconds (0: no limit of its own). *tryNext: a SOCKS proxy
// could not reach that address, and another one may do.
Status openTunnel(Link& link, const Proxy& proxy, const Peer& target,
                  const std::string& destination, const SessionSettings& settings, int limit,
                  bool* tryNext) {
  const TunnelTarget to = tunnelTarget(target, destination, settings);
  if (proxy.kind == ProxyKind::kHttp)
    return openHttpTunnel(link, proxy, proxy.host.name, to, limit);
  return openSocksTunnel(link, proxy, proxy.host.name, to, limit, tryNext);
}

}  // namespace

Status HttpSession::chooseProxy(Proxy* proxy) const {
  if (settings_.proxy.data() != nullptr) return parseProxy(settings_.proxy.data(), false, proxy);
  std::string value = environmentProxy(settings_.proxyEnvironment, targetIsTls(),
                                       hostName_.data() != nullptr ? hostName_.data() : "");
  return parseProxy(value, true, proxy);
}

Status HttpSession::connectAndSend(const char* method) {
  closeSlot(0);
  lastConnectFailure_ = ConnectFailure::kNone;
  // What this request sends, for repeating it, whether or not it gets
  // through.
  lastMethod_.assign(method);
  lastRequestBody_.assign(body_.data());
  if (!url_.hasText()) {
    if (unusableAddress_.data() == nullptr) return Status(kNoAddress, "no address to request");
    return Status(kNoAddress, formatText("no usable address in \"%s\"", unusableAddress_.data()));
  }
  Proxy proxy;
  Status chosen = chooseProxy(&proxy);
  if (!chosen.ok()) return chosen;
  const Peer target = targetPeer(*this);
  // An "http://" proxy tunnels TLS and is sent plain requests whole; a
  // SOCKS proxy tunnels everything; a proxy without scheme is sent every
  // request whole.
  const bool socks = proxy.kind == ProxyKind::kSocks5 || proxy.kind == ProxyKind::kSocks5h;
  const bool tunnel = socks || (proxy.kind == ProxyKind::kHttp && target.tls);
  const bool forward = proxy.kind != ProxyKind::kNone && !tunnel;
  forwardProxy_ = forward ? proxy.kind : ProxyKind::kNone;
  proxyAuthorization_.clear();
  if (forward && proxy.kind == ProxyKind::kHttp && proxy.hasCredentials) {
    proxyAuthorization_ = basicCredentials(proxy.user, proxy.password);
  }
  Peer peer = proxy.kind != ProxyKind::kNone ? proxyPeer(*this, proxy) : target;
  peerIsProxy_ = proxy.kind != ProxyKind::kNone;
  peerName_.assign(peer.name.c_str());
  peerPort_ = peer.port;

  // Each address of the name gets the time-out, and so do the proxy's
  // tunnel and the TLS handshake; without one (0 or less) the system's own
  // limit applies.
  const int limit = settings_.timeoutSeconds > 0 ? settings_.timeoutSeconds : 0;
  std::unique_ptr<Link> link;
  Status connected = connectThrough(proxy, peer, target, tunnel, limit, &link);
  if (!connected.ok()) return connected;
  if (tunnel) {
    // From here on the connection leads to the target, as a direct one.
    peer = target;
    peerIsProxy_ = false;
    peerName_.assign(peer.name.c_str());
    peerPort_ = peer.port;
  }
  if (peer.tls) {
    TlsPeer tlsPeer;
    tlsPeer.name = peer.name.c_str();
    tlsPeer.ipLiteral = peer.ipLiteral;
    tlsPeer.verify = settings_.tlsVerify;
    if (!settings_.tlsVerify)
      verboseNote(formatText("TLS to %s is not verified", describePeer().c_str()));
    // The whole handshake, the certificate check included, happens here and
    // within the time-out, so that its failure is told as what it is.
    TlsStart started = transport_.startTls(std::move(link), tlsPeer, limit);
    if (started.outcome != TlsStart::kDone || started.link == nullptr) {
      report(kCloseTrace);
      return handshakeFailure(started.outcome, started.untrusted, peer.name, describePeer(), limit);
    }
    link = std::move(started.link);
  }
  // The connection closes, with its trace, when the last slot lets go.
  slots_[0] = std::shared_ptr<Link>(link.release(), [](Link* closing) {
    delete closing;
    report(kCloseTrace);
  });
  return sendRequest(method);
}

Status HttpSession::connectThrough(const Proxy& proxy, const Peer& peer, const Peer& target,
                                   bool tunnel, int limit, std::unique_ptr<Link>* link) {
  // What a tunnel leads to: the target's name, or for "socks5://" its
  // addresses, looked up here once connected to the proxy and raced over
  // connections of their own (one after another where links cannot be
  // waited on together: while the proxy cannot reach the one before).
  std::vector<std::string> destinations = {target.name};
  for (size_t next = 0;; ++next) {
    report(kConnectTrace, hostAndPort(peer).c_str(), kNetworkText);
    ConnectFailure failure;
    *link = transport_.connect(peer.name.c_str(), peer.port, limit, &failure);
    if (*link == nullptr) {
      lastConnectFailure_ = failure.kind;
      return connectFailure(failure, describePeer(), peerIsProxy_, peer.name.c_str());
    }
    // The waits for response data have their limit; the blocking calls get
    // the same one.
    if (limit > 0) (*link)->limitBlocking(limit);
    if (!tunnel) return Status();
    Status opened;
    if (next == 0 && proxy.kind == ProxyKind::kSocks5 && !target.ipLiteral &&
        !transport_.lookUp(target.name.c_str(), &destinations, &failure)) {
      opened = Status(kHostNotFound, "cannot resolve the host name " + target.name);
    }
    // Several addresses race over connections of their own, as a name's
    // do, where the links can be waited on together.
    if (opened.ok() && destinations.size() > 1 && (*link)->descriptor() >= 0) {
      return raceSocksTunnels(proxy, peer, target, destinations, limit, link);
    }
    bool tryNext = false;
    if (opened.ok()) {
      opened = openTunnel(**link, proxy, target, destinations[next], settings_, limit, &tryNext);
    }
    if (opened.ok()) return opened;
    link->reset();
    report(kCloseTrace);
    if (!tryNext || next + 1 >= destinations.size()) return opened;
  }
}

namespace {

// One SOCKS exchange of a race: its connection to the proxy, what it asks
// the proxy for, and when it gives up (monotonic microseconds; 0: never).
struct SocksAttempt {
  std::unique_ptr<Link> link;
  TunnelTarget to;
  std::unique_ptr<SocksTunnel> tunnel;
  int64_t deadline = 0;

  // Closes the connection, with its trace.
  ~SocksAttempt() {
    if (link == nullptr) return;
    tunnel.reset();
    link.reset();
    report(kCloseTrace);
  }
};

}  // namespace

Status HttpSession::raceSocksTunnels(const Proxy& proxy, const Peer& peer, const Peer& target,
                                     const std::vector<std::string>& destinations, int limit,
                                     std::unique_ptr<Link>* link) {
  std::vector<std::unique_ptr<SocksAttempt>> running;
  Status last;
  size_t next = 0;
  // Starts the exchange for the next address over `connected`; false when
  // it failed at once.
  auto startOn = [&](std::unique_ptr<Link> connected) {
    auto attempt = std::make_unique<SocksAttempt>();
    attempt->link = std::move(connected);
    attempt->to = tunnelTarget(target, destinations[next++], settings_);
    attempt->tunnel =
        std::make_unique<SocksTunnel>(*attempt->link, proxy, proxy.host.name, attempt->to);
    attempt->deadline = limit > 0 ? monotonicMicros() + limit * limitSecondMicros() : 0;
    last = attempt->tunnel->start();
    if (!last.ok()) return false;
    running.push_back(std::move(attempt));
    return true;
  };
  int64_t nextStart =
      startOn(std::move(*link)) ? monotonicMicros() + kConnectStaggerMillis * 1000 : 0;
  for (;;) {
    // The next address goes when its turn comes, or at once when nothing
    // is under way.
    while (next < destinations.size() && (running.empty() || monotonicMicros() >= nextStart)) {
      report(kConnectTrace, hostAndPort(peer).c_str(), kNetworkText);
      ConnectFailure failure;
      std::unique_ptr<Link> connected =
          transport_.connect(peer.name.c_str(), peer.port, limit, &failure);
      if (connected == nullptr) {
        // The proxy itself cannot be reached: no address will do better.
        lastConnectFailure_ = failure.kind;
        last = connectFailure(failure, describePeer(), peerIsProxy_, peer.name.c_str());
        next = destinations.size();
        break;
      }
      if (limit > 0) connected->limitBlocking(limit);
      nextStart =
          startOn(std::move(connected)) ? monotonicMicros() + kConnectStaggerMillis * 1000 : 0;
    }
    if (running.empty()) return last;

    std::vector<pollfd> entries;
    int64_t wake = next < destinations.size() ? nextStart : INT64_MAX;
    for (const auto& attempt : running) {
      entries.push_back(pollfd{attempt->link->descriptor(), POLLIN, 0});
      if (attempt->link->pending() > 0) wake = 0;
      if (attempt->deadline > 0 && attempt->deadline < wake) wake = attempt->deadline;
    }
    int64_t now = monotonicMicros();
    int timeout = wake == INT64_MAX ? -1
                  : wake <= now     ? 0
                                    : static_cast<int>((wake - now + 999) / 1000);
    if (poll(entries.data(), entries.size(), timeout) < 0 && errno != EINTR) {
      return running.front()->tunnel->readFailed();
    }
    now = monotonicMicros();
    for (size_t i = 0; i < running.size();) {
      SocksAttempt& attempt = *running[i];
      Status step;
      if (entries[i].revents != 0 || attempt.link->pending() > 0) {
        step = attempt.tunnel->advance();
        if (step.ok() && attempt.tunnel->done()) {
          // The winner: the others close as the race ends.
          *link = std::move(attempt.link);
          return Status();
        }
        // A refusal that another address cannot pass ends the race.
        if (!step.ok() && !attempt.tunnel->tryNext()) return step;
      } else if (attempt.deadline > 0 && now >= attempt.deadline) {
        step = attempt.tunnel->silence(limit);
      }
      if (step.ok()) {
        ++i;
        continue;
      }
      last = step;
      running.erase(running.begin() + static_cast<long>(i));
      entries.erase(entries.begin() + static_cast<long>(i));
      // A failed attempt hands its turn to the next address at once.
      nextStart = 0;
    }
  }
}

void HttpSession::closeSlot(int slot) {
  status_ = 0;
  // The connection closes when no other slot shares it.
  if (slot == 0 || slot == 1) slots_[slot].reset();
}

void HttpSession::keepConnection() {
  closeSlot(1);
  slots_[1] = slots_[0];
}

Link* HttpSession::connection(int slot) const {
  return slot == 0 || slot == 1 ? slots_[slot].get() : nullptr;
}
