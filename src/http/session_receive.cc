// Reading responses: the header block and the body pieces of the current
// connection, header lookup, and the request loop that follows redirects.
#include <strings.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/clock.h"
#include "base/messages.h"
#include "http/address.h"
#include "http/http_status.h"
#include "http/response_parser.h"
#include "http/session.h"
#include "http/splice_pipe.h"
#include "http/transport.h"
#include "text/text_transforms.h"

namespace {

// A body piece that is filled (receivePiece) waits this long for more
// bytes before it is handed out: long enough for a busy sender to keep up,
// short enough that the progress line still follows a slow one.
const int kPieceFillWaitMillis = 20;
// ... and is handed out after this long at the latest, so that a sender
// that trickles without pause still moves the progress line and the file.
const int64_t kPieceFillMaxMicros = 200 * 1000;
// ... and its waits end once this much is there to read: a fast sender
// then wakes the reader once per batch instead of once per packet or TLS
// record, which takes about a quarter off the CPU time of a TLS download.
const int kFillBatchBytes = 128 * 1024;

// A receive buffer never grows beyond the longest text; a body that would
// need more ends the reading.
const int32_t kMaxReceiveCapacity = kMaxTextLength;
// Receive buffers grow by at least this much when full.
const int32_t kReceiveGrowth = 4096;

const int32_t kHeaderEndLength = 4;
const char kLineEnd[] = "\r\n";

// A first line that is not HTTP is named by this many of its bytes at
// most: enough to recognise a banner or a greeting, short enough for one
// line of a terminal.
const size_t kShownFirstLineBytes = 40;

// Gives a receive buffer with less than `least` bytes of free space (a
// full or storage-less one, for the default) room for the next read: it
// grows by its own capacity, at least kReceiveGrowth, so that keeping a long
// body costs time in proportion to its size.
// REQUIRES: buffer.length() < kMaxReceiveCapacity.
void makeRoom(TextBuffer& buffer, int32_t least = 1) {
  if (buffer.data() != nullptr && buffer.capacity() - buffer.length() >= least) return;
  int32_t growth = buffer.capacity() > kReceiveGrowth ? buffer.capacity() : kReceiveGrowth;
  if (growth > kMaxReceiveCapacity - buffer.capacity())
    growth = kMaxReceiveCapacity - buffer.capacity();
  buffer.reserveTail(buffer.capacity() + growth);
}

// The verbose trace of one lookup of `name`: a header lookup is traced as
// the extraction between "name: " and the line end.
void traceLookup(const char* name) {
  TextBuffer key;
  key.append(name);
  key.append(": ");
  traceExtraction(kExtractionStarted, key.data(), kLineEnd);
}

// One read of at most `size` bytes into `into`, after the wait: bytes the
// TLS layer already holds are read at once, since the socket may have
// nothing more to report for them. A TLS read that finds only part of a
// record waits on the socket for the rest, within the same time limit.
// Returns the read's count, 0 or a failure (a failed wait included), or
// kReadWouldBlock when the time ran out; with a `speed` that watches, also
// kWaitStalled when the body came too slowly.
int waitAndRead(Link& connection, timeval* limit, char* into, int size,
                SpeedCheck* speed = nullptr) {
  bool partRecord = false;
  for (;;) {
    bool ready = !partRecord && connection.pending() > 0;
    if (!ready) {
      int waited = speed != nullptr ? waitWatched(connection, limit, *speed)
                                    : connection.waitReadable(limit);
      if (waited == 0) return kReadWouldBlock;
      if (waited == kWaitStalled) return kWaitStalled;
      if (waited < 0) return -1;
    }
    int got = connection.recv(into, size);
    if (got != kReadWouldBlock) return got;
    partRecord = true;
  }
}

// Adds the bytes of one wait and read to the header block held in `block`;
// returns the read's result as waitAndRead does.
int readMore(Link& connection, timeval* limit, TextBuffer& block) {
  makeRoom(block);
  int32_t room = 0;
  char* into = block.tail(&room);
  int got = waitAndRead(connection, limit, into, room);
  if (got > 0) block.commit(got);
  return got;
}

// The verbose echo of a header block read (without its blank line).
void echoHeader(const std::string& block) {
  report(kTraceBanner, "[Recv method]");
  report(kTrace, block.c_str(), kNetworkHeaders);
  report(kTrace, "\n");
  report(kTraceBanner, "[Recv method]");
}

TextBuffer copyOf(const char* text, size_t length) {
  TextBuffer copy;
  copy.assign(text, length);
  return copy;
}

}  // namespace

