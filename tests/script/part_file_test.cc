// What a case cannot set up: a second run at once, a link and a FIFO as the
// meta file. The cases part-*.case show the meta text written and read
// back.
#include "script/part_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/capture.h"

namespace {

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
