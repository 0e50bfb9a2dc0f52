// The download of a response body into a DownloadSink (http/resume.h) with
// the progress line, and the retries that a RetryPolicy allows when the
// body breaks off: the rest is asked for and joined only when it provably
// continues the same file; otherwise the file starts over.
#ifndef QUORVANE_HTTP_DOWNLOAD_BODY_H_
#define QUORVANE_HTTP_DOWNLOAD_BODY_H_

#include <cstdint>
#include <string>

#include "base/status.h"
#include "http/resume.h"
#include "http/retry.h"

class HttpSession;

// The body is read in pieces of up to this size and each is written as
// soon as it arrives, so memory does not grow with the download. Larger
// pieces mean fewer system calls per byte; 256 KiB keeps the whole process
// within a few MiB.
const int32_t kDownloadPiece = 256 * 1024;

// The response's "Content-Length", looked up as "@<-header=" would (with
// its verbose trace): true with its value in *length when the header holds
// a non-negative decimal number; false and 0 otherwise.
bool announcedLength(HttpSession& session, int64_t* length);

// A download whose output already holds the start of the body, kept by an
// earlier run: how many bytes, and what the response they came from said.
struct ContinuedFile {
  int64_t count = 0;
  // Its ETag when strong, else its Last-Modified (the other one empty).
  std::string etag;
  std::string lastModified;
  // The length of the whole file; -1 when unknown.
  int64_t length = -1;
};

// Whether the request of the session carries a "Range:" line of the
// plugin's own; such a request is repeated as it was, never resumed.
bool requestHasOwnRange(const HttpSession& session);

// Writes the body of the session's last response into `sink`: first the
// bytes the session already holds, then piece by piece until the body's
// end (its length, its last chunk, or the server's close; over TLS a close
// counts only with the closing alert), never more than a known length, with
// the progress line and its closing "/" on standard output. When the body
// breaks off, `retry` says how often the request is repeated: for the rest
// (from up to kResumeOverlap bytes before the end of what was written,
// which must come back the same), or whole when the request carries a
// Range of its own or the file changed on the server. `outputName` names
// the output in failure sentences.
// With `from`, the sink already holds from->count bytes of the file: the
// response at hand is left unread and the rest is asked for at once, as a
// retry asks but without its wait and without counting as one. The file is
// then whole, and the download ends with kOk, when the answer is a 206 that
// repeats the end of the sink and holds nothing after it, or a 416 whose
// "Content-Range: bytes */TOTAL" gives the sink's size as the length.
// Returns kOk, kTimedOut (the server went silent), kUnknownError "download
// incomplete" (the body ended early, a read failed, the file changed, or
// an answer did not fit), kUnknownError "cannot write the output file
// (REASON)" (never retried), kCannotConnect (an answer of 400 or more), or
// another failure of the session's receive or connect.
// REQUIRES: `sink` is empty, or holds from->count bytes; with `from`,
// from->count > 0 and !requestHasOwnRange(session).
Status downloadBody(HttpSession& session, DownloadSink& sink, const char* outputName,
                    const RetryPolicy& retry, const ContinuedFile* from = nullptr);

#endif  // QUORVANE_HTTP_DOWNLOAD_BODY_H_
