// Sockets, name resolution, waits and TLS links for the program's sessions.
#include "http/net_transport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/result.h"

namespace {

// Rounds of extra seeding before a handshake goes ahead with whatever the
// generator holds; the library seeds itself from the system, so this loop
// only guards against a source that never reports success.
const int kMaxSeedRounds = 4096;

// Bytes the TLS library takes from the socket at once: several records of up
// to 16 KiB each, so a download needs a quarter of the reads.
const long kTlsReadBuffer = 64 * 1024;

void initTlsLibraryOnce() {
  static const bool done = [] {
    // Nothing reads the library's error texts, so they are not loaded.
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_SSL_STRINGS | OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS,
                     nullptr);
    return true;
  }();
  (void)done;
}

#if OPENSSL_VERSION_NUMBER >= 0x30000000L
using CertificateName = const X509_NAME;
#else
using CertificateName = X509_NAME;
#endif

int bundleMarkIndex() {
  static const int index = X509_STORE_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// Reads the bundle into `store` unless it was read before: true when it
// was read now. A missing or broken bundle leaves no error behind; the
// chain then simply finds no issuer there.
bool readBundleOnce(X509_STORE* store) {
  if (store == nullptr || X509_STORE_get_ex_data(store, bundleMarkIndex()) != nullptr) return false;
  X509_STORE_set_ex_data(store, bundleMarkIndex(), store);
  X509_LOOKUP* file = X509_STORE_add_lookup(store, X509_LOOKUP_file());
  if (file == nullptr) return false;
  ERR_set_mark();
  X509_LOOKUP_load_file(file, nullptr, X509_FILETYPE_DEFAULT);
  ERR_pop_to_mark();
  return true;
}

// The store's two ways of finding certificates by name, for an issuer and
// for all of a subject's: the library's own, and once more after the bundle
// was read, when they found nothing before it.
int issuerFromFolderThenBundle(X509** issuer, X509_STORE_CTX* ctx, X509* subject) {
  int found = X509_STORE_CTX_get1_issuer(issuer, ctx, subject);
  if (found != 0 || !readBundleOnce(X509_STORE_CTX_get0_store(ctx))) return found;
  return X509_STORE_CTX_get1_issuer(issuer, ctx, subject);
}

STACK_OF(X509) * certificatesFromFolderThenBundle(X509_STORE_CTX* ctx, CertificateName* name) {
  STACK_OF(X509)* found = X509_STORE_CTX_get1_certs(ctx, name);
  if (found != nullptr && sk_X509_num(found) > 0) return found;
  if (!readBundleOnce(X509_STORE_CTX_get0_store(ctx))) return found;
  sk_X509_pop_free(found, X509_free);
  return X509_STORE_CTX_get1_certs(ctx, name);
}

// The certificates a chain may end in. A file that SSL_CERT_FILE names is
// read whole at once, and the folder (SSL_CERT_DIR, or the system's) asked
// after it, as the library does by default. Without such a file, the
// folder, whose certificates are named by the hash of their subject, is
// asked first, one certificate at a time, and the system's bundle is read
// only when the folder lacks an issuer. Reading the bundle parses every
// certificate in it (about 140 on a usual system: some 40 ms of CPU, and
// 0.8 MiB that would stay for the whole download) where a server's chain
// needs one.
void trustSystemCertificates(SSL_CTX* ctx) {
  const char* namedFile = getenv(X509_get_default_cert_file_env());
  if (namedFile != nullptr && namedFile[0] != '\0') {
    SSL_CTX_set_default_verify_paths(ctx);
    return;
  }
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  X509_LOOKUP* folder = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir());
  if (folder != nullptr) X509_LOOKUP_add_dir(folder, nullptr, X509_FILETYPE_DEFAULT);
  X509_STORE_set_get_issuer(store, issuerFromFolderThenBundle);
  X509_STORE_set_lookup_certs(store, certificatesFromFolderThenBundle);
  ERR_clear_error();
}

// Waits with poll() until `socket` has one of `events` (or an error or
// hang-up): > 0 when it has, 0 when `limit` ran out, < 0 on error. A null
// limit waits without bound; otherwise the time not used is left in *limit.
// A signal does not end the wait early. Every wait of the transport is one
// of these: for data, for a connect, for a TLS write.
int pollFor(int socket, short events, timeval* limit) {
  pollfd entry;
  entry.fd = socket;
  entry.events = events;
  entry.revents = 0;
  int result;
  if (limit == nullptr) {
    do {
      result = poll(&entry, 1, -1);
    } while (result < 0 && errno == EINTR);
    return result;
  }
  int64_t budget = static_cast<int64_t>(limit->tv_sec) * 1000000 + limit->tv_usec;
  if (budget < 0) budget = 0;
  int64_t start = monotonicMicros();
  int64_t left = budget;
  int error;
  do {
    // Rounded up, so that a wait never ends before its limit.
    int64_t millis = (left + 999) / 1000;
    if (millis > INT32_MAX) millis = INT32_MAX;
    result = poll(&entry, 1, static_cast<int>(millis));
    error = errno;
    left = budget - (monotonicMicros() - start);
    if (left < 0) left = 0;
  } while (result < 0 && error == EINTR);
  if (result == 0) left = 0;
  limit->tv_sec = static_cast<time_t>(left / 1000000);
  limit->tv_usec = static_cast<suseconds_t>(left % 1000000);
  errno = error;
  return result;
}

