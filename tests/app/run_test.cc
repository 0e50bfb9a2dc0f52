// The run sequence of one command line: banner, argument copies, display
// mode, plugin selection, the script, the closing message and the code.
#include "app/run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/messages.h"
#include "support/capture.h"
#include "support/scripted_server.h"

namespace {

const char kBanner[] = "Quorvane for zaurus [Version 0.2] \n\n";

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override { homeVar.set("HOME", home.path().c_str()); }
  void TearDown() override {
    homeVar.restore();
    setDisplayMode(nullptr);
  }

  // Runs the program with `args` (argv[0] included); output goes to *out.
  static int run(std::vector<std::string> args, std::string* out) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    StdoutCapture capture;
    int code = runProgram(static_cast<int>(args.size()), argv.data());
    *out = capture.finish();
    return code;
  }

  // A registry selecting plugin "site", whose script logs the target it was
  // given to log.txt and then runs `rest`.
  void writeSite(const std::string& rest = "") {
    home.write(".tovelcnf/tovel.ini", "@plugin=site\n@plugin=other\n");
    home.write(".tovelcnf/site", "@<-read:\n@->log=" + logPath() + "\n" + rest);
  }
  std::string logPath() const { return home.path() + "/log.txt"; }
  std::string usage() const { return std::string("usage:\n") + kUsageLine + "\n"; }

  TempDir home;

 private:
  ScopedEnv homeVar;
};

TEST_F(RunTest, NoArgumentsShowsListAndUsage) {
  writeSite();
  std::string out;
  EXPECT_EQ(4, run({}, &out));
  EXPECT_EQ(std::string(kBanner) +
                "============[Support Plugin]============\n>site\n>other\n"
                "========================================\n" +
                usage(),
            out);
  EXPECT_EQ(4, run({"quorvane"}, &out));
}

TEST_F(RunTest, MissingRegistryShowsOnlyTheUsage) {
  std::string out;
  EXPECT_EQ(4, run({"quorvane", "/S", "http://site/x", "f"}, &out));
  EXPECT_EQ(std::string(kBanner) + usage(), out);
}

TEST_F(RunTest, ScriptRunToItsEndSaysDone) {
  writeSite();
  std::string out;
  EXPECT_EQ(0, run({"quorvane", "/S", "http://site/x", "f", "extra", "more"}, &out));
  EXPECT_EQ(std::string(kBanner) + "Done.\n", out);
  EXPECT_EQ("http://site/x", readFile(logPath()));
}

TEST_F(RunTest, EmptyArgumentStopsTheCopying) {
  writeSite();
  std::string out;
  EXPECT_EQ(4, run({"quorvane", "/S", "", "http://site/x"}, &out));
  EXPECT_NE(std::string::npos, out.find(">site\n"));
  // An empty switch leaves the target absent too.
  EXPECT_EQ(4, run({"quorvane", "", "http://site/x", "f"}, &out));
  EXPECT_EQ(0, run({"quorvane", "/S", "site"}, &out));
}

TEST_F(RunTest, OnePairOfSurroundingQuotesIsRemoved) {
  writeSite();
  std::string out;
  EXPECT_EQ(0, run({"quorvane", "/S", "\"http://site/a b\"", "f"}, &out));
  EXPECT_EQ("http://site/a b", readFile(logPath()));
  EXPECT_EQ(0, run({"quorvane", "/S", "\"\"site\"\"", "f"}, &out));
  EXPECT_EQ("\"site\"", readFile(logPath()));
  EXPECT_EQ(0, run({"quorvane", "/S", "\"site", "f"}, &out));
  EXPECT_EQ("\"site", readFile(logPath()));
  EXPECT_EQ(0, run({"quorvane", "/S", "site\"", "f"}, &out));
  EXPECT_EQ("site\"", readFile(logPath()));
  // A lone quote stays; "" becomes the empty target, which no plugin
  // pattern occurs in.
  EXPECT_EQ(4, run({"quorvane", "/S", "\"", "f"}, &out));
  EXPECT_EQ(4, run({"quorvane", "/S", "\"\"", "f"}, &out));
  EXPECT_EQ(std::string(kBanner) +
                "============[Support Plugin]============\n>site\n>other\n"
                "========================================\n" +
                usage(),
            out);
  // The switch is copied the same way.
  EXPECT_EQ(0, run({"quorvane", "\"/D\"", "site", "f"}, &out));
  EXPECT_NE(std::string::npos, out.find("@file open "));
}

