// Tests of FileHandle: open and close traces per display mode, line reads at
// the limit, rewinding, writes, emptying and closing.
#include "text/file_handle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "support/capture.h"

namespace {

TEST(FileHandle, TracesOpenAndCloseInVerboseModeOnly) {
  TempDir dir;
  std::string path = dir.write("tovel.ini", "#=registry\n");
  std::string missing = dir.path() + "/absent.ini";
  int descriptors = openDescriptorCount();
  {
    ModeScope verbose("/D");
    StdoutCapture out;
    {
      FileHandle nothing(nullptr, "r");
      EXPECT_EQ(nothing.stream, nullptr);
    }
    {
      FileHandle absent(missing.c_str(), "r");
      EXPECT_EQ(absent.stream, nullptr);
    }
    {
      FileHandle present(path.c_str(), "r");
      EXPECT_NE(present.stream, nullptr);
    }
    EXPECT_EQ(out.finish(),
              "@file open " + missing + ".\n@file open " + path + ".\n@file close.\n");
  }
  {
    ModeScope normal("/S");
    StdoutCapture out;
    {
      FileHandle absent(missing.c_str(), "r");
      FileHandle present(path.c_str(), "r");
      EXPECT_NE(present.stream, nullptr);
    }
    EXPECT_EQ(out.finish(), "");
  }
  {
    ModeScope terse("/T");
    StdoutCapture out;
    {
      FileHandle absent(missing.c_str(), "r");
      FileHandle present(path.c_str(), "r");
      EXPECT_NE(present.stream, nullptr);
    }
    EXPECT_EQ(out.finish(), "#606\n#606\n#607\n");
  }
  // Every stream that was opened is closed again.
  EXPECT_EQ(openDescriptorCount(), descriptors);
}

TEST(FileHandle, WriteCountsBytesAndIgnoresNonPositiveCounts) {
  TempDir dir;
  std::string path = dir.path() + "/out.bin";
  {
    FileHandle out(path.c_str(), "wb");
    ASSERT_NE(out.stream, nullptr);
    EXPECT_EQ(out.write("abc", 0), 0);
    EXPECT_EQ(out.write("abc", -1), 0);
    EXPECT_EQ(out.write("abc", INT32_MIN), 0);
    EXPECT_EQ(out.write("a\0b\r\n", 5), 5);
    std::string block(70000, 'z');
    EXPECT_EQ(out.write(block.data(), static_cast<int32_t>(block.size())), 70000);
  }
  std::string written = readFile(path);
  EXPECT_EQ(written.size(), 5u + 70000u);
  EXPECT_EQ(written.substr(0, 5), std::string("a\0b\r\n", 5));
  EXPECT_EQ(written.substr(5), std::string(70000, 'z'));
}

TEST(FileHandle, ReadLineHonoursTheSizeLimit) {
  TempDir dir;
  std::string longLine(1500, 'q');
  std::string path = dir.write("script.txt", longLine + "\nsecond\r\nlast");
  FileHandle in(path.c_str(), "r");
  ASSERT_NE(in.stream, nullptr);

  char buffer[1024];
  memset(buffer, 'X', sizeof buffer);
  EXPECT_EQ(in.readLine(buffer, 0), nullptr);
  EXPECT_EQ(in.readLine(buffer, -5), nullptr);
  EXPECT_EQ(buffer[0], 'X');  // nothing was read

  // 1500 characters arrive as 1023 and then 477 with the newline.
  ASSERT_EQ(in.readLine(buffer, 1024), buffer);
  EXPECT_EQ(std::string(buffer), std::string(1023, 'q'));
  ASSERT_EQ(in.readLine(buffer, 1024), buffer);
  EXPECT_EQ(std::string(buffer), std::string(477, 'q') + "\n");
  ASSERT_EQ(in.readLine(buffer, 1024), buffer);
  EXPECT_STREQ(buffer, "second\r\n");
  ASSERT_EQ(in.readLine(buffer, 1024), buffer);
  EXPECT_STREQ(buffer, "last");
  EXPECT_EQ(in.readLine(buffer, 1024), nullptr);
  EXPECT_EQ(in.readLine(buffer, 1024), nullptr);

  // After end of file, rewind starts over at the first line.
  in.rewind();
  ASSERT_EQ(in.readLine(buffer, 8), buffer);
  EXPECT_STREQ(buffer, "qqqqqqq");
  in.rewind();
  ASSERT_EQ(in.readLine(buffer, 1024), buffer);
  EXPECT_EQ(std::string(buffer), std::string(1023, 'q'));

  // A size of 1 has room for the terminator only.
  TempDir other;
  std::string small = other.write("one.txt", "ab\n");
  FileHandle one(small.c_str(), "r");
  ASSERT_NE(one.stream, nullptr);
  ASSERT_EQ(one.readLine(buffer, 1), buffer);
  EXPECT_STREQ(buffer, "");
  ASSERT_EQ(one.readLine(buffer, 1024), buffer);
  EXPECT_STREQ(buffer, "ab\n");
}

// A download that starts over empties its file; a device or pipe cannot be
// emptied. A close that fails is reported, since bytes may be lost.
TEST(FileHandle, TruncateAndCloseReportTheSystemsError) {
  TempDir dir;
  std::string path = dir.path() + "/out.bin";
  FileHandle out(path.c_str(), "wb");
  ASSERT_NE(out.stream, nullptr);
  out.write("first try", 9);
  EXPECT_EQ(out.truncate(), 0);
  out.write("again", 5);
  EXPECT_EQ(out.close(), 0);
  EXPECT_EQ(out.stream, nullptr);
  EXPECT_EQ(out.close(), 0);
  EXPECT_EQ(readFile(path), "again");

  FileHandle device("/dev/null", "wb");
  ASSERT_NE(device.stream, nullptr);
  EXPECT_EQ(device.truncate(), ESPIPE);

  FileHandle lost(path.c_str(), "wb");
  ASSERT_NE(lost.stream, nullptr);
  ::close(fileno(lost.stream));
  EXPECT_EQ(lost.close(), EBADF);
}

TEST(FileHandle, RewindWithoutStreamDoesNothing) {
  TempDir dir;
  FileHandle none(nullptr, "r");
  none.rewind();
  EXPECT_EQ(none.stream, nullptr);
  std::string missing = dir.path() + "/nope";
  FileHandle absent(missing.c_str(), "r");
  absent.rewind();
  EXPECT_EQ(absent.stream, nullptr);
}

}  // namespace