// After a TLS write that returned `result` (<= 0) on the non-blocking
// socket: waits until the socket can take the write again, as the library
// asks, for at most the send time-out that limitBlocking set on the socket
// (none: no limit). False when the write failed or the wait ran out.
bool waitForTls(TlsLink* link, int socket, int result) {
  int error = SSL_get_error(link->ssl, result);
  short events;
  if (error == SSL_ERROR_WANT_WRITE) {
    events = POLLOUT;
  } else if (error == SSL_ERROR_WANT_READ) {
    events = POLLIN;
  } else {
    return false;
  }
  timeval limit = {0, 0};
  socklen_t size = sizeof limit;
  bool limited = getsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, &size) == 0 &&
                 (limit.tv_sec > 0 || limit.tv_usec > 0);
  return pollFor(socket, events, limited ? &limit : nullptr) > 0;
}

// The first byte of every TLS record is its content type, from 20 (the
// cipher change) through alert (21) and handshake (22) to application
// data (23).
const unsigned char kFirstTlsContentType = 20;
const unsigned char kLastTlsContentType = 23;

// What the library showed of the peer's first record during a handshake.
struct FirstRecord {
  bool seen = false;
  bool isTls = true;
};

// The library's message callback: notes whether the first record header the
// peer sent begins as TLS records do (an HTTP answer on a plain port does
// not). The library calls it for every header it reads, before it judges it.
void noteFirstRecord(int written, int, int contentType, const void* bytes, size_t length, SSL*,
                     void* arg) {
  FirstRecord* first = static_cast<FirstRecord*>(arg);
  if (written != 0 || contentType != SSL3_RT_HEADER || length == 0 || first->seen) return;
  const unsigned char type = static_cast<const unsigned char*>(bytes)[0];
  first->seen = true;
  first->isTls = type >= kFirstTlsContentType && type <= kLastTlsContentType;
}

// Drives the client handshake of `link` on the non-blocking `socket` to its
// end, waiting for the socket as the library asks, within `limit` (null: no
// limit). Fills in started->outcome and, for a certificate that failed,
// started->untrusted.
void finishHandshake(TlsLink* link, int socket, const TlsPeer& peer, timeval* limit,
                     TlsStart* started) {
  FirstRecord first;
  SSL_set_msg_callback(link->ssl, noteFirstRecord);
  SSL_set_msg_callback_arg(link->ssl, &first);
  started->outcome = TlsStart::kFailed;
  for (;;) {
    ERR_clear_error();
    int result = SSL_connect(link->ssl);
    if (result == 1) {
      started->outcome = TlsStart::kDone;
      break;
    }
    int error = SSL_get_error(link->ssl, result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      long verified = peer.verify ? SSL_get_verify_result(link->ssl) : X509_V_OK;
      if (!first.isTls) {
        started->outcome = TlsStart::kNotTls;
      } else if (verified != X509_V_OK) {
        started->outcome = TlsStart::kUntrusted;
        started->untrusted = X509_verify_cert_error_string(verified);
      }
      break;
    }
    int ready = pollFor(socket, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, limit);
    if (ready == 0) started->outcome = TlsStart::kTimedOut;
    if (ready <= 0) break;
  }
  // `first` goes with this call.
  SSL_set_msg_callback(link->ssl, nullptr);
  SSL_set_msg_callback_arg(link->ssl, nullptr);
}

// A stream socket of `family` whose descriptor is none of 0, 1 and 2, so
// that nothing meant for a standard stream ever reaches the network; -1
// with errno set when the system gives none.
int openSocket(int family) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && fd <= STDERR_FILENO) {
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int error = errno;
    ::close(fd);
    errno = error;
    fd = moved;
  }
  return fd;
}

