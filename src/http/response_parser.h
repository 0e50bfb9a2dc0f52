// The reading of an HTTP response as a pure function of its bytes: where
// the header block ends, what it says (status, header lines, how the body is
// framed), and the body framing itself (a length, chunked coding, or the
// end of the connection). Nothing here touches a socket or prints: the
// session's socket loop (session_receive.cc) feeds the bytes it reads, and a fuzz
// target can feed any bytes at all.
#ifndef QUORVANE_HTTP_RESPONSE_PARSER_H_
#define QUORVANE_HTTP_RESPONSE_PARSER_H_

#include <cstddef>
#include <cstdint>
#include <string>

// A header block that grows past this without its blank line is refused:
// no real server sends one this large.
const int32_t kMaxHeaderBytes = 256 * 1024;

// Where the scan of a growing header block stands.
enum class HeaderScan {
  kNeedMore,   // no blank line yet, and the block may still grow
  kComplete,   // the blank line ("\r\n\r\n") was found
  kTooLarge,   // more than kMaxHeaderBytes without the blank line
  kNotHttp,    // the first line ended, and it is not an HTTP status line
  kMalformed,  // a NUL byte, or a CR not followed by LF, before the blank line
};

// Scans the `length` bytes at `data` (the header block read so far) for the
// blank line that ends it, judging the block as its bytes arrive; the first
// `scanned` bytes were scanned before, so only the new bytes and the few
// before them are looked at. The first line is an HTTP status line when it
// starts with "HTTP/", a digit, ".", a digit, a space and three digits,
// followed by a space or the line's end; one that is not is refused as soon
// as its line feed arrives (a banner is refused without waiting for more).
// A NUL or a CR that is not followed by LF is refused as soon as it (and
// the byte after a CR) arrives. The verdict that comes first in the block
// wins, so it does not depend on how the bytes were cut. On kComplete,
// *headerLength is the count of bytes before the blank line (the body
// starts 4 bytes later). REQUIRES: 0 <= scanned <= length, and the scans of
// the same block before (with its first `scanned` bytes, or fewer) gave
// kNeedMore.
HeaderScan scanHeaderBlock(const char* data, int32_t length, int32_t scanned,
                           int32_t* headerLength);

// The length of the first line of the `length` bytes at `data`, without
// its line end (a line feed, and a CR just before it); `length` when no line
// feed is there.
size_t firstLineLength(const char* data, size_t length);

// Whether `status` is an interim answer (100 to 199, but not 101): a
// header block that the answer itself follows on the same connection.
bool isInterimStatus(int32_t status);

// The status code from offsets 9 to 11 of the header text (read like strtol
// with base 10: "HTTP/1.1 206 ..." gives 206); 0 when the text does not
// reach that far or holds no number there. REQUIRES: `headerText` is
// NUL-terminated.
int32_t statusCodeOf(const char* headerText);

// One header line whose name matched: its value (not NUL-terminated, blanks
// after the ":" skipped) and where the search for a further line goes on
// (null after the last line).
struct HeaderLine {
  const char* value;
  size_t valueLength;
  const char* next;
};

// Finds the first header line at or after `from` (the start of a line, NUL-
// terminated text) whose name is `name` in any letter case, followed by ":".
// The value runs to the line's "\r\n" or to the end of the text.
bool findHeaderLine(const char* from, const char* name, HeaderLine* line);
// The first header line of a header text: the one after the status line;
// null when there is none.
const char* firstHeaderLine(const char* headerText);
// The value of the first (or, with `last`, the last) header line named
// `name` in `headerText` (status line first), empty values included; false
// when there is none.
bool headerField(const char* headerText, const char* name, bool last, std::string* value);

// A "Content-Length" value read as the program always read it: a decimal
// number after optional blanks and sign, whatever follows it; -1 for no
// number or a negative one (a body without a length).
int64_t contentLengthOf(const char* value, size_t length);

// How the body of a response is framed.
struct BodyFraming {
  enum Kind {
    kUntilClose,  // the body ends when the server closes the connection
    kLength,      // the body is `length` bytes
    kChunked,     // chunked transfer coding, ending with its last chunk
    kNone,        // no body at all (the answer to HEAD, a 204 or a 304)
  };
  Kind kind = kUntilClose;
  int64_t length = 0;
};

// The framing a header text announces: none for the answer to a HEAD
// request (`answersHead`) and for a 204 or 304, whatever their lines say;
// otherwise chunked when the last coding of the Transfer-Encoding lines is
// "chunked" (any letter case; Content-Length is then ignored), else the
// length of the first Content-Length line when it holds one, else until the
// close.
BodyFraming framingOf(const char* headerText, bool answersHead = false);

// Decodes a body as its framing says, from the bytes that follow the header
// block, fed in pieces as they arrive. Bytes are decoded in place: the body
// bytes of a piece move to its start, and the framing's own bytes (chunk
// size lines, line ends, trailer) and anything after the end of the body
// are dropped.
class BodyDecoder {
 public:
  // Most hexadecimal digits a chunk size may have: 16 make 64 bits.
  static const int kMaxChunkSizeDigits = 16;

  // A decoder for a body without length (ends with the connection).
  BodyDecoder() = default;
  explicit BodyDecoder(const BodyFraming& framing);

  // Takes the next `length` received bytes at `bytes` and leaves the body
  // bytes among them at the start of `bytes`; returns their count. After a
  // malformation the rest of the piece, and every later piece, gives no
  // body bytes. REQUIRES: `bytes` holds `length` writable bytes.
  size_t decode(char* bytes, size_t length);
  // Takes the next `length` received bytes without seeing them (the system
  // moved them from the socket to the output); returns how many of them are
  // body. REQUIRES: the framing is not chunked.
  size_t skip(size_t length);

  // The framing says that the body has ended: its length is reached, the
  // last chunk and the trailer have arrived, or there is no body at all. A
  // body that ends with the connection never ends here.
  bool complete() const { return state_ == kDone; }
  // The chunked coding was broken (see decode); nothing more is body.
  bool malformed() const { return state_ == kMalformed; }
  const BodyFraming& framing() const { return framing_; }
  // Body bytes decoded so far.
  int64_t decoded() const { return decoded_; }

 private:
  enum State {
    kRaw,           // until close: every byte is body
    kData,          // length or chunk data: `left_` bytes to go
    kSize,          // chunk size digits
    kSizeBlanks,    // blanks after the digits, before ";" or the line end
    kExtension,     // after ";": skipped up to the line end
    kSizeLineFeed,  // CR seen after a size line
    kDataCr,        // the CR after chunk data
    kDataLineFeed,  // the LF after chunk data
    kTrailerStart,  // the start of a trailer line (or of the final blank line)
    kTrailerLine,   // inside a trailer line
    kTrailerLineFeed,
    kFinalLineFeed,
    kDone,
    kMalformed,
  };
  // One framing byte of the chunked coding.
  void step(char c);

  BodyFraming framing_;
  State state_ = kRaw;
  uint64_t left_ = 0;
  uint64_t size_ = 0;
  int digits_ = 0;
  int64_t decoded_ = 0;
};

#endif  // QUORVANE_HTTP_RESPONSE_PARSER_H_
