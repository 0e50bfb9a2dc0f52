// SplicePipe: a kernel pipe between the socket and the output file.
#include "http/splice_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

SplicePipe::SplicePipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return;
  readEnd_ = ends[0];
  writeEnd_ = ends[1];
  // A smaller pipe still works; it only moves less at a time.
  fcntl(writeEnd_, F_SETPIPE_SZ, kSplicePipeBytes);
  int size = fcntl(writeEnd_, F_GETPIPE_SZ);
  capacity_ = size > kSplicePipeBytes ? kSplicePipeBytes : size > 0 ? size : 0;
}

SplicePipe::~SplicePipe() {
  if (readEnd_ >= 0) close(readEnd_);
  if (writeEnd_ >= 0) close(writeEnd_);
}

int SplicePipe::drainTo(int fd, int64_t* offset) {
  bool movedAny = false;
  while (held_ > 0) {
    off64_t at = offset != nullptr ? static_cast<off64_t>(*offset) : 0;
    ssize_t moved = splice(readEnd_, nullptr, fd, offset != nullptr ? &at : nullptr,
                           static_cast<size_t>(held_), SPLICE_F_MOVE);
    if (moved > 0 && offset != nullptr) *offset += moved;
    if (moved < 0 && errno == EINTR) continue;
    if (moved < 0) {
      int error = errno;
      bool refused = error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
      return refused && !movedAny ? kDrainRefused : error;
    }
    // The pipe holds the bytes, so nothing moving means the output took none.
    if (moved == 0) return EIO;
    held_ -= static_cast<int>(moved);
    movedAny = true;
  }
  return 0;
}

int SplicePipe::readHeld(char* buffer, int size) {
  if (held_ == 0 || size <= 0) return 0;
  ssize_t got;
  do {
    got = read(readEnd_, buffer, static_cast<size_t>(size < held_ ? size : held_));
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return -1;
  held_ -= static_cast<int>(got);
  return static_cast<int>(got);
}
