// The real Transport: IPv6 and IPv4 stream sockets, the system resolver,
// poll() for every wait and OpenSSL for TLS client links.
#ifndef QUORVANE_HTTP_NET_TRANSPORT_H_
#define QUORVANE_HTTP_NET_TRANSPORT_H_

#include <netdb.h>
#include <openssl/types.h>

#include "http/transport.h"

// One TLS client link, bound to one connected socket. Each link has a
// context of its own; both OpenSSL objects are owned by the link and freed
// with it (NetTransport::freeLink).
struct TlsLink {
  SSL* ssl;
  SSL_CTX* ctx;
  // Set once a read has met the link's end, the peer's close (0, or
  // kReadEndWithoutTlsClose) or a failure (negative), with that result: every later read gives it
  // again at once, and pending() reports it, so that no wait on the socket stands between the
  // session and an end the library has already seen.
  bool ended;
  int endResult;
};

class NetTransport : public Transport {
 public:
  NetTransport() = default;
  ~NetTransport() override = default;
  NetTransport(const NetTransport&) = delete;
  NetTransport& operator=(const NetTransport&) = delete;

  // Never returns descriptors 0 to 2: the session reads 0 as "no
  // connection", and the standard streams must not reach a server.
  int connectTo(const char* name, int port, int limitSeconds, ConnectFailure* failure) override;
  // With peer.verify, the chain is checked against OpenSSL's default
  // locations of trusted certificates (which follow SSL_CERT_FILE and
  // SSL_CERT_DIR; the system's bundle file is read only when its folder
  // lacks an issuer) and the certificate against the host name (no partial
  // wildcards) or IP address. The first byte of the peer's first record
  // tells TLS from anything else: every TLS record begins with a content
  // type from 20 to 23. The socket does not block from here on.
  TlsStart startTls(int socket, const TlsPeer& peer, int limitSeconds) override;
  // A peer that has gone away gives a failed send. TLS writes (SSL_write,
  // the close-notify of SSL_shutdown) cannot ask for MSG_NOSIGNAL: a process
  // that uses TLS links ignores SIGPIPE (the program does so at its start),
  // or such a peer ends it.
  int send(TlsLink* link, int socket, const char* data, int length, int flags) override;
  int recv(TlsLink* link, int socket, char* buffer, int size, int flags) override;
  // Plain sockets only: a TLS link is refused.
  int spliceInto(TlsLink* link, int socket, int pipeFd, int size) override;
  int pending(TlsLink* link) override;
  int waitReadable(int socket, timeval* limit) override;
  // Socket receive and send time-outs.
  void setWakeThreshold(int socket, int bytes) override;
  void limitBlocking(int socket, int seconds) override;
  void close(TlsLink* link, int socket) override;
  void freeLink(TlsLink* link) override;
};

// The attempts of NetTransport::connectTo for addresses already looked up:
// each address in list order, with a new socket each, until one connects
// (see Transport::connectTo for `limitSeconds` and the result). An empty
// list fails as a name without address.
int connectInOrder(const addrinfo* addresses, int limitSeconds, ConnectFailure* failure);

#endif  // QUORVANE_HTTP_NET_TRANSPORT_H_
