// A file's identity: what the response that a download's first byte came
// from says about the file (its length, its validators, whether its rest can
// be asked for and whether it can be fetched in pieces), read in one place;
// and the rules that decide whether a later answer belongs to the same
// file: a 206 for the rest within a run, or the response at hand when a
// later run finds a part kept on disk.
#ifndef QUORVANE_HTTP_FILE_IDENTITY_H_
#define QUORVANE_HTTP_FILE_IDENTITY_H_

#include <cstdint>
#include <string>
#include <vector>

class HttpSession;

// A resumed answer starts this many bytes before the end of what was
// written (or at the start, for less), and those bytes must come back the
// same: a file that changed on the server shows there, even without a
// validator. 64 KiB costs little on any link.
const int64_t kResumeOverlap = 64 * 1024;
// A body is fetched in pieces over several connections only from this
// length on: below it, the connections cost more than they bring.
const int64_t kMinSplitLength = 4 * 1024 * 1024;

// The bytes from `start` to `end` (exclusive) of a file.
struct ByteRange {
  int64_t start = 0;
  int64_t end = 0;
};

// The bytes a part fetched in pieces holds, as its meta file lists them.
struct HeldPieces {
  // The meta file lists them (a "Held:" line).
  bool listed = false;
  // Sorted, apart from each other, within the file's length.
  std::vector<ByteRange> ranges;
};

struct FileIdentity {
  // The length of the whole file; -1 when unknown.
  int64_t length = -1;
  // The validators as the response gave them (a weak ETag, "W/...", too);
  // empty when absent, or when one held a control byte.
  std::string etag;
  std::string lastModified;
  // The rest of the file can be asked for with a Range: the answer was a
  // 200, or a 206 from the file's first byte, to a request without a Range
  // of the plugin's own.
  bool resumable = false;
  // The body may be fetched in pieces over several connections: a 200 with
  // a length of at least kMinSplitLength, a strong validator, not chunked,
  // to a request without a Range of the plugin's own.
  bool splittable = false;

  // The "If-Range:" value: the ETag when strong, else the Last-Modified,
  // else "".
  std::string ifRange() const;
  bool hasValidator() const { return !etag.empty() || !lastModified.empty(); }
};

// What the session's last response says of the file its body begins (read
// without the verbose traces of a plugin's lookups). With `answerEnd`,
// receives where the bytes of this answer end in the file: the length, the
// end of a 206's range, or -1 when the body's framing ends it.
FileIdentity identifyFile(const HttpSession& session, int64_t* answerEnd = nullptr);

// Whether the request of the session carries a "Range:" line of the
// plugin's own; such a request is repeated as it was, never resumed.
bool requestHasOwnRange(const HttpSession& session);

// Where the request for the rest starts when the file holds `count` bytes:
// up to kResumeOverlap before them.
int64_t rangeStart(int64_t count);

// How a 206 answer to a request for the rest relates to the file.
enum class RangeVerdict {
  kContinues,  // the rest of the same file, from the start asked
  kChanged,    // another version of the file: start again from byte 0
  kMisfit,     // not usable, but the file may be the same: ask again
};
// The part of a 206 that continues the file: where its bytes start and end
// in the file (end exclusive), and the length of the file.
struct AnsweredRange {
  int64_t start = 0;
  int64_t end = 0;
  int64_t total = 0;
};
// Judges a 206 answer, whose header text is `header`, to a request for the
// bytes from `start` on of `file`; on kContinues *range says what it holds.
// An ETag in the answer is compared with the file's, weak or strong; a
// Last-Modified only when it was the If-Range sent. On kChanged and
// kMisfit, *why names what did not fit ("ETag "v2", not "v1"",
// "Content-Range bytes 0-9/10").
RangeVerdict judgeRange(const FileIdentity& file, const char* header, int64_t start,
                        AnsweredRange* range, std::string* why);
// Judges a 206 answer to a request for the bytes `start` to `last` of
// `file` (one piece of a file fetched in pieces) as judgeRange does, except
// that its range must end at `last`, and that it must carry the validator
// that "If-Range:" sent (an answer without it proves nothing: kMisfit).
RangeVerdict judgePiece(const FileIdentity& file, const char* header, int64_t start, int64_t last,
                        std::string* why);

// How a part that an earlier run kept relates to the response at hand.
enum class PartVerdict {
  kSame,         // the same file: its rest may be asked for
  kOther,        // another version (validator or length disagree)
  kUncheckable,  // the part's response had no validator: nothing proves it
};
// Compares `kept` (what the part began with) with `now`: the ETags must be
// equal when either has one, else the Last-Modified values; the lengths
// equal or unknown on one side.
PartVerdict comparePart(const FileIdentity& kept, const FileIdentity& now);

// The text of a part's meta file (script/part_file.h) for a part begun
// with `file`, a few lines a person can read:
//
//   quorvane part 1
//   ETag: "5f3a-c800000"
//   Last-Modified: Tue, 08 Dec 2026 10:00:00 GMT
//   Length: 209715200
//   Held: 0-1048575,4194304-5242879
//
// A validator line is missing when the response had no such validator, and
// the length is "unknown" when it gave none; the flags are not kept. A
// download fetched in pieces (http/split_download.h) lists the bytes the
// part holds on the "Held:" line, `held` (the first and last byte of each
// run, "none" for no byte); without that line the part holds the file's
// first bytes, as many as its size.
// REQUIRES: the validators hold no line break; `held` as
// HeldPieces::ranges, and then a known length.
std::string formatPartMeta(const FileIdentity& file, const std::vector<ByteRange>* held = nullptr);
// Reads the text of a meta file into *file and *held. Returns false,
// leaving both unspecified, for anything formatPartMeta does not write:
// another first line, an unknown or repeated line, an empty validator or
// one holding a control byte, a length that is not a decimal number (or
// overflows), a missing length, a last line without its line feed, a
// "Held:" line without a known length or whose runs are not sorted, apart
// and within the length, or any "Held:" line when `held` is null.
bool parsePartMeta(const std::string& text, FileIdentity* file, HeldPieces* held = nullptr);

// Whether `validator` may go into a request's header line as it came from a
// response's: not empty, and without a control byte (which a hostile server
// could use to end the line early).
bool usableValidator(const std::string& validator);

// Reads "bytes START-END/TOTAL" (TOTAL may be "*": *total is then -1).
// False for anything else or for an END before START.
bool parseContentRange(const char* value, int64_t* start, int64_t* end, int64_t* total);
// Reads "bytes */TOTAL", the value of a 416 answer. False for anything else.
bool parseUnsatisfiedRange(const char* value, int64_t* total);

#endif  // QUORVANE_HTTP_FILE_IDENTITY_H_
