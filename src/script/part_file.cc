// The part file of a resumable download and its meta file.
#include "script/part_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "http/resume.h"

namespace {

const char kFirstLine[] = "quorvane part 1";
const char kLengthName[] = "Length";
const char kUnknownLength[] = "unknown";
const char* const kValidatorHeaders[] = {"ETag", "Last-Modified"};

// A validator comes out of a response header block, which the reception
// holds to 256 KiB; a meta file larger than that (and its few other bytes)
// was not written by this program.
const size_t kMaxMetaBytes = 256 * 1024 + 256;

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

}  // namespace

bool partMetaAgrees(const PartMeta& kept, const PartMeta& now) {
  bool validatorsAgree =
      kept.validatorHeader == now.validatorHeader && kept.validator == now.validator;
  bool lengthsAgree = kept.length < 0 || now.length < 0 || kept.length == now.length;
  return validatorsAgree && lengthsAgree;
}

std::string formatPartMeta(const PartMeta& meta) {
  std::string text = std::string(kFirstLine) + "\n";
  if (!meta.validator.empty()) text += meta.validatorHeader + ": " + meta.validator + "\n";
  text += std::string(kLengthName) + ": ";
  text += meta.length >= 0 ? std::to_string(meta.length) : kUnknownLength;
  return text + "\n";
}

bool parsePartMeta(const std::string& text, PartMeta* meta) {
  *meta = PartMeta();
  bool haveLength = false;
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
    if (name == kLengthName && !haveLength) {
      haveLength = true;
      if (value == kUnknownLength) continue;
      if (!parseLength(value, &meta->length)) return false;
      continue;
    }
    bool validatorName = name == kValidatorHeaders[0] || name == kValidatorHeaders[1];
    if (!validatorName || !meta->validator.empty() || !usableValidator(value)) return false;
    meta->validatorHeader = name;
    meta->validator = value;
  }
  return haveLength;
}

bool resumableOutput(const char* outputPath) {
  if (outputPath[0] == '\0') return false;
  struct stat info;
  if (lstat(outputPath, &info) != 0) return errno == ENOENT;
  return S_ISREG(info.st_mode);
}

PartFile::PartFile(const char* outputPath)
    : output_(outputPath), part_(output_ + ".part"), meta_(part_ + ".meta") {}

bool PartFile::readMeta(PartMeta* meta) const {
  FILE* in = fopen(meta_.c_str(), "rb");
  if (in == nullptr) return false;
  std::string text;
  char buffer[4096];
  size_t got = 0;
  while (text.size() <= kMaxMetaBytes && (got = fread(buffer, 1, sizeof buffer, in)) > 0) {
    text.append(buffer, got);
  }
  bool failed = ferror(in) != 0;
  fclose(in);
  if (failed || text.size() > kMaxMetaBytes) return false;
  return parsePartMeta(text, meta);
}

int PartFile::writeMeta(const PartMeta& meta) const {
  std::string text = formatPartMeta(meta);
  FILE* out = fopen(meta_.c_str(), "wb");
  if (out == nullptr) return errno;
  errno = 0;
  size_t done = fwrite(text.data(), 1, text.size(), out);
  int error = done < text.size() ? (errno != 0 ? errno : EIO) : 0;
  if (fclose(out) != 0 && error == 0) error = errno;
  return error;
}

int PartFile::finish() const {
  if (rename(part_.c_str(), output_.c_str()) != 0) return errno;
  // A meta file left behind without its part is ignored by the next run.
  unlink(meta_.c_str());
  return 0;
}
