// HttpSession: the program's one HTTP/1.0 client. It holds the settings,
// the target, the request headers and body, the response header and body,
// the cookie jar and two connection slots (0: current, 1: kept) that may
// share one Link (http/link.h).
//
// The operations live in four files that carry its name: session.cc (state
// and request composition), session_connect.cc (connections, TLS, slots),
// session_receive.cc (reading responses, header lookup, redirects) and
// session_repeat.cc (a request sent again for the rest of a body, or whole).
#ifndef QUORVANE_HTTP_SESSION_H_
#define QUORVANE_HTTP_SESSION_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "base/status.h"
#include "http/cookie_jar.h"
#include "http/link.h"
#include "http/proxy.h"
#include "http/response_parser.h"
#include "http/speed_check.h"
#include "http/transport.h"
#include "text/text_buffer.h"

class SplicePipe;
struct timeval;

// Redirects followed by one request before it gives up with kUnknownError.
const int kMaxRedirects = 20;
// A body kept in memory ("@buffering:") is one text, and a text holds at
// most this much; a body that would grow past it ends the receive with
// kUnknownError instead of being cut short.
const int32_t kMaxKeptBodyBytes = kMaxTextLength;

// What the script layer sets for a session's connections and requests.
struct SessionSettings {
  // The "User-Agent:" line's value; without storage: an empty value.
  TextBuffer userAgent;
  // The proxy every request goes through (see parseProxy, http/proxy.h):
  // "host[:port]", which is sent the whole address, or a value with a
  // scheme. Without storage: the environment's proxies apply; empty: none.
  TextBuffer proxy;
  // The proxy variables of the environment, for a session without a proxy
  // setting (the program reads its own; a session starts without any).
  ProxyEnvironment proxyEnvironment;
  // The credentials that basicAuth sends; without storage: empty.
  TextBuffer user;
  TextBuffer password;
  // Whether requests to the credential target (setCredentialTarget) carry
  // "Authorization: Basic" with the base64 of user ":" password.
  bool basicAuth = false;
  // Seconds each connect and each receive may wait; 0: the system's limit
  // for connects and no wait at all for reads; negative: no limit.
  int32_t timeoutSeconds = 30;
  // The port of an address without one, and the port that means TLS.
  int32_t port = 80;
  int32_t tlsPort = 443;
  // Whether TLS connections check the server's certificate.
  bool tlsVerify = true;
  // A body that brings fewer than lowSpeedBytes bytes per second over
  // lowSpeedSeconds seconds ends as stalled; 0: no such limit.
  int32_t lowSpeedBytes = 0;
  int32_t lowSpeedSeconds = 0;

  // Makes every setting above the same as `other`'s (a text without
  // storage stays without). A setting added above is copied there too.
  void copyFrom(const SessionSettings& other);
};

class HttpSession {
 public:
  // Where a connection goes and how (session_connect.cc).
  struct Peer;

  // A session with the defaults (time-out 30 s, port 80, TLS port 443,
  // cookies off, no connection) whose network is `transport` (the program
  // passes networkTransport()). Sets the target when one is given.
  // REQUIRES: `transport` outlives the session.
  explicit HttpSession(Transport& transport, const char* initialAddress = nullptr);
  // Closes the current slot, then the kept one, and frees everything.
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // --- state and request composition (session.cc) ---

  // Stores `text` as the target when it holds a usable address (see
  // parseAddress in http/address.h): the host as written, the name to
  // connect to, the port and the scheme. Returns kOk, or kNoAddress (null
  // text changes nothing; an unusable one leaves url empty and is kept in
  // unusableAddress for the failure that follows).
  int setTarget(const char* text);
  // Forgets the target (url empty) and keeps `text` as the address that
  // could not be used. Returns kNoAddress.
  int refuseTarget(const char* text);
  // Empties the response header, body and extra headers and sets the
  // Accept and User-Agent lines.
  void resetRequest();
  // Appends "name: value\r\n" to the extra headers (absent pieces are
  // skipped). A name or value holding a CR or LF would add request lines of
  // its own: it is not appended, and the next request fails with the first
  // such header (see refusedHeader) before it connects; so does a header
  // that would make the extra headers longer than a text can hold.
  void addHeader(const char* name, const char* value);
  // 0 clears the jar, 1 enables cookies, anything else disables them.
  void setCookieMode(int mode);
  // Composes the request for the current target and sends all of it on the
  // current connection. Returns kOk, kNoConnection or kSendFailed.
  Status sendRequest(const char* method);
  // Makes the host and port of the current target (the port as connected:
  // the address's own, else the port or TLS port setting) the only ones
  // that basicAuth sends credentials to, until the next call. A "@connect="
  // step calls it as it begins, so that a redirect to another host or port,
  // or a request repeated there, carries none.
  void setCredentialTarget();
  // The request target as it is sent (see requestTarget in
  // http/address.h): the address from the end of the host, or the whole
  // address when the current connection goes to a proxy that is sent whole
  // addresses. "" when no target is set.
  const char* requestPath() const;
  // The path of the address as it is sent without a proxy, proxy or not:
  // cookies follow it. "" when no target is set.
  const char* addressPath() const;
  // The current connection's other end as failures name it:
  // "127.0.0.1 port 8080", or "the proxy 10.0.0.1 port 3128" (through a
  // proxy's tunnel, the target).
  std::string describePeer() const;

