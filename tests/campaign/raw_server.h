// RawServer: a loopback listener that breaks TLS handshakes. It speaks no
// TLS itself; it closes, resets or answers with garbage right after the
// client's first flight, or relays the connection to a real TLS server and
// cuts it inside the server's first flight.
#ifndef QUORVANE_TESTS_CAMPAIGN_RAW_SERVER_H_
#define QUORVANE_TESTS_CAMPAIGN_RAW_SERVER_H_

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

// What the server does with each connection it accepts.
struct RawPlan {
  enum Mode {
    kCloseAtAccept,      // close before reading anything
    kCloseAfterHello,    // read the client's first bytes, then close
    kResetAfterHello,    // read them, then reset the connection
    kGarbageAfterHello,  // read them, send `garbage`, then close
    kStallAfterHello,    // read them, then say nothing until stopped
    kCutHandshake,       // relay to `relayPort`; forward only `cutFraction` of
                         // the server's first reply, then close both sides
  };
  Mode mode = kCloseAtAccept;
  std::string garbage;
  double cutFraction = 0.5;
  int relayPort = 0;
};

class RawServer {
 public:
  // How long one connection may take before the server lets go of it: a
  // client that never speaks must not keep the thread.
  static constexpr int kConnectionMillis = 5000;

  // Binds 127.0.0.1:`port` and serves `plan` to every connection. Check ok().
  RawServer(const RawPlan& plan, int port);
  // Stops the server.
  virtual ~RawServer();
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // Connections accepted so far.
  int accepted() const { return accepted_; }
  // Server bytes forwarded to the client by the last relayed connection,
  // and how many the server had sent in its first reply.
  void relayCounts(size_t* forwarded, size_t* firstReply) const;

  // Stops accepting and joins the thread. Safe to call more than once.
  void stop();

 private:
  void serve();
  void handle(int fd);
  void relay(int client);

  RawPlan plan_;
  std::string error_;
  int listenFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::thread thread_;
  mutable std::mutex mutex_;  // guards the two counts
  size_t forwarded_ = 0;
  size_t firstReply_ = 0;
};

#endif  // QUORVANE_TESTS_CAMPAIGN_RAW_SERVER_H_
