// The handshake-breaking loopback server.
#include "raw_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "support/scripted_server.h"

namespace {

using Clock = std::chrono::steady_clock;

// Poll step: how often the serving thread looks at the stop flag.
const int kPollMillis = 50;

int millisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits until `fd` is readable; false when the deadline passed first.
bool waitReadable(int fd, Clock::time_point deadline, const std::atomic<bool>& stopping) {
  while (!stopping) {
    int left = millisLeft(deadline);
    if (left == 0) return false;
    pollfd watched = {fd, POLLIN, 0};
    int n = poll(&watched, 1, left < kPollMillis ? left : kPollMillis);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
  return false;
}

void sendAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
}

void resetAndClose(int fd) {
  linger abrupt = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
  close(fd);
}

}  // namespace

RawServer::RawServer(const RawPlan& plan, int port) : plan_(plan) {
  listenFd_ = listenOnLoopback(port, 0, &error_);
  if (listenFd_ < 0) return;
  thread_ = std::thread(&RawServer::serve, this);
}

RawServer::~RawServer() {
  stop();
}

void RawServer::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) close(listenFd_);
  listenFd_ = -1;
}

void RawServer::relayCounts(size_t* forwarded, size_t* firstReply) const {
  std::lock_guard<std::mutex> lock(mutex_);
  *forwarded = forwarded_;
  *firstReply = firstReply_;
}

void RawServer::serve() {
  while (!stopping_) {
    pollfd watched = {listenFd_, POLLIN, 0};
    if (poll(&watched, 1, kPollMillis) <= 0) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    handle(fd);
  }
}

void RawServer::handle(int fd) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kConnectionMillis);
  if (plan_.mode == RawPlan::kCloseAtAccept) {
    close(fd);
    return;
  }
  if (plan_.mode == RawPlan::kCutHandshake) {
    relay(fd);
    return;
  }
  // The client's first flight (its hello).
  if (waitReadable(fd, deadline, stopping_)) {
    char buffer[16384];
    ssize_t ignored = recv(fd, buffer, sizeof buffer, 0);
    (void)ignored;
  }
  switch (plan_.mode) {
    case RawPlan::kResetAfterHello:
      resetAndClose(fd);
      return;
    case RawPlan::kGarbageAfterHello:
      sendAll(fd, plan_.garbage.data(), plan_.garbage.size());
      break;
    case RawPlan::kStallAfterHello:
      while (!stopping_) {
        timespec pause = {0, kPollMillis * 1000000L};
        nanosleep(&pause, nullptr);
      }
      break;
    default:
      break;
  }
  close(fd);
}

void RawServer::relay(int client) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kConnectionMillis);
  int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(plan_.relayPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (server < 0 || connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (server >= 0) close(server);
    close(client);
    return;
  }
  char buffer[16384];
  bool cut = false;
  while (!cut && !stopping_ && millisLeft(deadline) > 0) {
    pollfd watched[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    int n = poll(watched, 2, kPollMillis);
    if (n <= 0) continue;
    if (watched[0].revents != 0) {
      ssize_t got = recv(client, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      sendAll(server, buffer, static_cast<size_t>(got));
    }
    if (watched[1].revents != 0) {
      ssize_t got = recv(server, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      // Only part of the server's first reply reaches the client.
      size_t keep = static_cast<size_t>(static_cast<double>(got) * plan_.cutFraction);
      if (keep >= static_cast<size_t>(got)) keep = static_cast<size_t>(got) - 1;
      sendAll(client, buffer, keep);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        forwarded_ = keep;
        firstReply_ = static_cast<size_t>(got);
      }
      cut = true;
    }
  }
  close(server);
  close(client);
}
