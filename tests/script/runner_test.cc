// The plugin script runner: registers and slots, session steps, unsupported
// lines, logs, and the two body readers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "app/messages.h"
#include "http/session.h"
#include "script/script_engine.h"
#include "support/capture.h"

namespace {

// A configuration folder in a fresh HOME whose registry selects the plugin
// "site"; each test writes the script and runs it.
class RunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("HOME");
    hadHome_ = old != nullptr;
    if (hadHome_) savedHome_ = old;
    setenv("HOME", home.path().c_str(), 1);
    home.write(".tovelcnf/tovel.ini", "@timeout=5\n@useragent=Registry/1\n@plugin=site\n");
    engine.reset(new ScriptEngine());
    ASSERT_EQ(0, engine->selectPlugin("http://site/page"));
  }
  void TearDown() override {
    engine.reset();
    if (hadHome_) {
      setenv("HOME", savedHome_.c_str(), 1);
    } else {
      unsetenv("HOME");
    }
    setDisplayMode(nullptr);
  }

  std::string scriptPath() const { return home.path() + "/.tovelcnf/site"; }

  // Writes `script` as the plugin and runs it; standard output goes to *out
  // when given.
  int run(const std::string& script, const char* output = nullptr, std::string* out = nullptr,
          const char* target = "http://site/page") {
    home.write(".tovelcnf/site", script);
    StdoutCapture capture;
    int code = engine->runScript(target, output);
    std::string text = capture.finish();
    if (out != nullptr) *out = text;
    return code;
  }

  // Runs `script` followed by a line that logs the work register, and
  // returns the logged text ("<none>" when the log was not written).
  std::string workAfter(const std::string& script, int* code = nullptr) {
    std::string log = home.path() + "/work.log";
    remove(log.c_str());
    int result = run(script + "@->log=" + log + "\n");
    if (code != nullptr) *code = result;
    struct stat info;
    return stat(log.c_str(), &info) == 0 ? readFile(log) : "<none>";
  }

  TempDir home;
  std::unique_ptr<ScriptEngine> engine;

 private:
  bool hadHome_ = false;
  std::string savedHome_;
};

TEST_F(RunnerTest, EmptyScriptRunsToItsEnd) {
  std::string out;
  EXPECT_EQ(0, run("", nullptr, &out));
  EXPECT_EQ("", out);
  EXPECT_EQ(0, run("#= only a comment\n#=\n", nullptr, &out));
  EXPECT_EQ("", out);
}

TEST_F(RunnerTest, ScriptThatCannotRunGives207) {
  remove(scriptPath().c_str());
  EXPECT_EQ(207, engine->runScript("http://site/page", nullptr));

  // An empty pattern names the configuration folder itself.
  home.write(".tovelcnf/tovel.ini", "@plugin=\n");
  ScriptEngine other;
  ASSERT_EQ(0, other.selectPlugin("x"));
  StdoutCapture capture;
  EXPECT_EQ(207, other.runScript("x", nullptr));
  EXPECT_EQ("", capture.finish());
}

TEST_F(RunnerTest, UnsupportedLinesEndTheScriptWith208) {
  const char* lines[] = {
      "\n",         "#x\n",     "@plugin=site\n", "@analysis end\n", "@startcode=a\n",
      "@<-host:\n", "@EXIT:\n", " @exit:\n"};
  for (const char* line : lines) {
    EXPECT_EQ("<none>", workAfter(std::string("@<-read=a\n") + line)) << line;
    int code = 0;
    workAfter(line, &code);
    EXPECT_EQ(208, code) << line;
  }
  std::string out;
  EXPECT_EQ(208, run("#x\n", nullptr, &out));
  EXPECT_EQ("", out);
}

TEST_F(RunnerTest, VerboseModeShowsTheRejectedLineAsClassified) {
  setDisplayMode("/D");
  std::string out;
  EXPECT_EQ(208, run("#= fine\n\n@exit:\n", nullptr, &out));
  EXPECT_EQ("@file open " + scriptPath() + ".\n* Not support script \n\n@file close.\n", out);
  EXPECT_EQ(208, run("@plugin=a@=>b\r\n", nullptr, &out));
  EXPECT_EQ("@file open " + scriptPath() + ".\n* Not support script @plugin=a\n@file close.\n",
            out);
}

TEST_F(RunnerTest, ExitEndsTheScriptWith7) {
  std::string out;
  EXPECT_EQ(7, run("@exit:\n\n", nullptr, &out));
  EXPECT_EQ("", out);
  int code = 0;
  EXPECT_EQ("<none>", workAfter("@exit: whatever\n", &code));
  EXPECT_EQ(7, code);
}

