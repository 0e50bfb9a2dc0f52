// The scripted transport: connections play their steps as the client waits
// and reads, and keep a record of everything the client did.
#include "support/fake_transport.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>

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

// A link that plays one scripted connection.
class FakeLink : public Link {
 public:
  explicit FakeLink(FakeConnection& c) : c_(c) {}
  ~FakeLink() override {
    ++c_.closes;
    c_.closedAsTls = tls_;
  }

  FakeConnection& connection() const { return c_; }
  void startTls() { tls_ = true; }

  int send(const char* data, int length) override {
    int call = c_.sendCalls++;
    if (call == c_.failSendAt) return c_.sendFailResult;
    int n = length;
    if (c_.maxSend > 0 && n > c_.maxSend) n = c_.maxSend;
    if (n > 0) c_.sent.append(data, static_cast<size_t>(n));
    return n;
  }

  int recv(char* buffer, int size) override {
    ++c_.recvCalls;
    FakeStep* s = currentStep(c_);
    if (s == nullptr) return 0;
    switch (s->kind) {
      case FakeStep::kDeliver: {
        size_t n = s->bytes.size() - c_.offset;
        if (size >= 0 && n > static_cast<size_t>(size)) n = static_cast<size_t>(size);
        if (s->maxRead > 0 && n > static_cast<size_t>(s->maxRead))
          n = static_cast<size_t>(s->maxRead);
        memcpy(buffer, s->bytes.data() + c_.offset, n);
        c_.offset += n;
        return static_cast<int>(n);
      }
      case FakeStep::kStall:
        // A real read would block here; the fake reports a failed read.
        return -1;
      case FakeStep::kClose:
        return 0;
      case FakeStep::kBareClose:
        return tls_ ? kReadEndWithoutTlsClose : 0;
      case FakeStep::kError:
        ++c_.step;
        c_.offset = 0;
        return -1;
      case FakeStep::kPartRecord:
        if (++c_.readsWithoutWait > FakeConnection::kMaxReadsWithoutWait) return -1;
        return kReadWouldBlock;
    }
    return -1;
  }

  int pending() override {
    if (!tls_ || c_.tlsPending <= 0) return 0;
    FakeStep* s = currentStep(c_);
    if (s == nullptr) return 0;
    return s->kind == FakeStep::kDeliver || s->kind == FakeStep::kPartRecord ? c_.tlsPending : 0;
  }

  void setWakeThreshold(int bytes) override { c_.wakeThreshold = bytes; }

  int waitReadable(timeval* limit) override {
    ++c_.waits;
    c_.readsWithoutWait = 0;
    if (c_.wakeThreshold > 1) {
      ++c_.batchedWaits;
      if (limit == nullptr || limit->tv_sec >= 1) ++c_.batchedLongWaits;
    }
    c_.lastWaitUnbounded = limit == nullptr;
    if (limit != nullptr) c_.lastWaitLimit = *limit;
    FakeStep* s = currentStep(c_);
    if (s != nullptr && s->kind == FakeStep::kPartRecord) {
      // The rest of the record arrives while the client waits.
      ++c_.step;
      c_.offset = 0;
      s = currentStep(c_);
    }
    if (s != nullptr && s->kind == FakeStep::kStall) {
      // A short wait (a download filling its piece) meets the same silence
      // and leaves it to the wait with the time-out.
      if (limit == nullptr || limit->tv_sec >= 1) {
        ++c_.step;
        c_.offset = 0;
      }
      if (limit != nullptr) *limit = timeval{0, 0};
      return 0;
    }
    if (limit != nullptr && c_.waitCostSeconds > 0) {
      if (limit->tv_sec < c_.waitCostSeconds) {
        *limit = timeval{0, 0};
        return 0;
      }
      limit->tv_sec -= c_.waitCostSeconds;
    }
    return 1;
  }

  bool isTls() const override { return tls_; }

 private:
  FakeConnection& c_;
  bool tls_ = false;
};

}  // namespace

FakeConnection& FakeTransport::addConnection() {
  connections.emplace_back();
  return connections.back();
}

FakeConnection* FakeTransport::connectionOf(const Link* link) {
  auto* fake = dynamic_cast<const FakeLink*>(link);
  return fake != nullptr ? &fake->connection() : nullptr;
}

FakeConnection& FakeTransport::nextConnection() {
  if (opened >= connections.size()) connections.emplace_back();
  FakeConnection& c = connections[opened];
  ++opened;
  return c;
}

void FakeTransport::addName(const std::string& name, const std::vector<FakeAddress>& addresses) {
  names_.emplace_back(name, addresses);
}

bool FakeTransport::lookUp(const char* name, std::vector<std::string>* addresses,
                           ConnectFailure* failure) {
  *failure = ConnectFailure();
  *addresses = {name != nullptr ? name : ""};
  return true;
}

std::unique_ptr<Link> FakeTransport::connect(const char* name, int port, int limitSeconds,
                                             ConnectFailure* failure) {
  *failure = ConnectFailure();
  std::string asked = name != nullptr ? name : "";
  if (failOpenSocket) {
    failure->kind = ConnectFailure::kNoSocket;
    failure->error = EMFILE;
    return nullptr;
  }
  std::vector<FakeAddress> addresses(1);
  for (const auto& entry : names_) {
    if (entry.first == asked) addresses = entry.second;
  }
  if (addresses.empty()) {
    failure->kind = ConnectFailure::kNotResolved;
    failure->error = EAI_NONAME;
    return nullptr;
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
      return nullptr;
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
    return std::make_unique<FakeLink>(c);
  }
  return nullptr;
}

TlsStart FakeTransport::startTls(std::unique_ptr<Link> link, const TlsPeer& peer,
                                 int limitSeconds) {
  std::string name = peer.name != nullptr ? peer.name : "";
  TlsStart started;
  started.outcome = TlsStart::kFailed;
  auto* fake = dynamic_cast<FakeLink*>(link.get());
  if (fake == nullptr) return started;
  FakeConnection& c = fake->connection();
  c.tlsStarted = true;
  ++c.tlsStarts;
  c.serverNameGiven = !peer.ipLiteral;
  c.serverName = name;
  c.tlsVerified = peer.verify;
  c.tlsLimitSeconds = limitSeconds;
  started.outcome = c.tlsOutcome;
  for (const std::string& untrusted : untrustedNames) {
    if (peer.verify && untrusted == name) {
      started.outcome = TlsStart::kUntrusted;
      started.untrusted = kUntrustedReason;
    }
  }
  fake->startTls();
  if (started.outcome == TlsStart::kDone) started.link = std::move(link);
  return started;
}
