// "@->file:": opens the output file and hands it to the download of the
// response body (http/download_body.h) as the place its bytes go
// (script/output_file.h). With "@resume=1" that place is a part file
// (script/part_file.h), which a later run continues and which replaces the
// output file once it is complete; with "@split=" above 1 a body that can
// be fetched in pieces goes into the part over several connections
// (http/split_download.h).
#include "script/download.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "http/download_body.h"
#include "http/file_identity.h"
#include "http/session.h"
#include "http/splice_pipe.h"
#include "http/split_download.h"
#include "script/output_file.h"
#include "script/part_file.h"
#include "text/file_handle.h"

namespace {

// Progress figures are in kilobytes.
const int64_t kKilobyte = 1024;

// The output failed with the system's error number `error`; `where` says
// in which step.
Status cannotWrite(int error, const std::string& where) {
  std::string detail = formatText("cannot write the output file (%s)", strerror(error));
  return Status::unknownError(detail.c_str(), where);
}

Status cannotOpen(ResultCode code, const std::string& path, const char* reason) {
  return Status(code, formatText("cannot open the output file %s (%s)", path.c_str(), reason));
}

// The part is complete: it replaces the output file.
Status finishPart(const PartFile& part) {
  if (int error = part.finish()) {
    return cannotWrite(error, "cannot rename " + part.partPath() + " to " + part.outputPath() +
                                  "; the part is kept in " + part.partPath());
  }
  return Status();
}

// The part as a file that pieces are written to at any place, whose meta
// file lists the bytes it holds.
class PartPieces : public PieceSink {
 public:
  PartPieces(const PartFile& part, const FileIdentity& file)
      : part_(part), file_(file), fd_(part.descriptor()) {}
  ~PartPieces() override {
    if (fd_ >= 0) ::close(fd_);
  }
  PartPieces(const PartPieces&) = delete;
  PartPieces& operator=(const PartPieces&) = delete;

  // The system's error number when the part could not be opened again; 0.
  int openError() const { return fd_ >= 0 ? 0 : errno != 0 ? errno : EBADF; }

  int writeAt(int64_t offset, const char* data, size_t length) override {
    return ::writeAt(fd_, offset, data, length);
  }
  int writeFromAt(SplicePipe& pipe, int64_t offset) override { return pipe.drainTo(fd_, &offset); }
  int readAt(int64_t offset, char* into, size_t length) override {
    return ::readAt(fd_, offset, into, length);
  }
  int keepHeld(const std::vector<ByteRange>& held) override {
    return part_.writeMeta(file_, &held);
  }
  int drop() override {
    if (ftruncate(fd_, 0) != 0) return errno;
    return keepHeld(std::vector<ByteRange>());
  }
  // Room set aside within the file's holes stays with a part that a run
  // leaves; a later run fills it.
  void reserve(int64_t from, int64_t to) override {
    if (!reserving_) return;
    if (fallocate(fd_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                  static_cast<off_t>(to - from))) {
      reserving_ = false;
    }
  }

