// Plans of damaged exchanges, one builder per kind of damage.
#include "damage.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

#include "exchange.h"

namespace {

// Exit statuses: the low 8 bits of the program's result codes.
const int kStatusOk = 0;
const int kStatusUnknownError = 200;  // code 200, with a detail text
const int kStatusNoAddress = 201;
const int kStatusCannotConnect = 204;
const int kStatusTimedOut = 206;
const int kStatusSendFailed = 604 & 0xFF;
const int kStatusRecvFailed = 605 & 0xFF;

const char kIncomplete[] = "download incomplete";
const char kTooManyRedirects[] = "too many redirects";
const char kHeaderTooLarge[] = "response header too large";
const char kNotHttp[] = "127.0.0.1 port %PORT% did not answer with HTTP (it sent \"";
const char kMalformedHeader[] = "malformed response header from 127.0.0.1 port %PORT%";
const char kDiskFull[] = "cannot write the output file (No space left on device)";

// Delays stay well inside the time-out, so only the kinds meant to time
// out do.
const int kMaxTotalDelayMillis = 400;
// A send is cut into at most this many pieces, to keep exchanges short.
const size_t kMaxPieces = 400;
// The response header cap of the program, and the filler that exceeds it.
const size_t kHeaderCap = 256 * 1024;

using Random = std::mt19937;

int between(Random& random, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random);
}

bool chance(Random& random, int percent) {
  return between(random, 1, 100) <= percent;
}

// Body sizes spread over orders of magnitude, from empty to 256 KiB.
size_t bodySize(Random& random) {
  switch (between(random, 0, 4)) {
    case 0:
      return static_cast<size_t>(between(random, 0, 16));
    case 1:
      return static_cast<size_t>(between(random, 17, 1024));
    case 2:
      return static_cast<size_t>(between(random, 1025, 16 * 1024));
    case 3:
      return static_cast<size_t>(between(random, 16 * 1024, 64 * 1024 + 17));
    default:
      return static_cast<size_t>(between(random, 64 * 1024, 256 * 1024));
  }
}

// Any byte values, NUL and line ends included.
std::string binaryBytes(Random& random, size_t size) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(between(random, 0, 255));
  return bytes;
}

std::string textBytes(Random& random, size_t size) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789 \r\n<>=\"/";
  std::string bytes(size, ' ');
  for (char& c : bytes) c = kLetters[between(random, 0, sizeof kLetters - 2)];
  return bytes;
}

std::string body(Random& random) {
  size_t size = bodySize(random);
  return chance(random, 50) ? binaryBytes(random, size) : textBytes(random, size);
}

// Random bytes that hold no blank line, so no header block can end in them.
std::string garbage(Random& random, size_t size) {
  std::string bytes = binaryBytes(random, size);
  for (size_t at = bytes.find("\r\n\r\n"); at != std::string::npos; at = bytes.find("\r\n\r\n")) {
    bytes[at + 1] = 'x';
  }
  return bytes;
}

std::string statusLine(Random& random, int status, const char* reason) {
  return std::string(chance(random, 50) ? "HTTP/1.0 " : "HTTP/1.1 ") + std::to_string(status) +
         " " + reason + "\r\n";
}

// A few header lines a server might add, in random order around `lines`.
std::string headerBlock(Random& random, int status, const char* reason,
                        std::vector<std::string> lines) {
  static const char* const kExtras[] = {"Server: broken/0.1", "Date: Mon, 01 Jan 2024 00:00:00 GMT",
                                        "Content-Type: application/octet-stream",
                                        "Connection: close",
                                        "Content-Location: http://127.0.0.1/elsewhere"};
  int extras = between(random, 0, 4);
  for (int i = 0; i < extras; ++i) lines.push_back(kExtras[between(random, 0, 4)]);
  std::shuffle(lines.begin(), lines.end(), random);
  std::string block = statusLine(random, status, reason);
  for (const std::string& line : lines) block += line + "\r\n";
  return block + "\r\n";
}

std::string lengthLine(Random& random, size_t length) {
  return std::string(chance(random, 80) ? "Content-Length: " : "content-length:") +
         std::to_string(length);
}

// `bytes` as one send cut into random pieces, with small gaps between them
// when there are few pieces.
ServerAction piecewise(Random& random, const std::string& bytes) {
  if (bytes.empty() || chance(random, 30)) return sendAction(bytes);
  size_t smallest = bytes.size() / kMaxPieces + 1;
  int chunk = between(random, static_cast<int>(smallest),
                      static_cast<int>(std::max(smallest, bytes.size())));
  size_t pieces = (bytes.size() + static_cast<size_t>(chunk) - 1) / static_cast<size_t>(chunk);
  int gap = 0;
  if (pieces > 1 && chance(random, 50)) {
    gap = between(random, 0, static_cast<int>(kMaxTotalDelayMillis / 2 / pieces));
  }
  return sendAction(bytes, chunk, gap);
}

