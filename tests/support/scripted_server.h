// ScriptedServer: an in-process loopback HTTP peer for tests. It listens on
// 127.0.0.1 (or [::1]), plain or with TLS (a certificate made in memory, normally one
// issued by the test process's own certificate authority),
// and plays one scripted list of actions per accepted connection, in order:
// it first records the client's request (on a plain server, a TLS client's
// first record counts as one), then sends bytes, pauses, closes,
// resets or holds the connection as the script says.
//
// The scripts are plain data, and a small text form of one connection's
// actions (one action per line) lets case files store server replies:
//
//   # comment; blank lines are ignored
//   chunk <n> [<gap ms>]     following sends go out in pieces of n bytes
//                            (0: whole), waiting <gap ms> between pieces
//   send <text>              text with \r \n \t \\ and \xHH escapes
//   send-file <path>         a file's bytes (relative to the base folder)
//   send-repeat <count> <t>  count copies of one (escaped) text
//   send-range <count> <t> <etag> [cut <n>] [any-if-range]
//                            answers the request for the entity of count
//                            copies of <t> with "ETag: <etag>" as
//                            sendRangeAction does, at most <n> body bytes
//   pause <ms>
//   close                    graceful: write side shut (TLS close-notify)
//   close-tcp                the TCP connection closes in order; over TLS
//                            without the close-notify alert
//   reset                    abrupt: the peer sees a connection reset
//   hold                     keep open until the client closes or stop()
//   await <n>|request        record n more bytes of the client's, or a request
//                            (a list that begins so reads no request first)
//   relay <port>             pass bytes both ways with 127.0.0.1:<port>
//
// close, close-tcp, reset and hold end a connection's list; a list that ends without
// one of them closes gracefully.
//
// A connection may also answer its request for one whole entity as a
// server that honours ranges does: a request with "Range: bytes=N-" (or
// "bytes=N-M") gets a 206 with the bytes from N on (to M), unless its
// "If-Range:" names another validator than the entity's (see
// sendRangeAction).
#ifndef QUORVANE_TESTS_SUPPORT_SCRIPTED_SERVER_H_
#define QUORVANE_TESTS_SUPPORT_SCRIPTED_SERVER_H_

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ServerAction {
  enum Kind { kSend, kPause, kClose, kReset, kHold, kSendRange, kCloseTcp, kAwait, kRelay };
  Kind kind = kSend;
  std::string bytes;  // kSend: what to send; kSendRange: the whole entity
  int chunk = 0;      // kSend, kSendRange: piece size; 0 sends everything in one piece
  int millis = 0;     // kPause: the pause; kSend, kSendRange: the gap between pieces
  size_t count = 0;   // kAwait: the bytes awaited (0: an HTTP request); kRelay: the port
  // kSendRange only:
  std::string headers;                  // header lines of every answer, each ending in CR LF
  std::string validator;                // the entity's ETag or Last-Modified, as `headers` give it
  bool honourRange = true;              // false: every answer is the whole entity
  bool ignoreIfRange = false;           // true: a range is honoured whatever If-Range says
  size_t cutAfter = std::string::npos;  // at most this many body bytes are sent
};

// The certificate a TLS server shows. The test process makes one
// certificate authority of its own (in memory, once); a program that is to
// trust it reads testAuthorityPem() from the file SSL_CERT_FILE names.
enum class ServerCertificate {
  kTrusted,     // issued by the test authority for IP 127.0.0.1, IP ::1, DNS localhost
  kOtherName,   // issued by the test authority for DNS other.example only
  kSelfSigned,  // for 127.0.0.1 and localhost, but signed by itself
};

// The test authority's certificate in PEM form ("" when the library could
// not make it; a TLS server then fails to start and says so).
const std::string& testAuthorityPem();

// Makes this process and the programs it starts trust the test authority:
// writes it to a file of its own (removed when the process ends) and points
// SSL_CERT_FILE at it. Returns the file's path, or "" when it cannot be
// written. Call it before any thread starts, as it changes the environment.
std::string trustTestAuthority();

// The actions of one connection.
using ConnectionScript = std::vector<ServerAction>;

// Shorthands for building scripts in code.
ServerAction sendAction(const std::string& bytes, int chunk = 0, int gapMillis = 0);
ServerAction pauseAction(int millis);
ServerAction closeAction();
ServerAction closeTcpAction();
ServerAction resetAction();
ServerAction holdAction();
// An answer to the connection's request for `entity`, as a server that
// honours ranges gives it: "HTTP/1.1 206 Partial Content" with Content-Range
// and the bytes from N on for "Range: bytes=N-" (to M for "bytes=N-M"; 416
// when N is past the end), unless `honourRange` is false or an "If-Range:" names another value
// than `validator`; otherwise "HTTP/1.1 200 OK" and the whole entity. Each
// answer carries `headers` and its Content-Length, and at most `cutAfter`
// of its body bytes are sent.
ServerAction sendRangeAction(const std::string& entity, const std::string& headers,
                             const std::string& validator, bool honourRange = true,
                             size_t cutAfter = std::string::npos);
