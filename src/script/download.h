// "@->file:": streaming the body of the last response into the output file.
#ifndef QUORVANE_SCRIPT_DOWNLOAD_H_
#define QUORVANE_SCRIPT_DOWNLOAD_H_

#include <cstdint>
#include <functional>
#include <string>

#include "base/status.h"

class FileHandle;
class HttpSession;

// Where a download goes on from when its file already holds the start of
// the body (a part kept by an earlier run).
struct ContinuedPart {
  // Bytes in the file.
  int64_t count = 0;
  // The length of the whole body; -1 when unknown.
  int64_t length = -1;
  // The validator the file's first byte came with, for "If-Range:"; "" for
  // none.
  std::string validator;
};

// Called when the file starts over from its first byte with the response
// the session holds (before its first byte is written). Returns 0, or the
// system's error number, which ends the download.
using StartOverHook = std::function<int()>;

// "@->file:" reads the body in pieces of up to this size and writes each as
// soon as it arrives, so memory does not grow with the download. Larger
// pieces mean fewer system calls per byte; 256 KiB keeps the whole process
// within a few MiB.
const int32_t kDownloadPiece = 256 * 1024;

// How a download that broke off is repeated.
struct RetryPolicy {
  // "@retry=": how many times the request is repeated, asking for the rest
  // (0 or less: never).
  int32_t retries = 0;
  // How long one second of the waits between attempts lasts, in
  // milliseconds; tests shorten it.
  int32_t secondMillis = 1000;
  // "@resume=": whether the body goes into a part file that a later run
  // continues (script/part_file.h).
  bool resume = false;
};

// The response's "Content-Length": true with its value in *length when the
// header holds a non-negative decimal number; false and 0 otherwise.
bool announcedLength(HttpSession& session, int64_t* length);

// Streams the body of the session's last response into the file at
// `outputPath` (created or emptied): first the bytes the session already
// holds, then piece by piece, never more than an announced length, with the
// progress line; a body that breaks off is asked for again as `retry`
// allows. Returns kOk, kOutputFileError (the file cannot be opened,
// or no path), kTimedOut (the server went silent), kUnknownError "download
// incomplete" (the body ended before its length, or a read failed) or a
// kUnknownError that the reception returned.
Status downloadToFile(HttpSession& session, const char* outputPath, const RetryPolicy& retry);

// downloadToFile for "@resume=1" and an output name that is a regular file
// or nothing yet (see script/part_file.h): the body goes into
// "outputPath.part", continuing the part an earlier run kept when the
// response at hand agrees with its meta file, and the part replaces the
// output file when it is complete. A failure leaves the part and its meta
// file, and its sentence ends with "; the part is kept in outputPath.part".
// Returns what downloadToFile returns. REQUIRES: outputPath != nullptr.
Status downloadToPart(HttpSession& session, const char* outputPath, const RetryPolicy& retry);

// The download itself, into `file` (open for writing at its end), which
// failure sentences call `path`. With `from`, the file already holds
// from->count bytes of the body: the response at hand is dropped and the
// rest is asked for at once, as a retry would ask but without its wait and
// without counting as one; an answer that says the file is already whole
// (416 "bytes */COUNT") ends the download with kOk. `startOver`, when set,
// is called whenever the file starts again from its first byte.
Status downloadInto(HttpSession& session, FileHandle& file, const char* path,
                    const RetryPolicy& retry, const ContinuedPart* from,
                    const StartOverHook& startOver);

#endif  // QUORVANE_SCRIPT_DOWNLOAD_H_