// `bytes` split at random points into separate sends with pauses between
// them (under kMaxTotalDelayMillis in all).
std::vector<ServerAction> splitAtRandom(Random& random, const std::string& bytes) {
  std::vector<ServerAction> actions;
  int cuts = between(random, 1, 6);
  std::vector<size_t> points;
  for (int i = 0; i < cuts; ++i) {
    points.push_back(static_cast<size_t>(between(random, 0, static_cast<int>(bytes.size()))));
  }
  std::sort(points.begin(), points.end());
  size_t from = 0;
  for (size_t point : points) {
    actions.push_back(sendAction(bytes.substr(from, point - from)));
    actions.push_back(pauseAction(between(random, 0, kMaxTotalDelayMillis / 6)));
    from = point;
  }
  actions.push_back(sendAction(bytes.substr(from)));
  return actions;
}

std::string plainTarget(Random& random) {
  return "http://127.0.0.1/files/" + std::to_string(between(random, 1, 99999)) + ".bin";
}

std::string tlsTarget(Random& random) {
  return "https://127.0.0.1/files/" + std::to_string(between(random, 1, 99999)) + ".bin";
}

// Either a graceful close or a reset.
ServerAction abruptEnd(Random& random) {
  return chance(random, 50) ? closeAction() : resetAction();
}

// Time a client is given to read what was sent before a reset, which
// would otherwise discard unread bytes and change what happened.
const int kReadBeforeResetMillis = 250;

// Ends a connection after what was sent has been read: a graceful close,
// or a reset once the client had time to read everything.
void endAfterDelivery(Random& random, ConnectionScript& script) {
  if (chance(random, 50)) {
    script.push_back(closeAction());
  } else {
    script.push_back(pauseAction(kReadBeforeResetMillis));
    script.push_back(resetAction());
  }
}

// The plan's body is cut short: "download incomplete".
void expectIncomplete(ExchangePlan& plan) {
  plan.expectedStatus = kStatusUnknownError;
  plan.expectedDetail = kIncomplete;
  plan.partialBody = true;
}

// The only connection brings `sent` in pieces and then ends before the body
// is whole.
void endsIncomplete(Random& random, ExchangePlan& plan, const std::string& sent) {
  ConnectionScript script = {piecewise(random, sent)};
  endAfterDelivery(random, script);
  plan.connections = {script};
  expectIncomplete(plan);
}

// --- the kinds ---

void clean(Random& random, ExchangePlan& plan) {
  plan.body = body(random);
  std::string header = headerBlock(random, 200, "OK", {lengthLine(random, plan.body.size())});
  plan.connections = {{piecewise(random, header + plan.body), closeAction()}};
}

void missingLength(Random& random, ExchangePlan& plan) {
  plan.body = body(random);
  std::string header = headerBlock(random, 200, "OK", {});
  plan.connections = {{piecewise(random, header + plan.body), closeAction()}};
}

void splitHeader(Random& random, ExchangePlan& plan) {
  plan.body = body(random);
  std::string header = headerBlock(random, 200, "OK", {lengthLine(random, plan.body.size())});
  ConnectionScript script = splitAtRandom(random, header);
  script.push_back(piecewise(random, plan.body));
  script.push_back(closeAction());
  plan.connections = {script};
}

void slowStart(Random& random, ExchangePlan& plan) {
  plan.body = body(random);
  std::string header = headerBlock(random, 200, "OK", {lengthLine(random, plan.body.size())});
  plan.connections = {{pauseAction(between(random, 100, kMaxTotalDelayMillis)),
                       sendAction(header + plan.body), closeAction()}};
}

void stallInHeader(Random& random, ExchangePlan& plan) {
  std::string header = headerBlock(random, 200, "OK", {lengthLine(random, 100)});
  size_t cut = static_cast<size_t>(between(random, 0, static_cast<int>(header.size()) - 2));
  plan.connections = {{sendAction(header.substr(0, cut)), holdAction()}};
  plan.expectedStatus = kStatusTimedOut;
}

void stallInBody(Random& random, ExchangePlan& plan, bool announced) {
  plan.body = body(random) + "tail";
  size_t sent = static_cast<size_t>(between(random, 0, static_cast<int>(plan.body.size()) - 1));
  std::vector<std::string> lines;
  if (announced) lines.push_back(lengthLine(random, plan.body.size()));
  std::string header = headerBlock(random, 200, "OK", lines);
  plan.connections = {{piecewise(random, header + plan.body.substr(0, sent)), holdAction()}};
  plan.expectedStatus = kStatusTimedOut;
  plan.partialBody = true;
}

void closeInHeader(Random& random, ExchangePlan& plan) {
  std::string header = headerBlock(random, 200, "OK", {lengthLine(random, 10)});
  size_t cut = static_cast<size_t>(between(random, 0, static_cast<int>(header.size()) - 2));
  plan.connections = {{sendAction(header.substr(0, cut)), abruptEnd(random)}};
  plan.expectedStatus = kStatusRecvFailed;
}

void closeAfterBlank(Random& random, ExchangePlan& plan) {
  bool announced = chance(random, 70);
  size_t length = static_cast<size_t>(between(random, 1, 5000));
  std::string header = headerBlock(random, 200, "OK",
                                   announced ? std::vector<std::string>{lengthLine(random, length)}
                                             : std::vector<std::string>{});
  plan.connections = {{sendAction(header), closeAction()}};
  if (announced) {
    plan.body = std::string(length, '?');
    expectIncomplete(plan);
  }
}