  // --- connections (session_connect.cc) ---

  // Closes the current slot, connects to the proxy or host, opens the
  // proxy's tunnel to the target when it has one (an "http://" proxy for a
  // TLS target, a SOCKS proxy), performs the whole TLS handshake within the
  // time-out when the address or the port asks for TLS, and sends the
  // request. Returns kOk, kNoAddress (also for a proxy value that cannot be
  // used), kNoSocket,
  // kHostNotFound, kCannotConnect (also a tunnel that the proxy refused or
  // broke off), kUnknownError (a certificate not trusted), kNoConnection or
  // kSendFailed (the send failed, or the
  // handshake did not finish in time, met no TLS or failed otherwise).
  Status connectAndSend(const char* method);
  // Why the last connectAndSend found no connection (ConnectFailure::kNone
  // when it connected or failed before connecting).
  ConnectFailure::Kind lastConnectFailure() const { return lastConnectFailure_; }
  // Drops slot 0 or 1 (closing the connection when no other slot shares it)
  // and sets status to 0.
  void closeSlot(int slot);
  // Makes the kept slot share the current connection (after closing what
  // it held before).
  void keepConnection();
  // The connection in slot 0 (current) or 1 (kept); null when the slot is
  // empty.
  Link* connection(int slot) const;

  // --- reception (session_receive.cc) ---

  // One reading step: the header block while responseHeader is empty
  // (interim answers before it passed over, their cookies not taken),
  // otherwise one more body piece. The body is decoded as the header frames
  // it (bodyFraming): chunked coding is undone, and bytes past a length or
  // the last chunk are dropped; the answer to a HEAD, a 204 and a 304 have
  // none: nothing after their header is read, and a body read gives
  // kRecvFailed at once. Returns kOk (possibly without new body bytes),
  // kNoConnection, kTimedOut, kRecvFailed or kUnknownError (a header too
  // large, a body that would grow past maxKeptBody; and, final, a first
  // line that is not HTTP, a header holding a NUL or a bare CR, a 101, or a
  // malformed chunked body).
  Status receive();
  // As receive, except that a body piece goes on reading what arrives
  // within a short wait of the last read, until the body holds `most` bytes,
  // the body has ended, its free room is full or a fifth of a second has
  // passed, so that a download writes large pieces. A read that meets the end or a failure while
  // the piece fills is reported by the next receive; the piece itself is kOk. REQUIRES: most > 0.
  Status receivePiece(int32_t most);
  // One more body piece, moved into `pipe` inside the system instead of
  // into the body: at most `most` bytes and the pipe's free room, after a
  // wait within the time-out as receive's. Sets *refused and returns kOk
  // without waiting or moving anything when the bytes cannot go that way (a
  // TLS link, a chunked body, no response header yet); also after the wait
  // when the transport or the system refuses. The caller then reads with
  // receive. Otherwise returns kOk with the bytes counted in the pipe, or a
  // failure as receive. REQUIRES: most > 0.
  Status receiveInto(SplicePipe& pipe, int32_t most, bool* refused);
  // The value of response header `name` (whole name at a line start, any
  // letter case), first or last occurrence; a buffer without storage when
  // absent or empty.
  TextBuffer headerValue(const char* name, int findLast);
  // "HOST answered STATUS-LINE": the host of the address (without port)
  // and the first line of the last response header, for failure sentences.
  std::string answered() const;
  // The failure of a request answered with a status of 400 or more:
  // kCannotConnect, "HOST answered STATUS-LINE for PATH".
  Status refusal() const;
  // Connects, sends, reads the header and follows redirects (a relative
  // Location is resolved against the address it answers). Returns kOk,
  // kCannotConnect for a final status of 400 or more, kUnknownError after too
  // many redirects or for a refused request header (then without
  // connecting), or the first failure of connectAndSend or receive.
  Status request(const char* method);

