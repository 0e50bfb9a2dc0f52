// The rules that decide whether an answer continues the file.
#include "http/resume.h"

#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/status.h"
#include "http/response_parser.h"

namespace {

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

}  // namespace

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

void Resumption::begin(const char* etag, const char* lastModified, int64_t knownLength) {
  knownLength_ = knownLength;
  validatorName_ = nullptr;
  validator_.clear();
  if (etag != nullptr && etag[0] != '\0' && strncmp(etag, "W/", 2) != 0) {
    validatorName_ = "ETag";
    validator_ = etag;
  } else if (lastModified != nullptr && lastModified[0] != '\0') {
    validatorName_ = "Last-Modified";
    validator_ = lastModified;
  }
  if (!usableValidator(validator_)) {
    validatorName_ = nullptr;
    validator_.clear();
  }
}

int64_t Resumption::rangeStart(int64_t count) {
  return count > kResumeOverlap ? count - kResumeOverlap : 0;
}

Resumption::Verdict Resumption::judge(const char* header, int64_t start, Range* range,
                                      std::string* why) const {
  std::string value;
  if (validatorName_ != nullptr && headerField(header, validatorName_, false, &value) &&
      value != validator_) {
    *why = formatText("%s %s, not %s", validatorName_, value.c_str(), validator_.c_str());
    return kChanged;
  }
  int64_t first = 0;
  int64_t last = 0;
  int64_t total = 0;
  if (!headerField(header, "Content-Range", false, &value) ||
      !parseContentRange(value.c_str(), &first, &last, &total)) {
    *why = "no usable Content-Range";
    return kMisfit;
  }
  *why = "Content-Range " + value;
  if (total < 0) {
    *why += ", without the file's length";
    return kChanged;
  }
  if (knownLength_ >= 0 && total != knownLength_) {
    *why += formatText(", not %lld bytes long", static_cast<long long>(knownLength_));
    return kChanged;
  }
  BodyFraming framing = framingOf(header);
  if (first != start || last != total - 1 ||
      (framing.kind == BodyFraming::kLength && framing.length < last - first + 1)) {
    return kMisfit;
  }
  range->start = first;
  range->end = last + 1;
  range->total = total;
  return kContinues;
}