void lengthShorter(Random& random, ExchangePlan& plan) {
  std::string sent =
      body(random) + textBytes(random, static_cast<size_t>(between(random, 1, 3000)));
  size_t announced = static_cast<size_t>(between(random, 0, static_cast<int>(sent.size()) - 1));
  plan.body = sent.substr(0, announced);
  std::string header = headerBlock(random, 200, "OK", {lengthLine(random, announced)});
  plan.connections = {{piecewise(random, header + sent), closeAction()}};
}

void lengthLonger(Random& random, ExchangePlan& plan) {
  std::string sent = body(random);
  size_t announced = sent.size() + static_cast<size_t>(between(random, 1, 100000));
  plan.body = sent + std::string(announced - sent.size(), '?');
  std::string header = headerBlock(random, 200, "OK", {lengthLine(random, announced)});
  endsIncomplete(random, plan, header + sent);
}

void lengthGarbage(Random& random, ExchangePlan& plan) {
  static const char* const kValues[] = {"abc", "-5", "", "  ", "x12", "-1"};
  plan.body = body(random);
  std::string header = headerBlock(
      random, 200, "OK", {std::string("Content-Length: ") + kValues[between(random, 0, 5)]});
  plan.connections = {{piecewise(random, header + plan.body), closeAction()}};
}

void hugeHeader(Random& random, ExchangePlan& plan) {
  std::string header = statusLine(random, 200, "OK");
  while (header.size() <= kHeaderCap + 4096) {
    std::string filler = textBytes(random, static_cast<size_t>(between(random, 10, 4000)));
    std::replace(filler.begin(), filler.end(), '\r', ' ');
    header += "X-Filler-" + std::to_string(header.size()) + ": " + filler + "\r\n";
    for (size_t at = header.find("\r\n\r\n"); at != std::string::npos;
         at = header.find("\r\n\r\n")) {
      header[at + 2] = 'y';
    }
  }
  plan.connections = {
      {piecewise(random, header), chance(random, 50) ? holdAction() : closeAction()}};
  plan.expectedStatus = kStatusUnknownError;
  plan.expectedDetail = kHeaderTooLarge;
}

void largeHeader(Random& random, ExchangePlan& plan) {
  plan.body = body(random);
  std::vector<std::string> lines = {lengthLine(random, plan.body.size())};
  size_t size = 0;
  size_t goal = static_cast<size_t>(between(random, 8 * 1024, 240 * 1024));
  while (size < goal) {
    std::string line = "X-Large-" + std::to_string(size) + ": " + std::string(1000, 'v');
    size += line.size() + 2;
    lines.push_back(line);
  }
  std::string header = headerBlock(random, 200, "OK", lines);
  plan.connections = {{piecewise(random, header + plan.body), closeAction()}};
}

std::string redirectTo(Random& random, const std::string& location) {
  const char* name = chance(random, 70) ? "Location: " : "location:";
  return headerBlock(random, chance(random, 50) ? 302 : 301, "Moved", {name + location});
}

void redirectLoop(Random& random, ExchangePlan& plan) {
  std::string location = plan.target;
  // The 21st request is refused; a few more scripts catch a client that
  // does not stop there.
  for (int i = 0; i < 24; ++i)
    plan.connections.push_back({sendAction(redirectTo(random, location)), closeAction()});
  plan.expectedStatus = kStatusUnknownError;
  plan.expectedDetail = kTooManyRedirects;
}

void redirectChain(Random& random, ExchangePlan& plan) {
  int hops = chance(random, 25) ? 20 : between(random, 1, 20);
  for (int i = 0; i < hops; ++i) {
    std::string next = "http://127.0.0.1/hop/" + std::to_string(i + 1);
    plan.connections.push_back({piecewise(random, redirectTo(random, next)), closeAction()});
  }
  plan.body = body(random);
  std::string header = headerBlock(random, 200, "OK", {lengthLine(random, plan.body.size())});
  plan.connections.push_back({piecewise(random, header + plan.body), closeAction()});
}

// A relative Location is resolved against the address it answers and
// followed; a fragment goes.
void redirectRelative(Random& random, ExchangePlan& plan) {
  static const char* const kLocations[] = {"/relative/path", "relative/path", "../up/path#part",
                                           "?query=1", "//127.0.0.1/other/path"};
  const char* location = kLocations[between(random, 0, 4)];
  plan.body = body(random);
  std::string header = headerBlock(random, 200, "OK", {lengthLine(random, plan.body.size())});
  plan.connections = {{sendAction(redirectTo(random, location)), closeAction()},
                      {piecewise(random, header + plan.body), closeAction()}};
}

void errorStatus(Random& random, ExchangePlan& plan) {
  static const int kStatuses[] = {400, 403, 404, 410, 500, 502, 503};
  std::string page = textBytes(random, static_cast<size_t>(between(random, 0, 2000)));
  std::string header = headerBlock(random, kStatuses[between(random, 0, 6)], "Failed",
                                   {lengthLine(random, page.size())});
  plan.connections = {{piecewise(random, header + page), closeAction()}};
  plan.expectedStatus = kStatusCannotConnect;
}

