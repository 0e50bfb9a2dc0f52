// The body loop of a download and its retries: 200 against 206, the
// Content-Range and validator checks of judgeRange, and the overlap that a
// resumed answer must repeat exactly.
#include "http/download_body.h"

#include <cstring>
#include <memory>
#include <string>

#include "base/interrupt.h"
#include "base/messages.h"
#include "http/buffer_page.h"
#include "http/http_status.h"
#include "http/response_parser.h"
#include "http/session.h"
#include "http/speed_check.h"
#include "http/splice_pipe.h"
#include "text/text_buffer.h"

namespace {

// Progress figures are in kilobytes.
const int64_t kKilobyte = 1024;

const char kIncomplete[] = "download incomplete";
const char kChangedOnServer[] = "the file changed on the server";

// One download into a sink: how far the file got and where the body ends.
// Its retries go through repeatWhileFailing.
class Download : public RepeatableStep {
 public:
  Download(HttpSession& session, DownloadSink& sink, const char* name, const RetryPolicy& retry)
      : session_(session), sink_(sink), name_(name), retry_(retry) {}
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  Status run(const KeptPart* kept) {
    // An interrupt ends the download in order, with what it wrote kept.
    InterruptCatcher catcher;
    // A request with a Range of the plugin's own is repeated as it is.
    ownRange_ = requestHasOwnRange(session_);
    Status result;
    if (kept != nullptr) {
      result = continueFile(*kept);
    } else {
      beginFile();
      result = readBody();
    }
    result = repeatWhileFailing(result, *this, retry_);
    report(kPlainText, "/\n");
    if (int signal = caughtSignal()) {
      const char* where = sink_.keptAcrossRuns() ? "kept in" : "written to";
      result = Status(static_cast<ResultCode>(kInterrupted + signal),
                      formatText("interrupted; %lld bytes %s %s", static_cast<long long>(count_),
                                 where, name_));
    }
    return result;
  }

  bool mayRepeat(const Status& failed, RetryCause* cause) override {
    if (failed.ok() || fileFailed_ || failed.isFinal() || caughtSignal() != 0) return false;
    // In verbose mode the whole sentence of the failure; the announcement
    // names only its reason.
    verboseNote(failed.message());
    cause->what = formatText("download interrupted at %lld bytes (%s)",
                             static_cast<long long>(count_), reason_.c_str());
    return true;
  }

  // A retry: the request again, for the rest of the body, or whole.
  Status again(int32_t) override {
    askedWhole_ = false;
    if (changed_ || !file_.resumable) return askWhole();
    return askForRest();
  }

 private:
  // Takes what the response at hand says of the file it begins: its
  // length, its validators, and whether it can be resumed.
  void beginFile() {
    // The length as "@<-header=" would look it up, with its verbose trace.
    int64_t length = 0;
    announcedLength(session_, &length);
    file_ = identifyFile(session_, &end_);
    announced_ = file_.length >= 0;
    total_ = announced_ ? file_.length : 0;
    showProgress(count_ / kKilobyte, total_ / kKilobyte);
  }

  // Takes up a file that an earlier run began and asks for its rest.
  Status continueFile(const KeptPart& kept) {
    count_ = kept.bytes;
    file_ = kept.file;
    file_.resumable = true;
    announced_ = file_.length >= 0;
    total_ = announced_ ? file_.length : 0;
    resumedName_ = kept.outputName;
    showProgress(count_ / kKilobyte, total_ / kKilobyte);
    return askForRest();
  }

  // A 416 answer says that the range asked for starts past the end of the
  // file: the file is whole when its "Content-Range: bytes */TOTAL" gives
  // the bytes written as the length.
  bool wholeAlready() const {
    std::string value;
    int64_t total = 0;
    const char* header = session_.responseHeader().data();
    return header != nullptr && headerField(header, "Content-Range", false, &value) &&
           parseUnsatisfiedRange(value.c_str(), &total) && total == count_ &&
           (file_.length < 0 || file_.length == count_);
  }

