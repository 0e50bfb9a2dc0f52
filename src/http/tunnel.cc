// The CONNECT and SOCKS 5 exchanges with a proxy, over a Link.
#include "http/tunnel.h"

#include <arpa/inet.h>
#include <sys/time.h>

#include <cstdint>
#include <cstring>

#include "base/clock.h"
#include "http/response_parser.h"

namespace {

// SOCKS 5 (RFC 1928) and its user name and password (RFC 1929).
const unsigned char kSocksVersion = 5;
const unsigned char kSocksNoAuthentication = 0;
const unsigned char kSocksUserPassword = 2;
const unsigned char kSocksConnect = 1;
const unsigned char kSocksIPv4 = 1;
const unsigned char kSocksName = 3;
const unsigned char kSocksIPv6 = 4;
const unsigned char kUserPasswordVersion = 1;
const size_t kSocksReplyHead = 4;
// The longest of a SOCKS answer's parts: a bound name and its port.
const size_t kSocksReadMost = 255 + 2;
const size_t kPortBytes = 2;
// The replies that concern the destination alone: network or host
// unreachable, connection refused, TTL expired.
const unsigned kSocksFirstUnreachable = 3;
const unsigned kSocksLastUnreachable = 6;

// RFC 1928's replies 1 to 8, in words.
const char* const kSocksReasons[] = {"general failure",       "not allowed by the ruleset",
                                     "network unreachable",   "host unreachable",
                                     "connection refused",    "TTL expired",
                                     "command not supported", "address type not supported"};

const int kFirstSuccess = 200;
const int kFirstNonSuccess = 300;
const int kHeaderEndLength = 4;
// Each read of the CONNECT answer takes at most this much.
const int kAnswerRead = 4096;

// Sends `bytes` whole on `link` to the proxy `who` names ("proxy NAME port
// N").
Status sendWhole(Link& link, const std::string& bytes, const std::string& who) {
  size_t done = 0;
  while (done < bytes.size()) {
    int sent = link.send(bytes.data() + done, static_cast<int>(bytes.size() - done));
    if (sent <= 0) return Status(kCannotConnect, "cannot send to the " + who);
    done += static_cast<size_t>(sent);
  }
  return Status();
}

// The bytes exchanged with one proxy within one time limit, and the
// failures that name it.
class Exchange {
 public:
  Exchange(Link& link, const Proxy& proxy, const std::string& name, int limitSeconds)
      : link_(link),
        who_(formatText("proxy %s port %d", name.c_str(), proxy.port())),
        limited_(limitSeconds > 0),
        seconds_(limitSeconds),
        limit_(limitOf(limitSeconds)) {}
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // "proxy NAME port N".
  const std::string& who() const { return who_; }
  Status failure(const std::string& what) const {
    return Status(kCannotConnect, who_ + " " + what);
  }

  Status sendAll(const std::string& bytes) { return sendWhole(link_, bytes, who_); }

  // Reads at most `size` bytes once they have arrived. Returns their count,
  // or 0 with *failure set.
  int readSome(char* into, int size, Status* failure) {
    for (;;) {
      if (link_.pending() <= 0) {
        int waited = link_.waitReadable(limited_ ? &limit_ : nullptr);
        if (waited == 0) {
          *failure = this->failure(formatText("did not answer within %d s", seconds_));
          return 0;
        }
        if (waited < 0) break;
      }
      int got = link_.recv(into, size);
      if (got > 0) return got;
      if (got == 0 || got == kReadEndWithoutTlsClose) {
        *failure = this->failure("closed the connection before the tunnel was open");
        return 0;
      }
      if (got != kReadWouldBlock) break;
    }
    *failure = Status(kCannotConnect, "reading from the " + who_ + " failed");
    return 0;
  }

