// The part of a download that "@resume=1" keeps across runs: the body goes
// into "FILE.part" and "FILE.part.meta" keeps what is needed to continue it
// in a later run (what the response the part began with said of the file,
// in the few lines of text formatPartMeta writes: http/file_identity.h).
// FILE itself is replaced only when the part is complete. While a run uses the part, it holds an
// exclusive lock on it, so that two runs never write one part.
#ifndef QUORVANE_SCRIPT_PART_FILE_H_
#define QUORVANE_SCRIPT_PART_FILE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "http/file_identity.h"

// Whether "@resume=" applies to the output name `outputPath`: it names a
// regular file or nothing yet, and its meta file's name is not longer than
// the file system allows. A pipe, a device, a folder, a symbolic link or an
// empty name is written as before. REQUIRES: outputPath != nullptr.
bool resumableOutput(const char* outputPath);

// The part of one output, its meta file, and the lock on the part.
class PartFile {
 public:
  // How opening the part went.
  enum Opened {
    kOpened,      // open, locked, for reading and writing
    kInUse,       // another run holds the lock
    kNotRegular,  // a link, a folder, a FIFO, a device
    kFailed,      // the system refused (see error())
  };

  // REQUIRES: outputPath != nullptr.
  explicit PartFile(const char* outputPath);
  // Lets go of the lock and the part.
  ~PartFile();
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  const std::string& outputPath() const { return output_; }
  // "FILE.part" and "FILE.part.meta".
  const std::string& partPath() const { return part_; }
  const std::string& metaPath() const { return meta_; }

  // Opens the part (made when missing) for reading and writing, without
  // following a link or waiting on a FIFO, and locks it. A part that
  // cannot be opened for reading is dropped and made anew.
  Opened open();
  // The system's error number of a kFailed open.
  int error() const { return error_; }
  // The size of the open part, or -1.
  int64_t size() const;
  // Whether the last `length` bytes of the open part can be read back.
  bool readable(int64_t length) const;
  // A new descriptor of the open part (for the writes and the reads back;
  // the lock stays with the part), or -1 with errno.
  int descriptor() const;
  // Empties the open part. Returns 0 or the system's error number.
  int truncate() const;

  // Reads the meta file. Returns false when it is missing, not a regular
  // file (never followed, never waited on), cannot be read, is larger than
  // a meta file can be, or is malformed (parsePartMeta).
  bool readMeta(FileIdentity* file, HeldPieces* held = nullptr) const;
  // Writes the meta file anew: a new file of the part's folder (mode 0600),
  // renamed over it, so that a link of that name is replaced, never
  // followed. Returns 0, or the system's error number.
  int writeMeta(const FileIdentity& file, const std::vector<ByteRange>* held = nullptr) const;
  // The part is complete: renames it to the output name, replacing any file
  // there, and removes the meta file. Returns 0, or the system's error
  // number of the rename (the part and meta then stay).
  int finish() const;

 private:
  std::string output_;
  std::string part_;
  std::string meta_;
  int fd_ = -1;
  int error_ = 0;
};

#endif  // QUORVANE_SCRIPT_PART_FILE_H_
