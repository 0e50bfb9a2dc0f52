// Tests of the message catalogue: every message in the three display modes,
// the switch that selects a mode, the progress line, the failure detail and
// the escaping of text from the network.
#include "base/messages.h"

#include <gtest/gtest.h>
#include <stdio_ext.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "base/status.h"
#include "support/capture.h"

namespace {

// What report(code, text) prints in the current mode; checks that the code
// comes back unchanged.
std::string printed(int code, const char* text) {
  StdoutCapture out;
  int returned = report(code, text);
  std::string result = out.finish();
  EXPECT_EQ(returned, code) << "code " << code;
  return result;
}

struct Message {
  int code;
  const char* text;
  const char* normal;   // printed in normal and verbose mode
  const char* verbose;  // printed in verbose mode only (after `normal`)
};

const char kUsageText[] =
    "usage:\n"
    "quorvane [/D] [/S] [URL ex:http://www.example.com/watch/********] [recive file name] \n";

const Message kCatalogue[] = {
    {0, nullptr, "Done.\n", ""},
    {1, "Plugins", "============Plugins============\n", ""},
    {1, nullptr, "========================\n", ""},
    {2, nullptr, "Quorvane for zaurus [Version 0.2] \n\n", ""},
    {3, "demosite", ">demosite\n", ""},
    {4, nullptr, kUsageText, ""},
    {6, "http://a.example/x?q=%s%d", "http://a.example/x?q=%s%d", ""},
    {6, nullptr, "", ""},
    {200, "too many redirects", "* Unknown error too many redirects.\n", ""},
    {200, nullptr, "* Unknown error .\n", ""},
    {201, nullptr, "* No suport url in target string.\n", ""},
    {202, nullptr, "* Invalid Socket,  maybe connection lost.\n", ""},
    {203, "ignored",
     "* Host name not found in tagrget string. (invalid script or invalid target string)\n", ""},
    {204, nullptr, "* Cannot connect.\n", ""},
    {205, nullptr, "* Socket not Initialized, meibe invalid script.\n", ""},
    {206, nullptr, "* Connect timeout.\n", ""},
    {207, nullptr, "* Ini file not found. please install inifiles.\n", ""},
    {208, nullptr, "* Not support url.\n", ""},
    {601, "@bogus=1", "", "* Not support script @bogus=1\n"},
    {602, "example.com:80", "", "@connect example.com:80.\n"},
    {603, nullptr, "", "@closesocket.\n"},
    {604, nullptr, "", "@cannot send.\n"},
    {605, nullptr, "", "@cannot recv.\n"},
    {606, "/tmp/out.flv", "", "@file open /tmp/out.flv.\n"},
    {607, nullptr, "", "@file close.\n"},
    {608, nullptr, "", "@file write error.\n"},
    {609, "GET / HTTP/1.0\r\n100%\n", "", "GET / HTTP/1.0\r\n100%\n"},
    {609, nullptr, "", ""},
    {610, "[Send method]", "", "============[Send method]============\n"},
    // Codes outside both tables print nothing.
    {5, "x", "", ""},
    {7, nullptr, "", ""},
    {-1, "x", "", ""},
    {100, "x", "", ""},
    {209, "x", "", ""},
    {600, "x", "", ""},
    {611, "x", "", ""},
    {800, "x", "", ""},
};

TEST(Messages, EveryMessageInNormalMode) {
  ModeScope normal("/S");
  ASSERT_EQ(displayMode(), kModeNormal);
  for (const Message& m : kCatalogue) {
    EXPECT_EQ(printed(m.code, m.text), m.normal) << "code " << m.code;
  }
}

TEST(Messages, EveryMessageInVerboseMode) {
  ModeScope verbose("/D");
  ASSERT_EQ(displayMode(), kModeVerbose);
  for (const Message& m : kCatalogue) {
    EXPECT_EQ(printed(m.code, m.text), std::string(m.normal) + m.verbose) << "code " << m.code;
  }
}

TEST(Messages, EveryMessageInTerseMode) {
  ModeScope terse("/T");
  ASSERT_EQ(displayMode(), kModeTerse);
  for (const Message& m : kCatalogue) {
    EXPECT_EQ(printed(m.code, m.text), "#" + std::to_string(m.code) + "\n") << "code " << m.code;
  }
}

TEST(Messages, SwitchSelectsTheMode) {
  struct Switch {
    const char* arg;
    int mode;
  };
  const Switch switches[] = {
      {"/D", kModeVerbose}, {"-D", kModeVerbose}, {"xD", kModeVerbose},   {"/T", kModeTerse},
      {"-T", kModeTerse},   {"/S", kModeNormal},  {"/DD", kModeNormal},   {"/TT", kModeNormal},
      {"D", kModeNormal},   {"T", kModeNormal},   {"", kModeNormal},      {"/d", kModeNormal},
      {"/t", kModeNormal},  {"D/", kModeNormal},  {nullptr, kModeNormal},
  };
  for (const Switch& s : switches) {
    // Start from a different mode each time: the switch sets, not adds.
    setDisplayMode("/D");
    setDisplayMode(s.arg);
    EXPECT_EQ(displayMode(), s.mode) << (s.arg ? s.arg : "(none)");
    setDisplayMode("/T");
    setDisplayMode(s.arg);
    EXPECT_EQ(displayMode(), s.mode) << (s.arg ? s.arg : "(none)");
  }
  setDisplayMode(nullptr);
  EXPECT_EQ(displayMode(), kModeNormal);
}

TEST(Messages, ProgressLineInEveryMode) {
  const char* modes[] = {"/S", "/D", "/T"};
  for (const char* mode : modes) {
    ModeScope scope(mode);
    StdoutCapture out;
    EXPECT_EQ(showProgress(0, 0), 0);
    EXPECT_EQ(showProgress(12, 345), 12);
    // The space flag keeps a leading blank even when the field is full.
    EXPECT_EQ(showProgress(12345678, 99999999), 12345678);
    // Beyond 32 bits (downloads over 4 TiB in kilobytes) nothing wraps.
    EXPECT_EQ(showProgress(INT64_C(5000000000), INT64_C(6000000000)), INT64_C(5000000000));
    EXPECT_EQ(showProgress(2097152, 4194304), 2097152);
    EXPECT_EQ(out.finish(),
              "\r       0/       0[KB]"
              "\r      12/     345[KB]"
              "\r 12345678/ 99999999[KB]"
              "\r 5000000000/ 6000000000[KB]"
              "\r 2097152/ 4194304[KB]")
        << mode;
  }
}

TEST(Messages, ProgressAndPlainTextAreFlushedAtOnce) {
  // With standard output redirected to a file, stdio buffers fully; a line
  // that is flushed as it is printed leaves nothing pending.
  StdoutCapture out;
  showProgress(1, 2);
  size_t pendingAfterProgress = __fpending(stdout);
  report(6, ".");
  size_t pendingAfterDot = __fpending(stdout);
  EXPECT_EQ(out.finish(), "\r       1/       2[KB].");
  EXPECT_EQ(pendingAfterProgress, 0u);
  EXPECT_EQ(pendingAfterDot, 0u);
}

TEST(Messages, FailureDetailTravelsWithCode200) {
  Status redirects = Status::unknownError("too many redirects", "more than 20, the last to /a");
  EXPECT_EQ(kUnknownError, redirects.code());
  EXPECT_EQ("too many redirects", redirects.detail());
  EXPECT_EQ("too many redirects: more than 20, the last to /a", redirects.message());
  EXPECT_EQ(printed(redirects.code(), redirects.detail().c_str()),
            "* Unknown error too many redirects.\n");
  EXPECT_EQ("empty response header", Status::unknownError("empty response header", "").message());
  // Other codes carry their sentence but no detail.
  Status refused(kCannotConnect, "127.0.0.1 port 8 refused the connection");
  refused.addContext("plugin p, line 3: ");
  EXPECT_EQ("", refused.detail());
  EXPECT_EQ("plugin p, line 3: 127.0.0.1 port 8 refused the connection", refused.message());
  EXPECT_TRUE(Status().ok());
  EXPECT_EQ("", Status().message());
}

}  // namespace

