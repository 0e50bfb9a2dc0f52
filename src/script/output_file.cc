// The output file of a download: writes, the disk room set aside ahead of
// them, the bytes read back for a resumed answer, and the restart.
#include "script/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "text/file_handle.h"

OutputFile::OutputFile(FileHandle& file, int readFd, bool mayResume, int64_t written)
    : file_(file), readFd_(readFd), written_(written) {
  struct stat info;
  if (fstat(fileno(file.stream), &info) != 0) return;
  reserving_ = S_ISREG(info.st_mode);
  int flags = fcntl(fileno(file.stream), F_GETFL);
  // Bytes that go through a pipe are not kept in memory: only an output
  // read back from the disk, or never read back, takes them.
  const bool appending = flags < 0 || (flags & O_APPEND) != 0;
  takesFromPipe_ = (readFd >= 0 || !mayResume) &&
                   ((S_ISREG(info.st_mode) && !appending) || S_ISFIFO(info.st_mode));
}

OutputFile::~OutputFile() {
  if (readFd_ >= 0) ::close(readFd_);
}

int OutputFile::write(const char* data, size_t length, size_t* written) {
  reserveFor(length);
  errno = 0;
  int32_t done = file_.write(data, static_cast<int32_t>(length));
  *written = done > 0 ? static_cast<size_t>(done) : 0;
  if (done > 0) keep(data, *written);
  if (*written < length) return errno != 0 ? errno : EIO;
  return 0;
}

int OutputFile::restart() {
  written_ = 0;
  reservedTo_ = 0;
  tail_.clear();
  if (!emptiable_) return ESPIPE;
  if (int error = file_.truncate()) return error;
  return restarted_ ? restarted_() : 0;
}

int OutputFile::writeFrom(SplicePipe& pipe) {
  if (!takesFromPipe_) return kDrainRefused;
  int held = pipe.held();
  reserveFor(static_cast<size_t>(held));
  int result = pipe.drainTo(fileno(file_.stream));
  written_ += held - pipe.held();
  return result;
}

void OutputFile::onRestart(std::function<int()> restarted) {
  restarted_ = std::move(restarted);
  keptAcrossRuns_ = true;
}

void OutputFile::keepWhatItHolds() {
  emptiable_ = false;
  reserving_ = false;
}

int OutputFile::close() {
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

int OutputFile::readBack(char* into, size_t length) {
  if (readFd_ < 0) {
    // Only what was kept can be given back.
    if (length > tail_.size()) return EIO;
    memcpy(into, tail_.data() + tail_.size() - length, length);
    return 0;
  }
  return ::readAt(readFd_, written_ - static_cast<int64_t>(length), into, length);
}

void OutputFile::reserveFor(size_t length) {
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

void OutputFile::keep(const char* data, size_t length) {
  written_ += static_cast<int64_t>(length);
  if (readFd_ >= 0) return;
  tail_.append(data, length);
  const size_t overlap = static_cast<size_t>(kResumeOverlap);
  if (tail_.size() >= 2 * overlap) tail_.erase(0, tail_.size() - overlap);
}

int readBackDescriptor(const char* path, FileHandle& file) {
  struct stat info;
  if (file.stream == nullptr || fstat(fileno(file.stream), &info) != 0 || !S_ISREG(info.st_mode)) {
    return -1;
  }
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat read;
  // Only the file being written: not another one put in its place.
  if (fd >= 0 &&
      (fstat(fd, &read) != 0 || read.st_dev != info.st_dev || read.st_ino != info.st_ino)) {
    ::close(fd);
    fd = -1;
  }
  return fd;
}
