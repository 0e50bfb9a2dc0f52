// The download of one body over several connections at once: each
// connection asks for a piece of the file with "Range: bytes=FIRST-LAST"
// and writes it at its own place in the output, one poll waits on all of
// them, and every piece is proven to come from the same file as the first
// answer before a byte of it is joined.
#ifndef QUORVANE_HTTP_SPLIT_DOWNLOAD_H_
#define QUORVANE_HTTP_SPLIT_DOWNLOAD_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"
#include "http/file_identity.h"
#include "http/piece_plan.h"
#include "http/retry.h"

class HttpSession;
class SplicePipe;

// At most this many connections fetch one body at once: beyond it a
// server that caps each connection gives little more, and servers take
// many connections from one client for an attack.
const int kMaxSplitConnections = 16;

// Where the pieces of a download go: a file written at any place, which a
// later run may continue.
class PieceSink {
 public:
  virtual ~PieceSink() = default;
  // Writes the `length` bytes at `data` at `offset` of the file. Returns 0
  // or the system's error number.
  virtual int writeAt(int64_t offset, const char* data, size_t length) = 0;
  // Writes every byte `pipe` holds at `offset`, moved by the system.
  // Returns 0; kDrainRefused when the file takes nothing from a pipe (all
  // still held); or the system's error number.
  virtual int writeFromAt(SplicePipe& pipe, int64_t offset) = 0;
  // Reads the `length` bytes at `offset` of the file into `into`. Returns
  // 0 or the system's error number.
  virtual int readAt(int64_t offset, char* into, size_t length) = 0;
  // Keeps the list of the bytes in the file for a later run. Returns 0 or
  // the system's error number.
  virtual int keepHeld(const std::vector<ByteRange>& held) = 0;
  // Drops every byte of the file (another version of it is on the server).
  // Returns 0 or the system's error number.
  virtual int drop() = 0;
  // Says that the bytes from `from` to `to` are on their way, so that the
  // file may set room aside for them ahead of the writes. Only a hint.
  virtual void reserve(int64_t from, int64_t to) {
    (void)from;
    (void)to;
  }
};

// What a download in pieces begins with.
struct SplitStart {
  // What the first answer said of the file: its length (> 0) and the
  // validator that every piece must carry.
  FileIdentity file;
  // The bytes an earlier run left in the file; empty for a new download.
  std::vector<ByteRange> held;
  // The output as the user named it, for the line that says the download
  // goes on from an earlier run.
  std::string outputName;
};

// Writes the body of the file that the session's last request named into
// `sink` over up to `connections` connections at once (1 to
// kMaxSplitConnections), with the progress line of all pieces together and
// its closing "/". A new download goes on reading the session's response
// at hand from the first byte, while other connections ask for the other
// pieces; with bytes held, the response at hand is closed and every piece
// still missing is asked for, from up to kResumeOverlap bytes before its
// end (bytes that must come back the same). A connection whose piece is
// done takes a piece nobody fetches, or half of the largest one. A piece
// answered otherwise than with a 206 of the same validator, range and
// length is never joined: its connection is closed and the piece goes back
// to the others (a 200 ends the asking for pieces; a connection whose
// answer runs on reads into the pieces nobody fetches). A piece cut short
// is asked for again as `retry` allows, per connection, after its wait;
// with no retry left the download ends "download incomplete". The list of
// bytes held is kept in the sink as the pieces arrive and when the
// download ends. `partName` names the file in failure sentences.
// Returns kOk, kUnknownError "download incomplete" (a piece cut with no
// retry left, no connection left, or the file changed on the server, which
// drops the file), kUnknownError "cannot write the output file (REASON)",
// or kInterrupted plus the signal that interrupted it.
// REQUIRES: start.file.length > 0 with a validator; without held bytes,
// the session's response at hand is a 200 for the file.
Status downloadInPieces(HttpSession& session, PieceSink& sink, const char* partName,
                        const SplitStart& start, int connections, const RetryPolicy& retry);

#endif  // QUORVANE_HTTP_SPLIT_DOWNLOAD_H_