Status HttpSession::receive() {
  return receive(0);
}

Status HttpSession::receivePiece(int32_t most) {
  return receive(most);
}

timeval* HttpSession::callLimit(timeval* limit) const {
  // One time limit for the whole call: each wait leaves the unused time in
  // it. A negative setting waits without bound.
  *limit = limitOf(settings_.timeoutSeconds);
  return settings_.timeoutSeconds < 0 ? nullptr : limit;
}

Status HttpSession::receive(int32_t fillTo) {
  Link* connection = slots_[0].get();
  if (connection == nullptr) return Status(kNoConnection, "no connection to read from");
  timeval limit;
  timeval* waitLimit = callLimit(&limit);
  stalled_ = false;
  if (responseHeader_.length() != 0) return readBodyPiece(*connection, waitLimit, fillTo);
  // A new response: nothing is known of its body yet.
  speed_.stop();
  decoder_ = BodyDecoder();
  closedInOrder_ = false;
  deferredEnd_ = kNoDeferredEnd;
  return readHeader(*connection, waitLimit);
}

Status HttpSession::readBodyPiece(Link& connection, timeval* limit, int32_t fillTo) {
  if (decoder_.malformed()) return malformedBody();
  // An answer without a body ended with its header: what follows it is not
  // read, and a body loop meets the end at once, as at a close.
  if (decoder_.framing().kind == BodyFraming::kNone) {
    return Status(kRecvFailed, "the answer of " + describePeer() + " has no body");
  }
  // The end or failure that stopped the filling of the last piece.
  if (deferredEnd_ != kNoDeferredEnd) return bodyReadFailure(deferredEnd_);
  if (speed_.stalled(monotonicMicros())) return stalledBody();
  // One more piece, as far as the body may grow. A body that holds all it
  // may keep reads one byte more: only the server's close (or silence)
  // shows that nothing was cut off.
  const bool full = body_.length() >= maxKeptBody_;
  char probe = 0;
  int32_t room = 1;
  char* into = &probe;
  if (!full) {
    // The framing of a chunked body takes part of each read: it reads at
    // least kReceiveGrowth bytes at a time, so that its reads stay large.
    bool chunked = decoder_.framing().kind == BodyFraming::kChunked;
    makeRoom(body_, chunked ? kReceiveGrowth : 1);
    into = bodyRoom(&room);
  }
  int got = waitAndRead(connection, limit, into, room, &speed_);
  if (got == kWaitStalled) return stalledBody();
  if (got <= 0) return bodyReadFailure(got);
  speed_.count(got, monotonicMicros());
  // The bytes read are decoded where they are; only body bytes count.
  if (full) {
    if (decodeBody(&probe, 1) == 0) return decoder_.malformed() ? malformedBody() : Status();
    // Asking again would bring the same body.
    return Status::unknownError("response body too large to keep",
                                formatText("%s sent a body of more than %d bytes",
                                           describePeer().c_str(), static_cast<int>(maxKeptBody_)))
        .markFinal();
  }
  body_.commit(decodeBody(into, got));
  takeMore(connection, limit, fillTo);
  return decoder_.malformed() ? malformedBody() : Status();
}

char* HttpSession::bodyRoom(int32_t* room) {
  char* into = body_.tail(room);
  *room = std::min(*room, maxKeptBody_ - body_.length());
  return into;
}

// While a piece waits to be filled, its waits end only once a batch of
// bytes is there (or its short wait runs out); the wait for a piece's first
// byte, which the time-out bounds, ends with any byte. Restores that on
// leaving.
class FillBatch {
 public:
  explicit FillBatch(Link& connection) : connection_(connection) {}
  ~FillBatch() {
    if (bytes_ != 1) connection_.setWakeThreshold(1);
  }
  FillBatch(const FillBatch&) = delete;
  FillBatch& operator=(const FillBatch&) = delete;

  // Before a wait, with `room` bytes left in the piece.
  void beforeWait(int32_t room) {
    int bytes = std::min(room, kFillBatchBytes);
    if (bytes == bytes_) return;
    connection_.setWakeThreshold(bytes);
    bytes_ = bytes;
  }

 private:
  Link& connection_;
  // The threshold set last; 1 is the socket's own.
  int bytes_ = 1;
};

