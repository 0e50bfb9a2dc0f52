// The real Transport: IPv6 and IPv4 stream sockets (http/socket_link.h),
// the system resolver, and TLS client links (http/tls_link.h).
#ifndef QUORVANE_HTTP_NET_TRANSPORT_H_
#define QUORVANE_HTTP_NET_TRANSPORT_H_

#include <memory>

#include "http/transport.h"

class NetTransport : public Transport {
 public:
  NetTransport() = default;
  ~NetTransport() override = default;
  NetTransport(const NetTransport&) = delete;
  NetTransport& operator=(const NetTransport&) = delete;

  // An address written as one is connected to as exactly that address (all
  // of the text), without the resolver; a name's addresses race
  // (connectRacing).
  std::unique_ptr<Link> connect(const char* name, int port, int limitSeconds,
                                ConnectFailure* failure) override;
  // As startTlsOver (http/tls_link.h). A link that another transport made
  // fails at once.
  TlsStart startTls(std::unique_ptr<Link> link, const TlsPeer& peer, int limitSeconds) override;
  // The system resolver's addresses, the families taking turns as in
  // connectRacing.
  bool lookUp(const char* name, std::vector<std::string>* addresses,
              ConnectFailure* failure) override;
};

#endif  // QUORVANE_HTTP_NET_TRANSPORT_H_
