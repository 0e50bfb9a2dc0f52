// "@->file:": opens the output file and hands it to the download of the
// response body (http/download_body.h) as the place its bytes go. With
// "@resume=1" that place is a part file (script/part_file.h), which a later
// run continues and which replaces the output file once it is complete.
#include "script/download.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "base/messages.h"
#include "http/download_body.h"
#include "http/response_parser.h"
#include "http/resume.h"
#include "http/session.h"
#include "script/part_file.h"
#include "text/file_handle.h"

namespace {

// A regular file sets disk room aside this far ahead of the bytes written
// (without changing its size) while the body's end is known: the system
// then places the blocks in a few large runs instead of page by page, which
// takes about a fifth off the time a large download spends writing (and a
// window of 32 MiB, with a quarter of the calls, about 7% more than one of
// 8 MiB). A window rather than the whole length, so that a server that
// announces more than it sends holds at most this much of the disk, and
// only until the file is closed.
const int64_t kReserveAhead = 32 * 1024 * 1024;

// The output file as a download writes it. A regular file reads its last
// bytes back from the disk, through a descriptor of its own (the output is
// opened for writing only, so that a pipe is never opened for reading);
// any other output (a pipe, a terminal, a device) keeps the last
// kResumeOverlap bytes written in memory instead. A regular file takes
// bytes from a pipe unless it is open for appending (the system refuses
// that); so does a pipe when nothing will be read back (the download is
// never resumed).
class OutputFile : public DownloadSink {
 public:
  // `written`: the bytes the file holds already (a part continued).
  OutputFile(FileHandle& file, const char* path, bool mayResume, int64_t written = 0)
      : file_(file), written_(written) {
    struct stat info;
    if (fstat(fileno(file.stream), &info) != 0) return;
    if (S_ISREG(info.st_mode)) readFd_ = open(path, O_RDONLY | O_CLOEXEC);
    reserving_ = S_ISREG(info.st_mode);
    int flags = fcntl(fileno(file.stream), F_GETFL);
    takesFromPipe_ = (S_ISREG(info.st_mode) && flags >= 0 && (flags & O_APPEND) == 0) ||
                     (S_ISFIFO(info.st_mode) && !mayResume);
  }
  ~OutputFile() override {
    if (readFd_ >= 0) ::close(readFd_);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  int write(const char* data, size_t length, size_t* written) override {
    reserveFor(length);
    errno = 0;
    int32_t done = file_.write(data, static_cast<int32_t>(length));
    *written = done > 0 ? static_cast<size_t>(done) : 0;
    if (done > 0) keep(data, *written);
    if (*written < length) return errno != 0 ? errno : EIO;
    return 0;
  }

  int restart() override {
    written_ = 0;
    reservedTo_ = 0;
    tail_.clear();
    if (int error = file_.truncate()) return error;
    return restarted_ ? restarted_() : 0;
  }

  bool takesFromPipe() const override { return takesFromPipe_; }

  int writeFrom(SplicePipe& pipe) override {
    if (!takesFromPipe_) return kDrainRefused;
    int held = pipe.held();
    reserveFor(static_cast<size_t>(held));
    int result = pipe.drainTo(fileno(file_.stream));
    written_ += held - pipe.held();
    return result;
  }

  void expect(int64_t end) override { expectedEnd_ = end; }

  // Gives back the room set aside past the file's end, then closes the
  // file. Returns 0 or the system's error number (as FileHandle::close).
  int close() {
    struct stat info;
    // Cutting a file to its own size frees its blocks past the end and
    // leaves its bytes as they are.
    if (reservedTo_ > 0 && fstat(fileno(file_.stream), &info) == 0 &&
        ftruncate(fileno(file_.stream), info.st_size) != 0) {
      // The bytes are all there; only the room past the end stays taken,
      // which is no reason to fail the download.
    }
    return file_.close();
  }

  // Calls `restarted` after each restart; its error number fails it.
  void onRestart(std::function<int()> restarted) { restarted_ = std::move(restarted); }

  int readBack(char* into, size_t length) override {
    if (readFd_ < 0) {
      memcpy(into, tail_.data() + tail_.size() - length, length);
      return 0;
    }
    off_t from = static_cast<off_t>(written_ - static_cast<int64_t>(length));
    size_t done = 0;
    while (done < length) {
      ssize_t got = pread(readFd_, into + done, length - done, from + static_cast<off_t>(done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return got < 0 ? errno : EIO;
      done += static_cast<size_t>(got);
    }
    return 0;
  }

 private:
  // Sets room aside for the next `length` bytes, and kReserveAhead more, up
  // to the expected end. A file system that cannot (or a full disk) ends
  // the reserving; the writes then go on as they would have.
  void reserveFor(size_t length) {
    int64_t needed = written_ + static_cast<int64_t>(length);
    if (!reserving_ || needed <= reservedTo_ || reservedTo_ >= expectedEnd_) return;
    int64_t from = reservedTo_ > written_ ? reservedTo_ : written_;
    int64_t to = needed + kReserveAhead < expectedEnd_ ? needed + kReserveAhead : expectedEnd_;
    if (to <= from) return;
    if (fallocate(fileno(file_.stream), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                  static_cast<off_t>(to - from)) != 0) {
      reserving_ = false;
      return;
    }
    reservedTo_ = to;
  }

  // Counts what was written and, for an output that cannot be read back,
  // keeps its last kResumeOverlap bytes (trimmed once they reach twice that,
  // so that each byte is moved about once).
  void keep(const char* data, size_t length) {
    written_ += static_cast<int64_t>(length);
    if (readFd_ >= 0) return;
    tail_.append(data, length);
    const size_t overlap = static_cast<size_t>(kResumeOverlap);
    if (tail_.size() >= 2 * overlap) tail_.erase(0, tail_.size() - overlap);
  }

  FileHandle& file_;
  bool takesFromPipe_ = false;
  int readFd_ = -1;
  int64_t written_ = 0;
  // Disk room is set aside up to reservedTo_ (0: none), while reserving_,
  // for the bytes up to expectedEnd_ (-1: not known).
  bool reserving_ = false;
  int64_t reservedTo_ = 0;
  int64_t expectedEnd_ = -1;
  std::string tail_;
  std::function<int()> restarted_;
};

// Progress figures are in kilobytes.
const int64_t kKilobyte = 1024;

const int32_t kStatusPartial = 206;

// What "@->file:" does with a part that it finds.
enum class PartStep { kStartOver, kContinue, kRename };

// What the meta file keeps of the response the session holds: the
// validator a resumed request sends (see Resumption) and the length, read
// without the traces of a plugin's lookups.
PartMeta responseMeta(const HttpSession& session) {
  const char* header = session.responseHeader().data();
  header = header != nullptr ? header : "";
  std::string etag;
  std::string lastModified;
  std::string length;
  headerField(header, "ETag", false, &etag);
  headerField(header, "Last-Modified", false, &lastModified);
  PartMeta meta;
  if (headerField(header, "Content-Length", false, &length) &&
      session.bodyFraming().kind != BodyFraming::kChunked) {
    meta.length = contentLengthOf(length.data(), length.size());
  }
  if (session.status() == kStatusPartial) {
    // A part of the file: its length is the TOTAL of a range that starts it.
    std::string range;
    int64_t first = 0;
    int64_t last = 0;
    int64_t total = -1;
    bool starts = headerField(header, "Content-Range", false, &range) &&
                  parseContentRange(range.c_str(), &first, &last, &total) && first == 0;
    meta.length = starts ? total : -1;
  }
  Resumption resumption;
  resumption.begin(etag.c_str(), lastModified.c_str(), meta.length);
  meta.validatorHeader = resumption.validatorName();
  meta.validator = resumption.ifRange();
  return meta;
}

// Chooses what to do with a part of `size` bytes (-1: none) when the
// response at hand is described by `now`; *from receives where a continued
// download starts.
PartStep choosePartStep(const PartFile& part, int64_t size, const PartMeta& now,
                        ContinuedFile* from) {
  PartMeta kept;
  if (size <= 0 || !part.readMeta(&kept) || !partMetaAgrees(kept, now)) {
    return PartStep::kStartOver;
  }
  int64_t length = kept.length >= 0 ? kept.length : now.length;
  if (length >= 0 && size > length) return PartStep::kStartOver;
  from->count = size;
  from->length = length;
  (kept.validatorHeader == "ETag" ? from->etag : from->lastModified) = kept.validator;
  return size == length ? PartStep::kRename : PartStep::kContinue;
}

// The output failed with the system's error number `error`; `where` says
// in which step.
Status cannotWrite(int error, const std::string& where) {
  std::string detail = formatText("cannot write the output file (%s)", strerror(error));
  return Status::unknownError(detail.c_str(), where);
}

// The part is complete: it replaces the output file.
Status finishPart(const PartFile& part) {
  if (int error = part.finish()) {
    return cannotWrite(error, "cannot rename " + part.partPath() + " to " + part.outputPath() +
                                  "; the part is kept in " + part.partPath());
  }
  return Status();
}

Status cannotOpen(const std::string& path, const char* reason) {
  return Status(kOutputFileError,
                formatText("cannot open the output file %s (%s)", path.c_str(), reason));
}

// "@->file:" into OUTPUT.part: continues the part an earlier run kept when
// the response at hand agrees with its meta file, renames it when it is
// whole, and otherwise starts it with the response at hand. A failure
// leaves the part and its meta file and says so.
Status downloadToPart(HttpSession& session, const char* outputPath, const RetryPolicy& retry) {
  PartFile part(outputPath);
  int64_t size = -1;
  struct stat info;
  if (lstat(part.partPath().c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) return cannotOpen(part.partPath(), "not a regular file");
    size = info.st_size;
  }
  PartMeta now = responseMeta(session);
  ContinuedFile from;
  // Only a response at hand can be compared with the part, and a request
  // with a Range of the plugin's own is never resumed.
  bool comparable = session.connection(0) != nullptr && !requestHasOwnRange(session);
  PartStep step = comparable ? choosePartStep(part, size, now, &from) : PartStep::kStartOver;
  if (step == PartStep::kRename) {
    // The rest of the response at hand is not needed.
    session.closeSlot(0);
    session.clearBody();
    showProgress(from.count / kKilobyte, from.length / kKilobyte);
    report(kPlainText, "/\n");
    return finishPart(part);
  }

  bool continued = step == PartStep::kContinue;
  FileHandle file(part.partPath().c_str(), continued ? "ab" : "wb");
  if (file.stream == nullptr) return cannotOpen(part.partPath(), strerror(file.openError));
  // The meta file describes the response that the part's first byte comes
  // from: it is written before that byte, and again when the part starts
  // over with the response then at hand.
  if (!continued) {
    if (int error = part.writeMeta(now)) return cannotWrite(error, "writing " + part.metaPath());
  }
  setvbuf(file.stream, nullptr, _IONBF, 0);
  OutputFile sink(file, part.partPath().c_str(), true, continued ? from.count : 0);
  sink.onRestart([&]() { return part.writeMeta(responseMeta(session)); });
  if (continued) {
    reportNotice(
        formatText("resuming %s at %lld bytes", outputPath, static_cast<long long>(from.count)));
  }
  Status result =
      downloadBody(session, sink, part.partPath().c_str(), retry, continued ? &from : nullptr);
  int closeError = sink.close();
  if (result.ok() && closeError != 0) {
    result = cannotWrite(closeError, "closing " + part.partPath());
  }
  if (result.ok()) return finishPart(part);
  result.addTrailer("; the part is kept in " + part.partPath());
  return result;
}

}  // namespace

Status downloadToFile(HttpSession& session, const char* outputPath, const RetryPolicy& retry) {
  if (retry.resume && outputPath != nullptr && resumableOutput(outputPath)) {
    return downloadToPart(session, outputPath, retry);
  }
  FileHandle out(outputPath, "wb");
  if (out.stream == nullptr) {
    if (outputPath == nullptr) {
      return Status(kOutputFileError, std::string("no output file was named") + kHelpHint);
    }
    return cannotOpen(outputPath, strerror(out.openError));
  }
  // Each piece goes out in one write; a stdio buffer would only split it.
  setvbuf(out.stream, nullptr, _IONBF, 0);
  OutputFile sink(out, outputPath, retry.retries > 0);
  Status result = downloadBody(session, sink, outputPath, retry);
  int closeError = sink.close();
  if (result.ok() && closeError != 0) {
    return cannotWrite(closeError, formatText("closing %s", outputPath));
  }
  return result;
}
