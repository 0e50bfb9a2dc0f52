// The program's network: names looked up, sockets connected, TLS set up.
#include "http/net_transport.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "http/socket_link.h"
#include "http/tls_link.h"

std::unique_ptr<Link> NetTransport::connect(const char* name, int port, int limitSeconds,
                                            ConnectFailure* failure) {
  *failure = ConnectFailure();
  if (name == nullptr) {
    failure->kind = ConnectFailure::kNotResolved;
    failure->error = EAI_NONAME;
    return nullptr;
  }
  // An address written as one is taken as exactly that address (all of the
  // text), never handed to the name look-up, nor to the resolver at all.
  sockaddr_in v4;
  sockaddr_in6 v6;
  memset(&v4, 0, sizeof v4);
  memset(&v6, 0, sizeof v6);
  addrinfo literal;
  memset(&literal, 0, sizeof literal);
  if (inet_pton(AF_INET, name, &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    literal.ai_addr = reinterpret_cast<sockaddr*>(&v4);
    literal.ai_addrlen = sizeof v4;
  } else if (inet_pton(AF_INET6, name, &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    literal.ai_addr = reinterpret_cast<sockaddr*>(&v6);
    literal.ai_addrlen = sizeof v6;
  }
  if (literal.ai_addr != nullptr) {
    literal.ai_family = literal.ai_addr->sa_family;
    literal.ai_socktype = SOCK_STREAM;
    literal.ai_protocol = IPPROTO_TCP;
    return connectRacing(&literal, limitSeconds, failure);
  }
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  char service[8];
  snprintf(service, sizeof service, "%d", port);
  addrinfo* found = nullptr;
  int looked = getaddrinfo(name, service, &hints, &found);
  if (looked != 0 || found == nullptr) {
    if (found != nullptr) freeaddrinfo(found);
    failure->kind = ConnectFailure::kNotResolved;
    failure->error = looked != 0 ? looked : EAI_NONAME;
    return nullptr;
  }
  std::unique_ptr<Link> connected = connectRacing(found, limitSeconds, failure);
  freeaddrinfo(found);
  return connected;
}

TlsStart NetTransport::startTls(std::unique_ptr<Link> link, const TlsPeer& peer, int limitSeconds) {
  std::unique_ptr<SocketLink> socket(dynamic_cast<SocketLink*>(link.get()));
  if (socket == nullptr) {
    TlsStart refused;
    refused.outcome = TlsStart::kFailed;
    return refused;
  }
  link.release();
  TlsStart started = startTlsOver(std::move(socket), peer, limitSeconds);
  if (started.outcome != TlsStart::kDone) started.link.reset();
  return started;
}

bool NetTransport::lookUp(const char* name, std::vector<std::string>* addresses,
                          ConnectFailure* failure) {
  *failure = ConnectFailure();
  addresses->clear();
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  int looked = name != nullptr ? getaddrinfo(name, nullptr, &hints, &found) : EAI_NONAME;
  for (const addrinfo* entry : looked == 0 ? interleaved(found) : std::vector<const addrinfo*>()) {
    char text[INET6_ADDRSTRLEN];
    const void* raw =
        entry->ai_family == AF_INET6
            ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(entry->ai_addr)->sin6_addr)
            : &reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr;
    if (inet_ntop(entry->ai_family, raw, text, sizeof text) != nullptr) addresses->push_back(text);
  }
  if (found != nullptr) freeaddrinfo(found);
  if (addresses->empty()) {
    failure->kind = ConnectFailure::kNotResolved;
    failure->error = looked != 0 ? looked : EAI_NONAME;
    return false;
  }
  return true;
}

Transport& networkTransport() {
  static NetTransport instance;
  return instance;
}
