// Tests of the meta file's reader on malformed texts (a case could show only
// one per run), and of what a case cannot set up: a second run at once, a
// link and a FIFO as the meta file. The cases part-*.case show the text
// written and read back.
#include "script/part_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/capture.h"

namespace {

TEST(PartMeta, AnythingElseCannotBeRead) {
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

// The bytes a part fetched in pieces holds: runs read back as written, and
// a list that does not fit the file is no list; a reader that knows no
// pieces refuses a part that has them.
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
  const char* misfits[] = {"0-100", "5-4", "0-9,9-20", "0-9,10-20", "20-29,0-9", "0-9,",
                           "",      "-9",  "0-",       "a-b",       "0-9 ",      "none,0-1"};
  for (const char* runs : misfits) {
    std::string meta = std::string("quorvane part 1\nLength: 100\nHeld: ") + runs + "\n";
    EXPECT_FALSE(parsePartMeta(meta, &read, &pieces)) << runs;
  }
  EXPECT_FALSE(parsePartMeta("quorvane part 1\nLength: unknown\nHeld: none\n", &read, &pieces));
}

// Two runs never write one part, and the meta file's name never leads
// elsewhere: a link there is replaced, a FIFO there is not waited on.
TEST(PartFileTest, APartIsLockedAndItsMetaNeverFollowed) {
  TempDir folder;
  const std::string output = folder.path() + "/out.bin";
  PartFile first(output.c_str());
  ASSERT_EQ(PartFile::kOpened, first.open());
  PartFile second(output.c_str());
  EXPECT_EQ(PartFile::kInUse, second.open());

  const std::string elsewhere = folder.write("elsewhere", "kept\n");
  ASSERT_EQ(0, symlink(elsewhere.c_str(), first.metaPath().c_str()));
  FileIdentity file;
  EXPECT_FALSE(first.readMeta(&file));
  file.etag = "\"v1\"";
  ASSERT_EQ(0, first.writeMeta(file));
  EXPECT_EQ("kept\n", readFile(elsewhere));
  struct stat info;
  ASSERT_EQ(0, lstat(first.metaPath().c_str(), &info));
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(0600u, info.st_mode & 0777);

  ASSERT_EQ(0, unlink(first.metaPath().c_str()));
  ASSERT_EQ(0, mkfifo(first.metaPath().c_str(), 0600));
  EXPECT_FALSE(first.readMeta(&file));
}

}  // namespace