// Connects `fd` to `address`, giving up after `limitSeconds` when that is
// above 0 (the socket does not block meanwhile and blocks again after).
// Returns 0 or the errno of the failure; ETIMEDOUT when the limit ran out.
int connectWithin(int fd, const sockaddr* address, socklen_t length, int limitSeconds) {
  int flags = fcntl(fd, F_GETFL);
  bool bounded = limitSeconds > 0 && flags >= 0;
  if (bounded) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int error = ::connect(fd, address, length) == 0 ? 0 : errno;
  // In progress (bounded), or interrupted by a signal and going on without
  // us: its end shows as the socket becoming writable.
  if (error == EINPROGRESS || error == EINTR) {
    timeval limit = {static_cast<time_t>(limitSeconds), 0};
    int ready = pollFor(fd, POLLOUT, bounded ? &limit : nullptr);
    if (ready == 0) {
      error = ETIMEDOUT;
    } else if (ready < 0) {
      error = errno;
    } else {
      int pendingError = 0;
      socklen_t size = sizeof pendingError;
      error =
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &pendingError, &size) == 0 ? pendingError : errno;
    }
  }
  if (bounded) fcntl(fd, F_SETFL, flags);
  return error;
}

// How a TLS read that gave `got` (0 or less) with the library's `error`
// ended: 0 for the peer's closing alert, kReadEndWithoutTlsClose for a TCP
// close without it, -1 for a failure (a reset, a broken record).
int tlsEnd(int error, int got) {
  if (error == SSL_ERROR_ZERO_RETURN) return 0;
#ifdef SSL_R_UNEXPECTED_EOF_WHILE_READING
  if (error == SSL_ERROR_SSL &&
      ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
    return kReadEndWithoutTlsClose;
  }
#endif
  // Libraries before 3.0 report that close as a system error without one.
  if (error == SSL_ERROR_SYSCALL && got == 0 && ERR_peek_error() == 0) {
    return kReadEndWithoutTlsClose;
  }
  return -1;
}

}  // namespace

int NetTransport::connectTo(const char* name, int port, int limitSeconds, ConnectFailure* failure) {
  *failure = ConnectFailure();
  if (name == nullptr) {
    failure->kind = ConnectFailure::kNotResolved;
    failure->error = EAI_NONAME;
    return -1;
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
    return connectInOrder(&literal, limitSeconds, failure);
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
    return -1;
  }
  int connected = connectInOrder(found, limitSeconds, failure);
  freeaddrinfo(found);
  return connected;
}

int connectInOrder(const addrinfo* addresses, int limitSeconds, ConnectFailure* failure) {
  *failure = ConnectFailure();
  bool anySocket = false;
  for (const addrinfo* entry = addresses; entry != nullptr; entry = entry->ai_next) {
    ++failure->attempts;
    int fd = openSocket(entry->ai_family);
    if (fd < 0) {
      // This family may be missing on this machine; the next one may do.
      if (!anySocket) {
        failure->kind = ConnectFailure::kNoSocket;
        failure->error = errno;
      }
      continue;
    }
    anySocket = true;
    int error = connectWithin(fd, entry->ai_addr, entry->ai_addrlen, limitSeconds);
    if (error == 0) {
      int attempts = failure->attempts;
      *failure = ConnectFailure();
      failure->attempts = attempts;
      return fd;
    }
    ::close(fd);
    failure->error = error;
    failure->seconds = 0;
    if (error == ECONNREFUSED) {
      failure->kind = ConnectFailure::kRefused;
    } else if (error == ETIMEDOUT) {
      failure->kind = ConnectFailure::kTimedOut;
      failure->seconds = limitSeconds > 0 ? limitSeconds : 0;
    } else {
      failure->kind = ConnectFailure::kFailed;
    }
  }
  if (failure->attempts == 0) {
    failure->kind = ConnectFailure::kNotResolved;
    failure->error = EAI_NONAME;
  }
  return -1;
}

TlsStart NetTransport::startTls(int socket, const TlsPeer& peer, int limitSeconds) {
  initTlsLibraryOnce();
  TlsStart started;
  started.outcome = TlsStart::kFailed;
  started.link = TlsLinkPtr(new TlsLink{nullptr, nullptr, false, 0}, TlsLinkDeleter{this});
  TlsLink* link = started.link.get();
  link->ctx = SSL_CTX_new(TLS_client_method());
  if (link->ctx == nullptr) return started;
  SSL_CTX_set_min_proto_version(link->ctx, TLS1_2_VERSION);
  SSL_CTX_set_read_ahead(link->ctx, 1);
  SSL_CTX_set_default_read_buffer_len(link->ctx, kTlsReadBuffer);
  if (peer.verify) {
    trustSystemCertificates(link->ctx);
    SSL_CTX_set_verify(link->ctx, SSL_VERIFY_PEER, nullptr);
  }
  link->ssl = SSL_new(link->ctx);
  if (link->ssl == nullptr) return started;
  SSL_set_fd(link->ssl, socket);
  const char* name = peer.name != nullptr ? peer.name : "";
  // Name-based hosting needs the name; an address is never sent as one.
  if (!peer.ipLiteral && name[0] != '\0') SSL_set_tlsext_host_name(link->ssl, name);
  if (peer.verify) {
    if (peer.ipLiteral) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(link->ssl), name);
    } else {
      SSL_set_hostflags(link->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      SSL_set1_host(link->ssl, name);
    }
  }
  RAND_poll();
  for (int round = 0; round < kMaxSeedRounds && RAND_status() != 1; ++round) {
    uint16_t noise = static_cast<uint16_t>(rand());
    RAND_seed(&noise, sizeof noise);
  }
  // The TLS layer never waits on the socket itself: the handshake below
  // waits within its limit, a read that finds only part of a record returns
  // at once and the session's timed wait takes over, and a write waits in
  // waitForTls.
  int socketFlags = fcntl(socket, F_GETFL);
  if (socketFlags >= 0) fcntl(socket, F_SETFL, socketFlags | O_NONBLOCK);
  timeval limit = {static_cast<time_t>(limitSeconds), 0};
  finishHandshake(link, socket, peer, limitSeconds > 0 ? &limit : nullptr, &started);
  return started;
}

