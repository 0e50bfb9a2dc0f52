// The cookie jar's file: written private, over a link without following it.
#include "http/cookie_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/capture.h"

namespace {

TEST(CookieFile, WritesANewPrivateFileOverALink) {
  TempDir folder;
  std::string elsewhere = folder.write("elsewhere.txt", "keep\n");
  std::string jarPath = folder.path() + "/jar.txt";
  ASSERT_EQ(symlink(elsewhere.c_str(), jarPath.c_str()), 0);
  CookieJar jar;
  ASSERT_TRUE(saveCookieFile(jar, jarPath.c_str()).ok());
  struct stat info;
  ASSERT_EQ(lstat(jarPath.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(elsewhere.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 5);  // the file the link named is untouched
}

}  // namespace
