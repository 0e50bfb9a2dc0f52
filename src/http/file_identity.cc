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
  const bool chunked = session.bodyFraming().kind == BodyFraming::kChunked;
  std::string value;
  if (!chunked && headerField(header, "Content-Length", false, &value)) {
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
  file.splittable = session.status() == kStatusOk && !ownRange && !chunked &&
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