 private:
  Link& link_;
  const std::string who_;
  const bool limited_;
  const int seconds_;
  timeval limit_;
};

// "HOST:PORT" of the target.
std::string targetText(const TunnelTarget& target) {
  return formatText("%s:%d", target.host.c_str(), target.port);
}

// The SOCKS address of `destination`: its type byte, then the address.
// False when a name is longer than SOCKS carries.
bool socksAddress(const std::string& destination, std::string* out) {
  unsigned char v4[4];
  unsigned char v6[16];
  if (inet_pton(AF_INET, destination.c_str(), v4) == 1) {
    *out = std::string(1, static_cast<char>(kSocksIPv4)) +
           std::string(reinterpret_cast<char*>(v4), sizeof v4);
  } else if (inet_pton(AF_INET6, destination.c_str(), v6) == 1) {
    *out = std::string(1, static_cast<char>(kSocksIPv6)) +
           std::string(reinterpret_cast<char*>(v6), sizeof v6);
  } else {
    if (destination.empty() || destination.size() > kMaxSocksField) return false;
    *out = std::string(1, static_cast<char>(kSocksName)) +
           std::string(1, static_cast<char>(destination.size())) + destination;
  }
  return true;
}

}  // namespace

Status openHttpTunnel(Link& link, const Proxy& proxy, const std::string& proxyName,
                      const TunnelTarget& target, int limitSeconds) {
  Exchange exchange(link, proxy, proxyName, limitSeconds);
  const std::string where = targetText(target);
  std::string request = "CONNECT " + where + " HTTP/1.0\r\nHost: " + where +
                        "\r\nUser-Agent: " + target.userAgent + "\r\n";
  if (proxy.hasCredentials) {
    request += "Proxy-Authorization: " + basicCredentials(proxy.user, proxy.password) + "\r\n";
  }
  Status result = exchange.sendAll(request + "\r\n");
  if (!result.ok()) return result;

  // The answer, read up to its blank line.
  std::string answer;
  int32_t headerLength = 0;
  HeaderScan scan = HeaderScan::kNeedMore;
  while (scan == HeaderScan::kNeedMore) {
    char piece[kAnswerRead];
    int got = exchange.readSome(piece, sizeof piece, &result);
    if (got <= 0) return result;
    int32_t before = static_cast<int32_t>(answer.size());
    answer.append(piece, static_cast<size_t>(got));
    scan =
        scanHeaderBlock(answer.data(), static_cast<int32_t>(answer.size()), before, &headerLength);
  }
  if (scan == HeaderScan::kTooLarge) {
    return exchange.failure("answered CONNECT with a header too large");
  }
  std::string statusLine = answer.substr(0, answer.find_first_of("\r\n"));
  int status = answer.compare(0, 5, "HTTP/") == 0 ? statusCodeOf(statusLine.c_str()) : 0;
  if (status < kFirstSuccess || status >= kFirstNonSuccess) {
    return exchange.failure("refused the tunnel to " + where + ": " + statusLine);
  }
  if (answer.size() > static_cast<size_t>(headerLength + kHeaderEndLength)) {
    return exchange.failure("sent bytes after its answer to CONNECT, before the client spoke");
  }
  return Status();
}

SocksTunnel::SocksTunnel(Link& link, const Proxy& proxy, const std::string& proxyName,
                         const TunnelTarget& target)
    : link_(link),
      proxy_(proxy),
      target_(target),
      who_(formatText("proxy %s port %d", proxyName.c_str(), proxy.port())) {}

Status SocksTunnel::failure(const std::string& what) const {
  return Status(kCannotConnect, who_ + " " + what);
}

Status SocksTunnel::readFailed() const {
  return Status(kCannotConnect, "reading from the " + who_ + " failed");
}

Status SocksTunnel::silence(int seconds) const {
  return failure(formatText("did not answer within %d s", seconds));
}

Status SocksTunnel::send(const std::string& bytes) {
  return sendWhole(link_, bytes, who_);
}

Status SocksTunnel::start() {
  std::string address;
  if (!socksAddress(target_.destination, &address)) {
    return Status(kNoAddress, formatText("the name %s is too long for a SOCKS proxy",
                                         target_.destination.c_str()));
  }
  // The methods offered: none, and with credentials the user name and
  // password too.
  std::string greeting(1, static_cast<char>(kSocksVersion));
  if (proxy_.hasCredentials) {
    greeting +=
        {2, static_cast<char>(kSocksNoAuthentication), static_cast<char>(kSocksUserPassword)};
  } else {
    greeting += {1, static_cast<char>(kSocksNoAuthentication)};
  }
  stage_ = kMethod;
  want_ = 2;
  return send(greeting);
}