// Bytes that are not HTTP: refused at the first line feed (the line is
// quoted), NUL or bare CR, whichever comes first; without any, they wait
// or end like a cut header.
void binaryGarbage(Random& random, ExchangePlan& plan) {
  std::string bytes = garbage(random, static_cast<size_t>(between(random, 1, 20000)));
  if (bytes[0] == 'H') bytes[0] = 'h';
  bool hold = chance(random, 40);
  plan.connections = {{piecewise(random, bytes), hold ? holdAction() : abruptEnd(random)}};
  plan.expectedStatus = hold ? kStatusTimedOut : kStatusRecvFailed;
  for (size_t i = 0; i < bytes.size(); ++i) {
    bool last = i + 1 == bytes.size();
    bool lineEnd = bytes[i] == '\n' || (bytes[i] == '\r' && !last && bytes[i + 1] == '\n');
    if (!lineEnd && bytes[i] != '\0' && (bytes[i] != '\r' || last)) continue;
    plan.expectedStatus = kStatusUnknownError;
    plan.expectedDetail = lineEnd ? kNotHttp : kMalformedHeader;
    plan.detailIsPrefix = lineEnd;
    break;
  }
}

void binaryBody(Random& random, ExchangePlan& plan) {
  plan.body = binaryBytes(random, bodySize(random)) + "\r\n\r\n" + std::string(3, '\0');
  std::string header = headerBlock(random, 200, "OK", {lengthLine(random, plan.body.size())});
  plan.connections = {{piecewise(random, header + plan.body), closeAction()}};
}

void tlsClean(Random& random, ExchangePlan& plan) {
  plan.listener = Listener::kTls;
  plan.target = tlsTarget(random);
  clean(random, plan);
}

void tlsStallInBody(Random& random, ExchangePlan& plan) {
  plan.listener = Listener::kTls;
  plan.target = tlsTarget(random);
  stallInBody(random, plan, chance(random, 50));
}

void tlsCloseInBody(Random& random, ExchangePlan& plan) {
  plan.listener = Listener::kTls;
  plan.target = tlsTarget(random);
  plan.body = body(random) + "tail";
  size_t sent = static_cast<size_t>(between(random, 0, static_cast<int>(plan.body.size()) - 1));
  std::string header = headerBlock(random, 200, "OK", {lengthLine(random, plan.body.size())});
  endsIncomplete(random, plan, header + plan.body.substr(0, sent));
}

// A handshake that never completes: the request cannot be sent.
void brokenHandshake(Random& random, ExchangePlan& plan, RawPlan::Mode mode) {
  plan.listener = Listener::kRaw;
  plan.target = tlsTarget(random);
  plan.raw.mode = mode;
  if (mode == RawPlan::kGarbageAfterHello) {
    plan.raw.garbage = chance(random, 30)
                           ? "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhi"
                           : binaryBytes(random, static_cast<size_t>(between(random, 1, 3000)));
  }
  if (mode == RawPlan::kCutHandshake) {
    plan.raw.cutFraction = std::uniform_real_distribution<double>(0.0, 1.0)(random);
    // The TLS server behind the relay would answer like this.
    clean(random, plan);
    plan.body.clear();
  }
  plan.expectedStatus = kStatusSendFailed;
}

// A response whose header block is empty: the blank line comes first and
// the body follows it. Its first line, empty, is not HTTP.
void emptyHeaderBlock(Random& random, ExchangePlan& plan) {
  plan.body = garbage(random, static_cast<size_t>(between(random, 1, 20000)));
  plan.connections = {{sendAction("\r\n\r\n"), pauseAction(between(random, 50, 200)),
                       piecewise(random, plan.body), closeAction()}};
  plan.expectedStatus = kStatusUnknownError;
  plan.expectedDetail = std::string(kNotHttp) + "\")";
}

// --- hostile servers and an unlucky machine ---

// What a hostile server appends to a value to start lines of its own.
const char kInjectedLine[] = "X-Injected: 1";

// A Location holding control bytes. In the path they travel in the next
// request and are only escaped on the terminal; in the host, or as a line
// break anywhere, they leave no usable address and nothing more is sent.
void locationControlBytes(Random& random, ExchangePlan& plan) {
  static const char* const kPathBytes[] = {"\x1b[2KDone.\x1b[8m", "\x07", "\x7f", "\x1b]0;x\x07"};
  static const char* const kHostBytes[] = {" .localhost", "\x1b[8m", "\t", "\x7f", "\x01"};
  static const char* const kLineBreaks[] = {"\n", "\r", "\x1b[2K\rDone.\x1b[8m"};
  std::string next = "/next/" + std::to_string(between(random, 1, 99999));
  std::string location;
  switch (between(random, 0, 2)) {
    case 0:
      location = "http://127.0.0.1" + next + kPathBytes[between(random, 0, 3)];
      plan.body = body(random);
      plan.connections.push_back({sendAction(redirectTo(random, location)), closeAction()});
      plan.connections.push_back(
          {piecewise(
               random,
               headerBlock(random, 200, "OK", {lengthLine(random, plan.body.size())}) + plan.body),
           closeAction()});
      plan.expectedConnections = 2;
      return;
    case 1:
      location = std::string("http://127.0.0.1") + kHostBytes[between(random, 0, 4)] + next;
      break;
    default:
      location = "http://127.0.0.1" + next + kLineBreaks[between(random, 0, 2)] + kInjectedLine +
                 "\n\nGET /second HTTP/1.0";
      break;
  }
  // A CR that no LF follows refuses the whole header.
  bool bareCr = location.find('\r') != std::string::npos;
  // A second script catches a client that follows the address anyway.
  plan.connections.push_back({sendAction(redirectTo(random, location)), closeAction()});
  plan.connections.push_back(
      {sendAction(headerBlock(random, 200, "OK", {lengthLine(random, 0)})), closeAction()});
  plan.expectedStatus = bareCr ? kStatusUnknownError : kStatusNoAddress;
  plan.expectedDetail = bareCr ? kMalformedHeader : "";
  plan.expectedConnections = 1;
  plan.forbiddenInRequests = kInjectedLine;
}

