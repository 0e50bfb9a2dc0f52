// File identities: reading one out of a response, and judging later
// answers and kept parts against it.
#include "http/file_identity.h"

#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/status.h"
#include "http/http_status.h"
#include "http/response_parser.h"
#include "http/session.h"

namespace {

const char kWeakPrefix[] = "W/";

const char kFirstLine[] = "quorvane part 1";
const char kLengthName[] = "Length";
const char kUnknownLength[] = "unknown";
const char kEtagName[] = "ETag";
const char kLastModifiedName[] = "Last-Modified";
const char kHeldName[] = "Held";
const char kNoneHeld[] = "none";
// A decimal number of digits only that fits in int64_t.
bool parseLength(const std::string& text, int64_t* length) {
  if (text.empty()) return false;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    int digit = c - '0';
    if (value > (INT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *length = value;
  return true;
}

// Reads a non-negative decimal number at *text and moves past it.
bool readNumber(const char** text, int64_t* number) {
  const char* at = *text;
  if (*at < '0' || *at > '9') return false;
  char* end = nullptr;
  errno = 0;
  long long value = strtoll(at, &end, 10);
  if (errno != 0) return false;
  *number = value;
  *text = end;
  return true;
}

// The value of header `name` in `header` when it is a usable validator;
// "" otherwise.
std::string validatorIn(const char* header, const char* name) {
  std::string value;
  if (!headerField(header, name, false, &value) || !usableValidator(value)) return std::string();
  return value;
}

bool isWeak(const std::string& etag) {
  return etag.compare(0, strlen(kWeakPrefix), kWeakPrefix) == 0;
}

// Reads the "Held:" value `text` ("none", or runs "FIRST-LAST" apart by
// ",") of a file of `length` bytes into *ranges.
bool parseHeld(const std::string& text, int64_t length, std::vector<ByteRange>* ranges) {
  ranges->clear();
  if (text == kNoneHeld) return true;
  size_t at = 0;
  while (at <= text.size()) {
    size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    std::string run = text.substr(at, comma - at);
    size_t dash = run.find('-');
    int64_t first = 0;
    int64_t last = 0;
    if (dash == std::string::npos || !parseLength(run.substr(0, dash), &first) ||
        !parseLength(run.substr(dash + 1), &last) || last < first || last >= length ||
        (!ranges->empty() && first <= ranges->back().end)) {
      return false;
    }
    ranges->push_back(ByteRange{first, last + 1});
    at = comma + 1;
  }
  return true;
}

}  // namespace

std::string FileIdentity::ifRange() const {
  if (!etag.empty() && !isWeak(etag)) return etag;
  return lastModified;
}

FileIdentity identifyFile(const HttpSession& session, int64_t* answerEnd) {
  const char* header = session.responseHeader().data();
  header = header != nullptr ? header : "";
  FileIdentity file;
  file.etag = validatorIn(header, "ETag");
  file.lastModified = validatorIn(header, "Last-Modified");
  const bool ownRange = requestHasOwnRange(session);
  // Content-Length has no say over a chunked body, nor over an answer
  // without a body (to HEAD, a 204 or a 304).
  const bool byLength = session.bodyFraming().kind == BodyFraming::kLength;
  std::string value;
  if (byLength && headerField(header, "Content-Length", false, &value)) {
    int64_t length = contentLengthOf(value.data(), value.size());
    if (length >= 0) file.length = length;
  }
  int64_t end = file.length;
  file.resumable = !ownRange;
  if (session.status() == kStatusPartialContent) {
    // A part of the file: its length is the TOTAL of a range that starts it.
    int64_t first = 0;
    int64_t last = 0;
    int64_t total = 0;
    if (headerField(header, "Content-Range", false, &value) &&
        parseContentRange(value.c_str(), &first, &last, &total) && first == 0 && total > last) {
      file.length = total;
      end = last + 1;
    } else {
      // Another part: the download takes it as the body it announces, and
      // cannot continue it.
      file.resumable = false;
    }
  }
  file.splittable = session.status() == kStatusOk && !ownRange && byLength &&
                    file.length >= kMinSplitLength && !file.ifRange().empty();
  if (answerEnd != nullptr) *answerEnd = end;
  return file;
}

bool requestHasOwnRange(const HttpSession& session) {
  const char* headers = session.extraHeaders().data();
  HeaderLine line;
  return headers != nullptr && findHeaderLine(headers, "Range", &line);
}

int64_t rangeStart(int64_t count) {
  return count > kResumeOverlap ? count - kResumeOverlap : 0;
}

namespace {

// judgeRange, and judgePiece's range check: the range must end at `last`,
// or at the end of the file when `last` is -1.
RangeVerdict judgeAnswer(const FileIdentity& file, const char* header, int64_t start, int64_t last,
                         AnsweredRange* range, std::string* why) {
  std::string value;
  // An ETag, weak or strong, names one version; a Last-Modified is compared
  // when it was what If-Range sent.
  if (!file.etag.empty() && headerField(header, "ETag", false, &value) && value != file.etag) {
    *why = formatText("ETag %s, not %s", value.c_str(), file.etag.c_str());
    return RangeVerdict::kChanged;
  }
  if (!file.lastModified.empty() && file.ifRange() == file.lastModified &&
      headerField(header, "Last-Modified", false, &value) && value != file.lastModified) {
    *why = formatText("Last-Modified %s, not %s", value.c_str(), file.lastModified.c_str());
    return RangeVerdict::kChanged;
  }
  int64_t first = 0;
  int64_t end = 0;
  int64_t total = 0;
  if (!headerField(header, "Content-Range", false, &value) ||
      !parseContentRange(value.c_str(), &first, &end, &total)) {
    *why = "no usable Content-Range";
    return RangeVerdict::kMisfit;
  }
  *why = "Content-Range " + value;
  if (total < 0) {
    *why += ", without the file's length";
    return RangeVerdict::kChanged;
  }
  if (file.length >= 0 && total != file.length) {
    *why += formatText(", not %lld bytes long", static_cast<long long>(file.length));
    return RangeVerdict::kChanged;
  }
  BodyFraming framing = framingOf(header);
  if (first != start || end != (last >= 0 ? last : total - 1) ||
      (framing.kind == BodyFraming::kLength && framing.length < end - first + 1)) {
    return RangeVerdict::kMisfit;
  }
  range->start = first;
  range->end = end + 1;
  range->total = total;
  return RangeVerdict::kContinues;
}

}  // namespace

RangeVerdict judgeRange(const FileIdentity& file, const char* header, int64_t start,
                        AnsweredRange* range, std::string* why) {
  return judgeAnswer(file, header, start, -1, range, why);
}

RangeVerdict judgePiece(const FileIdentity& file, const char* header, int64_t start, int64_t last,
                        std::string* why) {
  std::string sent = file.ifRange();
  bool isEtag = sent == file.etag;
  std::string value;
  if (!headerField(header, isEtag ? "ETag" : "Last-Modified", false, &value)) {
    *why = formatText("no %s", isEtag ? "ETag" : "Last-Modified");
    return RangeVerdict::kMisfit;
  }
  AnsweredRange range;
  return judgeAnswer(file, header, start, last, &range, why);
}

PartVerdict comparePart(const FileIdentity& kept, const FileIdentity& now) {
  if (!kept.hasValidator()) return PartVerdict::kUncheckable;
  bool sameValidator = !kept.etag.empty() || !now.etag.empty()
                           ? kept.etag == now.etag
                           : kept.lastModified == now.lastModified;
  bool sameLength = kept.length < 0 || now.length < 0 || kept.length == now.length;
  return sameValidator && sameLength ? PartVerdict::kSame : PartVerdict::kOther;
}

std::string formatPartMeta(const FileIdentity& file, const std::vector<ByteRange>* held) {
  std::string text = std::string(kFirstLine) + "\n";
  if (!file.etag.empty()) text += std::string(kEtagName) + ": " + file.etag + "\n";
  if (!file.lastModified.empty()) {
    text += std::string(kLastModifiedName) + ": " + file.lastModified + "\n";
  }
  text += std::string(kLengthName) + ": ";
  text += file.length >= 0 ? std::to_string(file.length) : kUnknownLength;
  text += "\n";
  if (held != nullptr) {
    std::string runs;
    for (const ByteRange& range : *held) {
      runs += (runs.empty() ? "" : ",") + std::to_string(range.start) + "-" +
              std::to_string(range.end - 1);
    }
    text += std::string(kHeldName) + ": " + (runs.empty() ? kNoneHeld : runs) + "\n";
  }
  return text;
}

bool parsePartMeta(const std::string& text, FileIdentity* file, HeldPieces* held) {
  *file = FileIdentity();
  if (held != nullptr) *held = HeldPieces();
  bool haveLength = false;
  std::string heldText;
  bool haveHeld = false;
  size_t at = 0;
  for (int lineNumber = 0; at < text.size(); ++lineNumber) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) return false;
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (lineNumber == 0) {
      if (line != kFirstLine) return false;
      continue;
    }
    size_t colon = line.find(": ");
    if (colon == std::string::npos) return false;
    std::string name = line.substr(0, colon);
    std::string value = line.substr(colon + 2);
    if (name == kHeldName && held != nullptr && !haveHeld) {
      haveHeld = true;
      heldText = value;
      continue;
    }
    if (name == kLengthName && !haveLength) {
      haveLength = true;
      if (value == kUnknownLength) continue;
      if (!parseLength(value, &file->length)) return false;
      continue;
    }
    std::string* validator = name == kEtagName           ? &file->etag
                             : name == kLastModifiedName ? &file->lastModified
                                                         : nullptr;
    if (validator == nullptr || !validator->empty() || !usableValidator(value)) return false;
    *validator = value;
  }
  if (!haveLength) return false;
  if (!haveHeld) return true;
  held->listed = true;
  return file->length > 0 && parseHeld(heldText, file->length, &held->ranges);
}

bool usableValidator(const std::string& validator) {
  if (validator.empty()) return false;
  for (unsigned char c : validator) {
    if ((c < 32 && c != '\t') || c == 127) return false;
  }
  return true;
}

bool parseContentRange(const char* value, int64_t* start, int64_t* end, int64_t* total) {
  const char kUnit[] = "bytes ";
  if (value == nullptr || strncasecmp(value, kUnit, strlen(kUnit)) != 0) return false;
  const char* at = value + strlen(kUnit);
  if (!readNumber(&at, start) || *at++ != '-' || !readNumber(&at, end) || *at++ != '/' ||
      *end < *start) {
    return false;
  }
  if (strcmp(at, "*") == 0) {
    *total = -1;
    return true;
  }
  return readNumber(&at, total) && *at == '\0';
}

bool parseUnsatisfiedRange(const char* value, int64_t* total) {
  const char kUnsatisfied[] = "bytes */";
  if (value == nullptr || strncasecmp(value, kUnsatisfied, strlen(kUnsatisfied)) != 0) {
    return false;
  }
  const char* at = value + strlen(kUnsatisfied);
  return readNumber(&at, total) && *at == '\0';
}
