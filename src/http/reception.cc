// Reading responses: the header block and the body pieces of the current
// connection, header lookup, and the request loop that follows redirects.
#include <strings.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/messages.h"
#include "http/address.h"
#include "http/session.h"
#include "http/transport.h"
#include "text/text_transforms.h"

namespace {

// A receive buffer never grows beyond the longest text; a body that would
// need more ends the reading.
const int32_t kMaxReceiveCapacity = kMaxTextLength;
// Receive buffers grow by at least this much when full.
const int32_t kReceiveGrowth = 4096;

const char kHeaderEnd[] = "\r\n\r\n";
const size_t kHeaderEndLength = 4;
const char kLineEnd[] = "\r\n";

// Gives a full (or storage-less) receive buffer room for the next read: it
// grows by its own capacity, at least kReceiveGrowth, so that keeping a long
// body costs time in proportion to its size.
// REQUIRES: buffer.length() < kMaxReceiveCapacity.
void makeRoom(TextBuffer& buffer) {
  if (buffer.data() != nullptr && buffer.length() < buffer.capacity()) return;
  int32_t growth = buffer.capacity() > kReceiveGrowth ? buffer.capacity() : kReceiveGrowth;
  if (growth > kMaxReceiveCapacity - buffer.capacity())
    growth = kMaxReceiveCapacity - buffer.capacity();
  buffer.reserveTail(buffer.capacity() + growth);
}

// One header line whose name matched: its value (not NUL-terminated) and
// where the search for a further line goes on.
struct HeaderLine {
  const char* value;
  size_t valueLength;
  const char* next;
};

// Finds the first header line at or after `from` (the start of a line) whose
// name is `name` in any letter case, followed by ":" and optional blanks.
// The value runs to the line's "\r\n" or to the end of the text.
bool findHeaderLine(const char* from, const char* name, size_t nameLength, HeaderLine* line) {
  const char* lineStart = from;
  while (lineStart != nullptr && *lineStart != '\0') {
    const char* lineEnd = strstr(lineStart, kLineEnd);
    const char* next = lineEnd != nullptr ? lineEnd + 2 : nullptr;
    if (lineEnd == nullptr) lineEnd = lineStart + strlen(lineStart);
    if (static_cast<size_t>(lineEnd - lineStart) > nameLength &&
        strncasecmp(lineStart, name, nameLength) == 0 && lineStart[nameLength] == ':') {
      const char* value = lineStart + nameLength + 1;
      while (value < lineEnd && (*value == ' ' || *value == '\t')) ++value;
      line->value = value;
      line->valueLength = static_cast<size_t>(lineEnd - value);
      line->next = next;
      return true;
    }
    lineStart = next;
  }
  return false;
}

// The first header line of a header text: the one after the status line.
const char* firstHeaderLine(const char* headerText) {
  const char* end = strstr(headerText, kLineEnd);
  return end != nullptr ? end + 2 : nullptr;
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
// kReadWouldBlock when the time ran out.
int waitAndRead(Connection& connection, timeval* limit, char* into, int size) {
  bool partRecord = false;
  for (;;) {
    bool ready = !partRecord && connection.pending() > 0;
    if (!ready) {
      int waited = connection.waitReadable(limit);
      if (waited == 0) return kReadWouldBlock;
      if (waited < 0) return -1;
    }
    int got = connection.recv(into, size);
    if (got != kReadWouldBlock) return got;
    partRecord = true;
  }
}

TextBuffer copyOf(const char* text, size_t length) {
  TextBuffer copy;
  copy.assign(text, length);
  return copy;
}

// Where "HTTP/1.0 200 OK" holds its three digits of status code.
const size_t kStatusCodeAt = 9;
const size_t kStatusCodeEnd = 12;

// The first status that redirects, and the first that fails the request.
const int32_t kFirstRedirectStatus = 300;
const int32_t kFirstErrorStatus = 400;

// The status code from offsets kStatusCodeAt to kStatusCodeEnd - 1 of the
// header text, read like strtol with base 10; 0 when the text does not
// reach that far.
int32_t parseStatus(const char* headerText) {
  char digits[kStatusCodeEnd - kStatusCodeAt + 1] = {0, 0, 0, 0};
  size_t reach = strnlen(headerText, kStatusCodeEnd);
  for (size_t i = kStatusCodeAt; i < reach; ++i) digits[i - kStatusCodeAt] = headerText[i];
  return static_cast<int32_t>(strtol(digits, nullptr, 10));
}

}  // namespace

Status HttpSession::receive() {
  Connection* connection = slots_[0].get();
  if (connection == nullptr) return Status(kNoConnection, "no connection to read from");
  // One time limit for the whole call: each wait leaves the unused time in
  // it. A negative setting waits without bound.
  timeval limit;
  limit.tv_sec = settings_.timeoutSeconds;
  limit.tv_usec = 0;
  timeval* waitLimit = settings_.timeoutSeconds < 0 ? nullptr : &limit;
  if (responseHeader_.length() != 0) return readBodyPiece(*connection, waitLimit);
  return readHeader(*connection, waitLimit);
}

Status HttpSession::readBodyPiece(Connection& connection, timeval* limit) {
  // One more piece, as far as the body may grow. A body that holds all it
  // may keep reads one byte more: only the server's close (or silence)
  // shows that nothing was cut off.
  const bool full = body_.length() >= maxKeptBody_;
  // The room of this read: the free space, up to the limit.
  auto roomUpToLimit = [&](int32_t* room) {
    char* into = body_.tail(room);
    *room = std::min(*room, maxKeptBody_ - body_.length());
    return into;
  };
  char probe = 0;
  int32_t room = 1;
  char* into = &probe;
  if (!full) {
    makeRoom(body_);
    into = roomUpToLimit(&room);
  }
  int got = waitAndRead(connection, limit, into, room);
  if (got <= 0) {
    ReadFailureWords words = {" sent nothing more for ", "", "reading from "};
    return readFailure(got, words);
  }
  if (full) {
    return Status::unknownError("response body too large to keep",
                                formatText("%s sent a body of more than %d bytes",
                                           describePeer().c_str(), static_cast<int>(maxKeptBody_)));
  }
  body_.commit(got);
  // A TLS read hands out one record; the records the library already
  // holds join the same piece, as far as the free space goes.
  for (;;) {
    into = roomUpToLimit(&room);
    if (room <= 0 || connection.pending() <= 0) break;
    got = connection.recv(into, room);
    if (got <= 0) break;
    body_.commit(got);
  }
  return Status();
}

Status HttpSession::readFailure(int got, const ReadFailureWords& words) {
  if (got == kReadWouldBlock) {
    return Status(kTimedOut, describePeer() + words.silent +
                                 formatText("%d s", static_cast<int>(settings_.timeoutSeconds)));
  }
  closedByPeer_ = got == 0;
  if (closedByPeer_)
    return Status(kRecvFailed, describePeer() + " closed the connection" + words.closed);
  return Status(kRecvFailed, words.failed + describePeer() + " failed");
}

Status HttpSession::readHeader(Connection& connection, timeval* limit) {
  // Read until the blank line that ends the header block.
  const char* blankLine = nullptr;
  while (blankLine == nullptr) {
    makeRoom(responseHeader_);
    int32_t before = responseHeader_.length();
    int32_t room = 0;
    char* into = responseHeader_.tail(&room);
    int got = waitAndRead(connection, limit, into, room);
    if (got <= 0) {
      ReadFailureWords words = {
          " did not answer within ",
          before == 0 ? " without an answer" : " in the middle of the response header",
          "reading the answer of "};
      return readFailure(got, words);
    }
    responseHeader_.commit(got);
    // Only the new bytes and the three before them can complete the blank
    // line, so a header that trickles in is not rescanned from its start.
    int32_t from = before >= 3 ? before - 3 : 0;
    blankLine = static_cast<const char*>(
        memmem(responseHeader_.data() + from, static_cast<size_t>(responseHeader_.length() - from),
               kHeaderEnd, kHeaderEndLength));
    if (blankLine == nullptr && responseHeader_.length() > kMaxHeaderBytes) {
      return Status::unknownError(
          "response header too large",
          formatText("%s sent more than %d bytes without the blank line that ends it",
                     describePeer().c_str(), static_cast<int>(kMaxHeaderBytes)));
    }
  }
  Status split = splitHeader(blankLine);
  if (!split.ok()) return split;
  if (cookiesEnabled_) storeCookies();

  report(kTraceBanner, "[Recv method]");
  report(kTrace, responseHeader_.data(), kNetworkHeaders);
  report(kTrace, "\n");
  report(kTraceBanner, "[Recv method]");
  return Status();
}

Status HttpSession::splitHeader(const char* blankLine) {
  int32_t received = responseHeader_.length();
  int32_t headerLength = static_cast<int32_t>(blankLine - responseHeader_.data());
  if (headerLength == 0) {
    // A response that begins with the blank line has no status line, and an
    // empty header would make every later read a header read again, taking
    // the body for one: refuse it instead of losing the body.
    responseHeader_.clear();
    return Status::unknownError("empty response header",
                                describePeer() + " answered with a blank line");
  }
  const char* extra = blankLine + kHeaderEndLength;
  int32_t extraCount = received - headerLength - static_cast<int32_t>(kHeaderEndLength);

  // The body is exactly what followed the blank line, even when nothing did.
  body_.clear();
  body_.reserve(extraCount);
  int32_t room = 0;
  char* into = body_.tail(&room);
  if (into != nullptr) memcpy(into, extra, static_cast<size_t>(extraCount));
  body_.commit(extraCount);

  responseHeader_.truncate(headerLength);
  status_ = parseStatus(responseHeader_.data());
  return Status();
}

void HttpSession::storeCookies() {
  const char* name = "Set-Cookie";
  traceLookup(name);
  const char* cursor = firstHeaderLine(responseHeader_.data());
  HeaderLine line;
  bool first = true;
  while (cursor != nullptr && findHeaderLine(cursor, name, strlen(name), &line)) {
    if (!first) traceLookup(name);
    first = false;
    traceExtraction(kExtractionStartFound);
    if (line.valueLength > 0) {
      traceExtraction(kExtractionEndFound);
      TextBuffer value = copyOf(line.value, line.valueLength);
      jar_.storeCookie(hostName_.data() != nullptr ? hostName_.data() : "", value.data());
    }
    cursor = line.next;
  }
}

TextBuffer HttpSession::headerValue(const char* name, int findLast) {
  if (name == nullptr || !responseHeader_.hasText()) return TextBuffer();
  traceLookup(name);
  size_t nameLength = strlen(name);
  const char* cursor = firstHeaderLine(responseHeader_.data());
  HeaderLine line;
  HeaderLine chosen;
  bool found = false;
  while (cursor != nullptr && findHeaderLine(cursor, name, nameLength, &line)) {
    chosen = line;
    found = true;
    if (!findLast) break;
    cursor = line.next;
  }
  if (!found) return TextBuffer();
  traceExtraction(kExtractionStartFound);
  if (chosen.valueLength == 0) return TextBuffer();
  traceExtraction(kExtractionEndFound);
  return copyOf(chosen.value, chosen.valueLength);
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
    if (status_ < kFirstRedirectStatus) return Status();
    if (status_ >= kFirstErrorStatus) {
      const char* line = responseHeader_.data();
      std::string statusLine(line, strcspn(line, "\r\n"));
      return Status(kCannotConnect, formatText("%s answered %s for %s", hostName_.data(),
                                               statusLine.c_str(), requestPath()));
    }
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