// Network text keeps well-formed UTF-8 and escapes each byte a terminal
// could take for a control: the C1 bounds, and bytes outside a well-formed
// sequence (overlong, surrogate, past U+10FFFF, or a stray continuation).
// escape-c1-and-broken-utf8.case shows the rest through the program.
TEST(Messages, NetworkTextKeepsWellFormedUtf8Only) {
  const struct {
    const char* text;
    const char* printed;
  } rows[] = {
      {"caf\xc3\xa9 \xe0\xa0\x80 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe0\xa0\x80 \xf0\x9f\x98\x80"},
      {"\xc2\xa0|\xc2\x9f|\xc2\x80", "\xc2\xa0|\\xc2\\x9f|\\xc2\\x80"},
      {"\xe0\x80\x80|\xed\xa0\x80", "\\xe0\\x80\\x80|\\xed\\xa0\\x80"},
      {"\xf4\x90\x80\x80|\xff|\x80", "\\xf4\\x90\\x80\\x80|\\xff|\\x80"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.printed, escapeControlBytes(row.text, strlen(row.text), kNetworkText))
        << row.printed;
  }
  EXPECT_EQ("a\r\n\\x9b", escapeControlBytes("a\r\n\x9b", 4, kNetworkHeaders));
  EXPECT_EQ("\x9b", escapeControlBytes("\x9b", 1, kOwnText));
}
