// Tests of the text transforms: extraction between markers with its verbose
// trace, percent-encoding and decoding, and replace-all.
#include "text/text_transforms.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/messages.h"
#include "support/capture.h"
#include "text/text_buffer.h"

namespace {

// The extraction as an owned buffer; "<null>" stands for no result.
std::string extract(const char* text, const char* start, const char* end, int findLast = 0) {
  TextBuffer value(extractBetween(text, start, end, findLast));
  if (value.data() == nullptr) return "<null>";
  EXPECT_EQ(value.length(), static_cast<int32_t>(strlen(value.data())));
  return value.data();
}

// A buffer whose block is exactly strlen(text) + 1 bytes (assign grows
// exactly), so that the sanitizer build catches any read beyond the
// terminator.
TextBuffer* exactBuffer(const std::string& text) {
  TextBuffer* buffer = new TextBuffer;
  buffer->assign(text.c_str());
  return buffer;
}

// Left-to-right, non-overlapping replacement that never rescans inserted text.
// `count` receives the number of occurrences replaced.
std::string referenceReplace(std::string text, const std::string& pattern,
                             const std::string& replacement, size_t* count) {
  *count = 0;
  size_t at = text.find(pattern);
  while (at != std::string::npos) {
    ++*count;
    text.replace(at, pattern.size(), replacement);
    at = text.find(pattern, at + replacement.size());
  }
  return text;
}

TEST(ExtractBetween, FindsValuesBetweenMarkers) {
  EXPECT_EQ(extract("Host: a\r\n", "Host: ", "\r\n"), "a");
  EXPECT_EQ(extract("Host: a\r\n", "Host: ", ""), "a\r\n");
  EXPECT_EQ(extract("key=value=x", "", "="), "key");
  EXPECT_EQ(extract("whole", "", ""), "whole");
  EXPECT_EQ(extract("id=1; path=/; secure", "path=", ";"), "/");
  EXPECT_EQ(extract("id=1; path=/", "path=", ";"), "<null>");
  EXPECT_EQ(extract("id=1; path=/", "path=", ""), "/");
  // The end marker is searched only from the value's beginning on.
  EXPECT_EQ(extract("a;b;key=val;rest", "key=", ";"), "val");
  EXPECT_EQ(extract("<a>b</a>", "<a>", "<"), "b");
}

TEST(ExtractBetween, NullAndEmptyResults) {
  EXPECT_EQ(extract(nullptr, "a", "b"), "<null>");
  EXPECT_EQ(extract("abc", nullptr, "c"), "<null>");
  EXPECT_EQ(extract("abc", "a", nullptr), "<null>");
  EXPECT_EQ(extract("abc", "x", ""), "<null>");
  // Start marker right before the end marker, or at the end of the text:
  // an empty value is no value.
  EXPECT_EQ(extract("k=;", "k=", ";"), "<null>");
  EXPECT_EQ(extract("abck=", "k=", ""), "<null>");
  EXPECT_EQ(extract("", "", ""), "<null>");
  EXPECT_EQ(extract("=x", "", "="), "<null>");
}

TEST(ExtractBetween, FindLastTakesTheRightmostPossiblyOverlappingMatch) {
  const char* headers =
      "HTTP/1.0 200 OK\r\nSet-Cookie: a=1\r\nContent-Type: text/html\r\n"
      "Set-Cookie: b=2\r\n\r\n";
  EXPECT_EQ(extract(headers, "Set-Cookie: ", "\r\n", 0), "a=1");
  EXPECT_EQ(extract(headers, "Set-Cookie: ", "\r\n", 1), "b=2");
  EXPECT_EQ(extract(headers, "Set-Cookie: ", "\r\n", 7), "b=2");

  // Overlapping matches: the rightmost start of "aa" in "aaaa" is index 2,
  // leaving nothing after it.
  EXPECT_EQ(extract("aaaa", "aa", "", 1), "<null>");
  EXPECT_EQ(extract("aaaa", "aa", "", 0), "aa");
  EXPECT_EQ(extract("aaab", "aa", "", 1), "b");
  EXPECT_EQ(extract("xaaay", "aa", "y", 1), "<null>");
  EXPECT_EQ(extract("xaaaay!", "aaa", "!", 1), "y");
  // An empty start marker means the beginning whatever findLast says.
  EXPECT_EQ(extract("a=b=c", "", "=", 1), "a");
  // The end marker is the first one after the last start.
  EXPECT_EQ(extract("s:1;s:2;s:3;", "s:", ";", 1), "3");
}

TEST(ExtractBetween, VerboseTraceShowsHowFarTheSearchGot) {
  ModeScope verbose("/D");
  {
    StdoutCapture out;
    EXPECT_EQ(extract("Host: a\r\n", "Host: ", "\r\n"), "a");
    EXPECT_EQ(out.finish(), "key:Host: ...\r\n\nkeystart foud.\nkeyend foud.\n");
  }
  {
    StdoutCapture out;
    EXPECT_EQ(extract("abc", "x", "y"), "<null>");
    EXPECT_EQ(out.finish(), "key:x...y\n");
  }
  {
    StdoutCapture out;
    EXPECT_EQ(extract("abc", "a", "y"), "<null>");
    EXPECT_EQ(out.finish(), "key:a...y\nkeystart foud.\n");
  }
  {
    StdoutCapture out;
    EXPECT_EQ(extract("abc", "c", ""), "<null>");
    EXPECT_EQ(out.finish(), "key:c...\nkeystart foud.\n");
  }
  {
    StdoutCapture out;
    EXPECT_EQ(extract("a%sb%d", "", "%d"), "a%sb");
    EXPECT_EQ(out.finish(), "key:...%d\nkeystart foud.\nkeyend foud.\n");
  }
  {
    StdoutCapture out;
    EXPECT_EQ(extract(nullptr, "a", "b"), "<null>");
    EXPECT_EQ(extract("abc", nullptr, "b"), "<null>");
    EXPECT_EQ(extract("abc", "a", nullptr), "<null>");
    EXPECT_EQ(out.finish(), "");
  }
}

TEST(ExtractBetween, TraceInOtherModes) {
  {
    ModeScope normal("/S");
    StdoutCapture out;
    EXPECT_EQ(extract("Host: a\r\n", "Host: ", "\r\n"), "a");
    EXPECT_EQ(out.finish(), "");
  }
  {
    // Terse mode prints every report as its code.
    ModeScope terse("/T");
    StdoutCapture out;
    EXPECT_EQ(extract("Host: a\r\n", "Host: ", "\r\n"), "a");
    EXPECT_EQ(extract("abc", "x", "y"), "<null>");
    std::string found;
    for (int i = 0; i < 7; ++i) found += "#609\n";
    std::string missing;
    for (int i = 0; i < 5; ++i) missing += "#609\n";
    EXPECT_EQ(out.finish(), found + missing);
  }
}

TEST(UrlEncode, EncodesIntoNewStorageOfThreeTimesTheLength) {
  TextBuffer b;
  b.assign("a b/c");
  b.urlEncode();
  EXPECT_STREQ(b.data(), "a+b%2Fc");
  EXPECT_EQ(b.length(), 7);
  EXPECT_EQ(b.capacity(), 15);
  EXPECT_EQ(b.data()[15], '\0');

  TextBuffer plain;
  plain.assign("*-._@");
  const char* old = plain.data();
  plain.urlEncode();
  EXPECT_NE(plain.data(), old);
  EXPECT_STREQ(plain.data(), "*-._@");
  EXPECT_EQ(plain.length(), 5);
  EXPECT_EQ(plain.capacity(), 15);

  TextBuffer high;
  high.assign("\xE3\x81\x82");
  high.urlEncode();
  EXPECT_STREQ(high.data(), "%E3%81%82");
  EXPECT_EQ(high.length(), 9);
  EXPECT_EQ(high.capacity(), 9);

  // Every byte: members of the plain set map to the escaped set, all others
  // become "%" and two capital hex digits of the unsigned byte.
  std::string all;
  std::string expected;
  const std::string plainSet =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz*-._@ ";
  for (int c = 1; c < 256; ++c) {
    all += static_cast<char>(c);
    if (c == ' ') {
      expected += '+';
    } else if (plainSet.find(static_cast<char>(c)) != std::string::npos) {
      expected += static_cast<char>(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      expected += hex;
    }
  }
  TextBuffer every;
  every.assign(all.c_str());
  every.urlEncode();
  EXPECT_EQ(std::string(every.data()), expected);
  EXPECT_EQ(every.length(), static_cast<int32_t>(expected.size()));
  EXPECT_EQ(every.capacity(), 3 * 255);

  // Decoding gives every byte back.
  every.urlDecode();
  EXPECT_EQ(std::string(every.data()), all);
  EXPECT_EQ(every.length(), 255);
}

TEST(UrlEncode, LeavesEmptyAndAbsentTextsAlone) {
  TextBuffer none;
  none.urlEncode();
  EXPECT_EQ(none.data(), nullptr);
  EXPECT_EQ(none.capacity(), 0);

  TextBuffer empty(5);
  const char* storage = empty.data();
  empty.urlEncode();
  EXPECT_EQ(empty.data(), storage);
  EXPECT_EQ(empty.capacity(), 5);
  EXPECT_EQ(empty.length(), 0);

  // Only the text up to its first NUL is encoded.
  TextBuffer cut(8);
  int32_t room = 0;
  memcpy(cut.tail(&room), "a b\0cd", 6);
  cut.commit(6);
  cut.urlEncode();
  EXPECT_STREQ(cut.data(), "a+b");
  EXPECT_EQ(cut.length(), 3);
  EXPECT_EQ(cut.capacity(), 9);
}

TEST(UrlDecode, DecodesInPlace) {
  TextBuffer b;
  b.assign("a+b%2Fc");
  const char* storage = b.data();
  b.urlDecode();
  EXPECT_EQ(b.data(), storage);
  EXPECT_STREQ(b.data(), "a b/c");
  EXPECT_EQ(b.length(), 5);
  EXPECT_EQ(b.capacity(), 7);

  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"%2f", "/"},       {"%2F", "/"},
      {"%41%42c", "ABc"}, {"%4a%4A", "JJ"},
      {"a b", "a b"},     {"\xE3x", "\xE3x"},
      {"*-._@", "*-._@"}, {"++", "  "},
      {"100%25", "100%"}, {"%E3%81%82", "\xE3\x81\x82"},
  };
  for (const Case& c : cases) {
    TextBuffer t;
    t.assign(c.in);
    t.urlDecode();
    EXPECT_STREQ(t.data(), c.out) << c.in;
    EXPECT_EQ(t.length(), static_cast<int32_t>(strlen(c.out))) << c.in;
  }