void HttpSession::takeMore(Link& connection, const timeval* limit, int32_t fillTo) {
  // A TLS read hands out one record; the records the library already
  // holds join the same piece. A piece being filled also waits briefly for
  // what is on its way, in batches.
  bool partRecord = false;
  const int64_t deadline = fillTo > 0 ? monotonicMicros() + kPieceFillMaxMicros : 0;
  FillBatch batch(connection);
  for (;;) {
    int32_t room = 0;
    char* into = bodyRoom(&room);
    if (room <= 0) return;
    if (fillTo > 0 && (body_.length() >= fillTo || decoder_.complete() || decoder_.malformed())) {
      return;
    }
    if (partRecord || connection.pending() <= 0) {
      if (fillTo <= 0) return;
      int64_t left = deadline - monotonicMicros();
      if (left <= 0) return;
      timeval wait = {
          0, static_cast<suseconds_t>(std::min<int64_t>(left, kPieceFillWaitMillis * 1000))};
      if (limit != nullptr && timercmp(limit, &wait, <)) wait = *limit;
      batch.beforeWait(fillTo - body_.length());
      if (connection.waitReadable(&wait) <= 0) return;
    }
    int got = connection.recv(into, room);
    partRecord = got == kReadWouldBlock;
    if (got > 0) {
      speed_.count(got, monotonicMicros());
      body_.commit(decodeBody(into, got));
    } else if (!partRecord) {
      // The piece goes out first.
      deferredEnd_ = got;
      return;
    }
  }
}

Status HttpSession::bodyReadFailure(int got) {
  deferredEnd_ = kNoDeferredEnd;
  ReadFailureWords words = {" sent nothing more for ", "", " without ending TLS", "reading from "};
  closedInOrder_ = got == 0 && decoder_.framing().kind == BodyFraming::kUntilClose;
  return readFailure(got, words);
}

Status HttpSession::receiveInto(SplicePipe& pipe, int32_t most, bool* refused) {
  Link* connection = slots_[0].get();
  if (connection == nullptr) return Status(kNoConnection, "no connection to read from");
  // TLS records are decrypted here, a chunked body is decoded here, and a
  // header is read whole into its text.
  *refused = connection->isTls() || responseHeader_.length() == 0 ||
             decoder_.framing().kind == BodyFraming::kChunked || decoder_.complete() || !pipe.ok();
  if (*refused) return Status();
  // The end or failure that stopped the filling of the last piece.
  if (deferredEnd_ != kNoDeferredEnd) return bodyReadFailure(deferredEnd_);
  stalled_ = false;
  if (speed_.stalled(monotonicMicros())) return stalledBody();
  timeval limit;
  timeval* waitLimit = callLimit(&limit);
  int room = std::min(most, pipe.capacity() - pipe.held());
  int got = kReadWouldBlock;
  do {
    int waited = waitWatched(*connection, waitLimit, speed_);
    if (waited == kWaitStalled) return stalledBody();
    if (waited <= 0) {
      got = waited == 0 ? kReadWouldBlock : -1;
      break;
    }
    // Readable, yet nothing to move: the wait goes on within the limit.
    got = connection->spliceInto(pipe.writeEnd(), room);
  } while (got == kReadWouldBlock);
  if (got == kSpliceRefused) {
    *refused = true;
    return Status();
  }
  if (got <= 0) return bodyReadFailure(got);
  speed_.count(got, monotonicMicros());
  pipe.filled(got);
  decoder_.skip(static_cast<size_t>(got));
  return Status();
}

int32_t HttpSession::decodeBody(char* bytes, int32_t count) {
  int32_t body = static_cast<int32_t>(decoder_.decode(bytes, static_cast<size_t>(count)));
  // Only the chunked coding changes the bytes, and an answer without a body
  // keeps none. Any other body keeps every byte read, also past its length
  // (the body phase appends what arrives); the decoder only follows where
  // the body ends.
  BodyFraming::Kind kind = decoder_.framing().kind;
  return kind == BodyFraming::kChunked || kind == BodyFraming::kNone ? body : count;
}

Status HttpSession::malformedBody() const {
  std::string detail = "malformed chunked body from " + describePeer();
  return Status::unknownError(detail.c_str(), std::string()).markFinal();
}

Status HttpSession::stalledBody() {
  stalled_ = true;
  return Status(kTimedOut, speed_.sentence());
}