TEST_F(RunTest, ClosingMessageFollowsTheCode) {
  std::string out;
  writeSite("@exit:\n");
  EXPECT_EQ(7, run({"quorvane", "/S", "site"}, &out));
  EXPECT_EQ(kBanner, out);
  EXPECT_EQ(7, run({"quorvane", "/D", "site"}, &out));
  EXPECT_EQ(std::string::npos, out.find("Done."));

  writeSite("@->file:\n");
  EXPECT_EQ(608, run({"quorvane", "/S", "site"}, &out));
  EXPECT_EQ(kBanner, out);
  EXPECT_EQ(608, run({"quorvane", "-D", "site"}, &out));
  EXPECT_EQ("@file write error.\n", out.substr(out.size() - 19));

  writeSite("#x\n");
  EXPECT_EQ(208, run({"quorvane", "/S", "site"}, &out));
  EXPECT_EQ(std::string(kBanner) + "* Not support url.\n", out);

  home.write(".tovelcnf/tovel.ini", "@plugin=gone\n");
  EXPECT_EQ(207, run({"quorvane", "/S", "gone"}, &out));
  EXPECT_EQ(std::string(kBanner) + "* Ini file not found. please install inifiles.\n", out);
}

TEST_F(RunTest, VerboseSwitchAfterTheBanner) {
  writeSite("#x\n");
  std::string out;
  EXPECT_EQ(208, run({"quorvane", "/D", "site"}, &out));
  std::string tovel = home.path() + "/.tovelcnf/tovel.ini";
  std::string script = home.path() + "/.tovelcnf/site";
  EXPECT_EQ(std::string(kBanner) + "@file open " + tovel + ".\n@file close.\n@file open " + script +
                ".\n@file open " + logPath() + ".\n@file close.\n" +
                "* Not support script #x\n@file close.\n* Not support url.\n",
            out);
  // Three characters are no switch.
  EXPECT_EQ(208, run({"quorvane", "/DD", "site"}, &out));
  EXPECT_EQ(std::string(kBanner) + "* Not support url.\n", out);
}

// A whole run against a loopback server: the registry points the session at
// the server's port and the plugin downloads the target into `file`.
class DownloadRunTest : public RunTest {
 protected:
  void writeDownloader(int port) {
    home.write(".tovelcnf/tovel.ini",
               "@timeout=20\n@port=" + std::to_string(port) + "\n@plugin=127.0.0.1\n");
    home.write(".tovelcnf/127.0.0.1", "@httpinit:\n@<-read:\n@->host:\n@connect=GET\n@->file:\n");
  }
  std::string file() const { return home.path() + "/clip.bin"; }
};

TEST_F(DownloadRunTest, IncompleteDownloadClosesWithItsDetailOnce) {
  ScriptedServer server(
      false, {{sendAction("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc"), closeAction()}});
  ASSERT_TRUE(server.ok()) << server.error();
  writeDownloader(server.port());
  std::string out;
  EXPECT_EQ(200, run({"quorvane", "/S", "http://127.0.0.1/clip", file()}, &out));
  const std::string closing = "/\n* Unknown error download incomplete.\n";
  ASSERT_GE(out.size(), closing.size());
  EXPECT_EQ(closing, out.substr(out.size() - closing.size()));
  EXPECT_EQ(out.find("Unknown error"), out.rfind("Unknown error"));
  EXPECT_EQ(0u, out.find(std::string(kBanner) + "http://127.0.0.1/clip\n"));
  EXPECT_EQ("abc", readFile(file()));
}

TEST_F(DownloadRunTest, CompleteBodyEndsTheRunWhileTheServerHoldsOn) {
  // The server neither closes nor sends more: the download must end at the
  // announced length rather than wait for the time limit (which would give
  // 206).
  std::string body("clip\0data", 9);
  ScriptedServer server(
      false, {{sendAction("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\n" + body), holdAction()}});
  ASSERT_TRUE(server.ok()) << server.error();
  writeDownloader(server.port());
  std::string out;
  EXPECT_EQ(0, run({"quorvane", "/S", "http://127.0.0.1/clip", file()}, &out));
  EXPECT_EQ(body, readFile(file()));
  const std::string closing = "/\nDone.\n";
  ASSERT_GE(out.size(), closing.size());
  EXPECT_EQ(closing, out.substr(out.size() - closing.size()));
  server.stop();
  ASSERT_EQ(1u, server.requests().size());
  EXPECT_EQ(0u, server.requests()[0].find("GET /clip HTTP/1.0\r\n"));
}

}  // namespace
