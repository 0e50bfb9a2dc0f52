// The rule that decides whether a part kept by an earlier run belongs to
// the file the server has now, and the reader of the part's meta text on
// malformed texts: tables, where a case shows one row per run.
#include "http/file_identity.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
      // Held runs that do not fit a file of 100 bytes.
      "quorvane part 1\nLength: 100\nHeld: 0-100\n",
      "quorvane part 1\nLength: 100\nHeld: 5-4\n",
      "quorvane part 1\nLength: 100\nHeld: 0-9,9-20\n",
      "quorvane part 1\nLength: 100\nHeld: 0-9,10-20\n",
      "quorvane part 1\nLength: 100\nHeld: 20-29,0-9\n",
      "quorvane part 1\nLength: 100\nHeld: 0-9,\n",
      "quorvane part 1\nLength: 100\nHeld: \n",
      "quorvane part 1\nLength: 100\nHeld: -9\n",
      "quorvane part 1\nLength: 100\nHeld: 0-\n",
      "quorvane part 1\nLength: 100\nHeld: a-b\n",
      "quorvane part 1\nLength: 100\nHeld: 0-9 \n",
      "quorvane part 1\nLength: 100\nHeld: none,0-1\n",
      "quorvane part 1\nLength: unknown\nHeld: none\n",
  };
  for (const char* text : malformed) {
    FileIdentity file;
    HeldPieces pieces;
    EXPECT_FALSE(parsePartMeta(text, &file, &pieces)) << text;
  }
}

// The bytes a part fetched in pieces holds: runs read back as written; a
// reader that knows no pieces refuses a part that has them.
TEST(PartMeta, HeldRunsOfAPieceDownload) {
  FileIdentity file;
  file.etag = "\"v1\"";
  file.length = 100;
  std::vector<ByteRange> held = {{0, 10}, {40, 100}};
  std::string text = formatPartMeta(file, &held);
  EXPECT_EQ("quorvane part 1\nETag: \"v1\"\nLength: 100\nHeld: 0-9,40-99\n", text);
  FileIdentity read;
  HeldPieces pieces;
  ASSERT_TRUE(parsePartMeta(text, &read, &pieces));
  ASSERT_TRUE(pieces.listed);
  ASSERT_EQ(2u, pieces.ranges.size());
  EXPECT_EQ(40, pieces.ranges[1].start);
  EXPECT_EQ(100, pieces.ranges[1].end);
  EXPECT_FALSE(parsePartMeta(text, &read));
  ASSERT_TRUE(parsePartMeta("quorvane part 1\nLength: 5\nHeld: none\n", &read, &pieces));
  EXPECT_TRUE(pieces.listed && pieces.ranges.empty());
  ASSERT_TRUE(parsePartMeta("quorvane part 1\nLength: 5\n", &read, &pieces));
  EXPECT_FALSE(pieces.listed);
}

}  // namespace
