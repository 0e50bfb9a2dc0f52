// Fuzz target: the pure response parser. The input is read as a server's
// bytes, cut into pieces of fuzzed sizes: the header block is scanned as it
// grows (interim answers passed over, as the session does), its framing
// chosen, and the rest decoded piece by piece. The result must not depend
// on how the bytes were cut, and a header accepted must be well formed. Then the input's bytes
// are sent through the chunked coding with fuzzed chunk sizes and decoded
// again: that must give them back exactly.
//
// Input: one byte that sets the piece size (0: the whole input at once),
// then the server's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "http/response_parser.h"

namespace {

// What the parser made of a stream.
struct Parsed {
  HeaderScan scan = HeaderScan::kNeedMore;
  int32_t headerLength = -1;
  std::string body;
  bool complete = false;
  bool malformed = false;
};

// Parses `stream` fed in pieces of `piece` bytes (0: all at once).
Parsed parse(const std::string& stream, size_t piece) {
  Parsed parsed;
  if (piece == 0) piece = stream.size() + 1;
  std::string header;
  size_t at = 0;
  int32_t scanned = 0;
  for (;;) {
    if (scanned == static_cast<int32_t>(header.size())) {
      if (at >= stream.size()) break;
      header += stream.substr(at, piece);
      at += piece;
    }
    parsed.scan = scanHeaderBlock(header.data(), static_cast<int32_t>(header.size()), scanned,
                                  &parsed.headerLength);
    scanned = static_cast<int32_t>(header.size());
    if (parsed.scan != HeaderScan::kComplete || !isInterimStatus(statusCodeOf(header.c_str()))) {
      if (parsed.scan != HeaderScan::kNeedMore) break;
      continue;
    }
    header.erase(0, static_cast<size_t>(parsed.headerLength) + 4);
    scanned = 0;
    parsed.scan = HeaderScan::kNeedMore;
  }
  if (parsed.scan != HeaderScan::kComplete) return parsed;
  std::string rest = header.substr(static_cast<size_t>(parsed.headerLength) + 4) +
                     (at < stream.size() ? stream.substr(at) : std::string());
  header.resize(static_cast<size_t>(parsed.headerLength));
  FUZZ_CHECK(header.compare(0, 5, "HTTP/") == 0 && statusCodeOf(header.c_str()) >= 0,
             "a header that is not HTTP accepted");
  for (size_t cr = header.find('\r'); cr != std::string::npos; cr = header.find('\r', cr + 1)) {
    FUZZ_CHECK(cr + 1 < header.size() && header[cr + 1] == '\n', "a bare CR accepted");
  }
  FUZZ_CHECK(header.find('\0') == std::string::npos, "a NUL accepted");
  BodyDecoder decoder(framingOf(header.c_str()));
  for (size_t from = 0; from < rest.size(); from += piece) {
    std::string bytes = rest.substr(from, piece);
    size_t n = decoder.decode(&bytes[0], bytes.size());
    FUZZ_CHECK(n <= bytes.size(), "more body bytes than bytes received");
    parsed.body.append(bytes, 0, n);
  }
  FUZZ_CHECK(decoder.decoded() == static_cast<int64_t>(parsed.body.size()),
             "decoded count differs from the body");
  FUZZ_CHECK(!(decoder.complete() && decoder.malformed()), "complete and malformed at once");
  const BodyFraming& framing = decoder.framing();
  if (framing.kind == BodyFraming::kLength) {
    FUZZ_CHECK(static_cast<int64_t>(parsed.body.size()) <= framing.length,
               "body longer than its length");
  }
  parsed.complete = decoder.complete();
  parsed.malformed = decoder.malformed();
  return parsed;
}

// `body` in chunked coding, with chunk sizes taken from `sizes` in turn.
std::string encodeChunked(const std::string& body, const std::string& sizes) {
  std::string encoded;
  size_t at = 0;
  size_t turn = 0;
  while (at < body.size()) {
    size_t size =
        sizes.empty() ? body.size() : static_cast<unsigned char>(sizes[turn++ % sizes.size()]) + 1;
    if (size > body.size() - at) size = body.size() - at;
    char line[32];
    snprintf(line, sizeof line, turn % 2 ? "%zx\r\n" : "%zX ;x=y\r\n", size);
    encoded += line + body.substr(at, size) + "\r\n";
    at += size;
  }
  return encoded + "0\r\nTrailer: t\r\n\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = data[0];
  const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);

  Parsed whole = parse(stream, 0);
  Parsed pieces = parse(stream, piece);
  FUZZ_CHECK(whole.scan == pieces.scan, "header scan depends on the pieces");
  FUZZ_CHECK(whole.headerLength == pieces.headerLength, "header end depends on the pieces");
  FUZZ_CHECK(whole.body == pieces.body, "body depends on the pieces");
  FUZZ_CHECK(whole.complete == pieces.complete && whole.malformed == pieces.malformed,
             "body end depends on the pieces");

  // Round trip through the chunked coding.
  std::string encoded = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                        encodeChunked(stream, stream.substr(0, piece));
  Parsed decoded = parse(encoded, piece);
  FUZZ_CHECK(decoded.complete && decoded.body == stream, "chunked round trip lost bytes");
  return 0;
}
