// SocketLink: a connected stream socket as a Link, and the connect that
// makes one: the addresses of a name raced against each other, a new
// attempt every kConnectStagger milliseconds, in one poll loop.
#ifndef QUORVANE_HTTP_SOCKET_LINK_H_
#define QUORVANE_HTTP_SOCKET_LINK_H_

#include <netdb.h>

#include <memory>
#include <vector>

#include "http/link.h"
#include "http/transport.h"

// A name with several addresses, one of which does not answer, should cost
// a quarter of a second, not the whole time-out: the next address is tried
// this long after the last attempt began, while that one goes on.
const int kConnectStaggerMillis = 250;

class SocketLink : public Link {
 public:
  // Takes over the connected socket `fd`. REQUIRES: fd > 2.
  explicit SocketLink(int fd) : fd_(fd) {}
  // Closes the socket.
  ~SocketLink() override;

  // A peer that has gone away gives a failed send, never SIGPIPE.
  int send(const char* data, int length) override;
  int recv(char* buffer, int size) override;
  int waitReadable(timeval* limit) override;
  int spliceInto(int pipeFd, int size) override;
  // The socket's receive low-water mark.
  void setWakeThreshold(int bytes) override;
  // The socket's receive and send time-outs.
  void limitBlocking(int seconds) override;
  bool isTls() const override { return false; }

  // The socket; a TLS link set up over it waits on it too.
  int descriptor() const override { return fd_; }

 private:
  int fd_;
};

// Waits with poll() until `fd` has one of `events` (or an error or
// hang-up): > 0 when it has, 0 when `limit` ran out, < 0 on error. A null
// limit waits without bound; otherwise the time not used is left in *limit.
// A signal does not end the wait early, unless it interrupts a download
// (base/interrupt.h): then the wait fails with EINTR.
int pollFor(int fd, short events, timeval* limit);

// The resolver's `addresses`, the families taking turns from the one it
// gave first, so that a family that does not work here costs one stagger,
// not one per address.
std::vector<const addrinfo*> interleaved(const addrinfo* addresses);

// Connects to one of `addresses` (in the resolver's order): the first is
// tried at once, the next one kConnectStaggerMillis later while no attempt
// has connected (at once when the attempts before it have all failed), and
// so on, the families interleaved from the one the resolver gave first. The
// first attempt that connects wins; the others are closed. When
// `limitSeconds` is above 0 each attempt gives up after that long;
// otherwise the system's own limit applies. Returns the link, or null with
// the failure of the attempt that failed last in *failure (an empty list
// fails as a name without address). The socket is never descriptor 0, 1
// or 2, and blocks.
std::unique_ptr<SocketLink> connectRacing(const addrinfo* addresses, int limitSeconds,
                                          ConnectFailure* failure);

#endif  // QUORVANE_HTTP_SOCKET_LINK_H_
