// Proxy values: schemes, credentials, the environment and its "no_proxy".
#include "http/proxy.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "text/text_transforms.h"

namespace {

const char kSchemeMark[] = "://";

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Decodes "%XX" sequences; a "%" that begins none stays as it is.
std::string percentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    int high = i + 2 < text.size() && text[i] == '%' ? hexValue(text[i + 1]) : -1;
    int low = high >= 0 ? hexValue(text[i + 2]) : -1;
    if (low >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The first variable of `names` that is set and not empty; "" otherwise.
std::string variable(const char* first, const char* second) {
  for (const char* name : {first, second}) {
    const char* value = name != nullptr ? getenv(name) : nullptr;
    if (value != nullptr && value[0] != '\0') return value;
  }
  return std::string();
}

bool isIpAddress(const std::string& host) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// A "no_proxy" entry without its port: "[::1]:80" is "::1", "h:80" is "h";
// an IPv6 address without brackets keeps its colons.
std::string withoutPort(const std::string& entry) {
  if (!entry.empty() && entry[0] == '[') return entry.substr(1, entry.find(']') - 1);
  size_t colon = entry.find(':');
  if (colon != std::string::npos && entry.find(':', colon + 1) == std::string::npos) {
    return entry.substr(0, colon);
  }
  return entry;
}

}  // namespace

int Proxy::port() const {
  if (host.port != 0 || kind == ProxyKind::kBare) return host.port;
  return kind == ProxyKind::kHttp ? kHttpProxyPort : kSocksProxyPort;
}

ProxyEnvironment readProxyEnvironment() {
  ProxyEnvironment environment;
  environment.https = variable("https_proxy", "HTTPS_PROXY");
  // HTTP_PROXY is left alone: a web server's scripts find a request's
  // "Proxy:" header there.
  environment.http = variable("http_proxy", nullptr);
  environment.all = variable("all_proxy", "ALL_PROXY");
  environment.noProxy = variable("no_proxy", "NO_PROXY");
  return environment;
}

Status parseProxy(const std::string& value, bool fromEnvironment, Proxy* out) {
  *out = Proxy();
  if (value.empty()) return Status();
  const Status unusable(kNoAddress, formatText("no usable proxy address in \"%s\"", value.c_str()));
  size_t mark = value.find(kSchemeMark);
  if (mark == std::string::npos && !fromEnvironment) {
    out->kind = ProxyKind::kBare;
    return parseHostPart(value, &out->host) ? Status() : unusable;
  }
  std::string rest = value;
  if (mark != std::string::npos) {
    std::string scheme = lowerCase(value.substr(0, mark));
    if (scheme == "http") {
      out->kind = ProxyKind::kHttp;
    } else if (scheme == "socks5") {
      out->kind = ProxyKind::kSocks5;
    } else if (scheme == "socks5h") {
      out->kind = ProxyKind::kSocks5h;
    } else {
      return Status(kNoAddress, formatText("unsupported proxy scheme in \"%s\"", value.c_str()));
    }
    rest = value.substr(mark + strlen(kSchemeMark));
  } else {
    out->kind = ProxyKind::kHttp;
  }
  // A "/" may end the value, as in "http://proxy:3128/".
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    std::string userInfo = rest.substr(0, at);
    size_t colon = userInfo.find(':');
    out->hasCredentials = true;
    out->user = percentDecoded(userInfo.substr(0, colon));
    if (colon != std::string::npos) out->password = percentDecoded(userInfo.substr(colon + 1));
    rest = rest.substr(at + 1);
  }
  bool socks = out->kind == ProxyKind::kSocks5 || out->kind == ProxyKind::kSocks5h;
  if (socks && (out->user.size() > kMaxSocksField || out->password.size() > kMaxSocksField)) {
    return unusable;
  }
  if (rest.find('/') != std::string::npos || !parseHostPart(rest, &out->host)) return unusable;
  return Status();
}

std::string environmentProxy(const ProxyEnvironment& environment, bool tls,
                             const std::string& host) {
  const std::string& own = tls ? environment.https : environment.http;
  const std::string& value = own.empty() ? environment.all : own;
  if (value.empty() || bypassesProxy(environment.noProxy, host)) return std::string();
  return value;
}

bool bypassesProxy(const std::string& list, const std::string& host) {
  const std::string name = lowerCase(host);
  const bool ip = isIpAddress(name);
  size_t from = 0;
  while (from <= list.size()) {
    size_t comma = list.find(',', from);
    if (comma == std::string::npos) comma = list.size();
    std::string entry = list.substr(from, comma - from);
    from = comma + 1;
    size_t first = entry.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    entry = lowerCase(entry.substr(first, entry.find_last_not_of(" \t") + 1 - first));
    if (entry == "*") return true;
    entry = withoutPort(entry);
    if (!entry.empty() && entry[0] == '.') entry.erase(0, 1);
    if (entry.empty()) continue;
    if (name == entry) return true;
    // An IP address matches only as itself.
    if (!ip && name.size() > entry.size() &&
        name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
        name[name.size() - entry.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

std::string basicCredentials(const std::string& user, const std::string& password) {
  const std::string plain = user + ":" + password;
  return "Basic " + base64Encode(plain.data(), plain.size());
}