  TextBuffer empty;
  empty.assign("x");
  empty.clear();
  empty.urlDecode();
  EXPECT_STREQ(empty.data(), "");
  EXPECT_EQ(empty.length(), 0);

  TextBuffer none;
  none.urlDecode();
  EXPECT_EQ(none.data(), nullptr);
  EXPECT_EQ(none.length(), 0);
}

TEST(UrlDecode, PercentNearTheEndAndNonHexDigits) {
  // One digit and the terminator: the terminator is the low digit, worth 0.
  TextBuffer* oneDigit = exactBuffer("ab%4");
  oneDigit->urlDecode();
  EXPECT_STREQ(oneDigit->data(), "ab@");
  EXPECT_EQ(oneDigit->length(), 3);
  delete oneDigit;

  // A "%" in the last place stays and ends decoding; nothing beyond the
  // terminator is read (the block is exactly as large as the text).
  TextBuffer* trailing = exactBuffer("a+b%");
  trailing->urlDecode();
  EXPECT_STREQ(trailing->data(), "a b%");
  EXPECT_EQ(trailing->length(), 4);
  delete trailing;

  TextBuffer* alone = exactBuffer("%");
  alone->urlDecode();
  EXPECT_STREQ(alone->data(), "%");
  EXPECT_EQ(alone->length(), 1);
  delete alone;

  // Non-hex digits are worth 0: "%zz" is a NUL byte that length still counts.
  TextBuffer zz;
  zz.assign("x%zzy");
  zz.urlDecode();
  EXPECT_EQ(zz.length(), 3);
  EXPECT_EQ(std::string(zz.data(), 3), std::string("x\0y", 3));
  EXPECT_EQ(zz.data()[3], '\0');

  TextBuffer mixed;
  mixed.assign("%g1%1g");
  mixed.urlDecode();
  EXPECT_EQ(mixed.length(), 2);
  EXPECT_EQ(static_cast<unsigned char>(mixed.data()[0]), 0x01);
  EXPECT_EQ(static_cast<unsigned char>(mixed.data()[1]), 0x10);

  // Only the text up to its first NUL is decoded.
  TextBuffer cut(8);
  int32_t room = 0;
  memcpy(cut.tail(&room), "a+\0b+", 5);
  cut.commit(5);
  cut.urlDecode();
  EXPECT_STREQ(cut.data(), "a ");
  EXPECT_EQ(cut.length(), 2);
}

