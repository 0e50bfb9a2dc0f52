// The scripted transport: connections play their steps as the client waits
// and reads, and keep a record of everything the client did.
#include "support/fake_transport.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>

#include "http/net_transport.h"

FakeConnection& FakeConnection::deliver(const std::string& bytes, int maxRead) {
  steps.push_back(FakeStep{FakeStep::kDeliver, bytes, maxRead});
  return *this;
}

FakeConnection& FakeConnection::stall() {
  steps.push_back(FakeStep{FakeStep::kStall, std::string(), 0});
  return *this;
}

FakeConnection& FakeConnection::close() {
  steps.push_back(FakeStep{FakeStep::kClose, std::string(), 0});
  return *this;
}

FakeConnection& FakeConnection::bareClose() {
  steps.push_back(FakeStep{FakeStep::kBareClose, std::string(), 0});
  return *this;
}

FakeConnection& FakeConnection::error() {
  steps.push_back(FakeStep{FakeStep::kError, std::string(), 0});
  return *this;
}

FakeConnection& FakeConnection::partRecord() {
  steps.push_back(FakeStep{FakeStep::kPartRecord, std::string(), 0});
  return *this;
}

namespace {

// The step the connection is at, after skipping deliveries already read;
// null when the script has run out.
FakeStep* currentStep(FakeConnection& c) {
  while (c.step < c.steps.size()) {
    FakeStep& s = c.steps[c.step];
    if (s.kind != FakeStep::kDeliver || c.offset < s.bytes.size()) return &s;
    ++c.step;
    c.offset = 0;
  }
  return nullptr;
}

}  // namespace

FakeTransport::~FakeTransport() {
  for (LinkRecord& record : links_) {
    if (!record.freed) delete record.link;
  }
}

FakeConnection& FakeTransport::addConnection() {
  connections.emplace_back();
  return connections.back();
}

FakeConnection* FakeTransport::byDescriptor(int fd) {
  if (fd < kFirstDescriptor) return nullptr;
  size_t index = static_cast<size_t>(fd - kFirstDescriptor);
  return index < opened ? &connections[index] : nullptr;
}

FakeConnection* FakeTransport::byLink(TlsLink* link, int fd) {
  if (fd != 0) return byDescriptor(fd);
  for (LinkRecord& record : links_) {
    if (record.link == link && !record.freed) return byDescriptor(record.fd);
  }
  return nullptr;
}

FakeConnection& FakeTransport::nextConnection() {
  if (opened >= connections.size()) connections.emplace_back();
  FakeConnection& c = connections[opened];
  c.fd = kFirstDescriptor + static_cast<int>(opened);
  ++opened;
  return c;
}

void FakeTransport::addName(const std::string& name, const std::vector<FakeAddress>& addresses) {
  names_.emplace_back(name, addresses);
}

int FakeTransport::connectTo(const char* name, int port, int limitSeconds,
                             ConnectFailure* failure) {
  *failure = ConnectFailure();
  std::string asked = name != nullptr ? name : "";
  if (failOpenSocket) {
    failure->kind = ConnectFailure::kNoSocket;
    failure->error = EMFILE;
    return -1;
  }
  std::vector<FakeAddress> addresses(1);
  for (const auto& entry : names_) {
    if (entry.first == asked) addresses = entry.second;
  }
  if (addresses.empty()) {
    failure->kind = ConnectFailure::kNotResolved;
    failure->error = EAI_NONAME;
    return -1;
  }
  for (const FakeAddress& address : addresses) {
    attempts.push_back(FakeAttempt{asked, address.address, port, limitSeconds});
    ++failure->attempts;
    switch (address.behaviour) {
      case FakeAddress::kRefuses:
        failure->kind = ConnectFailure::kRefused;
        failure->error = ECONNREFUSED;
        continue;
      case FakeAddress::kSilent:
        failure->kind = ConnectFailure::kTimedOut;
        failure->error = ETIMEDOUT;
        failure->seconds = limitSeconds > 0 ? limitSeconds : 0;
        continue;
      case FakeAddress::kUnreachable:
        failure->kind = ConnectFailure::kFailed;
        failure->error = ENETUNREACH;
        continue;
      case FakeAddress::kAnswers:
        break;
    }
    FakeConnection& c = nextConnection();
    c.target = asked;
    c.address = address.address;
    c.port = port;
    if (c.connectResult == 203) {
      failure->kind = ConnectFailure::kNotResolved;
      failure->error = EAI_NONAME;
      return -1;
    }
    if (c.connectResult != 0) {
      failure->kind = ConnectFailure::kRefused;
      failure->error = ECONNREFUSED;
      continue;
    }
    c.connected = true;
    int attempts = failure->attempts;
    *failure = ConnectFailure();
    failure->attempts = attempts;
    return c.fd;
  }
  return -1;
}