int NetTransport::send(TlsLink* link, int socket, const char* data, int length, int flags) {
  if (link != nullptr) {
    if (link->ssl == nullptr) return -1;
    for (;;) {
      int sent = SSL_write(link->ssl, data, length);
      if (sent > 0) return sent;
      if (!waitForTls(link, socket, sent)) return sent < 0 ? sent : -1;
    }
  }
  ssize_t sent;
  do {
    sent = ::send(socket, data, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return static_cast<int>(sent);
}

int NetTransport::recv(TlsLink* link, int socket, char* buffer, int size, int flags) {
  if (link != nullptr) {
    if (link->ssl == nullptr) return -1;
    // The socket does not block: when it holds only part of a record, or
    // only handshake messages such as session tickets, there is nothing to
    // hand out yet, and the caller waits for more within its time limit.
    if (link->ended) return link->endResult;
    ERR_clear_error();
    int got = SSL_read(link->ssl, buffer, size);
    if (got > 0) return got;
    int error = SSL_get_error(link->ssl, got);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return kReadWouldBlock;
    link->ended = true;
    link->endResult = tlsEnd(error, got);
    return link->endResult;
  }
  ssize_t got;
  do {
    got = ::recv(socket, buffer, static_cast<size_t>(size), flags);
  } while (got < 0 && errno == EINTR);
  return static_cast<int>(got);
}

int NetTransport::spliceInto(TlsLink* link, int socket, int pipeFd, int size) {
  if (link != nullptr) return kSpliceRefused;
  ssize_t moved;
  do {
    // The pipe's side never blocks; a blocking socket still waits for its
    // first byte, which the caller's wait has seen arrive.
    moved = splice(socket, nullptr, pipeFd, nullptr, static_cast<size_t>(size),
                   SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  } while (moved < 0 && errno == EINTR);
  if (moved >= 0) return static_cast<int>(moved);
  if (errno == EAGAIN) return kReadWouldBlock;
  // An old system, or a socket or descriptor that cannot be spliced.
  if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return kSpliceRefused;
  return -1;
}

int NetTransport::pending(TlsLink* link) {
  if (link == nullptr || link->ssl == nullptr) return 0;
  // An end already read (a closing alert that came with the last records,
  // say) is reported by the next read without the socket, which may never
  // become readable again.
  if (link->ended) return 1;
  // With read-ahead, whole records may wait in the library unprocessed:
  // SSL_pending does not count them, SSL_has_pending does.
  int ready = SSL_pending(link->ssl);
  if (ready > 0) return ready;
  return SSL_has_pending(link->ssl);
}

int NetTransport::waitReadable(int socket, timeval* limit) {
  if (socket < 0) return -1;
  return pollFor(socket, POLLIN, limit);
}

void NetTransport::setWakeThreshold(int socket, int bytes) {
  if (socket <= 0 || bytes < 1) return;
  setsockopt(socket, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
}

void NetTransport::limitBlocking(int socket, int seconds) {
  if (socket <= 0 || seconds <= 0) return;
  timeval limit;
  limit.tv_sec = seconds;
  limit.tv_usec = 0;
  setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void NetTransport::close(TlsLink* link, int socket) {
  if (link != nullptr && link->ssl != nullptr && socket != 0) {
    // One call: only the closing alert is sent, the peer's is not awaited.
    SSL_shutdown(link->ssl);
  }
  if (socket > 0) ::close(socket);
}

void NetTransport::freeLink(TlsLink* link) {
  if (link == nullptr) return;
  SSL_free(link->ssl);
  SSL_CTX_free(link->ctx);
  // Nothing reads the reasons of a failed handshake or shutdown.
  ERR_clear_error();
  delete link;
}

Transport& networkTransport() {
  static NetTransport instance;
  return instance;
}
