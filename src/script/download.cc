// "@->file:": the download of a response body into the output file.
#include "script/download.h"

#include <cerrno>
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

const char kIncomplete[] = "download incomplete";

// One download into an open output file: how far the file got and where
// the body ends.
class Download {
 public:
  Download(HttpSession& session, FileHandle& file, const char* path)
      : session_(session), file_(file), path_(path) {}
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  // Reads the body of the response the session holds into the file, with
  // the progress line; returns how the download ended.
  Status run() {
    announced_ = announcedLength(session_, &total_);
    end_ = announced_ ? total_ : -1;
    showProgress(0, total_ / kKilobyte);
    Status result = readBody();
    report(kPlainText, "/\n");
    int closeError = file_.close();
    if (result.ok() && closeError != 0) return writeFailure(closeError);
    return result;
  }

 private:
  // How far the file got, for the failure sentences.
  std::string written() const {
    if (!announced_) {
      return formatText("%lld bytes written to %s", static_cast<long long>(count_), path_);
    }
    return formatText("%lld of %lld bytes written to %s", static_cast<long long>(count_),
                      static_cast<long long>(total_), path_);
  }

  Status writeFailure(int error) const {
    std::string detail = formatText("cannot write the output file (%s)", strerror(error));
    return Status::unknownError(detail.c_str(), written());
  }

  // Writes the session body's bytes, up to the end of the body, to the file
  // and empties the body. Returns 0, or the system's error number when the
  // file took fewer bytes than it was given.
  int writeHeld() {
    int64_t n = session_.body.length;
    if (end_ >= 0 && n > end_ - count_) n = end_ - count_;
    int error = 0;
    if (n > 0) {
      errno = 0;
      int32_t done = file_.write(session_.body.data, static_cast<int32_t>(n));
      count_ += done;
      if (done < n) error = errno != 0 ? errno : EIO;
    }
    session_.body.clear();
    return error;
  }

  // Writes what the session holds of the body and then each piece that
  // arrives, until the body's end (the peer's close when it has no length).
  Status readBody() {
    session_.body.reserve(kDownloadPiece);
    // The bytes held come from the current connection's response. Without a
    // connection there is no response, and what the body holds (a request
    // body set by "@->body:") stays out of the file.
    if (session_.socket[0] == 0) return Status();
    int64_t before = count_;
    if (int error = writeHeld()) return writeFailure(error);
    if (count_ > before) showProgress(count_ / kKilobyte, total_ / kKilobyte);

    Status received;
    while (end_ < 0 || count_ < end_) {
      received = session_.receive();
      if (!received.ok()) break;
      if (int error = writeHeld()) return writeFailure(error);
      showProgress(count_ / kKilobyte, total_ / kKilobyte);
    }
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
        if (end_ < 0 && session_.closedByPeer) return Status();
        return Status::unknownError(kIncomplete, written() + ", then " + received.message());
    }
  }

  HttpSession& session_;
  FileHandle& file_;
  const char* path_;
  // Bytes in the file.
  int64_t count_ = 0;
  // The announced length of the whole body, when there was one.
  bool announced_ = false;
  int64_t total_ = 0;
  // Where the body ends in the file; -1: at the server's close.
  int64_t end_ = -1;
};

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
  Download download(session, out, outputPath);
  return download.run();
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
