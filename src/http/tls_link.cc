// TLS client links: the library's set-up, the trusted certificates, the
// handshake within its limit, and reads and writes on a socket that does
// not block.
#include "http/tls_link.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>
#include <cstdlib>
#include <utility>

#include "base/clock.h"

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

// Drives the client handshake of `ssl` on the non-blocking socket `fd` to
// its end, waiting for the socket as the library asks, within `limit`
// (null: no limit). Fills in started->outcome and, for a certificate that
// failed, started->untrusted.
void finishHandshake(SSL* ssl, int fd, const TlsPeer& peer, timeval* limit, TlsStart* started) {
  FirstRecord first;
  SSL_set_msg_callback(ssl, noteFirstRecord);
  SSL_set_msg_callback_arg(ssl, &first);
  started->outcome = TlsStart::kFailed;
  for (;;) {
    ERR_clear_error();
    int result = SSL_connect(ssl);
    if (result == 1) {
      started->outcome = TlsStart::kDone;
      break;
    }
    int error = SSL_get_error(ssl, result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      long verified = peer.verify ? SSL_get_verify_result(ssl) : X509_V_OK;
      if (!first.isTls) {
        started->outcome = TlsStart::kNotTls;
      } else if (verified != X509_V_OK) {
        started->outcome = TlsStart::kUntrusted;
        started->untrusted = X509_verify_cert_error_string(verified);
      }
      break;
    }
    int ready = pollFor(fd, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, limit);
    if (ready == 0) started->outcome = TlsStart::kTimedOut;
    if (ready <= 0) break;
  }
  // `first` goes with this call.
  SSL_set_msg_callback(ssl, nullptr);
  SSL_set_msg_callback_arg(ssl, nullptr);
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

TlsLink::TlsLink(std::unique_ptr<SocketLink> socket) : socket_(std::move(socket)) {}

TlsLink::~TlsLink() {
  // One call: only the closing alert is sent, the peer's is not awaited.
  if (ssl_ != nullptr) SSL_shutdown(ssl_);
  SSL_free(ssl_);
  SSL_CTX_free(ctx_);
  // Nothing reads the reasons of a failed handshake or shutdown.
  ERR_clear_error();
}

TlsStart startTlsOver(std::unique_ptr<SocketLink> socket, const TlsPeer& peer, int limitSeconds) {
  initTlsLibraryOnce();
  TlsStart started;
  started.outcome = TlsStart::kFailed;
  if (socket == nullptr) return started;
  const int fd = socket->descriptor();
  auto link = std::make_unique<TlsLink>(std::move(socket));
  link->ctx_ = SSL_CTX_new(TLS_client_method());
  if (link->ctx_ == nullptr) return started;
  SSL_CTX_set_min_proto_version(link->ctx_, TLS1_2_VERSION);
  SSL_CTX_set_read_ahead(link->ctx_, 1);
  SSL_CTX_set_default_read_buffer_len(link->ctx_, kTlsReadBuffer);
  if (peer.verify) {
    trustSystemCertificates(link->ctx_);
    SSL_CTX_set_verify(link->ctx_, SSL_VERIFY_PEER, nullptr);
  }
  link->ssl_ = SSL_new(link->ctx_);
  if (link->ssl_ == nullptr) return started;
  SSL* ssl = link->ssl_;
  SSL_set_fd(ssl, fd);
  const char* name = peer.name != nullptr ? peer.name : "";
  // Name-based hosting needs the name; an address is never sent as one.
  if (!peer.ipLiteral && name[0] != '\0') SSL_set_tlsext_host_name(ssl, name);
  if (peer.verify) {
    if (peer.ipLiteral) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name);
    } else {
      SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      SSL_set1_host(ssl, name);
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
  // waitToWrite.
  int socketFlags = fcntl(fd, F_GETFL);
  if (socketFlags >= 0) fcntl(fd, F_SETFL, socketFlags | O_NONBLOCK);
  timeval limit = limitOf(limitSeconds);
  finishHandshake(ssl, fd, peer, limitSeconds > 0 ? &limit : nullptr, &started);
  started.link = std::move(link);
  return started;
}

bool TlsLink::waitToWrite(int result) {
  int error = SSL_get_error(ssl_, result);
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
  bool limited = getsockopt(socket_->descriptor(), SOL_SOCKET, SO_SNDTIMEO, &limit, &size) == 0 &&
                 (limit.tv_sec > 0 || limit.tv_usec > 0);
  return pollFor(socket_->descriptor(), events, limited ? &limit : nullptr) > 0;
}

int TlsLink::send(const char* data, int length) {
  for (;;) {
    int sent = SSL_write(ssl_, data, length);
    if (sent > 0) return sent;
    if (!waitToWrite(sent)) return sent < 0 ? sent : -1;
  }
}

int TlsLink::recv(char* buffer, int size) {
  // The socket does not block: when it holds only part of a record, or
  // only handshake messages such as session tickets, there is nothing to
  // hand out yet, and the caller waits for more within its time limit.
  if (ended_) return endResult_;
  ERR_clear_error();
  int got = SSL_read(ssl_, buffer, size);
  if (got > 0) return got;
  int error = SSL_get_error(ssl_, got);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return kReadWouldBlock;
  ended_ = true;
  endResult_ = tlsEnd(error, got);
  return endResult_;
}

int TlsLink::waitReadable(timeval* limit) {
  return socket_->waitReadable(limit);
}

int TlsLink::pending() {
  // An end already read (a closing alert that came with the last records,
  // say) is reported by the next read without the socket, which may never
  // become readable again.
  if (ended_) return 1;
  // With read-ahead, whole records may wait in the library unprocessed:
  // SSL_pending does not count them, SSL_has_pending does.
  int ready = SSL_pending(ssl_);
  if (ready > 0) return ready;
  return SSL_has_pending(ssl_);
}
