// RecordingTransport: the network as usual, with every connection of the run
// written into a folder as it happens ("--record DIR"): the target, every
// byte sent, every byte received in the pieces in which it was read, the
// waits that ran out and how the connection ended. The format is described
// in recording_format.h; ReplayTransport plays it back.
#ifndef QUORVANE_HTTP_RECORDING_TRANSPORT_H_
#define QUORVANE_HTTP_RECORDING_TRANSPORT_H_

#include <memory>
#include <string>
#include <vector>

#include "base/status.h"
#include "http/recording_format.h"
#include "http/transport.h"

class RecordingTransport : public Transport {
 public:
  // Records what `inner` does into `folder` (as the command line wrote it).
  // REQUIRES: `inner` outlives this transport.
  RecordingTransport(Transport& inner, std::string folder);
  // Closes the files of connections still open.
  ~RecordingTransport() override;
  RecordingTransport(const RecordingTransport&) = delete;
  RecordingTransport& operator=(const RecordingTransport&) = delete;

  // Makes the folder (and the folders above it that are missing) and marks
  // it as a recording. Returns ok, or code 200: "DIR is not empty" when it
  // holds anything, or the folder cannot be made or written.
  Status start();
  // Ok while every file of the recording could be written. Otherwise the
  // failure that stopped the recording: every later call then fails, so the
  // run ends, and this is the run's result.
  const Status& stopped() const { return stopped_; }

  // Each call is the inner transport's, with what it did written down.
  int connectTo(const char* name, int port, int limitSeconds, ConnectFailure* failure) override;
  TlsStart startTls(int socket, const TlsPeer& peer, int limitSeconds) override;
  int send(TlsLink* link, int socket, const char* data, int length, int flags) override;
  int recv(TlsLink* link, int socket, char* buffer, int size, int flags) override;
  int pending(TlsLink* link) override;
  int waitReadable(int socket, timeval* limit) override;
  void setWakeThreshold(int socket, int bytes) override;
  void limitBlocking(int socket, int seconds) override;
  void close(TlsLink* link, int socket) override;
  void freeLink(TlsLink* link) override;

 private:
  struct Track;
  // The open connection on `socket` (or with `link`); null when none is.
  Track* bySocket(int socket);
  Track* byLink(TlsLink* link);
  // Appends `line` to the connection's connection.txt.
  void writeLine(Track& track, const std::string& line);
  // The connection's end, written once.
  void writeEnd(Track& track, const RecordedEvent& event);
  // Stops the recording: `path` could not be written for `error`.
  void fail(const std::string& path, int error);
  // Closes the connection's files.
  void finish(Track& track);

  Transport& inner_;
  std::string folder_;
  Status stopped_;
  int connections_ = 0;
  std::vector<std::unique_ptr<Track>> open_;
};

#endif  // QUORVANE_HTTP_RECORDING_TRANSPORT_H_
