// The scripted loopback server: certificate set-up, the parser of the text
// form of a connection's actions, and the server thread with its
// connection handling.
#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

// send-repeat refuses more bytes than this: a case file asking for more is
// surely mistaken, and the bytes are held in memory.
const long kMaxRepeatCount = 256L * 1024 * 1024;

using Clock = std::chrono::steady_clock;

int millisUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string sslErrorText() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown TLS error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// Certificates are valid from an hour ago (clocks differ a little) for
// this long: longer than any test run.
const long kCertificateBackdateSeconds = 3600;
const long kCertificateLifeSeconds = 7L * 24 * 3600;

// A fresh EC P-256 key; null when the library refuses.
EVP_PKEY* makeKey() {
  EVP_PKEY* key = nullptr;
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr);
  bool ok = context != nullptr && EVP_PKEY_keygen_init(context) > 0 &&
            EVP_PKEY_CTX_set_ec_paramgen_curve_nid(context, NID_X9_62_prime256v1) > 0 &&
            EVP_PKEY_keygen(context, &key) > 0;
  EVP_PKEY_CTX_free(context);
  if (!ok) {
    EVP_PKEY_free(key);
    key = nullptr;
  }
  return key;
}

// Adds one X.509 v3 extension given in the configuration syntax of the
// library ("critical,CA:TRUE", "IP:127.0.0.1,DNS:localhost", ...).
bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  bool ok = extension != nullptr && X509_add_ext(cert, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return ok;
}

// A certificate for `key` named `commonName`, signed by `issuerKey` in the
// name of `issuer` (both null: signed by itself). An authority may sign
// other certificates; any other certificate names its hosts in `altNames`.
X509* makeCertificate(EVP_PKEY* key, const char* commonName, const char* altNames, long serial,
                      bool authority, X509* issuer, EVP_PKEY* issuerKey) {
  X509* cert = X509_new();
  if (cert == nullptr) return nullptr;
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), -kCertificateBackdateSeconds);
  X509_gmtime_adj(X509_getm_notAfter(cert), kCertificateLifeSeconds);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  if (issuer == nullptr) {
    issuer = cert;
    issuerKey = key;
  }
  X509_set_issuer_name(cert, X509_get_subject_name(issuer));
  bool ok = addExtension(cert, issuer, NID_subject_key_identifier, "hash") &&
            addExtension(cert, issuer, NID_authority_key_identifier, "keyid:always");
  if (authority) {
    ok = ok && addExtension(cert, issuer, NID_basic_constraints, "critical,CA:TRUE") &&
         addExtension(cert, issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    ok = ok && addExtension(cert, issuer, NID_basic_constraints, "critical,CA:FALSE") &&
         addExtension(cert, issuer, NID_subject_alt_name, altNames);
  }
  if (!ok || X509_sign(cert, issuerKey, EVP_sha256()) <= 0) {
    X509_free(cert);
    return nullptr;
  }
  return cert;
}

// The certificate authority of the test process, made once: its key and
// its self-signed certificate, which the servers' certificates name as
// their issuer.
class TestAuthority {
 public:
  TestAuthority() {
    key_ = makeKey();
    if (key_ != nullptr)
      cert_ = makeCertificate(key_, "Quorvane test authority", nullptr, 1, true, nullptr, nullptr);
    BIO* out = BIO_new(BIO_s_mem());
    if (cert_ != nullptr && out != nullptr && PEM_write_bio_X509(out, cert_) == 1) {
      char* data = nullptr;
      long length = BIO_get_mem_data(out, &data);
      if (length > 0) pem_.assign(data, static_cast<size_t>(length));
    }
    BIO_free(out);
  }
  ~TestAuthority() {
    X509_free(cert_);
    EVP_PKEY_free(key_);
  }
  TestAuthority(const TestAuthority&) = delete;
  TestAuthority& operator=(const TestAuthority&) = delete;

  static TestAuthority& get() {
    static TestAuthority authority;
    return authority;
  }
  bool ok() const { return cert_ != nullptr && !pem_.empty(); }
  X509* cert() const { return cert_; }
  EVP_PKEY* key() const { return key_; }
  const std::string& pem() const { return pem_; }

