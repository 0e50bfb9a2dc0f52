// The part of a download that "@resume=1" keeps across runs: the body goes
// into "FILE.part" and "FILE.part.meta" keeps what is needed to continue it
// in a later run (the validator and length of the response the part began
// with), in a few lines of text a person can read:
//
//   quorvane part 1
//   ETag: "5f3a-c800000"
//   Length: 209715200
//
// The validator line ("ETag: " or "Last-Modified: ") is missing when the
// response had no validator, and the length is "unknown" when it gave none.
// FILE itself is replaced only when the part is complete.
#ifndef QUORVANE_SCRIPT_PART_FILE_H_
#define QUORVANE_SCRIPT_PART_FILE_H_

#include <cstdint>
#include <string>

// What the meta file keeps of the response that a part began with.
struct PartMeta {
  // The header the validator came from ("ETag" or "Last-Modified"), and its
  // value; both empty when the response had none.
  std::string validatorHeader;
  std::string validator;
  // The length of the whole file; -1 when the response did not give it.
  int64_t length = -1;
};

// Whether a part begun with `kept` may be continued by a response described
// by `now`: the validators are equal or both absent, and the lengths are
// equal or unknown on at least one side.
bool partMetaAgrees(const PartMeta& kept, const PartMeta& now);

// The text of a meta file.
// REQUIRES: the validator holds no line break.
std::string formatPartMeta(const PartMeta& meta);
// Reads the text of a meta file into *meta. Returns false, leaving *meta
// unspecified, for anything formatPartMeta does not write: another first
// line, an unknown or repeated line, an empty validator or one holding a
// control byte, a length that is not a decimal number (or overflows), a
// missing length or a last line without its line feed.
bool parsePartMeta(const std::string& text, PartMeta* meta);

// Whether "@resume=" applies to the output name `outputPath`: it names a
// regular file or nothing yet. A pipe, a device, a folder, a symbolic link
// or an empty name is written as before. REQUIRES: outputPath != nullptr.
bool resumableOutput(const char* outputPath);

// The names of a part and its meta file, and the operations on them.
class PartFile {
 public:
  // REQUIRES: outputPath != nullptr.
  explicit PartFile(const char* outputPath);
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  const std::string& outputPath() const { return output_; }
  // "FILE.part" and "FILE.part.meta".
  const std::string& partPath() const { return part_; }
  const std::string& metaPath() const { return meta_; }

  // Reads the meta file. Returns false when it is missing, cannot be read,
  // is larger than a meta file can be, or is malformed (parsePartMeta).
  bool readMeta(PartMeta* meta) const;
  // Writes the meta file anew. Returns 0, or the system's error number.
  int writeMeta(const PartMeta& meta) const;
  // The part is complete: renames it to the output name, replacing any file
  // there, and removes the meta file. Returns 0, or the system's error
  // number of the rename (the part and meta then stay).
  int finish() const;

 private:
  std::string output_;
  std::string part_;
  std::string meta_;
};

#endif  // QUORVANE_SCRIPT_PART_FILE_H_
