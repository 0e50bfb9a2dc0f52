// The pure reading of responses: header block, header lines and body
// framing, over bytes only.
#include "http/response_parser.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "http/http_status.h"

namespace {

const char kHeaderEnd[] = "\r\n\r\n";
const size_t kHeaderEndLength = 4;
const char kLineEnd[] = "\r\n";

// Where "HTTP/1.0 200 OK" holds its three digits of status code.
const size_t kStatusCodeAt = 9;
const size_t kStatusCodeEnd = 12;
// The start every status line has; '9' stands for any digit. What follows
// it is a space or the line's end.
const char kStatusLineStart[] = "HTTP/9.9 999";
const size_t kStatusLineStartLength = sizeof kStatusLineStart - 1;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// Whether the last comma-separated coding of the value is "chunked".
bool lastCodingIsChunked(const char* value, size_t length) {
  size_t end = length;
  while (end > 0 && isBlank(value[end - 1])) --end;
  size_t start = end;
  while (start > 0 && value[start - 1] != ',') --start;
  while (start < end && isBlank(value[start])) ++start;
  const char kChunked[] = "chunked";
  return end - start == strlen(kChunked) && strncasecmp(value + start, kChunked, end - start) == 0;
}

// What the start of a header block says of its first line.
enum class FirstLine { kUndecided, kHttp, kNotHttp };

FirstLine judgeFirstLine(const char* data, size_t length) {
  size_t reach = length < kStatusLineStartLength ? length : kStatusLineStartLength;
  for (size_t i = 0; i < reach; ++i) {
    char want = kStatusLineStart[i];
    bool fits = want == '9' ? data[i] >= '0' && data[i] <= '9' : data[i] == want;
    if (!fits) return FirstLine::kNotHttp;
  }
  if (length <= kStatusLineStartLength) return FirstLine::kUndecided;
  // A CR here that no LF follows is refused as a bare CR.
  char after = data[kStatusLineStartLength];
  return after == ' ' || after == '\r' || after == '\n' ? FirstLine::kHttp : FirstLine::kNotHttp;
}

// The offset of the first NUL, or CR followed by something other than LF,
// among the bytes from `from` to `end` of the `length` at `data`; `end`
// when there is none. A CR that is the last byte received waits for the
// next one.
int32_t firstBadByte(const char* data, int32_t length, int32_t from, int32_t end) {
  for (int32_t i = from; i < end; ++i) {
    if (data[i] == '\0') return i;
    if (data[i] == '\r' && i + 1 < length && data[i + 1] != '\n') return i;
  }
  return end;
}

}  // namespace

HeaderScan scanHeaderBlock(const char* data, int32_t length, int32_t scanned,
                           int32_t* headerLength) {
  int32_t from = scanned >= 3 ? scanned - 3 : 0;
  const void* found =
      memmem(data + from, static_cast<size_t>(length - from), kHeaderEnd, kHeaderEndLength);
  // Only the bytes before the blank line are header.
  int32_t blank =
      found != nullptr ? static_cast<int32_t>(static_cast<const char*>(found) - data) : length;
  // A CR that ended the bytes scanned before is checked again with the byte
  // after it.
  int32_t bad = firstBadByte(data, length, scanned > 0 ? scanned - 1 : 0, blank);
  const bool badFound = bad < blank;
  if (judgeFirstLine(data, static_cast<size_t>(length)) == FirstLine::kNotHttp) {
    // Its line feed did not come before: the line would have been refused.
    const void* lineFeed = memchr(data + scanned, '\n', static_cast<size_t>(length - scanned));
    if (lineFeed != nullptr && (!badFound || static_cast<const char*>(lineFeed) - data < bad)) {
      return HeaderScan::kNotHttp;
    }
  }
  if (badFound) return HeaderScan::kMalformed;
  if (found != nullptr) {
    *headerLength = blank;
    return HeaderScan::kComplete;
  }
  return length > kMaxHeaderBytes ? HeaderScan::kTooLarge : HeaderScan::kNeedMore;
}

size_t firstLineLength(const char* data, size_t length) {
  const void* lineFeed = memchr(data, '\n', length);
  if (lineFeed == nullptr) return length;
  size_t line = static_cast<size_t>(static_cast<const char*>(lineFeed) - data);
  return line > 0 && data[line - 1] == '\r' ? line - 1 : line;
}

bool isInterimStatus(int32_t status) {
  return status >= kStatusFirstInterim && status < kStatusOk && status != kStatusSwitchingProtocols;
}

int32_t statusCodeOf(const char* headerText) {
  char digits[kStatusCodeEnd - kStatusCodeAt + 1] = {0, 0, 0, 0};
  size_t reach = strnlen(headerText, kStatusCodeEnd);
  for (size_t i = kStatusCodeAt; i < reach; ++i) digits[i - kStatusCodeAt] = headerText[i];
  return static_cast<int32_t>(strtol(digits, nullptr, 10));
}

bool findHeaderLine(const char* from, const char* name, HeaderLine* line) {
  const size_t nameLength = strlen(name);
  const char* lineStart = from;
  while (lineStart != nullptr && *lineStart != '\0') {
    const char* lineEnd = strstr(lineStart, kLineEnd);
    const char* next = lineEnd != nullptr ? lineEnd + 2 : nullptr;
    if (lineEnd == nullptr) lineEnd = lineStart + strlen(lineStart);
    if (static_cast<size_t>(lineEnd - lineStart) > nameLength &&
        strncasecmp(lineStart, name, nameLength) == 0 && lineStart[nameLength] == ':') {
      const char* value = lineStart + nameLength + 1;
      while (value < lineEnd && isBlank(*value)) ++value;
      line->value = value;
      line->valueLength = static_cast<size_t>(lineEnd - value);
      line->next = next;
      return true;
    }
    lineStart = next;
  }
  return false;
}