  // --- repeating a request (session_repeat.cc) ---

  // Sends the last request again (its method, address, headers and body;
  // cookies from the jar as for any request) on a new connection, asking
  // for the bytes from `from` on with "Range: bytes=FROM-", and with
  // "If-Range: " and `validator` when that is a usable header value (not
  // null, not empty, no control bytes); a negative `from` adds neither.
  // Prints no address line, follows no redirect, and reads the response
  // header whatever its status. Returns kOk (the status is in `status`) or
  // the failure of connectAndSend or receive.
  Status requestRest(int64_t from, const char* validator);
  // request(method) for the current target, with the body of the last
  // request, after forgetting the last response header: a request that is
  // repeated. Its address is printed only with `printAddress` (when no
  // attempt before sent it).
  Status requestAgain(const char* method, bool printAddress);
  // The method of the last request sent; "GET" before any.
  const char* lastMethod() const { return lastMethod_.hasText() ? lastMethod_.data() : "GET"; }

  // --- the pieces of a body over connections of their own (session_repeat.cc) ---

  // A session without connection that repeats this one's last request: the
  // same settings, target, headers, method and body, and this session's
  // cookie jar (shared: what its answers set is stored here). It prints no
  // address line. REQUIRES: this session outlives it.
  std::unique_ptr<HttpSession> sibling();
  // Sends the last request again on a new connection, as requestRest does,
  // asking for the bytes FIRST to LAST with "Range: bytes=FIRST-LAST" (and
  // If-Range with `validator` when usable), and reads nothing: the answer
  // is read by receive once the connection is readable. Returns kOk or the
  // failure of connectAndSend. REQUIRES: 0 <= first <= last.
  Status sendRange(int64_t first, int64_t last, const char* validator);

  // --- settings ---

  // The settings the next connection and request use; the script layer
  // changes them through settings().
  const SessionSettings& settings() const { return settings_; }
  SessionSettings& settings() { return settings_; }

  // --- the target (set by setTarget) ---

  // The address as given; without storage or empty when there is none.
  const TextBuffer& url() const { return url_; }
  // The host as the address writes it, port and brackets included: what the
  // "Host:" line names.
  const TextBuffer& host() const { return host_; }
  // The name to look up: the host without port and brackets; cookies belong
  // to it.
  const TextBuffer& hostName() const { return hostName_; }
  // Whether the address's scheme is "https://".
  bool targetIsTls() const { return targetIsTls_ != 0; }
  // Whether the host is an IP address.
  bool targetIsIp() const { return targetIsIp_; }
  // The address's own port; 0 when none is written.
  int32_t targetPort() const { return targetPort_; }
  // The header lines resetRequest and addHeader composed for the next
  // request.
  const TextBuffer& extraHeaders() const { return extraHeaders_; }

  // --- the last response ---

  // The status code of the last response header; 0 before one was read and
  // after closeSlot.
  int32_t status() const { return status_; }
  // The last response header without its blank line; empty until one is
  // read.
  const TextBuffer& responseHeader() const { return responseHeader_; }
  // The body received so far (before a request: the request body).
  const TextBuffer& body() const { return body_; }
  // Whether the last receive that ended with kRecvFailed met the peer's
  // close (a read gave 0, or a TLS peer closed without its closing alert)
  // rather than a failed read (a reset, a broken TLS record). Whether that
  // ended the body is bodyComplete's to say.
  bool closedByPeer() const { return closedByPeer_; }
  // How the last response header frames its body.
  const BodyFraming& bodyFraming() const { return decoder_.framing(); }
  // Whether the body of the last response has ended as its framing says:
  // its length or its last chunk arrived, or, for a body that ends with the
  // connection, the peer closed it in order (over TLS, with the closing
  // alert). A body that broke off or is still arriving has not.
  bool bodyComplete() const { return decoder_.complete() || closedInOrder_; }
  // Whether the last receive ended with kTimedOut because the body came
  // more slowly than the low-speed setting allows.
  bool bodyStalled() const { return stalled_; }

  // --- changing the body ---

