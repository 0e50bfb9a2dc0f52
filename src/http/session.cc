// HttpSession state: construction, the target address, the request
// headers, the cookie switch, and the composition and sending of a request.
#include "http/session.h"

#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "base/messages.h"
#include "http/address.h"
#include "http/transport.h"
#include "text/text_transforms.h"

namespace {

const char kPlainScheme[] = "http://";
const char kTlsScheme[] = "https://";

// Room in the request text for the fixed parts: request line words, header
// names, line ends and the Content-Length digits.
const int64_t kRequestOverhead = 300;

// Ports are 16-bit; settings may hold larger numbers.
const int32_t kPortMask = 0xFFFF;

size_t textLength(const char* text) {
  return text != nullptr ? strlen(text) : 0;
}

}  // namespace

void SessionSettings::copyFrom(const SessionSettings& other) {
  userAgent.assign(other.userAgent.data());
  proxy.assign(other.proxy.data());
  proxyEnvironment = other.proxyEnvironment;
  user.assign(other.user.data());
  password.assign(other.password.data());
  basicAuth = other.basicAuth;
  timeoutSeconds = other.timeoutSeconds;
  port = other.port;
  tlsPort = other.tlsPort;
  tlsVerify = other.tlsVerify;
  lowSpeedBytes = other.lowSpeedBytes;
  lowSpeedSeconds = other.lowSpeedSeconds;
}

HttpSession::HttpSession(Transport& transport, const char* initialAddress) : transport_(transport) {
  if (initialAddress != nullptr) setTarget(initialAddress);
}

HttpSession::~HttpSession() {
  closeSlot(0);
  closeSlot(1);
}

int HttpSession::setTarget(const char* text) {
  if (text == nullptr) return kNoAddress;
  unusableAddress_ = TextBuffer();
  url_.assign(text);
  targetIsTls_ = 0;
  originTarget_.clear();
  absoluteTarget_.clear();
  targetIsIp_ = false;
  targetPort_ = 0;
  hostName_.clear();
  const std::string given = url_.data() != nullptr ? url_.data() : "";
  Address parsed;
  const bool usable = parseAddress(given, &parsed);
  // The lookups below see the address as it is usually written: its scheme
  // in small letters and a "/" after the host.
  std::string written = given;
  if (usable) {
    written = given.substr(0, parsed.schemeAt) + (parsed.tls ? kTlsScheme : kPlainScheme) +
              parsed.host.asWritten +
              (parsed.targetAt < given.size() && given[parsed.targetAt] == '/' ? "" : "/") +
              given.substr(parsed.targetAt);
  }
  const char* address = written.c_str();

  // The scheme that comes first in the address decides; one that appears
  // later (in a query, say) is part of the path. Both schemes are looked up
  // in the same order and with the same traces as a lookup of each would
  // print, but a lookup may only find the earliest scheme: the other one is
  // searched in an empty text.
  const char* plainAt = strstr(address, kPlainScheme);
  const char* tlsAt = strstr(address, kTlsScheme);
  bool tls = tlsAt != nullptr && (plainAt == nullptr || tlsAt < plainAt);
  TextBuffer found = extractBetween(tls ? "" : address, kPlainScheme, "/", 0);
  if (found.data() == nullptr) {
    found = extractBetween(tls || plainAt == nullptr ? address : "", kTlsScheme, "/", 0);
  }
  host_ = std::move(found);

  // The host the traces showed is the one the parser reads; the parser
  // also judges it (port, brackets, blanks, line breaks).
  if (!host_.hasText() || !usable) {
    host_ = TextBuffer();
    return refuseTarget(url_.data());
  }
  targetIsTls_ = parsed.tls ? 1 : 0;
  originTarget_ = requestTarget(given, parsed, false);
  absoluteTarget_ = requestTarget(given, parsed, true);
  hostName_.assign(parsed.host.name.c_str());
  targetIsIp_ = parsed.host.ipLiteral;
  targetPort_ = parsed.host.port;
  return kOk;
}

int HttpSession::refuseTarget(const char* text) {
  std::string refused = text != nullptr ? text : "";
  unusableAddress_.reserve(static_cast<int32_t>(refused.size()) + 1);  // storage even for ""
  unusableAddress_.assign(refused.c_str());
  url_.clear();
  return kNoAddress;
}

const char* HttpSession::addressPath() const {
  if (url_.data() == nullptr || url_.data()[0] == '\0') return "";
  return originTarget_.c_str();
}

int32_t HttpSession::targetConnectPort() const {
  if (targetPort_ != 0) return targetPort_;
  return (targetIsTls_ ? settings_.tlsPort : settings_.port) & kPortMask;
}

void HttpSession::setCredentialTarget() {
  credentialHost_ = hostName_.data() != nullptr && url_.hasText() ? hostName_.data() : "";
  credentialPort_ = targetConnectPort();
}

std::string HttpSession::authorizationLine() const {
  // Host names are compared without regard to letter case, as DNS does.
  if (!settings_.basicAuth || credentialHost_.empty() || hostName_.data() == nullptr ||
      strcasecmp(hostName_.data(), credentialHost_.c_str()) != 0 ||
      targetConnectPort() != credentialPort_) {
    return std::string();
  }
  std::string credentials = settings_.user.data() != nullptr ? settings_.user.data() : "";
  credentials += ":";
  if (settings_.password.data() != nullptr) credentials += settings_.password.data();
  return "Authorization: Basic " + base64Encode(credentials.data(), credentials.size()) + "\r\n";
}

