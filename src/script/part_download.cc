// "@->file:" with "@resume=1": the body goes into FILE.part, which a later
// run continues when the server still has the same file, and which replaces
// FILE once it is complete.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "http/session.h"
#include "script/download.h"
#include "script/part_file.h"
#include "text/file_handle.h"

namespace {

// Progress figures are in kilobytes.
const int64_t kKilobyte = 1024;

// What a download that finds a part does with it.
enum class PartStep { kStartOver, kContinue, kRename };

// The validator and length of the response the session holds, as the meta
// file keeps them: a strong ETag, else the Last-Modified (a weak ETag does
// not say that the bytes are the same). A value holding a control byte is
// never sent back, so it counts as none.
PartMeta responseMeta(HttpSession& session) {
  PartMeta meta;
  TextBuffer etag = session.headerValue("ETag", 0);
  if (etag.data() != nullptr && strncmp(etag.data(), "W/", 2) != 0) {
    meta.validatorHeader = "ETag";
    meta.validator = etag.data();
  } else {
    TextBuffer date = session.headerValue("Last-Modified", 0);
    if (date.data() != nullptr) {
      meta.validatorHeader = "Last-Modified";
      meta.validator = date.data();
    }
  }
  for (unsigned char c : meta.validator) {
    if ((c < 32 && c != '\t') || c == 127) {
      meta.validatorHeader.clear();
      meta.validator.clear();
      break;
    }
  }
  int64_t length = 0;
  if (announcedLength(session, &length)) meta.length = length;
  return meta;
}

// Chooses what to do with a part of `size` bytes, given the response at
// hand (`now`); *from receives where a continued download starts.
PartStep choosePartStep(const PartFile& part, int64_t size, const PartMeta& now,
                        ContinuedPart* from) {
  PartMeta kept;
  if (size <= 0 || !part.readMeta(&kept) || !partMetaAgrees(kept, now)) {
    return PartStep::kStartOver;
  }
  int64_t length = kept.length >= 0 ? kept.length : now.length;
  if (length >= 0 && size > length) return PartStep::kStartOver;
  from->count = size;
  from->length = length;
  from->validator = kept.validator;
  return length == size ? PartStep::kRename : PartStep::kContinue;
}

// The part is complete: it replaces the output file.
Status finish(const PartFile& part) {
  if (int error = part.finish()) {
    std::string detail = formatText("cannot write the output file (%s)", strerror(error));
    return Status::unknownError(detail.c_str(), "cannot rename " + part.partPath() + " to " +
                                                    part.outputPath() + "; the part is kept in " +
                                                    part.partPath());
  }
  return Status();
}

}  // namespace

Status downloadToPart(HttpSession& session, const char* outputPath, const RetryPolicy& retry) {
  PartFile part(outputPath);
  struct stat info;
  int64_t size = -1;
  if (lstat(part.partPath().c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) {
      return Status(kOutputFileError,
                    formatText("cannot open the output file %s (not a regular file)",
                               part.partPath().c_str()));
    }
    size = info.st_size;
  }
  PartMeta now = responseMeta(session);
  ContinuedPart from;
  PartStep step = choosePartStep(part, size, now, &from);

  if (step == PartStep::kRename) {
    // The rest of the response at hand is not needed.
    session.closeSlot(0);
    session.clearBody();
    showProgress(from.count / kKilobyte, from.length / kKilobyte);
    report(kPlainText, "/\n");
    return finish(part);
  }

  FileHandle file(part.partPath().c_str(), step == PartStep::kContinue ? "r+b" : "wb");
  if (file.stream == nullptr) {
    return Status(kOutputFileError, formatText("cannot open the output file %s (%s)",
                                               part.partPath().c_str(), strerror(file.openError)));
  }
  // The meta file describes the response that the part's first byte comes
  // from; it is written before that byte, and again when the part starts
  // over with another response.
  auto writeMeta = [&]() { return part.writeMeta(responseMeta(session)); };
  Status result;
  if (step == PartStep::kContinue) {
    if (fseek(file.stream, 0, SEEK_END) != 0) {
      return Status(kOutputFileError, formatText("cannot open the output file %s (%s)",
                                                 part.partPath().c_str(), strerror(errno)));
    }
    reportNotice(
        formatText("resuming %s at %lld bytes", outputPath, static_cast<long long>(from.count)));
    result = downloadInto(session, file, part.partPath().c_str(), retry, &from, writeMeta);
  } else if (int error = part.writeMeta(now)) {
    std::string detail = formatText("cannot write the output file (%s)", strerror(error));
    return Status::unknownError(detail.c_str(), "cannot write " + part.metaPath());
  } else {
    result = downloadInto(session, file, part.partPath().c_str(), retry, nullptr, writeMeta);
  }
  // The download closed the part, checking that its bytes were taken.
  if (result.ok()) return finish(part);
  result.addTrailer("; the part is kept in " + part.partPath());
  return result;
}
