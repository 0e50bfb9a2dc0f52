// Tests of the meta file's reader on malformed texts (a case could show only
// one per run) and of the agreement rule between a part and a new response;
// the cases part-*.case show the text written and read back, and agreement.
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
      "quorvane part 1\nETag: a\nLast-Modified: b\nLength: 1\n",
      "quorvane part 1\nSize: 1\nLength: 1\n",
      "quorvane part 1\nLength: 1\n\n",
      "quorvane part 1\r\nLength: 1\r\n",
  };
  for (const char* text : malformed) {
    PartMeta meta;
    EXPECT_FALSE(parsePartMeta(text, &meta)) << text;
  }
}

TEST(PartMeta, AgreementOfValidatorsAndLengths) {
  struct Row {
    PartMeta kept;
    PartMeta now;
    bool agree;
  };
  const Row rows[] = {
      {{"ETag", "\"a\"", 10}, {"ETag", "\"a\"", -1}, true},
      {{"", "", -1}, {"", "", 10}, true},
      {{"ETag", "\"a\"", 10}, {"ETag", "\"a\"", 11}, false},
      {{"ETag", "\"a\"", 10}, {"ETag", "\"b\"", 10}, false},
      {{"ETag", "\"a\"", 10}, {"", "", 10}, false},
      {{"ETag", "x", 10}, {"Last-Modified", "x", 10}, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(partMetaAgrees(row.kept, row.now), row.agree)
        << formatPartMeta(row.kept) << formatPartMeta(row.now);
  }
}

}  // namespace
