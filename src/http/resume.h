// Asking for the rest of a body that broke off, and proving that what comes
// back is the rest of the same file: the output a download writes into
// (DownloadSink), and the rules that decide whether a 206 answer continues
// it (Resumption). The download loop that uses both is http/download_body.h;
// the request that asks is HttpSession::requestRest (resume.cc).
#ifndef QUORVANE_HTTP_RESUME_H_
#define QUORVANE_HTTP_RESUME_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "http/splice_pipe.h"

// A resumed answer starts this many bytes before the end of what was
// written (or at the start, for less), and those bytes must come back the
// same: a file that changed on the server shows there, even without a
// validator. 64 KiB costs little on any link.
const int64_t kResumeOverlap = 64 * 1024;

// Where the bytes of a download go. The caller provides one for each
// download: the output file, or a part file that outlives the run.
class DownloadSink {
 public:
  virtual ~DownloadSink() = default;
  // Appends the `length` bytes at `data`; *written receives how many went
  // into the output. Returns 0, or the system's error number when not all
  // of them were written.
  virtual int write(const char* data, size_t length, size_t* written) = 0;
  // Drops everything written, so that the next write is the first byte
  // again. Returns 0 or the system's error number.
  virtual int restart() = 0;
  // Copies the last `length` bytes written into `into`: read back from the
  // file, or kept in memory where the output cannot be read (a pipe).
  // Returns 0 or the system's error number.
  // REQUIRES: length <= kResumeOverlap, and length <= the bytes written
  // since the last restart.
  virtual int readBack(char* into, size_t length) = 0;
  // Says that the bytes up to `end` (counted from the file's first byte)
  // are on their way, so that the output may set room aside for them ahead
  // of the writes. Only a hint: what is written stays the same.
  virtual void expect(int64_t end) { (void)end; }
  // Whether bytes may come through writeFrom: the output takes them from a
  // pipe as a write would, and none needs to stay in memory for readBack.
  virtual bool takesFromPipe() const { return false; }
  // Appends every byte `pipe` holds, moved by the system without passing
  // through the program. Returns 0; kDrainRefused when the output takes
  // nothing from a pipe (all still held, for write); or the system's error
  // number, with the pipe holding what was not written.
  virtual int writeFrom(SplicePipe& pipe) {
    (void)pipe;
    return kDrainRefused;
  }
};

// What decides whether an answer continues the file: the validator of the
// response that the file's first byte came from, and the file's length
// when that is known.
class Resumption {
 public:
  // How a 206 answer to a request for the rest relates to the file.
  enum Verdict {
    kContinues,  // the rest of the same file, from the start asked
    kChanged,    // another version of the file: start again from byte 0
    kMisfit,     // not usable, but the file may be the same: ask again
  };
  // The part of a 206 that kContinues: where its bytes start and end in the
  // file (end exclusive), and the length of the file.
  struct Range {
    int64_t start = 0;
    int64_t end = 0;
    int64_t total = 0;
  };

  // Takes what the header of the response the file begins with says: its
  // ETag when strong (one beginning with "W/" is weak), else its
  // Last-Modified, and `knownLength` (-1: unknown).
  void begin(const char* etag, const char* lastModified, int64_t knownLength);
  // Whether the file's length is known, and that length.
  bool lengthKnown() const { return knownLength_ >= 0; }
  int64_t knownLength() const { return knownLength_; }
  // Makes a length known (the TOTAL of an answer that continues).
  void learnLength(int64_t length) { knownLength_ = length; }

  // Where the request for the rest starts when the file holds `count`
  // bytes: up to kResumeOverlap before them.
  static int64_t rangeStart(int64_t count);
  // The "If-Range:" value: the strong ETag, else the Last-Modified, else "".
  const std::string& ifRange() const { return validator_; }
  // The header that ifRange() came from ("ETag" or "Last-Modified"); ""
  // without a validator.
  const char* validatorName() const { return validatorName_ != nullptr ? validatorName_ : ""; }

  // Judges a 206 answer to a request for the bytes from `start` on, whose
  // header text is `header`; on kContinues *range says what it holds. On
  // kChanged and kMisfit, *why names what did not fit ("ETag "v2", not
  // "v1"", "Content-Range bytes 0-9/10").
  Verdict judge(const char* header, int64_t start, Range* range, std::string* why) const;

 private:
  // The kind of validator sent: the answer must carry the same value when
  // it carries one of that kind.
  const char* validatorName_ = nullptr;
  std::string validator_;
  int64_t knownLength_ = -1;
};

// Whether `validator` may go into a request's header line as it came from a
// response's: not empty, and without a control byte (which a hostile server
// could use to end the line early).
bool usableValidator(const std::string& validator);

// Reads "bytes START-END/TOTAL" (TOTAL may be "*": *total is then -1).
// False for anything else or for an END before START.
bool parseContentRange(const char* value, int64_t* start, int64_t* end, int64_t* total);
// Reads "bytes */TOTAL", the value of a 416 answer. False for anything else.
bool parseUnsatisfiedRange(const char* value, int64_t* total);

#endif  // QUORVANE_HTTP_RESUME_H_