// A Set-Cookie value with a line break or another control byte in it is
// not stored, so nothing of it reaches the next request; a clean cookie of
// the same response does.
void setCookieLineBreak(Random& random, ExchangePlan& plan) {
  // (A bare CR refuses the whole header: see bad-status-line.)
  static const char* const kBreaks[] = {"\n", "\x0b", "\x01", "\x7f"};
  std::string clean = "ok=" + std::to_string(between(random, 1, 99999));
  std::vector<std::string> lines = {
      std::string("Set-Cookie: sid=1") + kBreaks[between(random, 0, 3)] + kInjectedLine,
      "Set-Cookie: " + clean, "Location: http://127.0.0.1/next"};
  plan.plugin = std::string("@cookieon:\n") + kPlainFilePlugin;
  plan.body = body(random);
  plan.connections = {
      {sendAction(headerBlock(random, 302, "Found", lines)), closeAction()},
      {piecewise(random, headerBlock(random, 200, "OK", {lengthLine(random, plan.body.size())}) +
                             plan.body),
       closeAction()}};
  plan.expectedConnections = 2;
  plan.forbiddenInRequests = kInjectedLine;
  plan.requiredInLastRequest = "Cookie: " + clean + "\r\n";
}

// The output file is a full disk: the first write fails, and the download
// stops at once with the system's reason.
void diskFull(Random& random, ExchangePlan& plan) {
  plan.body = body(random) + "x";
  std::vector<std::string> lines;
  if (chance(random, 70)) lines.push_back(lengthLine(random, plan.body.size()));
  plan.connections = {
      {piecewise(random, headerBlock(random, 200, "OK", lines) + plan.body), closeAction()}};
  plan.outputPath = "/dev/full";
  plan.expectedStatus = kStatusUnknownError;
  plan.expectedDetail = kDiskFull;
}

// A download from a server that honours ranges, whose connection breaks in
// the middle of the body once or a few times (a close or a reset, before or
// after the client read what came); some answers ignore the range and send
// the whole body again. With "@retry=3" each such download ends complete.
void breakThenResume(Random& random, ExchangePlan& plan) {
  plan.registryLines = "@retry=3\n";
  plan.body = body(random) + binaryBytes(random, static_cast<size_t>(between(random, 64, 4096)));
  std::string headers;
  std::string validator;
  switch (between(random, 0, 2)) {
    case 0:
      validator = "\"" + std::to_string(between(random, 1, 999999)) + "\"";
      headers = "ETag: " + validator + "\r\n";
      break;
    case 1:
      validator = "Mon, 01 Jan 2024 00:00:" + std::to_string(between(random, 10, 59)) + " GMT";
      headers = "Last-Modified: " + validator + "\r\n";
      break;
    default:
      break;
  }
  // Up to three broken attempts, then one that completes: at most the four
  // connections that three retries make.
  int breaks = between(random, 1, 3);
  for (int i = 0; i <= breaks; ++i) {
    bool last = i == breaks;
    size_t cut =
        last ? std::string::npos
             : static_cast<size_t>(between(random, 0, static_cast<int>(plan.body.size()) / 2));
    ServerAction answer =
        sendRangeAction(plan.body, headers, validator, i == 0 || chance(random, 80), cut);
    ServerAction pieces = piecewise(random, plan.body);
    answer.chunk = pieces.chunk;
    answer.millis = pieces.millis;
    ConnectionScript script = {answer};
    if (last) {
      script.push_back(closeAction());
    } else if (i == 0) {
      // The first answer's header must arrive: a failed "@connect=" is not
      // retried.
      endAfterDelivery(random, script);
    } else {
      script.push_back(abruptEnd(random));
    }
    plan.connections.push_back(script);
  }
}

