// Tests of TextBuffer: exact growth, the NUL at index capacity, absent versus
// empty text, copies and moves (assign, moves, clear).
#include "text/text_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

namespace {

// True when every byte of data[from..to] (inclusive) is NUL.
bool allNul(const char* data, int from, int to) {
  for (int i = from; i <= to; ++i) {
    if (data[i] != '\0') return false;
  }
  return true;
}

TEST(TextBuffer, AbsentStorageStates) {
  TextBuffer none;
  EXPECT_EQ(none.data(), nullptr);
  EXPECT_EQ(none.capacity(), 0);
  EXPECT_EQ(none.length(), 0);
  EXPECT_FALSE(none.hasText());
  none.clear();
  EXPECT_EQ(none.data(), nullptr);
  EXPECT_EQ(none.capacity(), 0);
  EXPECT_EQ(none.length(), 0);

  TextBuffer zero(0);
  EXPECT_EQ(zero.data(), nullptr);
  EXPECT_EQ(zero.capacity(), 0);
  TextBuffer negative(-5);
  EXPECT_EQ(negative.data(), nullptr);
  EXPECT_EQ(negative.capacity(), 0);
  negative.reserve(-1);
  negative.reserve(0);
  EXPECT_EQ(negative.data(), nullptr);
}

TEST(TextBuffer, ConstructedCapacityHoldsEmptyTextAndNulBytes) {
  TextBuffer b(1024);
  ASSERT_NE(b.data(), nullptr);
  EXPECT_EQ(b.capacity(), 1024);
  EXPECT_EQ(b.length(), 0);
  EXPECT_STREQ(b.data(), "");
  EXPECT_FALSE(b.hasText());
  // All 1025 bytes exist (the sanitizer build checks the bound) and are NUL.
  EXPECT_TRUE(allNul(b.data(), 0, 1024));

  TextBuffer one(1);
  EXPECT_EQ(one.capacity(), 1);
  EXPECT_TRUE(allNul(one.data(), 0, 1));
}

TEST(TextBuffer, ReserveGrowsExactlyAndKeepsTheWholeOldBlock) {
  TextBuffer b;
  b.assign("abc");
  ASSERT_EQ(b.capacity(), 3);
  const char* before = b.data();
  b.reserve(3);
  b.reserve(2);
  b.reserve(-7);
  EXPECT_EQ(b.data(), before);
  EXPECT_EQ(b.capacity(), 3);

  b.reserve(10);
  EXPECT_EQ(b.capacity(), 10);
  EXPECT_EQ(b.length(), 3);
  EXPECT_STREQ(b.data(), "abc");
  EXPECT_TRUE(allNul(b.data(), 3, 10));

  // A direct writer may leave bytes after an embedded NUL: growth copies all
  // capacity + 1 bytes of the old block, not just the text up to its NUL, and
  // sets everything beyond them to NUL.
  TextBuffer body(6);
  int32_t room = 0;
  memcpy(body.tail(&room), "xy\0zw!", 6);
  body.commit(6);
  body.reserve(20);
  EXPECT_EQ(body.capacity(), 20);
  EXPECT_EQ(body.length(), 6);
  EXPECT_EQ(std::string(body.data(), 6), std::string("xy\0zw!", 6));
  EXPECT_TRUE(allNul(body.data(), 6, 20));

  // Leftovers of a longer earlier text are kept as part of the old block.
  TextBuffer reused;
  reused.assign("abcdef");
  reused.assign("ab");
  reused.reserve(9);
  EXPECT_STREQ(reused.data(), "ab");
  EXPECT_EQ(std::string(reused.data(), 10), std::string("ab\0def\0\0\0\0", 10));
}

TEST(TextBuffer, AssignCopiesAndGrowsOnlyWhenNeeded) {
  TextBuffer b;
  b.assign("POST");
  EXPECT_EQ(b.capacity(), 4);
  EXPECT_EQ(b.length(), 4);
  EXPECT_STREQ(b.data(), "POST");
  EXPECT_EQ(b.data()[4], '\0');
  const char* storage = b.data();

  EXPECT_EQ(b.assign("GET"), storage);
  EXPECT_EQ(b.capacity(), 4);
  EXPECT_EQ(b.length(), 3);
  EXPECT_STREQ(b.data(), "GET");

  // A longer text grows the storage to exactly its length.
  const char* returned = b.assign("DELETE");
  EXPECT_EQ(returned, b.data());
  EXPECT_EQ(b.capacity(), 6);
  EXPECT_EQ(b.length(), 6);
  EXPECT_STREQ(b.data(), "DELETE");

  // Assigning the buffer's own data changes nothing.
  storage = b.data();
  EXPECT_EQ(b.assign(b.data()), storage);
  EXPECT_STREQ(b.data(), "DELETE");
  EXPECT_EQ(b.length(), 6);
  EXPECT_EQ(b.capacity(), 6);

  // The source is copied, not referenced.
  char source[] = "abc";
  b.assign(source);
  source[0] = 'z';
  EXPECT_STREQ(b.data(), "abc");
}

TEST(TextBuffer, AssignOfNullAndEmptyKeepsAbsentAndEmptyApart) {
  TextBuffer b;
  b.assign("abc");
  const char* storage = b.data();
  EXPECT_EQ(b.assign(nullptr), storage);
  EXPECT_EQ(b.data(), storage);
  EXPECT_EQ(b.capacity(), 3);
  EXPECT_EQ(b.length(), 0);
  EXPECT_STREQ(b.data(), "");

  TextBuffer e;
  e.assign("abc");
  storage = e.data();
  e.assign("");
  EXPECT_EQ(e.data(), storage);
  EXPECT_EQ(e.capacity(), 3);
  EXPECT_EQ(e.length(), 0);
  EXPECT_STREQ(e.data(), "");

  TextBuffer none;
  EXPECT_EQ(none.assign(""), nullptr);
  EXPECT_EQ(none.data(), nullptr);
  EXPECT_EQ(none.length(), 0);
  EXPECT_EQ(none.assign(nullptr), nullptr);
  EXPECT_EQ(none.data(), nullptr);
  EXPECT_EQ(none.capacity(), 0);
}

TEST(TextBuffer, MovesHandTheStorageOverWithoutCopying) {
  TextBuffer from;
  from.assign("moved text");
  const char* storage = from.data();
  TextBuffer to(std::move(from));
  EXPECT_EQ(to.data(), storage);
  EXPECT_STREQ(to.data(), "moved text");
  EXPECT_EQ(to.length(), 10);
  EXPECT_EQ(to.capacity(), 10);
  EXPECT_EQ(from.data(), nullptr);
  EXPECT_EQ(from.capacity(), 0);
  EXPECT_EQ(from.length(), 0);

  // Assignment frees the target's old storage (the sanitizer build sees a
  // leak otherwise) and takes the source's.
  TextBuffer b;
  b.assign("old");
  b = std::move(to);
  EXPECT_EQ(b.data(), storage);
  EXPECT_EQ(b.length(), 10);
  EXPECT_EQ(to.data(), nullptr);

  // Moving itself onto itself changes nothing (and must not free it).
  TextBuffer& same = b;
  b = std::move(same);
  EXPECT_EQ(b.data(), storage);
  EXPECT_STREQ(b.data(), "moved text");

  // A buffer without storage moved in leaves the target without storage.
  b = TextBuffer();
  EXPECT_EQ(b.data(), nullptr);
  EXPECT_EQ(b.capacity(), 0);
  EXPECT_EQ(b.length(), 0);
}

TEST(TextBuffer, AppendStopsAtTheFirstNullOrEmptyPiece) {
  TextBuffer b;
  b.append("a", "", "b");
  EXPECT_STREQ(b.data(), "a");
  EXPECT_EQ(b.length(), 1);
  EXPECT_EQ(b.capacity(), 1);

  TextBuffer n;
  n.append(nullptr, "b", nullptr);
  EXPECT_EQ(n.data(), nullptr);
  EXPECT_EQ(n.length(), 0);
  n.append("", "b");
  EXPECT_EQ(n.data(), nullptr);

  TextBuffer s;
  s.append("x", nullptr, "z");
  EXPECT_STREQ(s.data(), "x");
  EXPECT_EQ(s.length(), 1);

  TextBuffer all;
  all.append("GET", " ", "/index");
  EXPECT_STREQ(all.data(), "GET /index");
  EXPECT_EQ(all.length(), 10);
  EXPECT_EQ(all.capacity(), 10);
}

TEST(TextBuffer, AppendGrowsExactlyAndReusesSpareCapacity) {
  TextBuffer b;
  b.append("GET", " ", nullptr);
  EXPECT_STREQ(b.data(), "GET ");
  EXPECT_EQ(b.length(), 4);
  EXPECT_EQ(b.capacity(), 4);
  EXPECT_EQ(b.data()[4], '\0');

  TextBuffer spare(32);
  const char* storage = spare.data();
  spare.append("Host: ", "example.com", "\r\n");
  EXPECT_EQ(spare.data(), storage);
  EXPECT_EQ(spare.capacity(), 32);
  EXPECT_STREQ(spare.data(), "Host: example.com\r\n");
  EXPECT_EQ(spare.length(), 19);

  // After clear, appending starts at the beginning again.
  spare.clear();
  spare.append("a");
  EXPECT_STREQ(spare.data(), "a");
  EXPECT_EQ(spare.length(), 1);

  // Many small appends: the text stays whole and the capacity exact.
  TextBuffer many;
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    std::string piece = std::to_string(i);
    many.append(piece.c_str(), ",");
    expected += piece + ",";
    ASSERT_EQ(many.capacity(), static_cast<int32_t>(expected.size()));
  }
  EXPECT_EQ(std::string(many.data()), expected);
  EXPECT_EQ(many.length(), static_cast<int32_t>(expected.size()));

