// OutputFile: the file (or pipe, or device) that "@->file:" writes, as the
// place a download's bytes go (a DownloadSink, http/download_body.h).
#ifndef QUORVANE_SCRIPT_OUTPUT_FILE_H_
#define QUORVANE_SCRIPT_OUTPUT_FILE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "http/download_body.h"

class FileHandle;

// A regular file sets disk room aside this far ahead of the bytes written
// (without changing its size) while the body's end is known: the system
// then places the blocks in a few large runs instead of page by page, which
// takes about a fifth off the time a large download spends writing (and a
// window of 32 MiB, with a quarter of the calls, about 7% more than one of
// 8 MiB). A window rather than the whole length, so that a server that
// announces more than it sends holds at most this much of the disk, and
// only until the file is closed.
const int64_t kReserveAhead = 32 * 1024 * 1024;

// The output as a download writes it. A regular file reads its last bytes
// back from the disk through `readFd`; any other output (a pipe, a
// terminal, a device, or a file without `readFd`) keeps the last
// kResumeOverlap bytes written in memory instead. A regular file read back
// takes bytes from a pipe unless it is open for appending (the system
// refuses that); so does any regular file or pipe when nothing will be
// read back (the download is never resumed).
class OutputFile : public DownloadSink {
 public:
  // Writes through `file`. `readFd` (owned; -1: none) reads a regular file
  // back; `mayResume` says whether a retry may read back what was written;
  // `written` is the bytes the file holds already (a part continued).
  OutputFile(FileHandle& file, int readFd, bool mayResume, int64_t written = 0);
  ~OutputFile() override;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  int write(const char* data, size_t length, size_t* written) override;
  // Empties the file, then calls what onRestart gave (its error number fails
  // the restart).
  int restart() override;
  int readBack(char* into, size_t length) override;
  void expect(int64_t end) override { expectedEnd_ = end; }
  bool takesFromPipe() const override { return takesFromPipe_; }
  int writeFrom(SplicePipe& pipe) override;
  bool keptAcrossRuns() const override { return keptAcrossRuns_; }

  // Calls `restarted` after each restart, and makes the file one that a
  // later run continues.
  void onRestart(std::function<int()> restarted);
  // Makes the output one that is never emptied nor given disk room ahead
  // (standard output, whatever it is: what it held before stays), so that
  // a restart fails with ESPIPE.
  void keepWhatItHolds();
  // Gives back the room set aside past the file's end, then closes the
  // file. Returns 0 or the system's error number (as FileHandle::close).
  int close();

 private:
  // Sets room aside for the next `length` bytes, and kReserveAhead more, up
  // to the expected end. A file system that cannot (or a full disk) ends
  // the reserving; the writes then go on as they would have.
  void reserveFor(size_t length);
  // Counts what was written and, for an output that cannot be read back,
  // keeps its last kResumeOverlap bytes (trimmed once they reach twice that,
  // so that each byte is moved about once).
  void keep(const char* data, size_t length);

  FileHandle& file_;
  bool emptiable_ = true;
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
  bool keptAcrossRuns_ = false;
};

// A descriptor that reads back the regular file at `path`, or -1 for any
// other output (which is never opened for reading: a pipe would wait).
int readBackDescriptor(const char* path, FileHandle& file);

#endif  // QUORVANE_SCRIPT_OUTPUT_FILE_H_
