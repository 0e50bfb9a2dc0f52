// "@->file:": streaming the body of the last response into the output file.
#ifndef QUORVANE_SCRIPT_DOWNLOAD_H_
#define QUORVANE_SCRIPT_DOWNLOAD_H_

#include "base/status.h"
#include "http/download_body.h"
#include "http/retry.h"

class HttpSession;

// Streams the body of the session's last response into the file at
// `outputPath` (created or emptied): first the bytes the session already
// holds, then piece by piece, never more than an announced length, with the
// progress line; a body that breaks off is asked for again as `retry`
// allows (see downloadBody, which this calls with the file as its sink).
// Returns kOutputFileError when the file cannot be opened or no path was
// given, otherwise what downloadBody returns (a failed close of the file
// included).
// With retry.resume, when `outputPath` is a regular file or nothing yet,
// the body goes into "outputPath.part" instead, which continues the part
// that an earlier run kept when the response at hand agrees with its meta
// file (see script/part_file.h); the part replaces the output file when it
// is complete, and a failure keeps it, its sentence ending with "; the part
// is kept in outputPath.part". retry.split above 1 does the same, and
// fetches a body that can be split (FileIdentity::splittable), or the rest
// of a part fetched in pieces, over up to that many connections at once
// (downloadInPieces, http/split_download.h).
Status downloadToFile(HttpSession& session, const char* outputPath, const RetryPolicy& retry);

// The output name that stands for standard output: the body goes there
// (never through a part file), and failures call it "standard output".
const char kStandardOutputName[] = "-";
// Whether `outputPath` is kStandardOutputName.
bool isStandardOutput(const char* outputPath);

#endif  // QUORVANE_SCRIPT_DOWNLOAD_H_