// A server that ignores "If-Range:": the retry is answered with a part of
// another version of the file, which must never be joined to the first
// version's bytes; the attempt after it asks for the whole new file.
void changedBehindIgnoredIfRange(Random& random, ExchangePlan& plan) {
  plan.registryLines = "@retry=3\n";
  std::string first = binaryBytes(random, static_cast<size_t>(between(random, 64, 200000)));
  plan.body = binaryBytes(random, first.size() + static_cast<size_t>(between(random, 0, 2)) - 1);
  // The validators of the two versions: strong ETags, weak ones (never
  // sent), Last-Modified dates, or none (the repeated bytes decide).
  std::string headers[2];
  std::string validators[2];
  int kind = between(random, 0, 3);
  for (int v = 0; v < 2; ++v) {
    std::string n = std::to_string(v + 1);
    if (kind == 0) {
      validators[v] = "\"v" + n + "\"";
      headers[v] = "ETag: " + validators[v] + "\r\n";
    } else if (kind == 1) {
      headers[v] = "ETag: W/\"w" + n + "\"\r\n";
    } else if (kind == 2) {
      validators[v] = "Mon, 0" + n + " Jan 2024 00:00:00 GMT";
      headers[v] = "Last-Modified: " + validators[v] + "\r\n";
    }
  }
  // At least 16 bytes arrive, so that the bytes a retry repeats tell the
  // versions apart.
  size_t cut = static_cast<size_t>(between(random, 16, static_cast<int>(first.size()) - 1));
  ConnectionScript script = {sendRangeAction(first, headers[0], validators[0], true, cut)};
  endAfterDelivery(random, script);
  plan.connections.push_back(script);
  ServerAction ignoring = sendRangeAction(plan.body, headers[1], validators[1]);
  ignoring.ignoreIfRange = true;
  plan.connections.push_back({ignoring, closeAction()});
  plan.connections.push_back(
      {sendRangeAction(plan.body, headers[1], validators[1]), closeAction()});
}

// `body` in the chunked coding, with chunks of random sizes, size lines in
// either letter case, some with extensions, and sometimes a trailer. The
// offsets of the size lines and of the line ends after chunk data are
// noted, for damage.
struct ChunkedText {
  std::string text;
  std::vector<size_t> sizeLines;
  std::vector<size_t> dataEnds;
};

ChunkedText encodeChunked(Random& random, const std::string& body) {
  static const char* const kExtensions[] = {"", "", ";x=1", " ;name=\"v\"", "\t;e"};
  ChunkedText out;
  size_t most = std::max<size_t>(1, body.size() / static_cast<size_t>(between(random, 1, 20)));
  for (size_t at = 0; at < body.size();) {
    size_t size =
        std::min(body.size() - at, static_cast<size_t>(between(random, 1, static_cast<int>(most))));
    char digits[32];
    snprintf(digits, sizeof digits, chance(random, 50) ? "%zx" : "%zX", size);
    out.sizeLines.push_back(out.text.size());
    out.text +=
        std::string(digits) + kExtensions[between(random, 0, 4)] + "\r\n" + body.substr(at, size);
    out.dataEnds.push_back(out.text.size());
    out.text += "\r\n";
    at += size;
  }
  out.sizeLines.push_back(out.text.size());
  out.text += std::string("0\r\n") + (chance(random, 30) ? "X-Checksum: 1\r\n" : "") + "\r\n";
  return out;
}

// The header of a chunked answer; sometimes with a Content-Length that the
// coding overrides.
std::string chunkedHeader(Random& random) {
  std::vector<std::string> lines = {chance(random, 70) ? "Transfer-Encoding: chunked"
                                                       : "transfer-encoding: gzip, Chunked"};
  if (chance(random, 20))
    lines.push_back(lengthLine(random, static_cast<size_t>(between(random, 0, 99))));
  return headerBlock(random, 200, "OK", lines);
}

void chunkedClean(Random& random, ExchangePlan& plan) {
  plan.body = body(random);
  std::string sent = chunkedHeader(random) + encodeChunked(random, plan.body).text;
  plan.connections = {{piecewise(random, sent), chance(random, 50) ? holdAction() : closeAction()}};
}

// A size line that is not hexadecimal, one of more than 16 digits, or chunk
// data without its line end.
void chunkedMalformed(Random& random, ExchangePlan& plan) {
  plan.body = body(random) + "x";
  ChunkedText chunked = encodeChunked(random, plan.body);
  switch (between(random, 0, 2)) {
    case 0:
      chunked.text[chunked.sizeLines[static_cast<size_t>(
          between(random, 0, static_cast<int>(chunked.sizeLines.size()) - 1))]] = 'g';
      break;
    case 1:
      chunked.text.insert(chunked.sizeLines[static_cast<size_t>(
                              between(random, 0, static_cast<int>(chunked.sizeLines.size()) - 1))],
                          std::string(17, '0'));
      break;
    default:
      chunked.text[chunked.dataEnds[static_cast<size_t>(
          between(random, 0, static_cast<int>(chunked.dataEnds.size()) - 1))]] = 'x';
      break;
  }
  plan.connections = {{piecewise(random, chunkedHeader(random) + chunked.text), closeAction()}};
  plan.expectedStatus = kStatusUnknownError;
  plan.expectedDetail = "malformed chunked body from 127.0.0.1 port %PORT%";
  plan.partialBody = true;
}

// The connection ends before the last chunk and its trailer are through.
void chunkedCut(Random& random, ExchangePlan& plan) {
  plan.body = body(random);
  std::string text = encodeChunked(random, plan.body).text;
  text.resize(static_cast<size_t>(between(random, 0, static_cast<int>(text.size()) - 1)));
  endsIncomplete(random, plan, chunkedHeader(random) + text);
}