  // When length and the text's NUL disagree, the piece goes after the text
  // as it reads and length follows the resulting text.
  TextBuffer odd;
  odd.assign("abc");
  odd.reserve(7);
  int32_t room = 0;
  memcpy(odd.tail(&room), "\0xyz", 4);
  odd.commit(4);
  odd.append("d");
  EXPECT_STREQ(odd.data(), "abcd");
  EXPECT_EQ(odd.length(), 4);
}

// The writer's seam: what is written at tail() becomes content only through
// commit(), which sets length and terminator; the room grows without losing
// what was committed; a text with NUL bytes inside still takes appends at
// the end it reads to.
TEST(TextBuffer, TailAndCommitKeepLengthAndTerminatorRight) {
  int32_t room = -1;
  TextBuffer none;
  EXPECT_EQ(none.tail(&room), nullptr);
  EXPECT_EQ(room, 0);
  none.commit(0);
  EXPECT_EQ(none.data(), nullptr);  // still absent, not empty

  TextBuffer empty(4);
  empty.commit(0);
  ASSERT_NE(empty.data(), nullptr);
  EXPECT_STREQ(empty.data(), "");

  TextBuffer b;
  b.reserveTail(4);
  char* into = b.tail(&room);
  ASSERT_EQ(room, 4);
  memcpy(into, "abcX", 4);  // X: a byte written but not committed
  b.commit(3);
  EXPECT_EQ(b.length(), 3);
  EXPECT_STREQ(b.data(), "abc");
  EXPECT_EQ(b.data()[b.capacity()], '\0');

  // Growth keeps the content; the new room follows it.
  b.reserveTail(5000);
  into = b.tail(&room);
  EXPECT_EQ(into, b.data() + 3);
  EXPECT_EQ(room, 5000 - 3);
  EXPECT_EQ(b.data()[5000], '\0');
  memset(into, 'z', static_cast<size_t>(room));
  b.commit(room);
  EXPECT_EQ(b.length(), 5000);
  EXPECT_EQ(std::string(b.data(), 5), "abczz");
  EXPECT_EQ(strlen(b.data()), 5000u);
  b.truncate(2);
  EXPECT_STREQ(b.data(), "ab");
  EXPECT_EQ(b.length(), 2);

  // Committed NUL bytes count in length; an append goes after the text.
  TextBuffer binary(8);
  memcpy(binary.tail(&room), "ab\0cd", 5);
  binary.commit(5);
  EXPECT_EQ(binary.length(), 5);
  binary.append("Z");
  EXPECT_STREQ(binary.data(), "abZ");
  EXPECT_EQ(binary.length(), 3);

  // So does an append after an in-place edit that cuts the text.
  TextBuffer line;
  line.assign("key=value");
  line.mutableData()[3] = '\0';
  line.append("!");
  EXPECT_STREQ(line.data(), "key!");
  EXPECT_EQ(line.length(), 4);
}