Status SocksTunnel::advance() {
  char bytes[kSocksReadMost];
  size_t most = want_ - wanted_.size();
  int got = link_.recv(bytes, static_cast<int>(most < sizeof bytes ? most : sizeof bytes));
  if (got == kReadWouldBlock) return Status();
  if (got == 0 || got == kReadEndWithoutTlsClose) {
    return failure("closed the connection before the tunnel was open");
  }
  if (got < 0) return readFailed();
  wanted_.append(bytes, static_cast<size_t>(got));
  if (wanted_.size() < want_) return Status();
  Status answered = answer();
  wanted_.clear();
  return answered;
}

Status SocksTunnel::answer() {
  const std::string& reply = wanted_;
  const Status notSocks = failure("did not answer with SOCKS 5");
  switch (stage_) {
    case kMethod: {
      if (static_cast<unsigned char>(reply[0]) != kSocksVersion) return notSocks;
      unsigned char method = static_cast<unsigned char>(reply[1]);
      if (method == kSocksUserPassword && proxy_.hasCredentials) {
        // RFC 1929: the user name and password, and the proxy's verdict.
        std::string request(1, static_cast<char>(kUserPasswordVersion));
        request += static_cast<char>(proxy_.user.size());
        request += proxy_.user;
        request += static_cast<char>(proxy_.password.size());
        request += proxy_.password;
        stage_ = kAuthentication;
        want_ = 2;
        return send(request);
      }
      if (method != kSocksNoAuthentication) return failure("accepts none of the offered methods");
      break;
    }
    case kAuthentication:
      if (reply[1] != 0) return failure("refused the user name and password");
      break;
    case kReplyHead: {
      if (static_cast<unsigned char>(reply[0]) != kSocksVersion) return notSocks;
      unsigned code = static_cast<unsigned char>(reply[1]);
      if (code != 0) {
        tryNext_ = code >= kSocksFirstUnreachable && code <= kSocksLastUnreachable;
        std::string reason = code <= sizeof kSocksReasons / sizeof kSocksReasons[0]
                                 ? kSocksReasons[code - 1]
                                 : formatText("reply %u", code);
        return failure("refused the connection to " + targetText(target_) + " (" + reason + ")");
      }
      // The address the proxy bound, which nothing here needs, is read so
      // that no byte of it is taken for the target's.
      switch (static_cast<unsigned char>(reply[3])) {
        case kSocksIPv4:
          stage_ = kBound;
          want_ = 4 + kPortBytes;
          return Status();
        case kSocksIPv6:
          stage_ = kBound;
          want_ = 16 + kPortBytes;
          return Status();
        case kSocksName:
          stage_ = kNameLength;
          want_ = 1;
          return Status();
        default:
          return notSocks;
      }
    }
    case kNameLength:
      stage_ = kBound;
      want_ = static_cast<unsigned char>(reply[0]) + kPortBytes;
      return Status();
    case kBound:
    case kDone:
      stage_ = kDone;
      return Status();
  }
  // The method agreed (and the credentials taken): the request.
  std::string address;
  socksAddress(target_.destination, &address);
  std::string request = {static_cast<char>(kSocksVersion), static_cast<char>(kSocksConnect), 0};
  request += address;
  request += static_cast<char>((target_.port >> 8) & 0xFF);
  request += static_cast<char>(target_.port & 0xFF);
  stage_ = kReplyHead;
  want_ = kSocksReplyHead;
  return send(request);
}

Status openSocksTunnel(Link& link, const Proxy& proxy, const std::string& proxyName,
                       const TunnelTarget& target, int limitSeconds, bool* tryNext) {
  SocksTunnel tunnel(link, proxy, proxyName, target);
  Status result = tunnel.start();
  timeval limit = limitOf(limitSeconds);
  while (result.ok() && !tunnel.done()) {
    if (link.pending() <= 0) {
      int waited = link.waitReadable(limitSeconds > 0 ? &limit : nullptr);
      if (waited == 0) result = tunnel.silence(limitSeconds);
      if (waited < 0) result = tunnel.readFailed();
      if (waited <= 0) break;
    }
    result = tunnel.advance();
  }
  *tryNext = tunnel.tryNext();
  return result;
}
