// "@->file:": opens the output file and hands it to the download of the
// response body (http/download_body.h) as the place its bytes go.
#include "script/download.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "http/download_body.h"
#include "http/resume.h"
#include "text/file_handle.h"

namespace {

// The output file as a download writes it. A regular file reads its last
// bytes back from the disk, through a descriptor of its own (the output is
// opened for writing only, so that a pipe is never opened for reading);
// any other output (a pipe, a terminal, a device) keeps the last
// kResumeOverlap bytes written in memory instead.
class OutputFile : public DownloadSink {
 public:
  OutputFile(FileHandle& file, const char* path) : file_(file) {
    struct stat info;
    if (fstat(fileno(file.stream), &info) == 0 && S_ISREG(info.st_mode)) {
      readFd_ = open(path, O_RDONLY | O_CLOEXEC);
    }
  }
  ~OutputFile() override {
    if (readFd_ >= 0) ::close(readFd_);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  int write(const char* data, size_t length) override {
    errno = 0;
    int32_t done = file_.write(data, static_cast<int32_t>(length));
    if (done > 0) keep(data, static_cast<size_t>(done));
    if (static_cast<size_t>(done) < length) return errno != 0 ? errno : EIO;
    return 0;
  }

  int restart() override {
    written_ = 0;
    tail_.clear();
    return file_.truncate();
  }

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
  int readFd_ = -1;
  int64_t written_ = 0;
  std::string tail_;
};

}  // namespace

Status downloadToFile(HttpSession& session, const char* outputPath, const RetryPolicy& retry) {
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
  OutputFile sink(out, outputPath);
  Status result = downloadBody(session, sink, outputPath, retry);
  int closeError = out.close();
  if (result.ok() && closeError != 0) {
    return Status::unknownError(
        formatText("cannot write the output file (%s)", strerror(closeError)).c_str(),
        formatText("closing %s", outputPath));
  }
  return result;
}