TEST(TextBuffer, ClearKeepsStorageAndRestoresTheFinalNul) {
  TextBuffer b;
  b.assign("abc");
  const char* storage = b.data();
  b.clear();
  EXPECT_EQ(b.data(), storage);
  EXPECT_EQ(b.capacity(), 3);
  EXPECT_EQ(b.length(), 0);
  EXPECT_EQ(b.data()[0], '\0');

  // A writer that overran into the final byte: clear puts its NUL back.
  TextBuffer filled(4);
  int32_t room = 0;
  memcpy(filled.tail(&room), "wxyz", 4);
  filled.commit(4);
  filled.mutableData()[4] = 'Q';
  filled.clear();
  EXPECT_EQ(filled.data()[0], '\0');
  EXPECT_EQ(filled.data()[4], '\0');
  EXPECT_EQ(filled.length(), 0);
  EXPECT_EQ(filled.capacity(), 4);
}

}  // namespace

// Lengths and capacities are 32-bit: a text that would grow past the longest
// one ends the program with a message instead of wrapping to a negative
// length and writing past its storage.
TEST(TextBufferDeathTest, LengthPastTheLimitEndsTheProgram) {
  EXPECT_EQ(0, checkedTextLength(0));
  EXPECT_EQ(kMaxTextLength, checkedTextLength(static_cast<size_t>(kMaxTextLength)));
  EXPECT_DEATH(checkedTextLength(static_cast<size_t>(kMaxTextLength) + 1), "past 2 GiB");
  EXPECT_DEATH(checkedTextLength(static_cast<size_t>(3) * 1024 * 1024 * 1024), "past 2 GiB");
}