TEST(ReplaceAll, ReplacesLeftToRightWithoutRescanning) {
  struct Case {
    const char* text;
    const char* pattern;
    const char* replacement;
    const char* result;
  };
  const Case cases[] = {
      {"aaaa", "aa", "x", "xx"},
      {"aaa", "aa", "x", "xa"},
      {"abc", "b", "bb", "abbc"},
      {"a-b-c", "-", nullptr, "abc"},
      {"a-b-c", "-", "", "abc"},
      {"aXa", "a", "aa", "aaXaa"},
      // Text that a replacement makes up with its neighbours is not searched.
      {"abb", "ab", "a", "ab"},
      {"xab", "ab", "b", "xb"},
      {"abab", "ab", "abab", "abababab"},
      {"abcabc", "b", "X", "aXcaXc"},
      {"{t}", "{t}", "title", "title"},
      {"--", "-", "", ""},
  };
  for (const Case& c : cases) {
    TextBuffer b;
    b.assign(c.text);
    b.replaceAll(c.pattern, c.replacement);
    EXPECT_STREQ(b.data(), c.result) << c.text << " / " << c.pattern;
    EXPECT_EQ(b.length(), static_cast<int32_t>(strlen(c.result))) << c.text;
  }
}

TEST(ReplaceAll, GrowsToTheReservedSizeOnlyWhenNeeded) {
  TextBuffer grow;
  grow.assign("abc");
  grow.replaceAll("b", "xyz");
  EXPECT_STREQ(grow.data(), "axyzc");
  EXPECT_EQ(grow.length(), 5);
  EXPECT_EQ(grow.capacity(), 5);
  EXPECT_EQ(grow.data()[5], '\0');

  // Shrinking still reserves text length + count * difference.
  TextBuffer shrink;
  shrink.assign("abcabc");
  shrink.replaceAll("abc", "x");
  EXPECT_STREQ(shrink.data(), "xx");
  EXPECT_EQ(shrink.length(), 2);
  EXPECT_EQ(shrink.capacity(), 10);
  EXPECT_EQ(shrink.data()[10], '\0');

  // Enough room: the storage stays.
  TextBuffer room(64);
  room.assign("a.b.c");
  const char* storage = room.data();
  room.replaceAll(".", "::");
  EXPECT_EQ(room.data(), storage);
  EXPECT_EQ(room.capacity(), 64);
  EXPECT_STREQ(room.data(), "a::b::c");
  EXPECT_EQ(room.length(), 7);
}