  // How far the file got, for the failure sentences.
  std::string written() const {
    if (!announced_) {
      return formatText("%lld bytes written to %s", static_cast<long long>(count_), name_);
    }
    return formatText("%lld of %lld bytes written to %s", static_cast<long long>(count_),
                      static_cast<long long>(total_), name_);
  }

  // The output failed: the download ends and is not retried.
  Status writeFailure(int error) {
    fileFailed_ = true;
    std::string detail = formatText("cannot write the output file (%s)", strerror(error));
    return Status::unknownError(detail.c_str(), written());
  }

  // The output could not be emptied: the download ends, not retried.
  Status restartFailure(int error) {
    fileFailed_ = true;
    std::string detail = formatText("cannot start the output file again (%s)", strerror(error));
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

  // The body came too slowly: the attempt ends as a time-out does, and the
  // next retry names the stall as its reason.
  Status stalled(const Status& cause) {
    reason_ = kDownloadStalled;
    return Status(cause.code(), formatText("%s, %lld bytes written to %s", cause.message().c_str(),
                                           static_cast<long long>(count_), name_));
  }

  // The answer at hand is another version of the file: what was written is
  // dropped where it would outlive the run, standard error says so, and
  // the whole file is asked for again within the same attempt (once).
  Status fileChanged(const std::string& why) {
    changed_ = true;
    Status failure =
        interrupted(Status::unknownError(kIncomplete, written() + ", then " + kChangedOnServer +
                                                          " (" + answer() + ": " + why + ")"));
    reason_ = kChangedOnServer;
    if (askedWhole_) return failure;
    if (sink_.keptAcrossRuns()) {
      // No later run may continue a part of another version.
      if (int error = sink_.restart()) return restartFailure(error);
      count_ = 0;
      overlap_.clear();
      overlapAt_ = 0;
    }
    reportNotice(std::string(kChangedOnServer) + "; asking for it again from the start");
    return askWhole();
  }

  // The host and the first line of its response header, for the failure
  // sentences.
  std::string answer() const { return session_.answered(); }

  std::string hostAsWritten() const {
    return session_.host().data() != nullptr ? session_.host().data() : "";
  }

  // Asks for the bytes from up to kResumeOverlap before count_ on and reads
  // what the answer brings.
  Status askForRest() {
    int64_t start = rangeStart(count_);
    Status answered = session_.requestRest(start, file_.ifRange().c_str());
    if (!answered.ok()) return interrupted(answered);
    int32_t status = session_.status();
    if (status == kStatusOk) return startOver();
    if (status == kStatusRangeNotSatisfiable && wholeAlready()) return Status();
    if (status >= kStatusFirstError) return refused();
    std::string why;
    AnsweredRange range;
    RangeVerdict verdict = RangeVerdict::kMisfit;
    if (status == kStatusPartialContent) {
      sayResuming(start);
      verdict = judgeRange(file_, session_.responseHeader().data(), start, &range, &why);
    }
    if (verdict == RangeVerdict::kChanged) return fileChanged(why);
    if (verdict == RangeVerdict::kMisfit) {
      return interrupted(Status::unknownError(
          kIncomplete,
          formatText("%s, then %s%s to the request for the bytes from %lld on", written().c_str(),
                     answer().c_str(), why.empty() ? "" : (" (" + why + ")").c_str(),
                     static_cast<long long>(start))));
    }
    // The answer repeats the bytes from `start` to count_, then goes on.
    overlap_.assign(static_cast<size_t>(count_ - start), '\0');
    if (!overlap_.empty()) {
      if (int error = sink_.readBack(&overlap_[0], overlap_.size())) return writeFailure(error);
    }
    overlapAt_ = 0;
    rangeStart_ = start;
    end_ = range.end;
    if (file_.length < 0) file_.length = range.total;
    announced_ = true;
    total_ = range.total;
    showProgress(count_ / kKilobyte, total_ / kKilobyte);
    return readBody();
  }

  // With a part kept by an earlier run, says on standard error that the
  // download goes on from it, once, when a 206 starts where it was asked.
  void sayResuming(int64_t start) {
    if (resumedName_.empty()) return;
    std::string value;
    int64_t first = -1;
    int64_t last = 0;
    int64_t total = 0;
    const char* header = session_.responseHeader().data();
    if (header == nullptr || !headerField(header, "Content-Range", false, &value) ||
        !parseContentRange(value.c_str(), &first, &last, &total) || first != start) {
      return;
    }
    reportNotice(formatText("resuming %s at %lld bytes", resumedName_.c_str(),
                            static_cast<long long>(count_)));
    resumedName_.clear();
  }

  // The request again as it was first sent, without Range: its answer
  // starts the file over.
  Status askWhole() {
    askedWhole_ = true;
    Status answered = session_.requestRest(-1, nullptr);
    if (!answered.ok()) return interrupted(answered);
    int32_t status = session_.status();
    // A Range of the plugin's own may be answered with a part again.
    if (status == kStatusOk || (ownRange_ && status == kStatusPartialContent)) return startOver();
    if (status >= kStatusFirstError) return refused();
    return interrupted(Status::unknownError(
        kIncomplete, written() + ", then " + answer() + " to the repeated request"));
  }

  // An answer of 400 or more: a failed attempt.
  Status refused() { return interrupted(session_.refusal()); }

  // The answer is the whole body again: the file starts over with it.
  Status startOver() {
    if (int error = sink_.restart()) return restartFailure(error);
    count_ = 0;
    changed_ = false;
    overlap_.clear();
    overlapAt_ = 0;
    beginFile();
    return readBody();
  }

  // Writes the session body's bytes, up to the end of the body, to the sink
  // and empties the body; bytes that repeat the end of the file are
  // compared with it instead.
  Status writeHeld() {
    const char* data = session_.body().data();
    int64_t n = session_.body().length();
    size_t overlapLeft = overlap_.size() - overlapAt_;
    if (overlapLeft > 0 && n > 0) {
      size_t same = n < static_cast<int64_t>(overlapLeft) ? static_cast<size_t>(n) : overlapLeft;
      if (memcmp(data, overlap_.data() + overlapAt_, same) != 0) {
        session_.clearBody();
        return fileChanged(formatText("its bytes from %lld on differ from those written",
                                      static_cast<long long>(rangeStart_)));
      }
      overlapAt_ += same;
      data += same;
      n -= static_cast<int64_t>(same);
    }
    if (end_ >= 0 && n > end_ - count_) n = end_ - count_;
    if (n > 0) {
      if (int error = put(data, static_cast<size_t>(n))) {
        session_.clearBody();
        return writeFailure(error);
      }
    }
    session_.clearBody();
    return Status();
  }

  // Writes `length` bytes to the sink and counts those that went in.
  // Returns 0 or the system's error number.
  int put(const char* data, size_t length) {
    size_t written = 0;
    int error = sink_.write(data, length, &written);
    count_ += static_cast<int64_t>(written);
    return error;
  }

  // Whether more of the answer at hand belongs in the file.
  bool wantsMore() const {
    // A resumed answer is read at least to the end of its overlap, which
    // proves the file the same even when nothing follows it.
    if (end_ >= 0) return count_ < end_ || overlapAt_ < overlap_.size();
    return !session_.bodyComplete();
  }

  // The most bytes the next piece may bring: kDownloadPiece, and no more
  // than the answer still has to give (its repeated bytes included).
  int32_t pieceSize() const {
    int64_t most = kDownloadPiece;
    if (end_ >= 0) {
      int64_t left = end_ - count_ + static_cast<int64_t>(overlap_.size() - overlapAt_);
      if (left < most) most = left;
    }
    return static_cast<int32_t>(most);
  }

  // Writes the bytes the pipe holds to the sink. An output that takes
  // nothing from a pipe gets them through memory, and the rest of the
  // download is read as without the pipe.
  Status writePiped() {
    int held = pipe_->held();
    int error = sink_.writeFrom(*pipe_);
    count_ += held - pipe_->held();
    if (error == kDrainRefused) {
      splicing_ = false;
      std::string bytes(static_cast<size_t>(held), '\0');
      if (pipe_->readHeld(&bytes[0], held) != held) return writeFailure(EIO);
      error = put(bytes.data(), bytes.size());
    }
    if (error != 0) return writeFailure(error);
    return Status();
  }

  // Writes what the session holds of the body and then each piece that
  // arrives, until the body's end: through the pipe while the output, the
  // connection and the system allow, otherwise read into the session's body.
  Status readBody() {
    if (end_ >= 0) sink_.expect(end_);
    // The bytes held come from the current connection's response. Without a
    // connection there is no response, and what the body holds (a request
    // body set by "@->body:") stays out of the file.
    if (session_.connection(0) == nullptr) return Status();
    int64_t before = count_;
    Status wrote = writeHeld();
    if (!wrote.ok()) return wrote;
    if (count_ > before) showProgress(count_ / kKilobyte, total_ / kKilobyte);

    Status received;
    while (wantsMore() && caughtSignal() == 0) {
      int32_t most = pieceSize();
      // The bytes that repeat the end of the file are compared in memory.
      bool spliced = splicing_ && overlapAt_ == overlap_.size();
      if (spliced) {
        if (!pipe_) pipe_ = std::make_unique<SplicePipe>();
        bool refused = false;
        received = session_.receiveInto(*pipe_, most, &refused);
        // The way is refused for good: a TLS link, a chunked body, an old
        // system.
        if (refused) spliced = splicing_ = false;
      }
      if (!spliced) {
        // Room for a whole piece, taken once; a spliced body never needs it.
        session_.reserveBody(kDownloadPiece);
        received = session_.receivePiece(most);
      }
      if (!received.ok()) break;
      wrote = spliced ? writePiped() : writeHeld();
      if (!wrote.ok()) return wrote;
      showProgress(count_ / kKilobyte, total_ / kKilobyte);
    }
    switch (received.code()) {
      case kOk:
        // A part of the body that ended before the whole leaves the rest
        // for another attempt.
        if (announced_ && count_ < total_) {
          return interrupted(Status::unknownError(
              kIncomplete, written() + ", then the part that " + hostAsWritten() + " sent ended"));
        }
        return Status();
      case kNoConnection:
        return Status();
      case kTimedOut:
        if (session_.bodyStalled()) return stalled(received);
        return interrupted(received);
      case kUnknownError:
        return interrupted(received);
      default:
        // Without a length, the server's close is the normal end (over TLS,
        // with its closing alert); a read that failed leaves the file
        // incomplete.
        if (end_ < 0 && session_.bodyComplete()) return Status();
        return interrupted(
            Status::unknownError(kIncomplete, written() + ", then " + received.message()));
    }
  }

  HttpSession& session_;
  DownloadSink& sink_;
  const char* name_;
  const RetryPolicy& retry_;
  // Bytes in the file.
  int64_t count_ = 0;
  // The announced length of the whole body, when there was one.
  bool announced_ = false;
  int64_t total_ = 0;
  // Where the bytes of the current answer end in the file; -1: where the
  // body's framing ends it.
  int64_t end_ = -1;
  // The request carries a Range of the plugin's own.
  bool ownRange_ = false;
  // What the answer the file began with said of it.
  FileIdentity file_;
  // The last answer was another version of the file, and whether this
  // attempt asked for the whole file already.
  bool changed_ = false;
  bool askedWhole_ = false;
  // The output's name while a part kept by an earlier run has not yet been
  // said to go on; "" otherwise.
  std::string resumedName_;
  // The end of the file as written, which a resumed answer repeats first,
  // how much of it came back already, and where the answer starts.
  std::string overlap_;
  size_t overlapAt_ = 0;
  int64_t rangeStart_ = 0;
  // The output failed; nothing is retried.
  bool fileFailed_ = false;
  // Pieces go from the socket to the output through `pipe_` (made for the
  // first one), inside the system, while nothing refused that way.
  bool splicing_ = sink_.takesFromPipe();
  std::unique_ptr<SplicePipe> pipe_;
  // What the last attempt's failure was, as the retry announcement names it.
  std::string reason_;
};

}  // namespace

Status downloadBody(HttpSession& session, DownloadSink& sink, const char* outputName,
                    const RetryPolicy& retry, const KeptPart* kept) {
  Download download(session, sink, outputName, retry);
  return download.run(kept);
}