const char* firstHeaderLine(const char* headerText) {
  const char* end = strstr(headerText, kLineEnd);
  return end != nullptr ? end + 2 : nullptr;
}

bool headerField(const char* headerText, const char* name, bool last, std::string* value) {
  const char* cursor = firstHeaderLine(headerText);
  HeaderLine line;
  bool found = false;
  while (cursor != nullptr && findHeaderLine(cursor, name, &line)) {
    value->assign(line.value, line.valueLength);
    found = true;
    if (!last) break;
    cursor = line.next;
  }
  return found;
}

int64_t contentLengthOf(const char* value, size_t length) {
  std::string text(value, length);
  char* end = nullptr;
  long long number = strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || number < 0) return -1;
  return number;
}

BodyFraming framingOf(const char* headerText, bool answersHead) {
  BodyFraming framing;
  int32_t status = statusCodeOf(headerText);
  if (answersHead || status == kStatusNoContent || status == kStatusNotModified) {
    framing.kind = BodyFraming::kNone;
    return framing;
  }
  const char* cursor = firstHeaderLine(headerText);
  HeaderLine line;
  bool chunked = false;
  // Each Transfer-Encoding line adds its codings to those before it.
  while (cursor != nullptr && findHeaderLine(cursor, "Transfer-Encoding", &line)) {
    bool onlyBlanks = true;
    for (size_t i = 0; i < line.valueLength; ++i) onlyBlanks = onlyBlanks && isBlank(line.value[i]);
    if (!onlyBlanks) chunked = lastCodingIsChunked(line.value, line.valueLength);
    cursor = line.next;
  }
  if (chunked) {
    framing.kind = BodyFraming::kChunked;
    return framing;
  }
  cursor = firstHeaderLine(headerText);
  if (cursor != nullptr && findHeaderLine(cursor, "Content-Length", &line)) {
    int64_t length = contentLengthOf(line.value, line.valueLength);
    if (length >= 0) {
      framing.kind = BodyFraming::kLength;
      framing.length = length;
    }
  }
  return framing;
}

BodyDecoder::BodyDecoder(const BodyFraming& framing) : framing_(framing) {
  switch (framing.kind) {
    case BodyFraming::kUntilClose:
      state_ = kRaw;
      break;
    case BodyFraming::kLength:
      left_ = static_cast<uint64_t>(framing.length);
      state_ = left_ > 0 ? kData : kDone;
      break;
    case BodyFraming::kChunked:
      state_ = kSize;
      break;
    case BodyFraming::kNone:
      state_ = kDone;
      break;
  }
}

size_t BodyDecoder::skip(size_t length) {
  size_t n = length;
  if (state_ == kData) {
    if (n > left_) n = static_cast<size_t>(left_);
    left_ -= n;
    if (left_ == 0) state_ = kDone;
  } else if (state_ != kRaw) {
    n = 0;
  }
  decoded_ += static_cast<int64_t>(n);
  return n;
}

size_t BodyDecoder::decode(char* bytes, size_t length) {
  size_t in = 0;
  size_t out = 0;
  while (in < length && state_ != kDone && state_ != kMalformed) {
    if (state_ == kRaw || state_ == kData) {
      size_t n = length - in;
      if (state_ == kData && n > left_) n = static_cast<size_t>(left_);
      if (out != in) memmove(bytes + out, bytes + in, n);
      in += n;
      out += n;
      if (state_ == kData) {
        left_ -= n;
        if (left_ == 0) {
          state_ = framing_.kind == BodyFraming::kChunked ? kDataCr : kDone;
        }
      }
      continue;
    }
    step(bytes[in++]);
  }
  decoded_ += static_cast<int64_t>(out);
  return out;
}

void BodyDecoder::step(char c) {
  switch (state_) {
    case kSize: {
      int value = hexValue(c);
      if (value >= 0) {
        if (++digits_ > kMaxChunkSizeDigits) {
          state_ = kMalformed;
          return;
        }
        size_ = size_ * 16 + static_cast<uint64_t>(value);
        return;
      }
      if (digits_ == 0) {
        state_ = kMalformed;
      } else if (isBlank(c)) {
        state_ = kSizeBlanks;
      } else if (c == ';') {
        state_ = kExtension;
      } else if (c == '\r') {
        state_ = kSizeLineFeed;
      } else {
        state_ = kMalformed;
      }
      return;
    }
    case kSizeBlanks:
      if (c == ';') {
        state_ = kExtension;
      } else if (c == '\r') {
        state_ = kSizeLineFeed;
      } else if (!isBlank(c)) {
        state_ = kMalformed;
      }
      return;
    case kExtension:
      if (c == '\r') state_ = kSizeLineFeed;
      return;
    case kSizeLineFeed:
      if (c != '\n') {
        state_ = kMalformed;
      } else if (size_ == 0) {
        state_ = kTrailerStart;
      } else {
        left_ = size_;
        state_ = kData;
      }
      size_ = 0;
      digits_ = 0;
      return;
    case kDataCr:
      state_ = c == '\r' ? kDataLineFeed : kMalformed;
      return;
    case kDataLineFeed:
      state_ = c == '\n' ? kSize : kMalformed;
      return;
    case kTrailerStart:
      state_ = c == '\r' ? kFinalLineFeed : kTrailerLine;
      return;
    case kTrailerLine:
      if (c == '\r') state_ = kTrailerLineFeed;
      return;
    case kTrailerLineFeed:
      state_ = c == '\n' ? kTrailerStart : kTrailerLine;
      return;
    case kFinalLineFeed:
      state_ = c == '\n' ? kDone : kMalformed;
      return;
    default:
      return;
  }
}