  // Sets the body the next request sends ("@->body:").
  void setRequestBody(const char* text) { body_.assign(text); }
  // Hands the body's storage to the caller, leaving the body without
  // storage, so that a large page is not copied. REQUIRES: the caller gives
  // it back with returnBody before the session reads, sends or receives.
  TextBuffer lendBody() { return std::move(body_); }
  // Takes back the storage lendBody handed out (or any text) as the body.
  void returnBody(TextBuffer text) { body_ = std::move(text); }
  // Gives the body room for `capacity` bytes, so that the next receive reads
  // up to that much at once.
  void reserveBody(int32_t capacity) { body_.reserve(capacity); }
  // Empties the body (after its bytes were written elsewhere).
  void clearBody() { body_.clear(); }
  // The most bytes the body phase of receive lets the body grow to (the
  // bytes that came with the header are bounded by kMaxHeaderBytes); tests
  // lower it from kMaxKeptBodyBytes.
  void limitKeptBody(int32_t bytes) { maxKeptBody_ = bytes; }

  // --- cookies ---

  // The cookie jar, whether or not cookies are on.
  CookieJar& cookieJar() { return sharedJar_ != nullptr ? *sharedJar_ : jar_; }
  const CookieJar& cookieJar() const { return sharedJar_ != nullptr ? *sharedJar_ : jar_; }
  // Whether responses store cookies and requests send them (setCookieMode).
  bool cookiesEnabled() const { return cookiesEnabled_ != 0; }

 private:
  // The steps of receive (session_receive.cc), on the current connection and
  // within the time `limit` of the call (null: no limit).
  Status readHeader(Link& connection, timeval* limit);
  // The time limit of one receive, in *limit: the time-out setting, or null
  // (no limit) for a negative one.
  timeval* callLimit(timeval* limit) const;
  // receive (`fillTo` 0) and receivePiece (`fillTo`: its `most`).
  Status receive(int32_t fillTo);
  Status readBodyPiece(Link& connection, timeval* limit, int32_t fillTo);
  // The body's free room, up to maxKeptBody: where the next read goes.
  char* bodyRoom(int32_t* room);
  // After a piece's first read: the records the TLS layer already holds
  // join the piece, as far as its room goes; with `fillTo` above 0, so does
  // what arrives within kPieceFillWaitMillis of the last read (each wait at
  // most what is left of `limit`), until the body holds `fillTo` bytes, has
  // ended, or kPieceFillMaxMicros have passed. A read that gives the end or a failure is kept in
  // deferredEnd_ for the next receive.
  void takeMore(Link& connection, const timeval* limit, int32_t fillTo);
  // The failure of a body read that gave `got` (0 or negative), the one
  // kept in deferredEnd_ included (which is then dropped): a close ends a
  // body that ends with the connection, unless it left TLS open.
  Status bodyReadFailure(int got);
  // How a read that gave no bytes is told: the peer, `silent` and the
  // time-out in seconds ("x did not answer within 5 s"); the peer "closed the
  // connection" and `closed` (`closedWithoutTls` when a TLS peer closed
  // without the closing alert); or `failed`, the peer and "failed".
  struct ReadFailureWords {
    const char* silent;
    const char* closed;
    const char* closedWithoutTls;
    const char* failed;
  };
  // The failure of a read that gave `got` (0, kReadWouldBlock,
  // kReadEndWithoutTlsClose or another negative result); sets closedByPeer.
  // A close without the TLS closing alert is a close that says so.
  Status readFailure(int got, const ReadFailureWords& words);
  // The failure of a header read that gave `got` (0 or negative) with
  // `held` bytes of the block read, after an interim answer or not.
  Status headerReadFailure(int got, int32_t held, bool afterInterim);
  // The failure of a header block that `scan` refused (kTooLarge, kNotHttp,
  // kMalformed); the block read so far is in responseHeader_.
  Status refusedHeader(HeaderScan scan, bool afterInterim) const;
  // Splits the header block read so far after its first `headerLength`
  // bytes, at its blank line: the bytes after it, decoded as the header
  // frames the body (none for the answer to a HEAD), become the body.
  void splitHeader(int32_t headerLength);
  // Passes `count` bytes just read at `bytes` through the body decoder and
  // returns how many of them, now at `bytes`, the body keeps.
  int32_t decodeBody(char* bytes, int32_t count);
  // The failure of a malformed chunked body.
  Status malformedBody() const;
  // The failure of a body that came too slowly; sets stalled_.
  Status stalledBody();
  // The proxy the current target goes through (ProxyKind::kNone: none):
  // the proxy setting when it has storage, else the environment's.
  Status chooseProxy(Proxy* proxy) const;
  // Connects to `peer` (the target, or `proxy`) and, with `tunnel`, opens
  // the proxy's tunnel to `target`, all within `limit` seconds (0: the
  // system's limits), into *link. Returns kOk or the failure of connectAndSend.
  // The SOCKS tunnels to each of `destinations` (the target's addresses,
  // looked up here), raced as a name's addresses are: the first over the
  // proxy connection in *link, each next one over a new connection
  // kConnectStaggerMillis later while none got through (at once after a
  // refusal of its address), each within `limit`. The first that gets
  // through wins and is left in *link; a refusal that another address
  // cannot pass ends the race, and otherwise the failure of the attempt
  // that failed last stands. REQUIRES: *link is connected and has a
  // descriptor.
  Status raceSocksTunnels(const Proxy& proxy, const Peer& peer, const Peer& target,
                          const std::vector<std::string>& destinations, int limit,
                          std::unique_ptr<Link>* link);
  Status connectThrough(const Proxy& proxy, const Peer& peer, const Peer& target, bool tunnel,
                        int limit, std::unique_ptr<Link>* link);
  // Stores the cookies of the response header's Set-Cookie lines.
  void storeCookies();
  // The port a connection to the current target uses (no proxy).
  int32_t targetConnectPort() const;
  // The "Authorization:" line of a request to the current target, or ""
  // when basicAuth is off or the target is not the credential target.
  std::string authorizationLine() const;

