// "@->file:": the download of a response body into the output file.
#include "script/download.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "http/session.h"
#include "script/script_engine.h"
#include "text/file_handle.h"

namespace {

// Progress figures are in kilobytes.
const int64_t kKilobyte = 1024;

// Writes at most `limit` of the session body's bytes to `out` (all of them
// when limit is negative) and empties the body. Returns the count written.
int64_t writeBody(FileHandle& out, HttpSession& session, int64_t limit) {
  int64_t n = session.body.length;
  if (limit >= 0 && n > limit) n = limit;
  int64_t written = n > 0 ? out.write(session.body.data, static_cast<int32_t>(n)) : 0;
  session.body.clear();
  return written;
}

}  // namespace

Status downloadToFile(HttpSession& session, const char* outputPath) {
  FileHandle out(outputPath, "wb");
  if (out.stream == nullptr) {
    if (outputPath == nullptr) {
      return Status(kOutputFileError, "no output file was named (see quorvane --help)");
    }
    return Status(kOutputFileError, formatText("cannot open the output file %s (%s)", outputPath,
                                               strerror(out.openError)));
  }
  // Each piece goes out in one write; a stdio buffer would only split it.
  setvbuf(out.stream, nullptr, _IONBF, 0);

  int64_t total = 0;
  bool announced = announcedLength(session, &total);
  session.body.reserve(kDownloadPiece);
  showProgress(0, total / kKilobyte);

  // The bytes held come from the current connection's response. Without a
  // connection there is no response, and what the body holds (a request
  // body set by "@->body:") stays out of the file.
  int64_t count = session.socket[0] != 0 ? writeBody(out, session, announced ? total : -1) : 0;
  if (count > 0) showProgress(count / kKilobyte, total / kKilobyte);

  Status received;
  while (!announced || count < total) {
    received = session.receive();
    if (!received.ok()) break;
    count += writeBody(out, session, announced ? total - count : -1);
    showProgress(count / kKilobyte, total / kKilobyte);
  }
  report(kPlainText, "/\n");

  // How far the file got, for the failures below.
  auto written = [&]() {
    if (!announced) {
      return formatText("%lld bytes written to %s", static_cast<long long>(count), outputPath);
    }
    return formatText("%lld of %lld bytes written to %s", static_cast<long long>(count),
                      static_cast<long long>(total), outputPath);
  };
  switch (received.code()) {
    case kOk:
    case kNoConnection:
      return Status();
    case kTimedOut:
      return Status(kTimedOut, received.message() + "; " + written());
    case kUnknownError:
      return received;
    default:
      // Without a length, the server's close is the normal end; a read that
      // failed (a reset, a broken TLS record) leaves the file incomplete.
      if (!announced && session.closedByPeer) return Status();
      return Status::unknownError("download incomplete",
                                  written() + ", then " + received.message());
  }
}

bool announcedLength(HttpSession& session, int64_t* length) {
  TextBuffer text(session.headerValue("Content-Length", 0));
  *length = 0;
  if (text.data == nullptr) return false;
  char* end = nullptr;
  long long number = strtoll(text.data, &end, 10);
  if (end == text.data || number < 0) return false;
  *length = number;
  return true;
}
