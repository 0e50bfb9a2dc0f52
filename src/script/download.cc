// "@->file:": the download of a response body into the output file, and the
// retries that "@retry=" allows when the body breaks off: the request is
// repeated for the rest, which is appended, or the whole body again, which
// starts the file over.
#include "script/download.h"

#include <strings.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "http/session.h"
#include "text/file_handle.h"

namespace {

// Progress figures are in kilobytes.
const int64_t kKilobyte = 1024;

const char kIncomplete[] = "download incomplete";

// The waits between attempts double from one second up to this: a network
// that stays away for minutes costs an attempt every half minute, not a
// pause that grows without end.
const int32_t kMaxRetryWaitSeconds = 30;

const int kStatusOk = 200;
const int kStatusPartial = 206;
const int kStatusFirstError = 400;

int32_t retryWaitSeconds(int32_t retry) {
  int32_t seconds = 1;
  for (int32_t i = 1; i < retry && seconds < kMaxRetryWaitSeconds; ++i) seconds *= 2;
  return seconds < kMaxRetryWaitSeconds ? seconds : kMaxRetryWaitSeconds;
}

// Sleeps `seconds`, each lasting `secondMillis` milliseconds. Nothing but a
// signal ends the wait early.
void waitSeconds(int32_t seconds, int32_t secondMillis) {
  int64_t millis = static_cast<int64_t>(seconds) * secondMillis;
  if (millis <= 0) return;
  timespec pause = {static_cast<time_t>(millis / 1000),
                    static_cast<long>(millis % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

// "Content-Range: bytes START-END/TOTAL"; TOTAL may be "*" (unknown, -1).
struct ContentRange {
  int64_t start = 0;
  int64_t end = 0;
  int64_t total = -1;
};

// Reads a non-negative decimal number at *text and moves past it.
bool readNumber(const char** text, int64_t* number) {
  const char* at = *text;
  if (*at < '0' || *at > '9') return false;
  char* end = nullptr;
  errno = 0;
  long long value = strtoll(at, &end, 10);
  if (errno != 0) return false;
  *number = value;
  *text = end;
  return true;
}

bool parseContentRange(const char* value, ContentRange* range) {
  const char kUnit[] = "bytes ";
  if (value == nullptr || strncasecmp(value, kUnit, strlen(kUnit)) != 0) return false;
  const char* at = value + strlen(kUnit);
  if (!readNumber(&at, &range->start) || *at++ != '-' || !readNumber(&at, &range->end) ||
      *at++ != '/' || range->end < range->start) {
    return false;
  }
  if (strcmp(at, "*") == 0) {
    range->total = -1;
    return true;
  }
  return readNumber(&at, &range->total) && *at == '\0' && range->total > range->end;
}

// One download into an open output file: how far the file got and where
// the body ends.
class Download {
 public:
  Download(HttpSession& session, FileHandle& file, const char* path, const RetryPolicy& retry)
      : session_(session), file_(file), path_(path), retry_(retry) {}
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  // Reads the body of the response the session holds into the file, with
  // the progress line, and retries as the policy allows; returns
  // how the download ended.
  Status run() {
    announced_ = announcedLength(session_, &total_);
    end_ = announced_ ? total_ : -1;
    showProgress(0, total_ / kKilobyte);
    Status result = readBody();
    int32_t retries = retry_.retries;
    for (int32_t retry = 1; retry <= retries && mayRetry(result); ++retry) {
      // In verbose mode the whole sentence of the failure; the announcement
      // names only its reason.
      verboseNote(result.message());
      result = attemptAgain(retry, retries);
    }
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

  // The output file failed: the download ends and is not retried.
  Status writeFailure(int error) {
    fileFailed_ = true;
    std::string detail = formatText("cannot write the output file (%s)", strerror(error));
    return Status::unknownError(detail.c_str(), written());
  }

  // An attempt ended with `cause`: keeps what the next retry announcement
  // names (the detail of a kUnknownError, otherwise the sentence) and
  // returns the failure as the run reports it, saying how far the file got.
  Status interrupted(const Status& cause) {
    if (cause.code() == kUnknownError) {
      reason_ = cause.detail();
      return cause;
    }
    reason_ = cause.message();
    return Status(cause.code(), cause.message() + "; " + written());
  }

  bool mayRetry(const Status& result) const {
    return !result.ok() && !fileFailed_ && !result.isFinal();
  }

  std::string hostName() const {
    return session_.host().data() != nullptr ? session_.host().data() : "";
  }

  // The host and the first line of its response header, for the failure
  // sentences.
  std::string answer() const {
    const char* header =
        session_.responseHeader().data() != nullptr ? session_.responseHeader().data() : "";
    return hostName() + " answered " + std::string(header, strcspn(header, "\r\n"));
  }

  // Takes the validator of the response that the file's first byte came
  // from, which the session holds: its ETag, or its Last-Modified.
  void takeValidator() {
    TextBuffer value = session_.headerValue("ETag", 0);
    if (value.data() == nullptr) value = session_.headerValue("Last-Modified", 0);
    validator_ = value.data() != nullptr ? value.data() : "";
    validatorTaken_ = true;
  }

  // Retry number `retry` of `retries`: announces it, waits, repeats the
  // request for the rest of the body and reads what the answer brings.
  Status attemptAgain(int32_t retry, int32_t retries) {
    int32_t seconds = retryWaitSeconds(retry);
    reportNotice(formatText("download interrupted at %lld bytes (%s); retrying in %d s (%d of %d)",
                            static_cast<long long>(count_), reason_.c_str(),
                            static_cast<int>(seconds), static_cast<int>(retry),
                            static_cast<int>(retries)));
    waitSeconds(seconds, retry_.secondMillis);
    if (!validatorTaken_) takeValidator();

    Status answered = session_.requestRest(count_, validator_.c_str());
    if (!answered.ok()) return interrupted(answered);
    int32_t status = session_.status();
    if (status == kStatusOk) return startOver();
    if (status >= kStatusFirstError) {
      return interrupted(Status(kCannotConnect, answer() + " for " + session_.requestPath()));
    }
    TextBuffer value = session_.headerValue("Content-Range", 0);
    ContentRange range;
    bool rest = status == kStatusPartial && parseContentRange(value.data(), &range) &&
                range.start == count_ && (!announced_ || range.total < 0 || range.total == total_);
    if (!rest) {
      std::string got = answer();
      if (value.data() != nullptr) got += formatText(" (Content-Range %s)", value.data());
      return interrupted(Status::unknownError(
          kIncomplete, formatText("%s, then %s to the request for the bytes from %lld on",
                                  written().c_str(), got.c_str(), static_cast<long long>(count_))));
    }
    // The rest follows the bytes in the file.
    end_ = range.end + 1;
    if (range.total >= 0) {
      announced_ = true;
      total_ = range.total;
    }
    showProgress(count_ / kKilobyte, total_ / kKilobyte);
    return readBody();
  }

  // The answer is the whole body again: the file starts over with it.
  Status startOver() {
    if (int error = file_.truncate()) {
      fileFailed_ = true;
      std::string detail = formatText("cannot start the output file again (%s)", strerror(error));
      return Status::unknownError(detail.c_str(), written());
    }
    count_ = 0;
    announced_ = announcedLength(session_, &total_);
    end_ = announced_ ? total_ : -1;
    takeValidator();
    showProgress(0, total_ / kKilobyte);
    return readBody();
  }

  // Writes the session body's bytes, up to the end of the body, to the file
  // and empties the body. Returns 0, or the system's error number when the
  // file took fewer bytes than it was given.
  int writeHeld() {
    int64_t n = session_.body().length();
    if (end_ >= 0 && n > end_ - count_) n = end_ - count_;
    int error = 0;
    if (n > 0) {
      errno = 0;
      int32_t done = file_.write(session_.body().data(), static_cast<int32_t>(n));
      count_ += done;
      if (done < n) error = errno != 0 ? errno : EIO;
    }
    session_.clearBody();
    return error;
  }

  // Writes what the session holds of the body and then each piece that
  // arrives, until the body's end (the peer's close when it has no length).
  Status readBody() {
    session_.reserveBody(kDownloadPiece);
    // The bytes held come from the current connection's response. Without a
    // connection there is no response, and what the body holds (a request
    // body set by "@->body:") stays out of the file.
    if (session_.connection(0) == nullptr) return Status();
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
        // A part of the body that ended before the whole leaves the rest
        // for another attempt.
        if (announced_ && count_ < total_) {
          return interrupted(Status::unknownError(
              kIncomplete, written() + ", then the part that " + hostName() + " sent ended"));
        }
        return Status();
      case kNoConnection:
        return Status();
      case kTimedOut:
      case kUnknownError:
        return interrupted(received);
      default:
        // Without a length, the server's close is the normal end; a read that
        // failed (a reset, a broken TLS record) leaves the file incomplete.
        if (end_ < 0 && session_.closedByPeer()) return Status();
        return interrupted(
            Status::unknownError(kIncomplete, written() + ", then " + received.message()));
    }
  }

  HttpSession& session_;
  FileHandle& file_;
  const char* path_;
  const RetryPolicy& retry_;
  // Bytes in the file.
  int64_t count_ = 0;
  // The announced length of the whole body, when there was one.
  bool announced_ = false;
  int64_t total_ = 0;
  // Where the bytes of the current answer end in the file; -1: at the
  // server's close.
  int64_t end_ = -1;
  // The output file failed; nothing is retried.
  bool fileFailed_ = false;
  // What the last attempt's failure was, as the retry announcement names it.
  std::string reason_;
  // The ETag or Last-Modified of the response the file began with ("" when
  // it had neither), once it has been needed.
  bool validatorTaken_ = false;
  std::string validator_;
};

}  // namespace

Status downloadToFile(HttpSession& session, const char* outputPath, const RetryPolicy& retry) {
  FileHandle out(outputPath, "wb");
  if (out.stream == nullptr) {
    if (outputPath == nullptr) {
      return Status(kOutputFileError, std::string("no output file was named") + kHelpHint);
    }
    return Status(kOutputFileError, formatText("cannot open the output file %s (%s)", outputPath,
                                               strerror(out.openError)));
  }
  // Each piece goes out in one write; a stdio buffer would only split it.
  setvbuf(out.stream, nullptr, _IONBF, 0);
  Download download(session, out, outputPath, retry);
  return download.run();
}

bool announcedLength(HttpSession& session, int64_t* length) {
  TextBuffer text = session.headerValue("Content-Length", 0);
  *length = 0;
  if (text.data() == nullptr) return false;
  char* end = nullptr;
  long long number = strtoll(text.data(), &end, 10);
  if (end == text.data() || number < 0) return false;
  *length = number;
  return true;
}
