// The download of a response body into a DownloadSink with the progress
// line, and the retries that a RetryPolicy allows when the body breaks off:
// the rest is asked for and joined only when it provably continues the same
// file (http/file_identity.h); otherwise the file starts over.
#ifndef QUORVANE_HTTP_DOWNLOAD_BODY_H_
#define QUORVANE_HTTP_DOWNLOAD_BODY_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/status.h"
#include "http/file_identity.h"
#include "http/retry.h"
#include "http/splice_pipe.h"

class HttpSession;

// The body is read in pieces of up to this size and each is written as
// soon as it arrives, so memory does not grow with the download. Larger
// pieces mean fewer system calls per byte; 256 KiB keeps the whole process
// within a few MiB.
const int32_t kDownloadPiece = 256 * 1024;

// Where the bytes of a download go. The caller provides one for each
// download: the output file, or a part file that outlives the run.
class DownloadSink {
 public:
  virtual ~DownloadSink() = default;
  // Appends the `length` bytes at `data`; *written receives how many went
  // into the output. Returns 0, or the system's error number when not all
  // of them were written.
  virtual int write(const char* data, size_t length, size_t* written) = 0;
  // Drops everything written, so that the next write is the first byte
  // again. Returns 0 or the system's error number.
  virtual int restart() = 0;
  // Whether the output outlives a failed run for a later one to continue
  // (a part file): bytes of another version are then dropped at once.
  virtual bool keptAcrossRuns() const { return false; }
  // Copies the last `length` bytes written into `into`: read back from the
  // file, or kept in memory where the output cannot be read (a pipe).
  // Returns 0 or the system's error number.
  // REQUIRES: length <= kResumeOverlap, and length <= the bytes written
  // since the last restart.
  virtual int readBack(char* into, size_t length) = 0;
  // Says that the bytes up to `end` (counted from the file's first byte)
  // are on their way, so that the output may set room aside for them ahead
  // of the writes. Only a hint: what is written stays the same.
  virtual void expect(int64_t end) { (void)end; }
  // Whether bytes may come through writeFrom: the output takes them from a
  // pipe as a write would, and none needs to stay in memory for readBack.
  virtual bool takesFromPipe() const { return false; }
  // Appends every byte `pipe` holds, moved by the system without passing
  // through the program. Returns 0; kDrainRefused when the output takes
  // nothing from a pipe (all still held, for write); or the system's error
  // number, with the pipe holding what was not written.
  virtual int writeFrom(SplicePipe& pipe) {
    (void)pipe;
    return kDrainRefused;
  }
};

// The start of a file that an earlier run kept: its bytes and what the
// response they came from said of the file.
struct KeptPart {
  int64_t bytes = 0;
  FileIdentity file;
  // The output as the user named it, for the line that says the download
  // goes on from the part.
  std::string outputName;
};

// Writes the body of the session's last response into `sink`: first the
// bytes the session already holds, then piece by piece until the body's
// end (its length, its last chunk, or the server's close; over TLS a close
// counts only with the closing alert), never more than a known length, with
// the progress line and its closing "/" on standard output. When the body
// breaks off, `retry` says how often the request is repeated (through
// repeatWhileFailing): for the rest (from up to kResumeOverlap bytes before
// the end of what was written, which must come back the same), or whole
// when the request carries a Range of its own. An answer that shows another
// version of the file drops what was written, at once, and within the same
// attempt the request is sent again without Range. `outputName` names the
// output in failure sentences.
// With `kept`, the sink already holds kept->bytes bytes of the file: the
// response at hand is left unread and the rest is asked for at once, as a
// retry asks but without its wait and without counting as one; standard
// error says "resuming NAME at COUNT bytes" when a 206 starts where it was
// asked. The file is then whole, and the download ends with kOk, when the
// answer is a 206 that repeats the end of the sink and holds nothing after
// it, or a 416 whose "Content-Range: bytes */TOTAL" gives the sink's size
// as the length.
// Returns kOk, kTimedOut (the server went silent), kUnknownError "download
// incomplete" (the body ended early, a read failed, the file changed, or
// an answer did not fit), kUnknownError "cannot write the output file
// (REASON)" (never retried), kCannotConnect (an answer of 400 or more), or
// another failure of the session's receive or connect.
// REQUIRES: `sink` is empty, or holds kept->bytes bytes; with `kept`,
// kept->bytes > 0 and !requestHasOwnRange(session).
Status downloadBody(HttpSession& session, DownloadSink& sink, const char* outputName,
                    const RetryPolicy& retry, const KeptPart* kept = nullptr);

#endif  // QUORVANE_HTTP_DOWNLOAD_BODY_H_