 private:
  EVP_PKEY* key_ = nullptr;
  X509* cert_ = nullptr;
  std::string pem_;
};

// Serial numbers of the servers' certificates: distinct within the run.
std::atomic<long> gNextSerial{2};

// A server context with a fresh key and a certificate of the kind asked
// for; null and a reason in *error when the library refuses.
SSL_CTX* makeServerContext(ServerCertificate kind, std::string* error) {
  TestAuthority& authority = TestAuthority::get();
  EVP_PKEY* key = makeKey();
  X509* cert = nullptr;
  SSL_CTX* context = nullptr;
  bool ok = key != nullptr && authority.ok();
  if (ok) {
    long serial = gNextSerial++;
    switch (kind) {
      case ServerCertificate::kTrusted:
        cert = makeCertificate(key, "localhost", "IP:127.0.0.1,IP:::1,DNS:localhost", serial, false,
                               authority.cert(), authority.key());
        break;
      case ServerCertificate::kOtherName:
        cert = makeCertificate(key, "other.example", "DNS:other.example", serial, false,
                               authority.cert(), authority.key());
        break;
      case ServerCertificate::kSelfSigned:
        cert = makeCertificate(key, "localhost", "IP:127.0.0.1,DNS:localhost", serial, false,
                               nullptr, nullptr);
        break;
    }
    ok = cert != nullptr;
  }
  if (ok) {
    context = SSL_CTX_new(TLS_server_method());
    ok = context != nullptr && SSL_CTX_use_certificate(context, cert) == 1 &&
         SSL_CTX_use_PrivateKey(context, key) == 1 && SSL_CTX_check_private_key(context) == 1;
  }
  if (!ok) {
    *error = "TLS set-up: " + sslErrorText();
    SSL_CTX_free(context);
    context = nullptr;
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return context;
}

// The first byte of a TLS record that carries a handshake message.
const char kTlsHandshakeRecord = 22;

// The length of the complete request at the start of `data` (header block
// plus the body its Content-Length announces, or one TLS record), or 0 while
// it is incomplete.
size_t completeRequestLength(const std::string& data) {
  // A client that speaks TLS to a plain server: like a real server, it
  // answers once the first record (the client's hello) is in.
  const size_t kTlsRecordHeader = 5;
  if (!data.empty() && data[0] == kTlsHandshakeRecord) {
    if (data.size() < kTlsRecordHeader) return 0;
    size_t total = kTlsRecordHeader + (static_cast<unsigned char>(data[3]) << 8) +
                   static_cast<unsigned char>(data[4]);
    return data.size() >= total ? total : 0;
  }
  size_t headerEnd = data.find("\r\n\r\n");
  if (headerEnd == std::string::npos) return 0;
  size_t total = headerEnd + 4;
  static const char kName[] = "content-length:";
  const size_t nameLength = sizeof kName - 1;
  size_t line = 0;
  while (line < headerEnd) {
    size_t next = data.find("\r\n", line);
    if (next - line > nameLength && strncasecmp(data.c_str() + line, kName, nameLength) == 0) {
      size_t at = line + nameLength;
      while (at < next && (data[at] == ' ' || data[at] == '\t')) ++at;
      size_t announced = 0;
      while (at < next && data[at] >= '0' && data[at] <= '9' &&
             announced <= ScriptedServer::kMaxRequestBytes) {
        announced = announced * 10 + static_cast<size_t>(data[at] - '0');
        ++at;
      }
      total += announced;
      break;
    }
    line = next + 2;
  }
  return data.size() >= total ? total : 0;
}

}  // namespace

const std::string& testAuthorityPem() {
  return TestAuthority::get().pem();
}

