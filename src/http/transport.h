// The seam between an HttpSession and the network. Every byte the session
// sends or receives, every connect, wait and close goes through a Transport.
// The program uses the socket and TLS implementation (net_transport.h);
// tests and fuzz targets give the session a scripted one instead.
#ifndef QUORVANE_HTTP_TRANSPORT_H_
#define QUORVANE_HTTP_TRANSPORT_H_

struct timeval;
struct TlsLink;

// What recv returns when a TLS read found no complete record to hand out:
// the socket held only part of one, or only handshake messages such as
// session tickets. Nothing failed; the caller waits on the socket again.
const int kReadWouldBlock = -2;

class Transport {
 public:
  virtual ~Transport() = default;

  // Creates an IPv4 stream socket; returns its descriptor (> 0) or -1.
  virtual int openSocket() = 0;
  // Resolves `target` (dotted IPv4 address or name) and connects `socket`
  // to it on `port`, blocking. Returns kOk, kHostNotFound or
  // kCannotConnect.
  virtual int connectSocket(int socket, const char* target, int port) = 0;
  // Sets up TLS on the connected `socket` and performs the client handshake,
  // sending `serverName` (may be null) for name-based hosting. Returns the
  // new link; a failed handshake shows up at the first send or receive.
  virtual TlsLink* startTls(int socket, const char* serverName) = 0;
  // Sends through the link when there is one, else on the socket. Returns
  // the library's result: the count sent (> 0), or 0 / negative on failure.
  virtual int send(TlsLink* link, int socket, const char* data, int length, int flags) = 0;
  // Reads at most size bytes. Returns a positive count, 0 when the peer
  // closed, kReadWouldBlock when a TLS read has no complete record yet, or
  // another negative value on error. A TLS read never waits for the rest of
  // a record: that wait is the caller's, with its time limit.
  virtual int recv(TlsLink* link, int socket, char* buffer, int size, int flags) = 0;
  // Bytes the TLS layer already holds that the next recv returns without
  // touching the socket (> 0 also when that recv reports the end of the
  // link: the peer's close or a failure already read); 0 without a link.
  virtual int pending(TlsLink* link) = 0;
  // Waits until `socket` is readable, as select() on Linux does: returns > 0
  // when readable, 0 when `limit` ran out, < 0 on error, and leaves the unused
  // time in *limit. A null limit waits without bound.
  virtual int waitReadable(int socket, timeval* limit) = 0;
  // Bounds every later blocking call on `socket` (the TLS handshake, sends)
  // to `seconds`, so a peer that stalls halfway cannot hold the program
  // beyond its time-out. A call that runs out fails like any other failed
  // send.
  virtual void limitBlocking(int socket, int seconds) {
    (void)socket;
    (void)seconds;
  }
  // Shuts the link down (one close-notify), closes the socket and frees the
  // link. Either may be absent (link null, socket 0).
  virtual void close(TlsLink* link, int socket) = 0;
};

// The process-wide socket and TLS transport used by the program.
Transport& networkTransport();

#endif  // QUORVANE_HTTP_TRANSPORT_H_