Status HttpSession::readFailure(int got, const ReadFailureWords& words) {
  if (got == kReadWouldBlock) {
    return Status(kTimedOut, describePeer() + words.silent +
                                 formatText("%d s", static_cast<int>(settings_.timeoutSeconds)));
  }
  closedByPeer_ = got == 0 || got == kReadEndWithoutTlsClose;
  if (closedByPeer_) {
    return Status(kRecvFailed, describePeer() + " closed the connection" +
                                   (got == 0 ? words.closed : words.closedWithoutTls));
  }
  return Status(kRecvFailed, words.failed + describePeer() + " failed");
}

Status HttpSession::readHeader(Link& connection, timeval* limit) {
  // Read until the blank line that ends the header block. Interim answers
  // are passed over: the block after them, read within the same time
  // limit, is the response.
  int32_t passed = 0;
  int32_t scanned = 0;
  int32_t headerLength = 0;
  for (;;) {
    int32_t before = responseHeader_.length();
    if (scanned == before) {
      int got = readMore(connection, limit, responseHeader_);
      if (got <= 0) return headerReadFailure(got, before, passed > 0);
    }
    // Only the new bytes and the three before them can complete the blank
    // line, so a header that trickles in is not rescanned from its start.
    HeaderScan scan =
        scanHeaderBlock(responseHeader_.data(), responseHeader_.length(), scanned, &headerLength);
    scanned = responseHeader_.length();
    if (scan == HeaderScan::kNeedMore && passed + scanned > kMaxHeaderBytes) {
      scan = HeaderScan::kTooLarge;
    }
    if (scan == HeaderScan::kNeedMore) continue;
    if (scan != HeaderScan::kComplete) return refusedHeader(scan, passed > 0);
    int32_t status = statusCodeOf(responseHeader_.data());
    if (!isInterimStatus(status)) {
      if (status == kStatusSwitchingProtocols) {
        echoHeader(std::string(responseHeader_.data(), static_cast<size_t>(headerLength)));
        std::string detail = describePeer() + " switched protocols (101) without being asked";
        return Status::unknownError(detail.c_str(), std::string()).markFinal();
      }
      break;
    }
    // An interim answer: echoed, then dropped with its cookies; the bytes
    // after it begin the next block.
    echoHeader(std::string(responseHeader_.data(), static_cast<size_t>(headerLength)));
    int32_t next = headerLength + kHeaderEndLength;
    passed += next;
    scanned = 0;
    memmove(responseHeader_.mutableData(), responseHeader_.data() + next,
            static_cast<size_t>(responseHeader_.length() - next));
    responseHeader_.truncate(responseHeader_.length() - next);
  }
  splitHeader(headerLength);
  if (cookiesEnabled_) storeCookies();
  echoHeader(responseHeader_.data());
  return Status();
}

Status HttpSession::headerReadFailure(int got, int32_t held, bool afterInterim) {
  const char* closed = held > 0       ? " in the middle of the response header"
                       : afterInterim ? " after an interim answer"
                                      : " without an answer";
  const char* silent = afterInterim ? " sent no final answer within " : " did not answer within ";
  ReadFailureWords words = {silent, closed, closed, "reading the answer of "};
  return readFailure(got, words);
}

Status HttpSession::refusedHeader(HeaderScan scan, bool afterInterim) const {
  const std::string peer = describePeer();
  if (scan == HeaderScan::kNotHttp) {
    const char* line = responseHeader_.data();
    size_t shown = std::min(firstLineLength(line, static_cast<size_t>(responseHeader_.length())),
                            kShownFirstLineBytes);
    // The closing message prints the detail as it is: the server's bytes
    // are escaped here.
    std::string detail = formatText("%s did not answer with HTTP (it sent \"%s\")", peer.c_str(),
                                    escapeControlBytes(line, shown, kNetworkText).c_str());
    return Status::unknownError(detail.c_str(), std::string()).markFinal();
  }
  if (scan == HeaderScan::kMalformed) {
    std::string detail = "malformed response header from " + peer;
    return Status::unknownError(detail.c_str(), std::string()).markFinal();
  }
  return Status::unknownError(
      "response header too large",
      formatText(afterInterim ? "%s sent more than %d bytes of interim answers and header"
                              : "%s sent more than %d bytes without the blank line that ends it",
                 peer.c_str(), static_cast<int>(kMaxHeaderBytes)));
}

