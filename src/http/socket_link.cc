// Stream sockets: the link over one, its waits, and the connect that races
// the addresses of a name.
#include "http/socket_link.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "base/clock.h"
#include "base/interrupt.h"

namespace {

// A stream socket of `family` that does not block, whose descriptor is
// none of 0, 1 and 2, so that nothing meant for a standard stream ever
// reaches the network; -1 with errno set when the system gives none.
int openSocket(int family) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd >= 0 && fd <= STDERR_FILENO) {
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int error = errno;
    ::close(fd);
    errno = error;
    fd = moved;
  }
  return fd;
}

// The resolver's addresses, the families taking turns from the one it gave
// first, so that a family that does not work here costs one stagger, not
// one per address.
std::vector<const addrinfo*> interleaved(const addrinfo* addresses) {
  std::vector<const addrinfo*> first;
  std::vector<const addrinfo*> other;
  for (const addrinfo* entry = addresses; entry != nullptr; entry = entry->ai_next) {
    (entry->ai_family == addresses->ai_family ? first : other).push_back(entry);
  }
  std::vector<const addrinfo*> order;
  for (size_t i = 0; i < first.size() || i < other.size(); ++i) {
    if (i < first.size()) order.push_back(first[i]);
    if (i < other.size()) order.push_back(other[i]);
  }
  return order;
}

// One connect under way.
struct Attempt {
  int fd;
  int64_t deadline;  // monotonic microseconds; 0: the system's own limit
};

// The failure of an attempt that ended with `error`.
void noteFailure(int error, int limitSeconds, ConnectFailure* failure) {
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

// The race of connectRacing: the attempts under way and the next address.
class ConnectRace {
 public:
  ConnectRace(const addrinfo* addresses, int limitSeconds, ConnectFailure* failure)
      : order_(interleaved(addresses)), limitSeconds_(limitSeconds), failure_(failure) {}
  ~ConnectRace() {
    for (const Attempt& attempt : running_) ::close(attempt.fd);
  }
  ConnectRace(const ConnectRace&) = delete;
  ConnectRace& operator=(const ConnectRace&) = delete;

  // The connected socket, or -1 when every attempt failed.
  int run() {
    int64_t nextStart = 0;
    for (;;) {
      int64_t now = monotonicMicros();
      // The next address goes when its turn comes, or at once when nothing
      // is under way.
      while (next_ < order_.size() && (running_.empty() || now >= nextStart)) {
        // One that fails at once hands its turn on at once.
        bool underWay = start(*order_[next_++], now);
        nextStart = underWay ? now + kConnectStaggerMillis * 1000 : now;
      }
      if (running_.empty()) return -1;
      int64_t wake = next_ < order_.size() ? nextStart : INT64_MAX;
      for (const Attempt& attempt : running_) {
        if (attempt.deadline > 0 && attempt.deadline < wake) wake = attempt.deadline;
      }
      bool failed = false;
      int connected = waitForAttempts(wake, &failed);
      if (connected >= 0) return connected;
      // An attempt that failed gives its turn to the next address at once.
      if (failed) nextStart = 0;
    }
  }

 private:
  // Starts a connect to `address`. Returns whether it is under way (false:
  // it failed at once).
  bool start(const addrinfo& address, int64_t now) {
    ++failure_->attempts;
    int fd = openSocket(address.ai_family);
    if (fd < 0) {
      // This family may be missing on this machine; the next one may do.
      if (!anySocket_) {
        failure_->kind = ConnectFailure::kNoSocket;
        failure_->error = errno;
      }
      return false;
    }
    anySocket_ = true;
    int error = ::connect(fd, address.ai_addr, address.ai_addrlen) == 0 ? 0 : errno;
    if (error != 0 && error != EINPROGRESS && error != EINTR) {
      ::close(fd);
      noteFailure(error, limitSeconds_, failure_);
      return false;
    }
    int64_t deadline = limitSeconds_ > 0 ? now + limitSeconds_ * limitSecondMicros() : 0;
    running_.push_back(Attempt{fd, deadline});
    return true;
  }

  // Waits until an attempt ends or `wake` comes. Returns the socket of an
  // attempt that connected, or -1; failed and timed-out attempts are
  // closed, and *failed says whether there were any.
  int waitForAttempts(int64_t wake, bool* failed) {
    std::vector<pollfd> entries;
    for (const Attempt& attempt : running_) entries.push_back(pollfd{attempt.fd, POLLOUT, 0});
    int64_t now = monotonicMicros();
    int timeout = -1;
    if (wake != INT64_MAX) {
      int64_t millis = wake > now ? (wake - now + 999) / 1000 : 0;
      timeout = millis > INT32_MAX ? INT32_MAX : static_cast<int>(millis);
    }
    int ready = poll(entries.data(), entries.size(), timeout);
    if (ready < 0 && (errno != EINTR || caughtSignal() != 0)) {
      // A failure of poll itself ends every attempt with it.
      int error = errno;
      for (const Attempt& attempt : running_) ::close(attempt.fd);
      running_.clear();
      noteFailure(error, limitSeconds_, failure_);
      return -1;
    }
    now = monotonicMicros();
    std::vector<Attempt> still;
    int connected = -1;
    for (size_t i = 0; i < running_.size(); ++i) {
      const Attempt& attempt = running_[i];
      if (connected < 0 && ready > 0 && entries[i].revents != 0) {
        int pendingError = 0;
        socklen_t size = sizeof pendingError;
        int error = getsockopt(attempt.fd, SOL_SOCKET, SO_ERROR, &pendingError, &size) == 0
                        ? pendingError
                        : errno;
        if (error == 0) {
          connected = attempt.fd;
          continue;
        }
        ::close(attempt.fd);
        noteFailure(error, limitSeconds_, failure_);
        *failed = true;
      } else if (attempt.deadline > 0 && now >= attempt.deadline) {
        ::close(attempt.fd);
        noteFailure(ETIMEDOUT, limitSeconds_, failure_);
        *failed = true;
      } else {
        still.push_back(attempt);
      }
    }
    running_ = still;
    return connected;
  }

  std::vector<const addrinfo*> order_;
  size_t next_ = 0;
  std::vector<Attempt> running_;
  bool anySocket_ = false;
  int limitSeconds_;
  ConnectFailure* failure_;
};

}  // namespace

