// ReplayTransport: stands in for the network with a recording that
// RecordingTransport made ("--replay DIR"). Each connection is served from
// the recording, in order: the pieces as they were read, the waits that ran
// out and the end as it was. Nothing touches the network; a TLS connection
// gets a stand-in link at once, with no certificate involved.
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
  explicit ReplayTransport(std::string folder);
  ~ReplayTransport() override;
  ReplayTransport(const ReplayTransport&) = delete;
  ReplayTransport& operator=(const ReplayTransport&) = delete;

  // Reads the connection files of the recording. Returns ok, or code 200:
  // "DIR holds no recording", or a connection file that cannot be read.
  Status start();
  // Ok until the replay stopped; then why, which is the run's result.
  const Status& stopped() const { return stopped_; }

  // Connection N of the run gets connection N of the recording: its connect
  // failure, or a descriptor (never 0 to 2) that only this transport knows.
  int connectTo(const char* name, int port, int limitSeconds, ConnectFailure* failure) override;
  // The recorded outcome of the handshake, at once.
  TlsStart startTls(int socket, const TlsPeer& peer, int limitSeconds) override;
  // Takes the bytes (or fails where the recorded send failed) and compares
  // them with the recording.
  int send(TlsLink* link, int socket, const char* data, int length, int flags) override;
  // The recorded pieces, at most `size` bytes of one at a time; then the
  // recorded end, again and again. Past the last event the server is
  // silent.
  int recv(TlsLink* link, int socket, char* buffer, int size, int flags) override;
  // The rest of a piece that one read did not take, or a piece that the TLS
  // layer held when recorded.
  int pending(TlsLink* link) override;
  // Ready at once while the recording has more; 0 at once, with the limit
  // used up, for a wait that ran out when recorded or past its end.
  int waitReadable(int socket, timeval* limit) override;
  void close(TlsLink* link, int socket) override;
  // Stand-in links belong to the transport: nothing to free.
  void freeLink(TlsLink* link) override;

 private:
  struct Track;
  Track* bySocket(int socket);
  Track* byLink(TlsLink* link);
  // The event the connection's server side is at, with its piece loaded;
  // pieces read out and empty ones are passed. Null past the last event or
  // when a piece cannot be read (the replay stops).
  const RecordedEvent* current(Track& track);
  // Whether the run's TLS use fits the recording (a link is given exactly
  // when TLS was recorded); stops the replay when not.
  bool tlsFits(Track& track, TlsLink* link);
  // Compares the first line sent with the recorded one once it is complete
  // (or `final`); stops the replay when they differ.
  bool checkFirstLine(Track& track, bool final);
  // Once the run reads: compares every line sent, noting the ones that differ.
  void settle(Track& track);
  void stop(const Status& why);

  std::string folder_;
  Status stopped_;
  std::vector<RecordedConnection> recorded_;
  // Every connection handed out, in order.
  std::vector<std::unique_ptr<Track>> tracks_;
};

#endif  // QUORVANE_HTTP_REPLAY_TRANSPORT_H_
