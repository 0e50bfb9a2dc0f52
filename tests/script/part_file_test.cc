// Tests of the meta file's reader on malformed texts (a case could show only
// one per run); the cases part-*.case show the text written and read back.
#include "script/part_file.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