namespace {

// The file trustTestAuthority() writes, removed with the process.
class AuthorityFile {
 public:
  AuthorityFile() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                          "/quorvane-test-authority-XXXXXX";
    int fd = mkstemp(&pattern[0]);
    if (fd < 0) return;
    const std::string& pem = testAuthorityPem();
    bool written =
        !pem.empty() && write(fd, pem.data(), pem.size()) == static_cast<ssize_t>(pem.size());
    close(fd);
    if (written) {
      path_ = pattern;
    } else {
      unlink(pattern.c_str());
    }
  }
  ~AuthorityFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  AuthorityFile(const AuthorityFile&) = delete;
  AuthorityFile& operator=(const AuthorityFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

std::string trustTestAuthority() {
  static AuthorityFile file;
  if (!file.path().empty()) setenv("SSL_CERT_FILE", file.path().c_str(), 1);
  return file.path();
}

bool parseCount(const std::string& text, long limit, long* out) {
  if (text.empty() || text.size() > 12) return false;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > limit) return false;
  *out = value;
  return true;
}

ServerAction sendAction(const std::string& bytes, int chunk, int gapMillis) {
  ServerAction action;
  action.kind = ServerAction::kSend;
  action.bytes = bytes;
  action.chunk = chunk;
  action.millis = gapMillis;
  return action;
}

ServerAction pauseAction(int millis) {
  ServerAction action;
  action.kind = ServerAction::kPause;
  action.millis = millis;
  return action;
}

ServerAction closeAction() {
  ServerAction action;
  action.kind = ServerAction::kClose;
  return action;
}

ServerAction closeTcpAction() {
  ServerAction action;
  action.kind = ServerAction::kCloseTcp;
  return action;
}

ServerAction resetAction() {
  ServerAction action;
  action.kind = ServerAction::kReset;
  return action;
}

ServerAction holdAction() {
  ServerAction action;
  action.kind = ServerAction::kHold;
  return action;
}

ServerAction sendRangeAction(const std::string& entity, const std::string& headers,
                             const std::string& validator, bool honourRange, size_t cutAfter) {
  ServerAction action;
  action.kind = ServerAction::kSendRange;
  action.bytes = entity;
  action.headers = headers;
  action.validator = validator;
  action.honourRange = honourRange;
  action.cutAfter = cutAfter;
  return action;
}

std::string rangeAnswer(const ServerAction& action, const std::string& request) {
  // The value of a request header line, or "" when the request has none.
  auto header = [&request](const std::string& name) -> std::string {
    std::string key = "\r\n" + name + ":";
    size_t end = request.find("\r\n\r\n");
    for (size_t at = request.find("\r\n"); at != std::string::npos && at < end;
         at = request.find("\r\n", at + 2)) {
      if (strncasecmp(request.c_str() + at, key.c_str(), key.size()) != 0) continue;
      size_t from = request.find_first_not_of(' ', at + key.size());
      if (from == std::string::npos) return "";
      return request.substr(from, request.find("\r\n", from) - from);
    }
    return "";
  };
  const std::string& entity = action.bytes;
  std::string range = header("Range");
  std::string ifRange = header("If-Range");
  const char kUnit[] = "bytes=";
  long from = -1;
  long last = static_cast<long>(entity.size()) - 1;
  size_t dash = range.find('-');
  if (action.honourRange && range.compare(0, strlen(kUnit), kUnit) == 0 &&
      dash != std::string::npos &&
      (action.ignoreIfRange || ifRange.empty() || ifRange == action.validator)) {
    long end = 0;
    if (!parseCount(range.substr(strlen(kUnit), dash - strlen(kUnit)), LONG_MAX, &from)) from = -1;
    if (dash + 1 < range.size() && parseCount(range.substr(dash + 1), LONG_MAX, &end)) {
      last = std::min(last, end);
    }
  }
  std::string size = std::to_string(entity.size());
  std::string head;
  std::string body;
  if (from < 0) {
    head = "HTTP/1.1 200 OK\r\n";
    body = entity;
  } else if (static_cast<size_t>(from) >= entity.size()) {
    head = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + size + "\r\n";
  } else {
    head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
           std::to_string(last) + "/" + size + "\r\n";
    body = entity.substr(static_cast<size_t>(from), static_cast<size_t>(last - from + 1));
  }
  head += action.headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  return head + body.substr(0, action.cutAfter);
}

bool unescapeText(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case 'r':
        out->push_back('\r');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 't':
        out->push_back('\t');
        break;
      case '\\':
        out->push_back('\\');
        break;
      case 'x': {
        if (i + 2 >= text.size()) return false;
        int high = hexDigit(text[i + 1]);
        int low = hexDigit(text[i + 2]);
        if (high < 0 || low < 0) return false;
        out->push_back(static_cast<char>(high * 16 + low));
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

bool parseActions(const std::string& text, ConnectionScript* out, std::string* error,
                  const std::string& baseFolder) {
  out->clear();
  int chunk = 0;
  int gap = 0;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t space = line.find(' ');
    std::string word = line.substr(0, space);
    std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    auto fail = [&](const std::string& why) {
      *error = "line " + std::to_string(number) + ": " + why + ": " + line;
      return false;
    };
    long value = 0;
    if (word == "send") {
      std::string bytes;
      if (!unescapeText(rest, &bytes)) return fail("bad escape");
      out->push_back(sendAction(bytes, chunk, gap));
    } else if (word == "send-file") {
      if (rest.empty()) return fail("no file named");
      std::string path = rest;
      if (!baseFolder.empty() && path[0] != '/') path = baseFolder + "/" + path;
      std::ifstream in(path, std::ios::binary);
      if (!in) return fail("cannot read " + path);
      std::ostringstream all;
      all << in.rdbuf();
      out->push_back(sendAction(all.str(), chunk, gap));
    } else if (word == "send-repeat") {
      size_t split = rest.find(' ');
      std::string text;
      if (split == std::string::npos || !parseCount(rest.substr(0, split), kMaxRepeatCount, &value))
        return fail("expected a count and a text");
      if (!unescapeText(rest.substr(split + 1), &text) || text.empty())
        return fail("expected a text of one character or more");
      if (static_cast<size_t>(value) > static_cast<size_t>(kMaxRepeatCount) / text.size())
        return fail("expected fewer bytes in all");
      std::string bytes;
      bytes.reserve(static_cast<size_t>(value) * text.size());
      for (long i = 0; i < value; ++i) bytes += text;
      out->push_back(sendAction(bytes, chunk, gap));
    } else if (word == "send-range") {
      // send-range COUNT TEXT ETAG [cut BYTES] [any-if-range]
      std::istringstream words(rest);
      std::string count, pattern, etag, option, unescaped;
      words >> count >> pattern >> etag;
      if (!parseCount(count, kMaxRepeatCount, &value) || !unescapeText(pattern, &unescaped) ||
          unescaped.empty() || etag.empty() ||
          static_cast<size_t>(value) > static_cast<size_t>(kMaxRepeatCount) / unescaped.size())
        return fail("expected a count, a text and an ETag");
      std::string entity;
      entity.reserve(static_cast<size_t>(value) * unescaped.size());
      for (long i = 0; i < value; ++i) entity += unescaped;
      ServerAction action = sendRangeAction(entity, "ETag: " + etag + "\r\n", etag);
      action.chunk = chunk;
      action.millis = gap;
      while (words >> option) {
        long cut = 0;
        if (option == "any-if-range") {
          action.ignoreIfRange = true;
        } else if (option == "cut" && words >> option && parseCount(option, LONG_MAX, &cut)) {
          action.cutAfter = static_cast<size_t>(cut);
        } else {
          return fail("expected cut BYTES or any-if-range");
        }
      }
      out->push_back(action);
    } else if (word == "pause") {
      if (!parseCount(rest, 3600 * 1000, &value)) return fail("expected milliseconds");
      out->push_back(pauseAction(static_cast<int>(value)));
    } else if (word == "chunk") {
      size_t split = rest.find(' ');
      long gapValue = 0;
      if (!parseCount(rest.substr(0, split), 1 << 30, &value) ||
          (split != std::string::npos &&
           !parseCount(rest.substr(split + 1), 3600 * 1000, &gapValue)))
        return fail("expected a size and an optional gap in milliseconds");
      chunk = static_cast<int>(value);
      gap = static_cast<int>(gapValue);
    } else if (word == "close" && rest.empty()) {
      out->push_back(closeAction());
    } else if (word == "close-tcp" && rest.empty()) {
      out->push_back(closeTcpAction());
    } else if (word == "reset" && rest.empty()) {
      out->push_back(resetAction());
    } else if (word == "hold" && rest.empty()) {
      out->push_back(holdAction());
    } else if ((word == "await" && (rest == "request" || parseCount(rest, 1 << 20, &value))) ||
               (word == "relay" && parseCount(rest, 65535, &value))) {
      ServerAction action;
      action.kind = word == "await" ? ServerAction::kAwait : ServerAction::kRelay;
      action.count = rest == "request" ? 0 : static_cast<size_t>(value);
      out->push_back(action);
    } else {
      return fail("unknown action");
    }
  }
  return true;
}

// One accepted connection.
struct ScriptedServer::Connection {
  int fd = -1;
  SSL* ssl = nullptr;
  size_t index = 0;
  bool broken = false;         // a fatal error: no TLS shutdown, no further I/O
  bool lingering = false;      // background after a graceful close (else held)
  bool noCloseNotify = false;  // TLS ends with the TCP close alone (close-tcp)
  Clock::time_point lingerEnd;
};

namespace {

enum IoResult { kIoData, kIoWantRead, kIoWantWrite, kIoEnd, kIoFailed };

// Reads what is there without blocking and appends it to *sink (unless
// null). kIoEnd: the client closed (*closeNotify set for a TLS close-notify).
IoResult readSome(SSL* ssl, int fd, std::string* sink, bool* closeNotify) {
  char buffer[16384];
  if (ssl == nullptr) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      if (sink != nullptr) sink->append(buffer, static_cast<size_t>(n));
      return kIoData;
    }
    if (n == 0) return kIoEnd;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kIoWantRead;
    return kIoFailed;
  }
  ERR_clear_error();
  int n = SSL_read(ssl, buffer, sizeof buffer);
  if (n > 0) {
    if (sink != nullptr) sink->append(buffer, static_cast<size_t>(n));
    return kIoData;
  }
  switch (SSL_get_error(ssl, n)) {
    case SSL_ERROR_WANT_READ:
      return kIoWantRead;
    case SSL_ERROR_WANT_WRITE:
      return kIoWantWrite;
    case SSL_ERROR_ZERO_RETURN:
      *closeNotify = true;
      return kIoEnd;
    default:
      return kIoFailed;
  }
}

}  // namespace