 private:
  const PartFile& part_;
  const FileIdentity file_;
  int fd_;
  // A file system that cannot set room aside is not asked again.
  bool reserving_ = true;
};

// Whether the open `part` continues with the response at hand, described by
// `now`: fills *kept (and *held, for a part fetched in pieces) and returns
// true when it does. When the part holds bytes that cannot be continued,
// standard error says why.
bool continuesPart(const PartFile& part, const FileIdentity& now, KeptPart* kept,
                   HeldPieces* held) {
  int64_t size = part.size();
  if (size <= 0) return false;
  FileIdentity file;
  const char* why = nullptr;
  if (!part.readMeta(&file, held) ||
      !part.readable(size < kResumeOverlap ? size : kResumeOverlap) ||
      (held->listed && file.ifRange().empty())) {
    why = "%s.meta cannot be read; starting over";
  } else {
    PartVerdict verdict = comparePart(file, now);
    int64_t length = file.length >= 0 ? file.length : now.length;
    if (verdict == PartVerdict::kUncheckable) {
      why = "%s cannot be checked against the server's file (no validator); starting over";
    } else if (verdict == PartVerdict::kOther || (length >= 0 && size > length)) {
      why = "%s holds another version of the file; starting over";
    }
    file.length = length;
  }
  if (why != nullptr) {
    reportNotice(formatText(why, part.partPath().c_str()));
    return false;
  }
  kept->bytes = size;
  if (held->listed) {
    kept->bytes = 0;
    for (const ByteRange& range : held->ranges) kept->bytes += range.end - range.start;
  }
  kept->file = file;
  kept->outputName = part.outputPath();
  return kept->bytes > 0;
}

// What a download into `part` that ended with `result` leaves: the part
// replaces the output when the download is complete; otherwise it is kept
// and the failure says so (an interrupt's line says where already).
Status endOfPart(const PartFile& part, Status result) {
  if (result.ok()) return finishPart(part);
  if (!isInterruption(result.code())) result.addTrailer("; the part is kept in " + part.partPath());
  return result;
}

// The body into the open `part` over up to retry.split connections: a new
// download of the response at hand (`held` empty: the part is emptied and
// its meta file, which describes `file`, written before the first byte), or
// the rest of one that an earlier run fetched in pieces.
Status downloadPieces(HttpSession& session, const PartFile& part, const FileIdentity& file,
                      const std::vector<ByteRange>& held, const RetryPolicy& retry) {
  // An empty part is not emptied again: the file system would then write
  // all of it out when it is closed.
  if (held.empty() && part.size() != 0) {
    if (int error = part.truncate()) return cannotWrite(error, "emptying " + part.partPath());
  }
  PartPieces sink(part, file);
  if (int error = sink.openError())
    return cannotOpen(kOutputFileError, part.partPath(), strerror(error));
  if (held.empty()) {
    if (int error = sink.keepHeld(held)) return cannotWrite(error, "writing " + part.metaPath());
  }
  SplitStart start;
  start.file = file;
  start.held = held;
  start.outputName = part.outputPath();
  return endOfPart(
      part, downloadInPieces(session, sink, part.partPath().c_str(), start, retry.split, retry));
}

// "@->file:" into OUTPUT.part: continues the part an earlier run kept when
// the response at hand agrees with its meta file, renames it when it is
// whole, and otherwise starts it with the response at hand. A failure
// leaves the part and its meta file and says so.
Status downloadToPart(HttpSession& session, const char* outputPath, const RetryPolicy& retry) {
  PartFile part(outputPath);
  switch (part.open()) {
    case PartFile::kOpened:
      break;
    case PartFile::kInUse:
      return Status::unknownError((part.partPath() + " is in use by another run").c_str(),
                                  "it is left as it is");
    case PartFile::kNotRegular:
      return cannotOpen(kHostNotFound, part.partPath(), "not a regular file");
    case PartFile::kFailed:
      return cannotOpen(kOutputFileError, part.partPath(), strerror(part.error()));
  }
  const FileIdentity now = identifyFile(session);
  KeptPart kept;
  HeldPieces held;
  // Only a response at hand can be compared with the part, and a request
  // with a Range of the plugin's own is never resumed.
  bool continued = session.connection(0) != nullptr && !requestHasOwnRange(session) &&
                   continuesPart(part, now, &kept, &held);
  if (continued && held.listed && kept.bytes < kept.file.length) {
    return downloadPieces(session, part, kept.file, held.ranges, retry);
  }
  if (!continued && retry.split > 1 && now.splittable && session.connection(0) != nullptr) {
    return downloadPieces(session, part, now, std::vector<ByteRange>(), retry);
  }
  if (continued && kept.file.length == kept.bytes) {
    // The part is whole: the rest of the response at hand is not needed.
    session.closeSlot(0);
    session.clearBody();
    showProgress(kept.bytes / kKilobyte, kept.file.length / kKilobyte);
    report(kPlainText, "/\n");
    return finishPart(part);
  }
  // The meta file describes the response that the part's first byte comes
  // from: it is written before that byte, and again when the part starts
  // over with the response then at hand.
  if (!continued) {
    if (int error = part.truncate()) return cannotWrite(error, "emptying " + part.partPath());
    if (int error = part.writeMeta(now)) return cannotWrite(error, "writing " + part.metaPath());
  }
  int fd = part.descriptor();
  FILE* stream = fd >= 0 ? fdopen(fd, "r+b") : nullptr;
  if (stream == nullptr) {
    int error = errno;
    if (fd >= 0) close(fd);
    return cannotOpen(kOutputFileError, part.partPath(), strerror(error));
  }
  FileHandle file(part.partPath().c_str(), stream);
  setvbuf(file.stream, nullptr, _IONBF, 0);
  if (continued && fseeko(file.stream, 0, SEEK_END) != 0) {
    return cannotWrite(errno, "seeking in " + part.partPath());
  }
  OutputFile sink(file, part.descriptor(), true, continued ? kept.bytes : 0);
  sink.onRestart([&]() { return part.writeMeta(identifyFile(session)); });
  Status result =
      downloadBody(session, sink, part.partPath().c_str(), retry, continued ? &kept : nullptr);
  int closeError = sink.close();
  if (result.ok() && closeError != 0) {
    result = cannotWrite(closeError, "closing " + part.partPath());
  }
  return endOfPart(part, result);
}

}  // namespace

bool isStandardOutput(const char* outputPath) {
  return outputPath != nullptr && strcmp(outputPath, kStandardOutputName) == 0;
}

Status downloadToFile(HttpSession& session, const char* outputPath, const RetryPolicy& retry) {
  const bool toStandardOutput = isStandardOutput(outputPath);
  // A body fetched in pieces goes into a part as a resumed one does.
  if ((retry.resume || retry.split > 1) && outputPath != nullptr && !toStandardOutput &&
      resumableOutput(outputPath)) {
    return downloadToPart(session, outputPath, retry);
  }
  FileHandle out =
      toStandardOutput ? FileHandle(STDOUT_FILENO, outputPath, "wb") : FileHandle(outputPath, "wb");
  // What failures call the output.
  const char* name = toStandardOutput ? "standard output" : outputPath;
  if (out.stream == nullptr) {
    if (outputPath == nullptr) {
      return Status(kOutputFileError, std::string("no output file was named") + kHelpHint);
    }
    return cannotOpen(kOutputFileError, name, strerror(out.openError));
  }
  // Each piece goes out in one write; a stdio buffer would only split it.
  setvbuf(out.stream, nullptr, _IONBF, 0);
  OutputFile sink(out, toStandardOutput ? -1 : readBackDescriptor(outputPath, out),
                  retry.retries > 0);
  if (toStandardOutput) sink.keepWhatItHolds();
  Status result = downloadBody(session, sink, name, retry);
  int closeError = sink.close();
  if (result.ok() && closeError != 0) {
    return cannotWrite(closeError, formatText("closing %s", name));
  }
  return result;
}
