// The rule that decides whether a part kept by an earlier run belongs to
// the file the server has now, and the reader of the part's meta text on
// malformed texts: tables, where a case shows one row per run.
#include "http/file_identity.h"

#include <gtest/gtest.h>

namespace {

FileIdentity identity(const char* etag, const char* lastModified, int64_t length) {
  FileIdentity file;
  file.etag = etag;
  file.lastModified = lastModified;
  file.length = length;
  return file;
}

TEST(FileIdentityTest, APartIsContinuedOnlyWhenAValidatorProvesIt) {
  const struct {
    FileIdentity kept;
    FileIdentity now;
    PartVerdict verdict;
  } rows[] = {
      {identity("\"a\"", "", 10), identity("\"a\"", "", -1), PartVerdict::kSame},
      {identity("W/\"a\"", "", 10), identity("W/\"a\"", "x", 10), PartVerdict::kSame},
      {identity("", "x", 10), identity("", "x", 10), PartVerdict::kSame},
      {identity("", "", -1), identity("", "", 10), PartVerdict::kUncheckable},
      {identity("", "", 10), identity("\"a\"", "", 10), PartVerdict::kUncheckable},
      {identity("\"a\"", "", 10), identity("\"a\"", "", 11), PartVerdict::kOther},
      {identity("W/\"a\"", "x", 10), identity("W/\"b\"", "x", 10), PartVerdict::kOther},
      {identity("\"a\"", "", 10), identity("", "", 10), PartVerdict::kOther},
      {identity("", "x", 10), identity("\"a\"", "x", 10), PartVerdict::kOther},
      {identity("", "x", 10), identity("", "y", 10), PartVerdict::kOther},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.verdict, comparePart(row.kept, row.now))
        << row.kept.etag << "|" << row.kept.lastModified << " " << row.now.etag << "|"
        << row.now.lastModified;
  }
}

TEST(FileIdentityTest, AnythingElseCannotBeRead) {
  const char* malformed[] = {
      "",
      "quorvane part 1\n",
      "quorvane part 2\nLength: 1\n",
      "quorvane part 1\nLength: 1",
      "quorvane part 1\nLength: 1\nLength: 1\n",
      "quorvane part 1\nLength: -1\n",
      "quorvane part 1\nLength: 1x\n",
      "quorvane part 1\nLength: \n",
      "quorvane part 1\nLength: 9223372036854775808\n",
      "quorvane part 1\nETag: \nLength: 1\n",
      "quorvane part 1\nETag: a\rb\nLength: 1\n",
      "quorvane part 1\nETag: a\nETag: a\nLength: 1\n",
      "quorvane part 1\nLast-Modified: b\nLast-Modified: b\nLength: 1\n",
      "quorvane part 1\nSize: 1\nLength: 1\n",
      "quorvane part 1\nLength: 1\n\n",
      "quorvane part 1\r\nLength: 1\r\n",
  };
  for (const char* text : malformed) {
    FileIdentity file;
    EXPECT_FALSE(parsePartMeta(text, &file)) << text;
  }
}

}  // namespace