TEST_F(RunnerTest, ReadStepsAndValuesEndingAtSeparator) {
  EXPECT_EQ("http://site/page", workAfter(""));
  EXPECT_EQ("a", workAfter("@<-read=a@=>b\n"));
  EXPECT_EQ("a=b", workAfter("@<-read=a=b\n"));
  EXPECT_EQ("", workAfter("@<-read=\n"));
  EXPECT_EQ("http://site/page", workAfter("@<-read=x\n@<-read: ignored\n"));
  EXPECT_EQ("a%2Fb+c", workAfter("@<-read=a/b c\n@urlencode:\n"));
  EXPECT_EQ("a/b c", workAfter("@<-read=a%2Fb+c\n@urldecode:\n"));
}

TEST_F(RunnerTest, SlotsAreIndependentRegisters) {
  EXPECT_EQ("one", workAfter("@<-read=one\n@push=3\n@<-read=two\n@pop=3\n"));
  // Numbers outside 0..7, or without digits, mean slot 0.
  for (const char* slot : {"9", "-1", "abc", "8", ""}) {
    std::string script = std::string("@<-read=v\n@push=") + slot + "\n@<-read=x\n@pop=0\n";
    EXPECT_EQ("v", workAfter(script)) << slot;
  }
  EXPECT_EQ("v", workAfter("@<-read=v\n@push= +7\n@<-read=x\n@pop=7junk\n"));
  // A slot never set empties the work register; "@pop=" leaves the slot.
  EXPECT_EQ("", workAfter("@pop=5\n"));
  EXPECT_EQ("keep", workAfter("@<-read=keep\n@push=2\n@pop=2\n@<-read=x\n@pop=2\n"));
}

TEST_F(RunnerTest, SumAppendsValueThenSlotZero) {
  EXPECT_EQ("a-b0", workAfter("@<-read=0\n@push=0\n@<-read=a\n@sum=-b\n"));
  EXPECT_EQ("a", workAfter("@<-read=a\n@sum=\n"));
  // An empty value does not stop slot 0's text, nor the other way round.
  EXPECT_EQ("a0", workAfter("@<-read=0\n@push=0\n@<-read=a\n@sum=\n"));
  EXPECT_EQ("ab", workAfter("@<-read=a\n@sum=b\n"));
}

TEST_F(RunnerTest, ReplaceWithAndWithoutSecondValue) {
  EXPECT_EQ("a+b+c", workAfter("@<-read=a b c\n@replace= @=>+\n"));
  EXPECT_EQ("abc", workAfter("@<-read=a-b-c\n@replace=-\n"));
  EXPECT_EQ("a-b", workAfter("@<-read=a-b\n@replace=@=>x\n"));
  EXPECT_EQ("a", workAfter("@<-read=a-b\n@replace=-b@=>\n"));
}

TEST_F(RunnerTest, LogWritesExactlyTheWorkText) {
  std::string log = home.path() + "/out.log";
  EXPECT_EQ(0, run("@<-read=line one\n@->log=" + log + "\n"));
  EXPECT_EQ("line one", readFile(log));
  // Replaced, not appended; an empty register gives an empty file.
  EXPECT_EQ(0, run("@<-read=\n@->log=" + log + "\n"));
  struct stat info;
  ASSERT_EQ(0, stat(log.c_str(), &info));
  EXPECT_EQ(0, info.st_size);
  // Text after a decoded NUL is not written.
  EXPECT_EQ(0, run("@<-read=ab%00cd\n@urldecode:\n@->log=" + log + "\n"));
  EXPECT_EQ("ab", readFile(log));
  // A path that cannot be opened is skipped and the script goes on.
  EXPECT_EQ("z", workAfter("@<-read=z\n@->log=" + home.path() + "/missing/dir/x\n"));
  EXPECT_EQ("z", workAfter("@<-read=z\n@->log=\n"));
}

TEST_F(RunnerTest, SettingStepsChangeTheSession) {
  HttpSession& session = *engine->session;
  EXPECT_EQ(5, session.timeoutSeconds);
  EXPECT_EQ(0, run("@timeout=60\n@port=8080x\n@useragent=Script/2@=>x\n@proxy=p\n@user=u\n"
                   "@pass=w\n"));
  EXPECT_EQ(60, session.timeoutSeconds);
  EXPECT_EQ(8080, session.port);
  EXPECT_STREQ("Script/2", session.settings[4].data);
  EXPECT_STREQ("p", session.settings[5].data);
  EXPECT_STREQ("u", session.settings[6].data);
  EXPECT_STREQ("w", session.settings[7].data);
  EXPECT_EQ(0, run("@port=99999999999\n@timeout=-99999999999\n"));
  EXPECT_EQ(INT32_MAX, session.port);
  EXPECT_EQ(INT32_MIN, session.timeoutSeconds);
}

