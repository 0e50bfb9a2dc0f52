// "@->file:": streaming the body of the last response into the output file.
#ifndef QUORVANE_SCRIPT_DOWNLOAD_H_
#define QUORVANE_SCRIPT_DOWNLOAD_H_

#include <cstdint>

#include "base/status.h"

class HttpSession;

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

#endif  // QUORVANE_SCRIPT_DOWNLOAD_H_
