// Proxies as people name them: the value of "@proxy=" or of the proxy
// variables of the environment, read into where the proxy is, which way it
// is spoken to and the credentials it is given. Pure text work, apart from
// readProxyEnvironment, which reads the process's environment.
#ifndef QUORVANE_HTTP_PROXY_H_
#define QUORVANE_HTTP_PROXY_H_

#include <string>

#include "base/status.h"
#include "http/address.h"

// How a connection goes through a proxy.
enum class ProxyKind {
  kNone,
  // A value without a scheme: the proxy is sent every request with the
  // whole address, over TLS when its port is the TLS port.
  kBare,
  // "http://": plain requests go with the whole address; TLS targets go
  // through a tunnel that CONNECT opens.
  kHttp,
  // "socks5://" (the name is looked up here) and "socks5h://" (the proxy
  // looks it up).
  kSocks5,
  kSocks5h,
};

// The default ports of the schemes.
const int kHttpProxyPort = 80;
const int kSocksProxyPort = 1080;
// SOCKS 5 carries a name, a user name and a password in at most this many
// bytes each (one length byte).
const size_t kMaxSocksField = 255;

struct Proxy {
  ProxyKind kind = ProxyKind::kNone;
  // The proxy's host; its port is 0 when the value names none.
  HostPart host;
  // Credentials for the proxy alone, percent-decoded.
  bool hasCredentials = false;
  std::string user;
  std::string password;
  // The port to connect to: the one written, else the scheme's (for kBare,
  // 0: the caller's choice).
  int port() const;
};

// The proxy variables of an environment ("" when unset or empty).
struct ProxyEnvironment {
  std::string https;    // https_proxy, else HTTPS_PROXY
  std::string http;     // http_proxy (lower case only)
  std::string all;      // all_proxy, else ALL_PROXY
  std::string noProxy;  // no_proxy, else NO_PROXY
};

// The proxy variables of this process's environment.
ProxyEnvironment readProxyEnvironment();

// Reads a proxy `value`. A value without "://" is kBare, or kHttp when
// `fromEnvironment`; schemes are matched in any letter case; a scheme may
// be followed by "USER[:PASSWORD]@" and the host part (parseHostPart) may
// end in "/". An empty value is kNone. Returns ok, or kNoAddress with
// "unsupported proxy scheme in "VALUE"" or "no usable proxy address in
// "VALUE"".
Status parseProxy(const std::string& value, bool fromEnvironment, Proxy* out);

// The environment's proxy value for a target on `host` (a name or an IP
// address, no port), "https_proxy" or "http_proxy" by `tls`, else
// "all_proxy"; "" when none applies or "no_proxy" lets the host go direct.
std::string environmentProxy(const ProxyEnvironment& environment, bool tls,
                             const std::string& host);

// Whether the "no_proxy" list `list` names `host`: "*", the host itself,
// or a domain it lies in ("example.com" or ".example.com"); entries are
// separated by commas, blanks trimmed, ports ignored, letter case too.
bool bypassesProxy(const std::string& list, const std::string& host);

// The value of a "Proxy-Authorization:" line for `user` and `password`:
// "Basic " and the base64 of USER ":" PASSWORD.
std::string basicCredentials(const std::string& user, const std::string& password);

#endif  // QUORVANE_HTTP_PROXY_H_
