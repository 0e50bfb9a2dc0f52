// RecordingTransport: the network as usual, with every connection of the run
// written into a folder as it happens ("--record DIR"): the target, every
// byte sent, every byte received in the pieces in which it was read, the
// waits that ran out and how the connection ended. Each link it hands out
// wraps the inner transport's link and writes down what passes through it;
// TLS is set up under the wrapper, so the recording holds clear text. The
// format is described in recording_format.h; ReplayTransport plays it back.
#ifndef QUORVANE_HTTP_RECORDING_TRANSPORT_H_
#define QUORVANE_HTTP_RECORDING_TRANSPORT_H_

#include <memory>
#include <string>

#include "base/status.h"
#include "http/recording_format.h"
#include "http/transport.h"

class RecordingTransport : public Transport {
 public:
  // Records what `inner` does into `folder` (as the command line wrote it).
  // Nothing is made before the run's first connection.
  // REQUIRES: `inner` outlives this transport, and this transport outlives
  // every link it hands out.
  RecordingTransport(Transport& inner, std::string folder);
  ~RecordingTransport() override = default;
  RecordingTransport(const RecordingTransport&) = delete;
  RecordingTransport& operator=(const RecordingTransport&) = delete;

  // Ok while every file of the recording could be written. Otherwise the
  // failure that stopped the recording: every later call then fails, so the
  // run ends, and this is the run's result. Code 200: "DIR is not empty"
  // when the folder held anything at the first connection, or the folder
  // or a file could not be made or written.
  const Status& stopped() const { return stopped_; }

  // The inner transport's connection, wrapped so that what passes is
  // written down. The first connection makes the folder (mode 0700, and the
  // folders above it that are missing) and marks it as a recording; its
  // files are made with mode 0600.
  std::unique_ptr<Link> connect(const char* name, int port, int limitSeconds,
                                ConnectFailure* failure) override;
  // TLS under the wrapper of a link this transport handed out, so that the
  // wrapper goes on writing clear text.
  TlsStart startTls(std::unique_ptr<Link> link, const TlsPeer& peer, int limitSeconds) override;
  // The inner transport's look-up, written into the last connection's
  // connection.txt (a proxy's, that is handed the addresses).
  bool lookUp(const char* name, std::vector<std::string>* addresses,
              ConnectFailure* failure) override;

 private:
  class Recorded;
  // Makes and marks the folder, once; the failure stops the recording.
  void prepare();
  // Stops the recording: `path` could not be written for `error`.
  void fail(const std::string& path, int error);

  Transport& inner_;
  std::string folder_;
  bool prepared_ = false;
  Status stopped_;
  int connections_ = 0;
};

#endif  // QUORVANE_HTTP_RECORDING_TRANSPORT_H_
