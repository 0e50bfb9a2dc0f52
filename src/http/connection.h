// Connection: one connected socket and, once started, its TLS link. It owns
// both and closes them together, once, when it goes; every byte it sends or
// reads passes through its transport.
#ifndef QUORVANE_HTTP_CONNECTION_H_
#define QUORVANE_HTTP_CONNECTION_H_

#include <string>

#include "http/transport.h"

struct timeval;

class Connection {
 public:
  // Takes over `socket`, a descriptor that `transport` connected.
  // REQUIRES: socket > 0; `transport` outlives the connection.
  Connection(Transport& transport, int socket);
  // Shuts the TLS link down, closes the socket, frees the link and traces
  // "@closesocket.".
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Creates the TLS link and performs the whole handshake within
  // `limitSeconds` (0 or less: no limit of its own), as Transport::startTls.
  // Returns how it ended, and for a certificate that was not trusted the
  // reason in *untrusted. kDone at once when the link exists.
  TlsStart::Outcome startTls(const TlsPeer& peer, int limitSeconds, std::string* untrusted);
  // Sends `length` bytes once. Returns kOk and the count in *sent (when not
  // null), or kSendFailed.
  int send(const char* data, int length, int* sent);
  // Reads at most `size` bytes; returns the transport's result unchanged
  // (see Transport::recv).
  int recv(char* buffer, int size);
  // Moves at most `size` bytes that have arrived into the pipe `pipeFd`;
  // returns the transport's result unchanged (see Transport::spliceInto).
  int spliceInto(int pipeFd, int size);
  // Bytes the TLS link already holds for the next recv; 0 without a link.
  int pending();
  // Waits until the socket is readable, as Transport::waitReadable.
  int waitReadable(timeval* limit);
  // As Transport::setWakeThreshold.
  void setWakeThreshold(int bytes);

  int socket() const { return socket_; }
  // The TLS link, null while none was started.
  TlsLink* tls() const { return link_.get(); }

 private:
  Transport& transport_;
  int socket_;
  TlsLinkPtr link_;
};

#endif  // QUORVANE_HTTP_CONNECTION_H_