int pollFor(int fd, short events, timeval* limit) {
  pollfd entry;
  entry.fd = fd;
  entry.events = events;
  entry.revents = 0;
  int result;
  if (limit == nullptr) {
    do {
      result = poll(&entry, 1, -1);
    } while (result < 0 && errno == EINTR && caughtSignal() == 0);
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
  } while (result < 0 && error == EINTR && caughtSignal() == 0);
  if (result == 0) left = 0;
  limit->tv_sec = static_cast<time_t>(left / 1000000);
  limit->tv_usec = static_cast<suseconds_t>(left % 1000000);
  errno = error;
  return result;
}

std::unique_ptr<SocketLink> connectRacing(const addrinfo* addresses, int limitSeconds,
                                          ConnectFailure* failure) {
  *failure = ConnectFailure();
  ConnectRace race(addresses, limitSeconds, failure);
  int fd = race.run();
  if (fd < 0) {
    if (failure->attempts == 0) {
      failure->kind = ConnectFailure::kNotResolved;
      failure->error = EAI_NONAME;
    }
    return nullptr;
  }
  int attempts = failure->attempts;
  *failure = ConnectFailure();
  failure->attempts = attempts;
  // Blocking from here on: the sends wait within the limit that
  // limitBlocking sets, the reads after a wait of their own.
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return std::make_unique<SocketLink>(fd);
}

SocketLink::~SocketLink() {
  ::close(fd_);
}

int SocketLink::send(const char* data, int length) {
  ssize_t sent;
  do {
    sent = ::send(fd_, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR && caughtSignal() == 0);
  return static_cast<int>(sent);
}

int SocketLink::recv(char* buffer, int size) {
  ssize_t got;
  do {
    got = ::recv(fd_, buffer, static_cast<size_t>(size), 0);
  } while (got < 0 && errno == EINTR && caughtSignal() == 0);
  return static_cast<int>(got);
}

int SocketLink::waitReadable(timeval* limit) {
  return pollFor(fd_, POLLIN, limit);
}

int SocketLink::spliceInto(int pipeFd, int size) {
  ssize_t moved;
  do {
    // The pipe's side never blocks; the socket still waits for its first
    // byte, which the caller's wait has seen arrive.
    moved = splice(fd_, nullptr, pipeFd, nullptr, static_cast<size_t>(size),
                   SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  } while (moved < 0 && errno == EINTR);
  if (moved >= 0) return static_cast<int>(moved);
  if (errno == EAGAIN) return kReadWouldBlock;
  // An old system, or a socket or descriptor that cannot be spliced.
  if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return kSpliceRefused;
  return -1;
}

void SocketLink::setWakeThreshold(int bytes) {
  if (bytes < 1) return;
  setsockopt(fd_, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
}

void SocketLink::limitBlocking(int seconds) {
  if (seconds <= 0) return;
  timeval limit = limitOf(seconds);
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}