const char* HttpSession::requestPath() const {
  if (url_.data() == nullptr || url_.data()[0] == '\0') return "";
  if (forwardProxy_ != ProxyKind::kNone) return absoluteTarget_.c_str();
  return addressPath();
}

std::string HttpSession::describePeer() const {
  return formatText("%s%s port %d", peerIsProxy_ ? "the proxy " : "",
                    peerName_.data() != nullptr ? peerName_.data() : "", peerPort_);
}

void HttpSession::resetRequest() {
  refusedHeader_ = Status();
  responseHeader_.clear();
  body_.clear();
  extraHeaders_.clear();
  extraHeaders_.append("Accept: */*\r\n", "User-Agent: ", settings_.userAgent.data());
  extraHeaders_.append("\r\n");
}

void HttpSession::addHeader(const char* name, const char* value) {
  // A value cut out of a page must not end the line and start another
  // header, or a second request.
  auto breaksLine = [](const char* text) {
    return text != nullptr && strpbrk(text, "\r\n") != nullptr;
  };
  // The header line must fit in the one text that holds them all.
  size_t line = textLength(name) + textLength(value) + strlen(": \r\n");
  if (line > static_cast<size_t>(kMaxTextLength - extraHeaders_.length())) {
    if (refusedHeader_.ok()) {
      refusedHeader_ = Status::unknownError(
          kTextTooLarge,
          formatText("the header %s; nothing was sent", name != nullptr ? name : ""));
    }
    return;
  }
  if (breaksLine(name) || breaksLine(value)) {
    if (refusedHeader_.ok()) {
      refusedHeader_ = Status::unknownError(
          "request header holds a line break",
          formatText("the %s of the header %s; nothing was sent",
                     breaksLine(name) ? "name" : "value", name != nullptr ? name : ""));
    }
    return;
  }
  extraHeaders_.append(name);
  extraHeaders_.append(": ");
  extraHeaders_.append(value);
  extraHeaders_.append("\r\n");
}

void HttpSession::setCookieMode(int mode) {
  if (mode == 0) {
    report(kTrace, "Cookie clear\n");
    cookieJar().clearCookies();
  } else if (mode == 1) {
    report(kTrace, "Cookie on\n");
    cookiesEnabled_ = 1;
  } else {
    report(kTrace, "Cookie off\n");
    cookiesEnabled_ = 0;
  }
}

Status HttpSession::sendRequest(const char* method) {
  Link* connection = slots_[0].get();
  if (connection == nullptr) return Status(kNoConnection, "no connection to send the request on");
  if (printAddress_) {
    report(kPlainText, url_.data(), kNetworkText);
    report(kPlainText, "\n");
  }
  const char* target = requestPath();
  TextBuffer cookies;
  // Cookies follow the address's own path, also when a proxy is sent the
  // whole address, and secure ones travel over TLS only.
  if (cookiesEnabled_)
    cookies = cookieJar().cookieHeader(hostName_.data() != nullptr ? hostName_.data() : "",
                                       addressPath(), connection->isTls());

  std::string authorization = authorizationLine();
  size_t bodyLength = textLength(body_.data());
  int64_t size =
      static_cast<int64_t>(textLength(method)) + static_cast<int64_t>(textLength(target)) +
      static_cast<int64_t>(textLength(host_.data())) +
      static_cast<int64_t>(textLength(extraHeaders_.data())) + static_cast<int64_t>(bodyLength) +
      static_cast<int64_t>(textLength(cookies.data())) + kRequestOverhead;
  size += static_cast<int64_t>(authorization.size() + proxyAuthorization_.size());
  // A buffer holds at most INT32_MAX characters; such a request cannot be sent.
  if (size > INT32_MAX - 1) {
    return Status(kSendFailed, "the request to " + describePeer() + " is too large to send");
  }

  TextBuffer request(static_cast<int32_t>(size));
  request.append(method, " ");
  request.append(target, " HTTP/1.0\r\n", extraHeaders_.data());
  if (!authorization.empty()) request.append(authorization.c_str());
  if (cookies.hasText()) request.append("Cookie: ", cookies.data(), "\r\n");
  request.append("Host: ", host_.data(), "\r\n");
  // Credentials of a proxy that is sent the whole address; a tunnel carries
  // them in its own request, never to the target.
  if (!proxyAuthorization_.empty()) {
    request.append("Proxy-Authorization: ", proxyAuthorization_.c_str(), "\r\n");
  }
  if (bodyLength > 0) {
    char line[64];
    snprintf(line, sizeof line, "Content-Length: %d\r\n", static_cast<int>(bodyLength));
    request.append(line);
  }
  request.append("\r\n", body_.data());

  report(kTraceBanner, "[Send method]");
  report(kTrace, request.data(), kNetworkHeaders);
  report(kTrace, "\n");
  report(kTraceBanner, "[Send method]");

  // A send may take only part of the text; the rest follows until all of
  // it is out or a send fails.
  const int total = request.length();
  int done = 0;
  while (done < total) {
    int sent = connection->send(request.data() + done, total - done);
    if (sent <= 0) return Status(kSendFailed, "cannot send the request to " + describePeer());
    done += sent < total - done ? sent : total - done;
  }
  return Status();
}
