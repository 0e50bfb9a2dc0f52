// Fuzz target: the response reader. A fuzzed byte stream, cut into reads
// of fuzzed sizes with stalls, failures and closes between them (see
// fake_stream.h), is served through the fake transport: request() with its
// redirects, then receive() until it gives up, then header lookups. No
// socket is touched and no wait blocks.
//
// Input: one flag byte, then the server stream.
//   bit 0  cookies on        bit 1  "https://" target (TLS link)
//   bit 2  TLS layer reports pending bytes
//   bit 3  negative time-out (waits without bound)
//   bits 4-5  display mode: normal, verbose, terse
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "fake_stream.h"
#include "fuzz_support.h"
#include "http/response_parser.h"
#include "http/session.h"
#include "support/fake_transport.h"

namespace {

// receive() calls after request(). Every call that gives 0 consumes at
// least one byte of the script, and a script holds at most one filler, so
// this is only a guard.
const int kMaxReceives = 1 << 22;

void checkBuffer(const TextBuffer& buffer, const char* what) {
  if (buffer.data() == nullptr) {
    FUZZ_CHECK(buffer.length() == 0 && buffer.capacity() == 0, what);
    return;
  }
  FUZZ_CHECK(buffer.length() >= 0 && buffer.length() <= buffer.capacity(), what);
  FUZZ_CHECK(buffer.data()[buffer.length()] == '\0', what);
  FUZZ_CHECK(buffer.data()[buffer.capacity()] == '\0', what);
}

// All bytes a buffer holds, NUL bytes included.
std::string contents(const TextBuffer& buffer) {
  return buffer.data() != nullptr ? std::string(buffer.data(), static_cast<size_t>(buffer.length()))
                                  : std::string();
}

// Looks up `name` both ways and checks what comes back.
void lookUp(HttpSession& session, const std::string& name) {
  for (int findLast = 0; findLast < 2; ++findLast) {
    TextBuffer found = session.headerValue(name.c_str(), findLast);
    const char* value = found.data();
    if (value == nullptr) continue;
    FUZZ_CHECK(value[0] != '\0', "empty header value instead of none");
    FUZZ_CHECK(strstr(value, "\r\n") == nullptr, "header value runs over a line end");
    FUZZ_CHECK(session.responseHeader().data() != nullptr &&
                   strstr(session.responseHeader().data(), value) != nullptr,
               "header value not taken from the header");
  }
}

const char* const kModes[] = {"/S", "/D", "/T", "/S"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietStandardOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  unsigned flags = data[0];
  setDisplayMode(kModes[(flags >> 4) & 3]);

  FakeTransport fake;
  QueuedStream queued = queueConnections(fake, bytesOf(data + 1, size - 1));
  if (flags & 4) {
    for (FakeConnection& connection : fake.connections) connection.tlsPending = 1;
  }

  int result = 0;
  {
    HttpSession session(fake);
    session.settings().timeoutSeconds = (flags & 8) ? -1 : 0;
    if (flags & 1) session.setCookieMode(1);
    session.setTarget((flags & 2) ? "https://fuzz.example/a/b?c=d" : "http://fuzz.example/a/b");
    session.resetRequest();

    result = session.request("GET").code();
    int code = 0;
    for (int i = 0; i < kMaxReceives && code == 0; ++i) code = session.receive().code();
    FUZZ_CHECK(code != 0, "receive never gave up");

    checkBuffer(session.responseHeader(), "response header buffer broken");
    checkBuffer(session.body(), "body buffer broken");

    // A response read on the first connection, without redirects: the
    // header text and the blank line are exactly what the server sent, the
    // header ends at the first blank line after the interim answers, and
    // the body is the start of what followed, decoded as the header frames
    // it (a chunked body decoded, any other as it came).
    const std::string& sent = queued.delivered[0];
    size_t start = 0;
    size_t blank = sent.find("\r\n\r\n");
    while (blank != std::string::npos &&
           isInterimStatus(statusCodeOf(sent.substr(start, blank - start).c_str()))) {
      start = blank + 4;
      blank = sent.find("\r\n\r\n", start);
    }
    if (fake.opened == 1 && (result == 0 || result == 204)) {
      std::string header = contents(session.responseHeader());
      FUZZ_CHECK(blank == start + header.size(), "header does not end at the first blank line");
      FUZZ_CHECK(sent.compare(start, header.size(), header) == 0,
                 "header differs from the bytes sent");
      std::string rest = sent.substr(blank + 4);
      BodyDecoder decoder(framingOf(header.c_str()));
      std::string decoded = rest;
      if (!decoded.empty()) decoded.resize(decoder.decode(&decoded[0], decoded.size()));
      if (decoder.framing().kind == BodyFraming::kChunked) rest = decoded;
      std::string body = contents(session.body());
      FUZZ_CHECK(rest.compare(0, body.size(), body) == 0 && body.size() <= rest.size(),
                 "body differs from the bytes sent");
      FUZZ_CHECK(!session.bodyComplete() || decoder.complete() ||
                     decoder.framing().kind == BodyFraming::kUntilClose,
                 "body complete before the bytes that end it were sent");
    }

    lookUp(session, "Content-Length");
    lookUp(session, "Location");
    lookUp(session, "Set-Cookie");
    // Every header name the response carries.
    if (session.responseHeader().hasText()) {
      std::string header = session.responseHeader().data();
      size_t line = header.find("\r\n");
      while (line != std::string::npos) {
        line += 2;
        size_t colon = header.find(':', line);
        size_t end = header.find("\r\n", line);
        if (colon != std::string::npos && (end == std::string::npos || colon < end)) {
          lookUp(session, header.substr(line, colon - line));
        }
        line = end;
      }
    }
  }
  for (size_t i = 0; i < fake.opened; ++i) {
    FUZZ_CHECK(fake.connections[i].closes == 1, "a connection was not closed exactly once");
  }
  return 0;
}
