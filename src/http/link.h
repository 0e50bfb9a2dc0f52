// Link: one connection to a peer, as an object that owns it. A transport
// (http/transport.h) hands links out; links stack: TLS runs over a socket
// link, a recording wraps whatever link it records, and a replay or a test
// fake is a link of its own. The session and the download only ever talk to
// a Link, so they do not know which kind they hold.
#ifndef QUORVANE_HTTP_LINK_H_
#define QUORVANE_HTTP_LINK_H_

struct timeval;

// What recv returns when a TLS read found no complete record to hand out:
// the socket held only part of one, or only handshake messages such as
// session tickets. Nothing failed; the caller waits on the link again.
const int kReadWouldBlock = -2;

// What recv returns when the peer of a TLS link closed the TCP connection
// without the TLS closing alert (close_notify). Whatever came before may be
// cut short: a body that ends only with the connection is not complete.
const int kReadEndWithoutTlsClose = -3;

// What spliceInto returns when the bytes cannot go into a pipe without
// passing through the program: the link is TLS (its records are decrypted
// here), it has no socket, or the system refuses the move for this socket
// or pipe. Nothing was moved; the caller reads with recv.
const int kSpliceRefused = -4;

class Link {
 public:
  Link() = default;
  // Closes the connection: a TLS link sends its closing alert (without
  // waiting for the peer's), a socket is closed.
  virtual ~Link() = default;
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Sends at most `length` bytes once. Returns the count sent (> 0), or 0 /
  // a negative value on failure.
  virtual int send(const char* data, int length) = 0;
  // Reads at most `size` bytes. Returns a positive count, 0 when the peer
  // closed (over TLS: with its closing alert), kReadEndWithoutTlsClose when
  // a TLS peer closed the connection without that alert, kReadWouldBlock
  // when a TLS read has no complete record yet, or another negative value
  // on error. A TLS read never waits for the rest of a record: that wait is
  // the caller's (waitReadable), with its time limit.
  virtual int recv(char* buffer, int size) = 0;
  // Waits until the link is readable: returns > 0 when readable, 0 when
  // `limit` ran out, < 0 on error, and leaves the unused time in *limit (a
  // signal does not end the wait early). A null limit waits without bound.
  virtual int waitReadable(timeval* limit) = 0;
  // Bytes the link already holds that the next recv returns without
  // waiting (> 0 also when that recv reports the end of the link: the
  // peer's close or a failure already read). A plain socket holds none.
  virtual int pending() { return 0; }
  // Moves at most `size` bytes that have arrived into the pipe whose write
  // end is `pipeFd`, inside the system, so that they never enter the
  // program. Returns as recv: a positive count, 0 when the peer closed,
  // kReadWouldBlock when nothing had arrived, another negative value on
  // error; or kSpliceRefused, which this default always returns. The caller
  // waits for the link to be readable first.
  // REQUIRES: size > 0, and the pipe has room for `size` bytes.
  virtual int spliceInto(int pipeFd, int size) {
    (void)pipeFd;
    (void)size;
    return kSpliceRefused;
  }
  // Asks that waits end only once `bytes` bytes are there to read, or the
  // peer closed, or the wait's time ran out (1: as soon as anything is
  // there), so that a fast sender wakes the reader once per batch rather
  // than per packet. Only a hint.
  virtual void setWakeThreshold(int bytes) { (void)bytes; }
  // Bounds every later blocking send to `seconds`, so that a peer that
  // stalls halfway cannot hold the program beyond its time-out.
  virtual void limitBlocking(int seconds) { (void)seconds; }
  // Whether the bytes travel inside TLS.
  virtual bool isTls() const = 0;
  // The socket under the link, for a caller that waits on several links
  // with one poll (a TLS link's bytes may also be held: see pending);
  // -1 when the link has none (a replay, a test fake): such a link is
  // taken as always ready, and its own waitReadable does the waiting.
  virtual int descriptor() const { return -1; }
};

#endif  // QUORVANE_HTTP_LINK_H_
