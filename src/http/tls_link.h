// The TLS client link of the program: OpenSSL over a SocketLink, with the
// certificate check against the system's trusted certificates.
#ifndef QUORVANE_HTTP_TLS_LINK_H_
#define QUORVANE_HTTP_TLS_LINK_H_

#include <openssl/types.h>

#include <memory>

#include "http/socket_link.h"
#include "http/transport.h"

// Sets TLS up over `socket` for `peer` and performs the whole client
// handshake within `limitSeconds` when that is above 0. With peer.verify,
// the chain is checked against OpenSSL's default locations of trusted
// certificates (which follow SSL_CERT_FILE and SSL_CERT_DIR; the system's
// bundle file is read only when its folder lacks an issuer) and the
// certificate against the host name (no partial wildcards) or IP address.
// The first byte of the peer's first record tells TLS from anything else.
// The socket does not block from here on. TLS writes cannot ask for
// MSG_NOSIGNAL: a process that uses TLS links ignores SIGPIPE (the program
// does so at its start), or a peer that has gone away ends it. The link
// comes back whatever the outcome (null only when the library could not
// make it), so that its caller may look at what it met; the transport
// lets go of one that did not finish.
TlsStart startTlsOver(std::unique_ptr<SocketLink> socket, const TlsPeer& peer, int limitSeconds);

// One TLS client link over one socket. It has a context of its own; both
// OpenSSL objects are owned by the link and freed with it.
class TlsLink : public Link {
 public:
  // REQUIRES: `socket` is connected and does not block.
  explicit TlsLink(std::unique_ptr<SocketLink> socket);
  // Sends the closing alert (one call: the peer's is not awaited), then
  // frees the link and closes the socket.
  ~TlsLink() override;

  int send(const char* data, int length) override;
  int recv(char* buffer, int size) override;
  int waitReadable(timeval* limit) override;
  // Bytes the library holds: decrypted ones, whole records read ahead, or
  // an end already read.
  int pending() override;
  void setWakeThreshold(int bytes) override { socket_->setWakeThreshold(bytes); }
  void limitBlocking(int seconds) override { socket_->limitBlocking(seconds); }
  bool isTls() const override { return true; }
  int descriptor() const override { return socket_->descriptor(); }

  // The link's context, for a look at its store of certificates.
  const SSL_CTX* context() const { return ctx_; }

 private:
  friend TlsStart startTlsOver(std::unique_ptr<SocketLink>, const TlsPeer&, int);
  // After a write that returned `result` (<= 0): waits until the socket can
  // take the write again, as the library asks, within the send time-out of
  // limitBlocking (none: no limit). False when the write failed or the wait
  // ran out.
  bool waitToWrite(int result);

  std::unique_ptr<SocketLink> socket_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  // Set once a read has met the link's end, the peer's close (0, or
  // kReadEndWithoutTlsClose) or a failure (negative), with that result:
  // every later read gives it again at once, and pending() reports it, so
  // that no wait on the socket stands between the session and an end the
  // library has already seen.
  bool ended_ = false;
  int endResult_ = 0;
};

#endif  // QUORVANE_HTTP_TLS_LINK_H_