int listenOnLoopback(int port, int typeFlags, std::string* error, LoopbackFamily family) {
  bool v6 = family == LoopbackFamily::kIPv6;
  std::string where = (v6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port);
  int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | typeFlags, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + strerror(errno);
    return -1;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage storage{};
  socklen_t length;
  if (v6) {
    sockaddr_in6* address = reinterpret_cast<sockaddr_in6*>(&storage);
    address->sin6_family = AF_INET6;
    address->sin6_port = htons(static_cast<uint16_t>(port));
    address->sin6_addr = in6addr_loopback;
    length = sizeof *address;
  } else {
    sockaddr_in* address = reinterpret_cast<sockaddr_in*>(&storage);
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));
    address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof *address;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    *error = "bind " + where + ": " + strerror(errno);
  } else if (listen(fd, 64) != 0) {
    *error = "listen " + where + ": " + strerror(errno);
  } else {
    return fd;
  }
  close(fd);
  return -1;
}

ScriptedServer::ScriptedServer(bool tls, std::vector<ConnectionScript> script, int port,
                               ServerCertificate certificate, LoopbackFamily family)
    : tls_(tls), script_(std::move(script)) {
  if (tls_) {
    sslContext_ = makeServerContext(certificate, &error_);
    if (sslContext_ == nullptr) return;
  }
  listenFd_ = listenOnLoopback(port, SOCK_NONBLOCK, &error_, family);
  if (listenFd_ < 0) return;
  if (pipe2(wakePipe_, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + strerror(errno);
    close(listenFd_);
    listenFd_ = -1;
    return;
  }
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
  // The port sits at the same place in both families' addresses.
  port_ = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  thread_ = std::thread(&ScriptedServer::serve, this);
}

ScriptedServer::~ScriptedServer() {
  stop();
  for (int& fd : wakePipe_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  SSL_CTX_free(static_cast<SSL_CTX*>(sslContext_));
}

void ScriptedServer::stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    char wake = 1;
    ssize_t ignored = write(wakePipe_[1], &wake, 1);
    (void)ignored;
    thread_.join();
  }
  if (listenFd_ >= 0) {
    close(listenFd_);
    listenFd_ = -1;
  }
}