// TLS ended by a TCP close without the closing alert: a body with a length
// or chunked ends where its framing says; one that ends with the
// connection is incomplete.
void tlsCloseWithoutAlert(Random& random, ExchangePlan& plan) {
  plan.listener = Listener::kTls;
  plan.target = tlsTarget(random);
  plan.body = body(random);
  std::string sent;
  switch (between(random, 0, 2)) {
    case 0:
      sent = headerBlock(random, 200, "OK", {lengthLine(random, plan.body.size())}) + plan.body;
      break;
    case 1:
      sent = chunkedHeader(random) + encodeChunked(random, plan.body).text;
      break;
    default:
      sent = headerBlock(random, 200, "OK", {}) + plan.body;
      expectIncomplete(plan);
      break;
  }
  plan.connections = {
      {piecewise(random, sent), pauseAction(kReadBeforeResetMillis), closeTcpAction()}};
}

// Interim answers (1xx), their lines not taken, before the answer itself:
// a whole body after a redirect (the interim cookie never sent), a cut
// body, an error, a close before the answer, or a 101 nobody asked for.
void interimAnswers(Random& random, ExchangePlan& plan) {
  static const char* const kInterim[] = {"100 Continue", "102 Processing", "103 Early Hints"};
  std::string interim;
  for (int i = between(random, 1, 3); i > 0; --i) {
    const char* line = kInterim[between(random, 0, 2)];
    interim +=
        headerBlock(random, atoi(line), line + 4, {"Set-Cookie: early=1", lengthLine(random, 7)});
  }
  plan.plugin = std::string("@cookieon:\n") + kPlainFilePlugin;
  plan.body = body(random) + "tail";
  std::string answer = headerBlock(random, 200, "OK", {lengthLine(random, plan.body.size())});
  switch (between(random, 0, 4)) {
    case 0:
      plan.connections = {{piecewise(random, interim + redirectTo(random, "/next")), closeAction()},
                          {piecewise(random, interim + answer + plan.body), closeAction()}};
      plan.forbiddenInRequests = "early=1";
      break;
    case 1:
      endsIncomplete(random, plan, interim + answer + plan.body.substr(0, plan.body.size() / 2));
      break;
    case 2:
      plan.connections = {
          {piecewise(random, interim + headerBlock(random, 404, "Gone", {})), closeAction()}};
      plan.expectedStatus = kStatusCannotConnect;
      break;
    case 3:
      plan.connections = {{piecewise(random, interim), abruptEnd(random)}};
      plan.expectedStatus = kStatusRecvFailed;
      break;
    default:
      plan.connections = {
          {piecewise(random, interim + headerBlock(random, 101, "Switching", {})), holdAction()}};
      plan.expectedStatus = kStatusUnknownError;
      plan.expectedDetail = "127.0.0.1 port %PORT% switched protocols (101) without being asked";
      break;
  }
}

// A first line that is not an HTTP status line (quoted, cut at 40 bytes),
// a NUL or a bare CR anywhere in the header, refused at once even when the
// server then waits; and unusual status lines that are HTTP all the same.
void badStatusLine(Random& random, ExchangePlan& plan) {
  static const char* const kLines[] = {"HTP/1.1 200 OK",
                                       "HTTP/1.1 xyz",
                                       "SSH-2.0-Banner_1.0",
                                       "HTTP/11 200 OK",
                                       "HTTP/1.1 2000 OK",
                                       "http/1.1 200 OK",
                                       "",
                                       "ICY 200 OK",
                                       "HTTP/1.1 200OK and a reason longer than forty bytes"};
  plan.body = body(random);
  std::string header = headerBlock(random, 200, "OK", {lengthLine(random, plan.body.size())});
  size_t lineEnd = header.find("\r\n");
  switch (between(random, 0, 2)) {
    case 0: {
      std::string line = kLines[between(random, 0, 8)];
      header.replace(0, lineEnd, line);
      if (chance(random, 30)) header.erase(line.size(), 1);  // a bare LF ends it too
      plan.expectedStatus = kStatusUnknownError;
      plan.expectedDetail = kNotHttp + line.substr(0, 40) + "\")";
      break;
    }
    case 1:
      header.insert(static_cast<size_t>(between(random, 0, static_cast<int>(header.size()) - 4)),
                    chance(random, 50) ? std::string(1, '\0') : std::string("\rx"));
      plan.expectedStatus = kStatusUnknownError;
      plan.expectedDetail = kMalformedHeader;
      break;
    default:
      header.replace(0, lineEnd, chance(random, 50) ? "HTTP/1.0 200" : "HTTP/1.1 200 ");
      break;
  }
  plan.connections = {
      {piecewise(random, header + plan.body),
       plan.expectedStatus != kStatusOk && chance(random, 50) ? holdAction() : closeAction()}};
}

struct Kind {
  std::string name;
  std::function<void(Random&, ExchangePlan&)> build;
};