TEST(ReplaceAll, UnchangedWhenThereIsNothingToDo) {
  const char* patterns[] = {"zz", "", nullptr};
  for (const char* pattern : patterns) {
    TextBuffer b(3);
    int32_t room = 0;
    memcpy(b.tail(&room), "ab", 3);
    b.commit(3);  // length not touched when nothing is replaced
    const char* storage = b.data();
    b.replaceAll(pattern, "x");
    EXPECT_EQ(b.data(), storage);
    EXPECT_STREQ(b.data(), "ab");
    EXPECT_EQ(b.length(), 3);
    EXPECT_EQ(b.capacity(), 3);
  }
  TextBuffer none;
  none.replaceAll("a", "b");
  EXPECT_EQ(none.data(), nullptr);
  TextBuffer empty(4);
  empty.replaceAll("a", "b");
  EXPECT_STREQ(empty.data(), "");
  EXPECT_EQ(empty.capacity(), 4);

  // Content beyond the first NUL is not seen.
  TextBuffer cut(8);
  int32_t room = 0;
  memcpy(cut.tail(&room), "ab\0ab", 5);
  cut.commit(5);
  cut.replaceAll("ab", "x");
  EXPECT_STREQ(cut.data(), "x");
  EXPECT_EQ(cut.length(), 1);
}

TEST(ReplaceAll, ManyOccurrencesMatchAReference) {
  std::string text;
  for (int i = 0; i < 3000; ++i) {
    text += "<p>";
    text += std::string(static_cast<size_t>(i % 7), 'x');
    text += (i % 3 == 0) ? "{v}{v}" : "{v}";
  }
  struct Case {
    const char* pattern;
    const char* replacement;
  };
  const Case cases[] = {
      {"{v}", "value-{v}-longer"}, {"{v}", ""},    {"<p>", "<"},       {"x", "xx"},    {"xx", "x"},
      {"{v}{v}", "{v}"},           {"}{", "}\n{"}, {"<p>xxxxxx", "!"}, {"{v}", "{w}"},
  };
  for (const Case& c : cases) {
    TextBuffer b;
    b.assign(text.c_str());
    b.replaceAll(c.pattern, c.replacement);
    size_t count = 0;
    std::string expected = referenceReplace(text, c.pattern, c.replacement, &count);
    ASSERT_EQ(std::string(b.data()), expected) << c.pattern << " -> " << c.replacement;
    EXPECT_EQ(b.length(), static_cast<int32_t>(expected.size()));
    // Reserved size: text length + count * |replacement - pattern|.
    size_t p = strlen(c.pattern);
    size_t r = strlen(c.replacement);
    size_t reserved = text.size() + count * (r > p ? r - p : p - r);
    EXPECT_EQ(b.capacity(), static_cast<int32_t>(reserved));
    EXPECT_EQ(b.data()[b.capacity()], '\0');
  }
}

}  // namespace