void ScriptedServer::addConnection(const ConnectionScript& actions) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back(actions);
}

std::vector<std::string> ScriptedServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> result;
  for (const ConnectionRecord& record : records_) result.push_back(record.request);
  return result;
}

std::vector<ConnectionRecord> ScriptedServer::records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

int ScriptedServer::connectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

int ScriptedServer::unscriptedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unscripted_;
}

namespace {

// Waits for `events` on `fd` (or, with fd < 0, just for the time) while
// watching the wake pipe. Returns 1 when ready, 0 when the time ran out,
// -1 when the server is stopping.
int waitFor(int wakeFd, int fd, short events, int millis) {
  pollfd watched[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
  int count = fd >= 0 ? 2 : 1;
  for (;;) {
    int n = poll(watched, count, millis);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (watched[0].revents & POLLIN)) return -1;
    return n > 0 ? 1 : 0;
  }
}

}  // namespace

void ScriptedServer::serve() {
  // Writes to a client that went away raise SIGPIPE in the writing thread;
  // keep it pending here instead of letting it end the test program.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

  std::vector<Connection*> background;
  while (!stopping_) {
    std::vector<pollfd> watched;
    watched.push_back({wakePipe_[0], POLLIN, 0});
    watched.push_back({listenFd_, POLLIN, 0});
    int timeout = -1;
    for (Connection* connection : background) {
      watched.push_back({connection->fd, POLLIN, 0});
      if (connection->lingering) {
        int left = millisUntil(connection->lingerEnd);
        if (timeout < 0 || left < timeout) timeout = left;
      }
    }
    int n = poll(watched.data(), watched.size(), timeout);
    if (n < 0 && errno != EINTR) break;
    if (watched[0].revents & POLLIN) break;

    // Background connections: drop what they send; let go of those whose
    // client closed and of those that lingered long enough.
    std::vector<Connection*> kept;
    for (size_t i = 0; i < background.size(); ++i) {
      Connection* connection = background[i];
      bool gone = false;
      if (watched[i + 2].revents != 0) {
        bool closeNotify = false;
        IoResult result;
        while ((result = readSome(connection->ssl, connection->fd, nullptr, &closeNotify)) ==
               kIoData) {
        }
        if (result == kIoEnd || result == kIoFailed) {
          std::lock_guard<std::mutex> lock(mutex_);
          ConnectionRecord& record = records_[connection->index];
          record.clientClosed = true;
          if (closeNotify) ++record.closeNotifies;
          gone = true;
          if (result == kIoFailed) connection->broken = true;
        }
      }
      if (gone || (connection->lingering && millisUntil(connection->lingerEnd) == 0)) {
        releaseConnection(connection, gone);
      } else {
        kept.push_back(connection);
      }
    }
    background.swap(kept);

    if (watched[1].revents & POLLIN) {
      for (;;) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        size_t index;
        bool scripted;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          ++accepted_;
          index = records_.size();
          scripted = index < script_.size();
          if (scripted) {
            records_.emplace_back();
          } else {
            ++unscripted_;
          }
        }
        if (!scripted) {
          close(fd);
          continue;
        }
        Connection* connection = new Connection;
        connection->fd = fd;
        connection->index = index;
        if (runConnection(connection, index)) background.push_back(connection);
        if (stopping_) break;
      }
    }
  }
  for (Connection* connection : background) releaseConnection(connection, false);

  // Forget any SIGPIPE our writes raised.
  timespec zero = {0, 0};
  while (sigtimedwait(&pipeSignal, nullptr, &zero) == SIGPIPE) {
  }
}