const std::vector<Kind>& kinds() {
  static const std::vector<Kind> all = {
      {"clean", clean},
      {"missing-length", missingLength},
      {"split-header", splitHeader},
      {"slow-start", slowStart},
      {"stall-in-header", stallInHeader},
      {"stall-in-body", [](Random& r, ExchangePlan& p) { stallInBody(r, p, true); }},
      {"stall-no-length", [](Random& r, ExchangePlan& p) { stallInBody(r, p, false); }},
      {"close-in-header", closeInHeader},
      {"close-after-blank", closeAfterBlank},
      {"length-shorter", lengthShorter},
      {"length-longer", lengthLonger},
      {"length-garbage", lengthGarbage},
      {"huge-header", hugeHeader},
      {"large-header", largeHeader},
      {"redirect-loop", redirectLoop},
      {"redirect-chain", redirectChain},
      {"redirect-relative", redirectRelative},
      {"error-status", errorStatus},
      {"binary-garbage", binaryGarbage},
      {"binary-body", binaryBody},
      {"break-then-resume", breakThenResume},
      {"changed-behind-ignored-if-range", changedBehindIgnoredIfRange},
      {"chunked-clean", chunkedClean},
      {"chunked-malformed", chunkedMalformed},
      {"chunked-cut", chunkedCut},
      {"empty-header-block", emptyHeaderBlock},
      {"location-control-bytes", locationControlBytes},
      {"set-cookie-line-break", setCookieLineBreak},
      {"disk-full", diskFull},
      {"interim-answers", interimAnswers},
      {"bad-status-line", badStatusLine},
      {"tls-clean", tlsClean},
      {"tls-stall-in-body", tlsStallInBody},
      {"tls-close-in-body", tlsCloseInBody},
      {"tls-close-without-alert", tlsCloseWithoutAlert},
      {"tls-close-at-accept",
       [](Random& r, ExchangePlan& p) { brokenHandshake(r, p, RawPlan::kCloseAtAccept); }},
      {"tls-close-after-hello",
       [](Random& r, ExchangePlan& p) { brokenHandshake(r, p, RawPlan::kCloseAfterHello); }},
      {"tls-reset-after-hello",
       [](Random& r, ExchangePlan& p) { brokenHandshake(r, p, RawPlan::kResetAfterHello); }},
      {"tls-garbage-reply",
       [](Random& r, ExchangePlan& p) { brokenHandshake(r, p, RawPlan::kGarbageAfterHello); }},
      {"tls-cut-handshake",
       [](Random& r, ExchangePlan& p) { brokenHandshake(r, p, RawPlan::kCutHandshake); }},
      {"tls-stall-handshake",
       [](Random& r, ExchangePlan& p) { brokenHandshake(r, p, RawPlan::kStallAfterHello); }},
  };
  return all;
}

// Kinds that need a reason to run; none at present.
const std::vector<Kind>& optionalKinds() {
  static const std::vector<Kind> all = {};
  return all;
}

}  // namespace

const std::vector<std::string>& damageKinds() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list;
    for (const Kind& kind : kinds()) list.push_back(kind.name);
    return list;
  }();
  return names;
}

const std::vector<std::string>& optionalDamageKinds() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list;
    for (const Kind& kind : optionalKinds()) list.push_back(kind.name);
    return list;
  }();
  return names;
}

bool kindNeedsTlsPort(const std::string& kind) {
  return kind.compare(0, 4, "tls-") == 0;
}

ExchangePlan planExchange(const std::string& kind, Random& random) {
  ExchangePlan plan;
  plan.kind = kind;
  plan.target = plainTarget(random);
  plan.expectedStatus = kStatusOk;
  for (const Kind& candidate : kinds()) {
    if (candidate.name == kind) candidate.build(random, plan);
  }
  for (const Kind& candidate : optionalKinds()) {
    if (candidate.name == kind) candidate.build(random, plan);
  }
  return plan;
}

std::string describePlan(const ExchangePlan& plan) {
  static const char* const kActionNames[] = {"send", "pause",      "close",    "reset",
                                             "hold", "send-range", "close-tcp"};
  std::ostringstream text;
  text << "kind " << plan.kind << ", target " << plan.target << ", expected status "
       << plan.expectedStatus;
  if (!plan.expectedDetail.empty()) text << " (" << plan.expectedDetail << ")";
  text << ", body " << plan.body.size() << " bytes\n";
  if (!plan.registryLines.empty()) text << "  registry adds: " << plan.registryLines;
  if (plan.listener == Listener::kRaw) {
    text << "  raw server mode " << plan.raw.mode << ", cut fraction " << plan.raw.cutFraction
         << ", garbage " << plan.raw.garbage.size() << " bytes\n";
  }
  for (size_t i = 0; i < plan.connections.size(); ++i) {
    text << "  connection " << i << ":";
    for (const ServerAction& action : plan.connections[i]) {
      text << " " << kActionNames[action.kind];
      if (action.kind == ServerAction::kSend || action.kind == ServerAction::kSendRange) {
        text << "(" << action.bytes.size() << " bytes";
        if (action.chunk > 0)
          text << " in pieces of " << action.chunk << ", " << action.millis << " ms apart";
        text << ")";
      } else if (action.kind == ServerAction::kPause) {
        text << "(" << action.millis << " ms)";
      }
    }
    text << "\n";
  }
  return text.str();
}
