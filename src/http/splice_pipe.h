// SplicePipe: the pipe through which a response body goes from the socket to
// the output inside the kernel, so that its bytes never enter the program.
// The transport fills it (Transport::spliceInto on writeEnd()); the download
// empties it into the output file, or reads it back when the file cannot
// take bytes from a pipe.
#ifndef QUORVANE_HTTP_SPLICE_PIPE_H_
#define QUORVANE_HTTP_SPLICE_PIPE_H_

#include <cstdint>

// The room asked for. Each move from the socket and each write to the file
// carries at most this much: as much as a piece of the ordinary download
// (larger writes are slower on first touch of the file's pages), and the
// pipe's pages are the kernel's, not the program's.
const int kSplicePipeBytes = 256 * 1024;

// What drainTo returns when the destination takes no bytes from a pipe (an
// output opened for appending, a file system without the call): nothing
// moved, every byte is still held.
const int kDrainRefused = -1;

class SplicePipe {
 public:
  // Makes the pipe, both ends close-on-exec, and asks for kSplicePipeBytes
  // of room; where the system allows less, the pipe works with its own room.
  // ok() is false when no pipe could be made (or its room not learnt).
  SplicePipe();
  // Closes both ends; bytes still held are lost.
  ~SplicePipe();
  SplicePipe(const SplicePipe&) = delete;
  SplicePipe& operator=(const SplicePipe&) = delete;

  bool ok() const { return readEnd_ >= 0 && capacity_ > 0; }
  // The end the transport fills. REQUIRES: ok().
  int writeEnd() const { return writeEnd_; }
  // What the pipe can hold, at most kSplicePipeBytes: the most one move into
  // it may ask for. 0 without a pipe.
  int capacity() const { return capacity_; }
  // Bytes filled in and not yet drained or read back.
  int held() const { return held_; }
  // Counts `count` bytes that a move put into the pipe.
  // REQUIRES: 0 <= count <= capacity() - held().
  void filled(int count) { held_ += count; }

  // Writes every held byte to `fd` at its current position, or at *offset
  // (which moves past them) when `offset` is given, in as many moves as it
  // takes. Returns 0 when all went; kDrainRefused when `fd` cannot take
  // bytes from a pipe and none went; otherwise the system's error number,
  // with held() the bytes that did not go.
  int drainTo(int fd, int64_t* offset = nullptr);
  // Reads up to `size` held bytes into `buffer`, for an output that refused
  // them. Returns the count (0 when none is held), or -1 on failure.
  int readHeld(char* buffer, int size);

 private:
  int readEnd_ = -1;
  int writeEnd_ = -1;
  int capacity_ = 0;
  int held_ = 0;
};

#endif  // QUORVANE_HTTP_SPLICE_PIPE_H_