bool ScriptedServer::relay(int fd, int port) {
  int other = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (other < 0 || connect(other, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (other >= 0) close(other);
    return false;
  }
  // Each way until its sender ends it; the other way is then ended too.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int ends[2][2] = {{fd, other}, {other, fd}};
  bool open[2] = {true, true};
  char buffer[16384];
  while (open[0] && open[1] && !stopping_) {
    pollfd watched[3] = {{wakePipe_[0], POLLIN, 0}, {fd, POLLIN, 0}, {other, POLLIN, 0}};
    if (poll(watched, 3, kStallMillis) <= 0 || (watched[0].revents & POLLIN)) break;
    for (int way = 0; way < 2; ++way) {
      if (watched[way + 1].revents == 0) continue;
      ssize_t n = recv(ends[way][0], buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      for (ssize_t at = 0, sent = 0; n > 0 && at < n; at += sent) {
        sent = ::send(ends[way][1], buffer + at, static_cast<size_t>(n - at), MSG_NOSIGNAL);
        if (sent <= 0) n = -1;
      }
      if (n <= 0) open[way] = false;
    }
  }
  close(other);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return !open[0] || !open[1];
}

void ScriptedServer::releaseConnection(Connection* connection, bool clientGone) {
  if (connection->ssl != nullptr) {
    if (!connection->broken && !clientGone && !connection->noCloseNotify) {
      SSL_shutdown(connection->ssl);
    }
    SSL_free(connection->ssl);
    connection->ssl = nullptr;
  }
  if (connection->fd >= 0) close(connection->fd);
  connection->fd = -1;
  delete connection;
}

bool ScriptedServer::runConnection(Connection* connection, size_t index) {
  int fd = connection->fd;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kRequestWaitMillis);
  bool stopped = false;

  // Handshake.
  if (tls_) {
    connection->ssl = SSL_new(static_cast<SSL_CTX*>(sslContext_));
    SSL_set_fd(connection->ssl, fd);
    for (;;) {
      ERR_clear_error();
      int result = SSL_accept(connection->ssl);
      if (result == 1) {
        const char* name = SSL_get_servername(connection->ssl, TLSEXT_NAMETYPE_host_name);
        std::lock_guard<std::mutex> lock(mutex_);
        records_[index].serverName = name != nullptr ? name : "";
        break;
      }
      int reason = SSL_get_error(connection->ssl, result);
      short events = reason == SSL_ERROR_WANT_READ    ? POLLIN
                     : reason == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                      : 0;
      int ready = events != 0 ? waitFor(wakePipe_[0], fd, events, millisUntil(deadline)) : 0;
      if (ready <= 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        records_[index].handshakeOk = false;
        connection->broken = true;
        releaseConnection(connection, false);
        return false;
      }
    }
  }

  ConnectionScript actions;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    actions = script_[index];
  }
  // The request, unless the actions await the client's bytes themselves.
  const bool awaits = !actions.empty() && actions[0].kind == ServerAction::kAwait;
  std::string request;
  bool clientGone = false;
  bool closeNotify = false;
  while (!awaits && completeRequestLength(request) == 0 && request.size() < kMaxRequestBytes) {
    IoResult result = readSome(connection->ssl, fd, &request, &closeNotify);
    if (result == kIoData) continue;
    if (result == kIoEnd || result == kIoFailed) {
      clientGone = true;
      connection->broken = result == kIoFailed;
      break;
    }
    int ready =
        waitFor(wakePipe_[0], fd, result == kIoWantRead ? POLLIN : POLLOUT, millisUntil(deadline));
    if (ready < 0) stopped = true;
    if (ready <= 0) break;
  }
  if (request.size() > kMaxRequestBytes) request.resize(kMaxRequestBytes);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    records_[index].request = request;
    records_[index].clientClosed = clientGone;
    if (closeNotify) ++records_[index].closeNotifies;
  }

  // Answers that depend on the request become plain sends.
  for (ServerAction& action : actions) {
    if (action.kind != ServerAction::kSendRange) continue;
    action.bytes = rangeAnswer(action, request);
    action.kind = ServerAction::kSend;
  }
  for (const ServerAction& action : actions) {
    if (stopped || stopping_) break;
    switch (action.kind) {
      case ServerAction::kSend: {
        size_t piece = action.chunk > 0 ? static_cast<size_t>(action.chunk) : action.bytes.size();
        for (size_t at = 0; at < action.bytes.size() && !connection->broken && !stopped;) {
          if (at > 0 && action.millis > 0 && waitFor(wakePipe_[0], -1, 0, action.millis) < 0) {
            stopped = true;
            break;
          }
          size_t length = std::min(piece, action.bytes.size() - at);
          const char* data = action.bytes.data() + at;
          Clock::time_point stallEnd = Clock::now() + std::chrono::milliseconds(kStallMillis);
          // Write this piece completely, waiting while the client's window is full.
          while (length > 0) {
            short events = 0;
            if (connection->ssl == nullptr) {
              ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
              if (n > 0) {
                data += n;
                length -= static_cast<size_t>(n);
                at += static_cast<size_t>(n);
                stallEnd = Clock::now() + std::chrono::milliseconds(kStallMillis);
                continue;
              }
              if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                events = POLLOUT;
              }
            } else {
              ERR_clear_error();
              int n = SSL_write(connection->ssl, data, static_cast<int>(length));
              if (n > 0) {
                at += length;
                length = 0;
                continue;
              }
              int reason = SSL_get_error(connection->ssl, n);
              if (reason == SSL_ERROR_WANT_WRITE) events = POLLOUT;
              if (reason == SSL_ERROR_WANT_READ) events = POLLIN;
            }
            int ready = events != 0 ? waitFor(wakePipe_[0], fd, events, millisUntil(stallEnd)) : 0;
            if (ready < 0) stopped = true;
            if (ready <= 0) {
              connection->broken = true;  // failed, stalled or stopped mid-send
              break;
            }
          }
        }
        break;
      }
      case ServerAction::kPause:
        if (waitFor(wakePipe_[0], -1, 0, action.millis) < 0) stopped = true;
        break;
      case ServerAction::kClose:
        break;
      case ServerAction::kCloseTcp:
        connection->noCloseNotify = true;
        break;
      case ServerAction::kReset: {
        linger abrupt = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
        connection->broken = true;  // no close-notify before a reset
        releaseConnection(connection, false);
        return false;
      }
      case ServerAction::kHold:
        if (clientGone || connection->broken || stopped || stopping_) {
          releaseConnection(connection, clientGone);
          return false;
        }
        connection->lingering = false;
        return true;  // the serve loop watches it from now on
      case ServerAction::kSendRange:
        break;  // made a send above
      case ServerAction::kAwait: {
        size_t from = request.size();
        Clock::time_point until = Clock::now() + std::chrono::milliseconds(kRequestWaitMillis);
        while (action.count > 0 ? request.size() - from < action.count
                                : completeRequestLength(request.substr(from)) == 0) {
          IoResult result = readSome(connection->ssl, fd, &request, &closeNotify);
          if (result == kIoEnd || result == kIoFailed) connection->broken = true;
          if (result != kIoData && (result != kIoWantRead ||
                                    waitFor(wakePipe_[0], fd, POLLIN, millisUntil(until)) <= 0)) {
            break;
          }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        records_[index].request = request;
        break;
      }
      case ServerAction::kRelay:
        if (!relay(fd, static_cast<int>(action.count))) connection->broken = true;
        break;
    }
    if (action.kind == ServerAction::kClose || action.kind == ServerAction::kCloseTcp ||
        connection->broken) {
      break;
    }
  }

  if (connection->broken || clientGone || stopped || stopping_) {
    releaseConnection(connection, clientGone);
    return false;
  }
  // Graceful close: close-notify, end of our direction, then linger until
  // the client closes its side.
  if (connection->ssl != nullptr && !connection->noCloseNotify) SSL_shutdown(connection->ssl);
  shutdown(fd, SHUT_WR);
  connection->lingering = true;
  connection->lingerEnd = Clock::now() + std::chrono::milliseconds(kLingerMillis);
  return true;
}
