// "@->file:": streaming the body of the last response into the output file.
#ifndef QUORVANE_SCRIPT_DOWNLOAD_H_
#define QUORVANE_SCRIPT_DOWNLOAD_H_

#include <cstdint>

#include "base/status.h"

class HttpSession;

// The response's "Content-Length": true with its value in *length when the
// header holds a non-negative decimal number; false and 0 otherwise.
bool announcedLength(HttpSession& session, int64_t* length);

// Streams the body of the session's last response into the file at
// `outputPath` (created or emptied): first the bytes the session already
// holds, then piece by piece, never more than an announced length, with the
// progress line. Returns kOk, kOutputFileError (the file cannot be opened,
// or no path), kTimedOut (the server went silent), kUnknownError "download
// incomplete" (the body ended before its length, or a read failed) or a
// kUnknownError that the reception returned.
Status downloadToFile(HttpSession& session, const char* outputPath);

#endif  // QUORVANE_SCRIPT_DOWNLOAD_H_