TlsStart FakeTransport::startTls(int socket, const TlsPeer& peer, int limitSeconds) {
  std::string name = peer.name != nullptr ? peer.name : "";
  TlsStart started;
  FakeConnection* c = byDescriptor(socket);
  if (c != nullptr) {
    c->tlsStarted = true;
    ++c->tlsStarts;
    c->serverNameGiven = !peer.ipLiteral;
    c->serverName = name;
    c->tlsVerified = peer.verify;
    c->tlsLimitSeconds = limitSeconds;
    started.outcome = c->tlsOutcome;
  }
  started.link = TlsLinkPtr(new TlsLink{nullptr, nullptr, false, 0}, TlsLinkDeleter{this});
  links_.push_back(LinkRecord{started.link.get(), socket, false});
  for (const std::string& untrusted : untrustedNames) {
    if (peer.verify && untrusted == name) {
      started.outcome = TlsStart::kUntrusted;
      started.untrusted = kUntrustedReason;
    }
  }
  return started;
}

int FakeTransport::send(TlsLink* link, int socket, const char* data, int length, int flags) {
  (void)flags;
  FakeConnection* c = byLink(link, socket);
  if (c == nullptr || c->closes > 0) return -1;
  int call = c->sendCalls++;
  if (call == c->failSendAt) return c->sendFailResult;
  int n = length;
  if (c->maxSend > 0 && n > c->maxSend) n = c->maxSend;
  if (n > 0) c->sent.append(data, static_cast<size_t>(n));
  return n;
}

int FakeTransport::recv(TlsLink* link, int socket, char* buffer, int size, int flags) {
  (void)flags;
  FakeConnection* c = byLink(link, socket);
  if (c == nullptr || c->closes > 0) return -1;
  ++c->recvCalls;
  FakeStep* s = currentStep(*c);
  if (s == nullptr) return 0;
  switch (s->kind) {
    case FakeStep::kDeliver: {
      size_t n = s->bytes.size() - c->offset;
      if (size >= 0 && n > static_cast<size_t>(size)) n = static_cast<size_t>(size);
      if (s->maxRead > 0 && n > static_cast<size_t>(s->maxRead))
        n = static_cast<size_t>(s->maxRead);
      memcpy(buffer, s->bytes.data() + c->offset, n);
      c->offset += n;
      return static_cast<int>(n);
    }
    case FakeStep::kStall:
      // A real read would block here; the fake reports a failed read.
      return -1;
    case FakeStep::kClose:
      return 0;
    case FakeStep::kBareClose:
      return link != nullptr ? kReadEndWithoutTlsClose : 0;
    case FakeStep::kError:
      ++c->step;
      c->offset = 0;
      return -1;
    case FakeStep::kPartRecord:
      if (++c->readsWithoutWait > FakeConnection::kMaxReadsWithoutWait) return -1;
      return kReadWouldBlock;
  }
  return -1;
}

int FakeTransport::pending(TlsLink* link) {
  if (link == nullptr) return 0;
  FakeConnection* c = byLink(link, 0);
  if (c == nullptr || c->tlsPending <= 0) return 0;
  FakeStep* s = currentStep(*c);
  if (s == nullptr) return 0;
  return s->kind == FakeStep::kDeliver || s->kind == FakeStep::kPartRecord ? c->tlsPending : 0;
}

void FakeTransport::setWakeThreshold(int socket, int bytes) {
  FakeConnection* c = byDescriptor(socket);
  if (c != nullptr) c->wakeThreshold = bytes;
}

int FakeTransport::waitReadable(int socket, timeval* limit) {
  FakeConnection* c = byDescriptor(socket);
  if (c == nullptr) return -1;
  ++c->waits;
  c->readsWithoutWait = 0;
  if (c->wakeThreshold > 1) {
    ++c->batchedWaits;
    if (limit == nullptr || limit->tv_sec >= 1) ++c->batchedLongWaits;
  }
  c->lastWaitUnbounded = limit == nullptr;
  if (limit != nullptr) c->lastWaitLimit = *limit;
  FakeStep* s = currentStep(*c);
  if (s != nullptr && s->kind == FakeStep::kPartRecord) {
    // The rest of the record arrives while the client waits.
    ++c->step;
    c->offset = 0;
    s = currentStep(*c);
  }
  if (s != nullptr && s->kind == FakeStep::kStall) {
    // A short wait (a download filling its piece) meets the same silence
    // and leaves it to the wait with the time-out.
    if (limit == nullptr || limit->tv_sec >= 1) {
      ++c->step;
      c->offset = 0;
    }
    if (limit != nullptr) *limit = timeval{0, 0};
    return 0;
  }
  if (limit != nullptr && c->waitCostSeconds > 0) {
    if (limit->tv_sec < c->waitCostSeconds) {
      *limit = timeval{0, 0};
      return 0;
    }
    limit->tv_sec -= c->waitCostSeconds;
  }
  return 1;
}

void FakeTransport::close(TlsLink* link, int socket) {
  FakeConnection* c = byLink(link, socket);
  if (c == nullptr || c->closes > 0) ++strayCloses;
  if (c != nullptr) {
    ++c->closes;
    c->closedWithLink = link != nullptr;
  }
  if (link == nullptr) return;
  for (const LinkRecord& record : links_) {
    if (record.link == link && !record.freed) return;
  }
  ++strayCloses;
}

void FakeTransport::freeLink(TlsLink* link) {
  for (LinkRecord& record : links_) {
    if (record.link == link && !record.freed) {
      delete record.link;
      record.freed = true;
      return;
    }
  }
  ++strayCloses;
}