void HttpSession::splitHeader(int32_t headerLength) {
  int32_t received = responseHeader_.length();
  const char* extra = responseHeader_.data() + headerLength + kHeaderEndLength;
  int32_t extraCount = received - headerLength - kHeaderEndLength;
  // The header's end is a NUL from here on, so that its text reads alone.
  responseHeader_.mutableData()[headerLength] = '\0';
  status_ = statusCodeOf(responseHeader_.data());
  const bool answersHead = lastMethod_.hasText() && strcmp(lastMethod_.data(), "HEAD") == 0;
  decoder_ = BodyDecoder(framingOf(responseHeader_.data(), answersHead));
  // The body's speed counts from here on, with the bytes that came along.
  speed_.start(settings_.lowSpeedBytes, settings_.lowSpeedSeconds, monotonicMicros());
  speed_.count(extraCount, monotonicMicros());

  // The body is what followed the blank line, even when nothing did,
  // decoded as the header frames it.
  body_.clear();
  body_.reserve(extraCount);
  int32_t room = 0;
  char* into = body_.tail(&room);
  if (into != nullptr) {
    memcpy(into, extra, static_cast<size_t>(extraCount));
    body_.commit(decodeBody(into, extraCount));
  }
  responseHeader_.truncate(headerLength);
}

void HttpSession::storeCookies() {
  const char* name = "Set-Cookie";
  traceLookup(name);
  const char* cursor = firstHeaderLine(responseHeader_.data());
  HeaderLine line;
  bool first = true;
  while (cursor != nullptr && findHeaderLine(cursor, name, &line)) {
    if (!first) traceLookup(name);
    first = false;
    traceExtraction(kExtractionStartFound);
    if (line.valueLength > 0) {
      traceExtraction(kExtractionEndFound);
      TextBuffer value = copyOf(line.value, line.valueLength);
      cookieJar().storeCookie(hostName_.data() != nullptr ? hostName_.data() : "", value.data());
    }
    cursor = line.next;
  }
}

std::string HttpSession::answered() const {
  const char* header = responseHeader_.data() != nullptr ? responseHeader_.data() : "";
  // A proxy that is sent the whole address answers for itself: always with
  // a scheme, and with 407 (its credentials) without one.
  bool byProxy = forwardProxy_ == ProxyKind::kHttp ||
                 (forwardProxy_ == ProxyKind::kBare && status_ == kStatusProxyAuthRequired);
  std::string who = byProxy ? formatText("proxy %s port %d", peerName_.data(), peerPort_)
                            : std::string(hostName_.data() != nullptr ? hostName_.data() : "");
  return who + " answered " + std::string(header, strcspn(header, "\r\n"));
}

Status HttpSession::refusal() const {
  return Status(kCannotConnect, answered() + " for " + requestPath());
}

TextBuffer HttpSession::headerValue(const char* name, int findLast) {
  if (name == nullptr || !responseHeader_.hasText()) return TextBuffer();
  traceLookup(name);
  std::string value;
  if (!headerField(responseHeader_.data(), name, findLast != 0, &value)) return TextBuffer();
  traceExtraction(kExtractionStartFound);
  if (value.empty()) return TextBuffer();
  traceExtraction(kExtractionEndFound);
  return copyOf(value.data(), value.size());
}

Status HttpSession::request(const char* method) {
  if (!refusedHeader_.ok()) return refusedHeader_;
  const char* nextMethod = method;
  int redirects = 0;
  for (;;) {
    Status result = connectAndSend(nextMethod);
    if (!result.ok()) return result;
    result = receive();
    if (!result.ok()) return result;
    if (status_ < kStatusFirstRedirect) return Status();
    if (status_ >= kStatusFirstError) return refusal();
    TextBuffer location(headerValue("Location", 0));
    if (location.data() == nullptr) return Status();
    if (++redirects > kMaxRedirects) {
      return Status::unknownError("too many redirects", formatText("more than %d, the last to %s",
                                                                   kMaxRedirects, location.data()));
    }
    // A relative Location is resolved against the address it answers. One
    // without a usable address leaves no target; the next connect says so.
    std::string resolved;
    if (resolveLocation(url_.data() != nullptr ? url_.data() : "", location.data(), &resolved)) {
      setTarget(resolved.c_str());
    } else {
      refuseTarget(location.data());
    }
    responseHeader_.clear();
    body_.clear();
    nextMethod = "GET";
  }
}