// The bytes of that answer to `request` (the raw request bytes).
std::string rangeAnswer(const ServerAction& action, const std::string& request);

// The loopback address a server listens on: 127.0.0.1 or [::1].
enum class LoopbackFamily { kIPv4, kIPv6 };

// A listening TCP socket on 127.0.0.1:port or [::1]:port (0: an ephemeral
// port), with SO_REUSEADDR and any extra socket type flags (e.g.
// SOCK_NONBLOCK). Returns the descriptor, or -1 with a message naming the
// address in *error.
int listenOnLoopback(int port, int typeFlags, std::string* error,
                     LoopbackFamily family = LoopbackFamily::kIPv4);

// Reads a non-negative decimal number of at most `limit` that makes up all
// of `text`; false for anything else.
bool parseCount(const std::string& text, long limit, long* out);

// Replaces the escapes \r \n \t \\ and \xHH (two hex digits) in `text`.
// Returns false, with *out unspecified, for any other or incomplete escape.
bool unescapeText(const std::string& text, std::string* out);

// Parses the text form above into *out (replacing its content). Relative
// send-file paths are taken from `baseFolder` when it is not empty. Returns
// false and a message naming the line in *error on the first bad line.
bool parseActions(const std::string& text, ConnectionScript* out, std::string* error,
                  const std::string& baseFolder = "");

// What the server saw on one scripted connection.
struct ConnectionRecord {
  std::string request;        // raw bytes read before the actions ran
  bool handshakeOk = true;    // TLS only: false when the handshake failed
  std::string serverName;     // TLS only: the name the client sent (SNI), or ""
  bool clientClosed = false;  // the client closed or reset it before we let go
  int closeNotifies = 0;      // TLS close-notify alerts received from the client
};

class ScriptedServer {
 public:
  // How long the server waits for a complete request (and for a TLS
  // handshake) before it runs the actions anyway: a client that says
  // nothing must not hang the test.
  static constexpr int kRequestWaitMillis = 5000;
  // A request larger than this is recorded only up to here.
  static constexpr size_t kMaxRequestBytes = 4 * 1024 * 1024;
  // A send that makes no progress for this long (the client neither reads
  // nor closes) gives up on the connection.
  static constexpr int kStallMillis = 20000;
  // After a graceful close the server reads and drops what the client still
  // sends, for at most this long, so that unread bytes do not turn the
  // close into a reset before the client has read the reply.
  static constexpr int kLingerMillis = 3000;

  // Binds 127.0.0.1:`port` or [::1]:`port` (0: an ephemeral port) and
  // starts serving `script`, one entry per connection in accept order; a TLS
  // server shows `certificate`. Check ok().
  ScriptedServer(bool tls, std::vector<ConnectionScript> script, int port = 0,
                 ServerCertificate certificate = ServerCertificate::kTrusted,
                 LoopbackFamily family = LoopbackFamily::kIPv4);
  // Stops the server.
  virtual ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // Whether the server is listening; when not, error() says why (for
  // example "bind 127.0.0.1:443: Address already in use").
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // The port listened on; 0 when binding failed.
  int port() const { return port_; }
  bool tls() const { return tls_; }

  // Appends the script of one more connection.
  void addConnection(const ConnectionScript& actions);

  // Raw request bytes of each scripted connection accepted so far, in
  // accept order (connections beyond the script are not read).
  std::vector<std::string> requests() const;
  std::vector<ConnectionRecord> records() const;
  // Connections accepted so far, those beyond the script included.
  int connectionCount() const;
  // Connections accepted beyond the script (closed at once).
  int unscriptedCount() const;

  // Ends held and lingering connections, stops listening and joins the
  // server thread. Safe to call more than once.
  void stop();

 private:
  struct Connection;

  void serve();
  // Handles a freshly accepted connection up to its hold or graceful close.
  // Returns true when it goes on in the background (held or lingering),
  // false when it has been released.
  bool runConnection(Connection* connection, size_t index);
  // Passes bytes both ways between `fd` and a new connection to 127.0.0.1:
  // `port` until one side ends; false when that cannot connect or stops.
  bool relay(int fd, int port);
  // Closes (with a close-notify unless broken or the client is gone) and
  // deletes the connection.
  void releaseConnection(Connection* connection, bool clientGone);

  bool tls_;
  int port_ = 0;
  std::string error_;
  int listenFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  void* sslContext_ = nullptr;  // SSL_CTX*, kept opaque to spare users the headers
  std::atomic<bool> stopping_{false};
  std::thread thread_;

  mutable std::mutex mutex_;  // guards everything below
  std::vector<ConnectionScript> script_;
  std::vector<ConnectionRecord> records_;
  int accepted_ = 0;
  int unscripted_ = 0;
};

#endif  // QUORVANE_TESTS_SUPPORT_SCRIPTED_SERVER_H_
