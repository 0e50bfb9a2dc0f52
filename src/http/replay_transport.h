// ReplayTransport: stands in for the network with a recording that
// RecordingTransport made ("--replay DIR"). Each connection is served from
// the recording, in order, by a link of this transport's own: the pieces as
// they were read, the waits that ran out and the end as it was. Nothing
// touches the network; TLS is the recorded outcome of the handshake, with
// no certificate involved.
//
// What the run sends is compared with what was recorded. Another target, or
// another first request line, stops the replay: every later call fails, so
// the run ends, and stopped() is the run's result. Any other line that
// differs (of the header or the body) is named in a note on standard error
// and the run goes on.
#ifndef QUORVANE_HTTP_REPLAY_TRANSPORT_H_
#define QUORVANE_HTTP_REPLAY_TRANSPORT_H_

#include <memory>
#include <string>
#include <vector>

#include "base/status.h"
#include "http/recording_format.h"
#include "http/transport.h"

class ReplayTransport : public Transport {
 public:
  // Plays the recording in `folder` (as the command line wrote it).
  // REQUIRES: this transport outlives every link it hands out.
  explicit ReplayTransport(std::string folder);
  ~ReplayTransport() override;
  ReplayTransport(const ReplayTransport&) = delete;
  ReplayTransport& operator=(const ReplayTransport&) = delete;

  // Reads the connection files of the recording. Returns ok, or code 200:
  // "DIR holds no recording", or "replay: the recording cannot be read"
  // for a connection file that cannot be read or is not one a recording
  // writes.
  Status start();
  // Ok until the replay stopped; then why, which is the run's result.
  const Status& stopped() const { return stopped_; }

  // Connection N of the run gets connection N of the recording: its connect
  // failure, or a link that plays it.
  std::unique_ptr<Link> connect(const char* name, int port, int limitSeconds,
                                ConnectFailure* failure) override;
  // The recorded outcome of the handshake, at once; the same link then
  // plays on as a TLS one.
  TlsStart startTls(std::unique_ptr<Link> link, const TlsPeer& peer, int limitSeconds) override;
  // The next look-up recorded on the last connection; another name stops
  // the replay.
  bool lookUp(const char* name, std::vector<std::string>* addresses,
              ConnectFailure* failure) override;

 private:
  class Played;
  void stop(const Status& why);

  std::string folder_;
  Status stopped_;
  std::vector<RecordedConnection> recorded_;
  int connections_ = 0;
  // Look-ups served from the last connection.
  size_t lookUps_ = 0;
};

#endif  // QUORVANE_HTTP_REPLAY_TRANSPORT_H_