TEST_F(RunnerTest, RequestStepsPrepareTheSession) {
  HttpSession& session = *engine->session;
  EXPECT_EQ(0, run("@httpinit:\n@<-read=v1\n@->header=X-One\n@<-read=a=1\n@->body:\n"
                   "@<-read:\n@->host:\n@cookieon:\n"));
  EXPECT_STREQ("Accept: */*\r\nUser-Agent: Registry/1\r\nX-One: v1\r\n", session.extraHeaders.data);
  EXPECT_STREQ("a=1", session.body.data);
  EXPECT_STREQ("http://site/page", session.url.data);
  EXPECT_STREQ("site", session.host.data);
  EXPECT_NE(0, session.cookiesEnabled);
  EXPECT_EQ("a=1", workAfter("@<-body:\n"));
  EXPECT_EQ(0, run("@cookieoff:\n"));
  EXPECT_EQ(0, session.cookiesEnabled);
  // No response header: "@<-header=" empties the work register.
  EXPECT_EQ("", workAfter("@<-header=Content-Type\n"));
  // A text without an address leaves the session without one; the script
  // goes on.
  EXPECT_EQ("nothing", workAfter("@<-read=nothing\n@->host:\n"));
  EXPECT_STREQ("", session.url.data == nullptr ? "" : session.url.data);
}

TEST_F(RunnerTest, FailedConnectEndsTheScriptWithItsCode) {
  int code = 0;
  EXPECT_EQ("<none>", workAfter("@<-read=no address\n@->host:\n@connect=GET\n", &code));
  EXPECT_EQ(201, code);
}

TEST_F(RunnerTest, AnalysisBlockLinesAreNotExecuted) {
  EXPECT_EQ("clip=42;", workAfter("@<-read=<id>42</id>\n"
                                  "@analysis=clip=%id%;\n"
                                  "@exit:\n"
                                  "%id%=<id>@=></id>\n"
                                  "@analysis end\n"));
  // Without an end line the block takes the rest of the script.
  EXPECT_EQ("<none>", workAfter("@analysis=t\n"));
  int code = -1;
  workAfter("@analysis=t\n", &code);
  EXPECT_EQ(0, code);
}

TEST_F(RunnerTest, FileStepNeedsAnOutputFile) {
  std::string out;
  EXPECT_EQ(608, run("@->file:\n@exit:\n", nullptr, &out));
  EXPECT_EQ("", out);
  std::string unwritable = home.path() + "/missing/out.bin";
  EXPECT_EQ(608, run("@->file:\n", unwritable.c_str(), &out));
  setDisplayMode("/D");
  EXPECT_EQ(608, run("@->file:\n", nullptr, &out));
  EXPECT_EQ("@file open " + scriptPath() + ".\n@file close.\n", out);
}

TEST_F(RunnerTest, FileStepWithoutConnectionWritesHeldBytesOnly) {
  std::string output = home.path() + "/out.bin";
  std::string out;
  EXPECT_EQ(7, run("@->file:\n@exit:\n", output.c_str(), &out));
  EXPECT_EQ("\r       0/       0[KB]/\n", out);
  struct stat info;
  ASSERT_EQ(0, stat(output.c_str(), &info));
  EXPECT_EQ(0, info.st_size);

  // A body the session holds is written first, then the file is truncated
  // by the next "@->file:" since the body was emptied.
  EXPECT_EQ(0, run("@<-read=held\n@->body:\n@->file:\n", output.c_str(), &out));
  EXPECT_EQ("held", readFile(output));
  EXPECT_EQ("\r       0/       0[KB]\r       0/       0[KB]/\n", out);
  EXPECT_EQ(0, run("@->file:\n", output.c_str()));
  ASSERT_EQ(0, stat(output.c_str(), &info));
  EXPECT_EQ(0, info.st_size);
}

TEST_F(RunnerTest, BufferingWithoutConnectionOnlyPrintsItsSlashes) {
  std::string out;
  EXPECT_EQ(0, run("@buffering:\n", nullptr, &out));
  EXPECT_EQ("//\n", out);
}

}  // namespace