  SessionSettings settings_;
  CookieJar jar_;
  // A sibling's: the jar of the session it repeats, used instead of jar_.
  CookieJar* sharedJar_ = nullptr;
  TextBuffer host_;
  TextBuffer url_;
  TextBuffer responseHeader_;
  TextBuffer body_;
  TextBuffer extraHeaders_;
  int32_t cookiesEnabled_ = 0;
  int32_t status_ = 0;
  // Set by setTarget: see the accessors of the same names; the request
  // target without a proxy (origin) and with one (absolute).
  int32_t targetIsTls_ = 0;
  std::string originTarget_;
  std::string absoluteTarget_;
  TextBuffer hostName_;
  bool targetIsIp_ = false;
  int32_t targetPort_ = 0;
  // Where basicAuth sends credentials: a host name (empty: nowhere) and the
  // port as connected.
  std::string credentialHost_;
  int32_t credentialPort_ = 0;
  // The last text setTarget refused (storage-less when it accepted the
  // last one): what a failure for want of an address names.
  TextBuffer unusableAddress_;
  // Where the current connection goes (the host or the proxy) and on which
  // port, as failures name it; set by connectAndSend.
  TextBuffer peerName_;
  int32_t peerPort_ = 0;
  bool peerIsProxy_ = false;
  // The proxy that the current connection's requests go to with the whole
  // address (kNone: none, or a tunnel), and its "Proxy-Authorization:"
  // value (empty: none).
  ProxyKind forwardProxy_ = ProxyKind::kNone;
  std::string proxyAuthorization_;
  // What the last request sent: its method and body, for repeating it.
  TextBuffer lastMethod_;
  TextBuffer lastRequestBody_;
  // Whether sending a request prints its address; a repeated request does
  // not, since the address was printed when it was first requested.
  bool printAddress_ = true;
  bool closedByPeer_ = false;
  // The body decoder of the last response header, and whether a body that
  // ends with the connection met its orderly close.
  BodyDecoder decoder_;
  bool closedInOrder_ = false;
  // The watch over the body's speed, from the end of its header on.
  SpeedCheck speed_;
  bool stalled_ = false;
  // The result of a read that ended the filling of a body piece (0 or
  // negative), which the next receive reports; kNoDeferredEnd: none.
  static const int kNoDeferredEnd = 1;
  int deferredEnd_ = kNoDeferredEnd;
  ConnectFailure::Kind lastConnectFailure_ = ConnectFailure::kNone;
  // The first header that addHeader refused since the last resetRequest;
  // ok() when there is none.
  Status refusedHeader_;
  int32_t maxKeptBody_ = kMaxKeptBodyBytes;

  // Where the network is.
  Transport& transport_;
  // Slot 0 is the current connection, slot 1 the kept one; both may share
  // one, which closes (tracing "@closesocket.") when its last slot lets go.
  std::shared_ptr<Link> slots_[2];
};

#endif  // QUORVANE_HTTP_SESSION_H_
