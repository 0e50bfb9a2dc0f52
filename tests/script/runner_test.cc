// The plugin script runner: registers and slots, session steps, unsupported
// lines, logs, and the two body readers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "base/messages.h"
#include "http/session.h"
#include "script/script_engine.h"
#include "support/capture.h"
#include "support/child_process.h"
#include "support/fake_transport.h"

namespace {

// A configuration folder in a fresh HOME whose registry selects the plugin
// "site"; each test writes the script and runs it.
class RunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    homeVar.set("HOME", home.path().c_str());
    home.write(".tovelcnf/tovel.ini", "@timeout=5\n@useragent=Registry/1\n@plugin=site\n");
    // No test here reaches a real network.
    engine = std::make_unique<ScriptEngine>(fake, configFolder().c_str());
    ASSERT_EQ(0, engine->selectPlugin("http://site/page").code());
  }
  void TearDown() override {
    engine.reset();
    homeVar.restore();
    setDisplayMode(nullptr);
  }

  std::string configFolder() const { return home.path() + "/.tovelcnf/"; }
  std::string scriptPath() const { return configFolder() + "site"; }

  Status last;

  // Writes `script` as the plugin and runs it; standard output goes to *out
  // when given, the status stays in `last`.
  int run(const std::string& script, const char* output = nullptr, std::string* out = nullptr,
          const char* target = "http://site/page") {
    home.write(".tovelcnf/site", script);
    StdoutCapture capture;
    last = engine->runScript(target, output);
    std::string text = capture.finish();
    if (out != nullptr) *out = text;
    return last.code();
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
  // Declared before the engine: the session closes its connections through
  // it when the engine goes.
  FakeTransport fake;
  std::unique_ptr<ScriptEngine> engine;

 private:
  ScopedEnv homeVar;
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
  EXPECT_EQ(207, engine->runScript("http://site/page", nullptr).code());

  // An empty pattern names the configuration folder itself.
  home.write(".tovelcnf/tovel.ini", "@plugin=\n");
  ScriptEngine other(fake, configFolder().c_str());
  ASSERT_EQ(0, other.selectPlugin("x").code());
  StdoutCapture capture;
  EXPECT_EQ(207, other.runScript("x", nullptr).code());
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
  HttpSession& session = engine->session;
  EXPECT_EQ(5, session.settings().timeoutSeconds);
  EXPECT_EQ(0, run("@timeout=60\n@port=8080x\n@useragent=Script/2@=>x\n@proxy=p\n@user=u\n"
                   "@pass=w\n"));
  EXPECT_EQ(60, session.settings().timeoutSeconds);
  EXPECT_EQ(8080, session.settings().port);
  EXPECT_STREQ("Script/2", session.settings().userAgent.data());
  EXPECT_STREQ("p", session.settings().proxy.data());
  EXPECT_STREQ("u", session.settings().user.data());
  EXPECT_STREQ("w", session.settings().password.data());
  EXPECT_EQ(0, run("@port=99999999999\n@timeout=-99999999999\n"));
  EXPECT_EQ(INT32_MAX, session.settings().port);
  EXPECT_EQ(INT32_MIN, session.settings().timeoutSeconds);
  // The certificate check, each value set over its opposite: exactly 0
  // (blanks aside) off, anything else on.
  const struct {
    const char* value;
    bool verify;
  } checks[] = {{"0", false}, {"\t0 ", false}, {"2", true}, {"", true}, {"00", true}, {"0x", true}};
  for (const auto& check : checks) {
    EXPECT_EQ(0, run(check.verify ? "@tlsverify=0\n" : "@tlsverify=1\n"));
    EXPECT_EQ(0, run(std::string("@tlsverify=") + check.value + "\n"));
    EXPECT_EQ(check.verify, session.settings().tlsVerify) << "\"" << check.value << "\"";
  }
}

TEST_F(RunnerTest, RequestStepsPrepareTheSession) {
  HttpSession& session = engine->session;
  EXPECT_EQ(0, run("@httpinit:\n@<-read=v1\n@->header=X-One\n@<-read=a=1\n@->body:\n"
                   "@<-read:\n@->host:\n@cookieon:\n"));
  EXPECT_STREQ("Accept: */*\r\nUser-Agent: Registry/1\r\nX-One: v1\r\n",
               session.extraHeaders().data());
  EXPECT_STREQ("a=1", session.body().data());
  EXPECT_STREQ("http://site/page", session.url().data());
  EXPECT_STREQ("site", session.host().data());
  EXPECT_TRUE(session.cookiesEnabled());
  EXPECT_EQ("a=1", workAfter("@<-body:\n"));
  EXPECT_EQ(0, run("@cookieoff:\n"));
  EXPECT_FALSE(session.cookiesEnabled());
  // No response header: "@<-header=" empties the work register.
  EXPECT_EQ("", workAfter("@<-header=Content-Type\n"));
  // A text without an address leaves the session without one; the script
  // goes on.
  EXPECT_EQ("nothing", workAfter("@<-read=nothing\n@->host:\n"));
  EXPECT_STREQ("", session.url().data() == nullptr ? "" : session.url().data());
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

TEST_F(RunnerTest, FileStepWithoutConnectionLeavesTheFileEmpty) {
  std::string output = home.path() + "/out.bin";
  std::string out;
  EXPECT_EQ(7, run("@->file:\n@exit:\n", output.c_str(), &out));
  EXPECT_EQ("\r       0/       0[KB]/\n", out);
  struct stat info;
  ASSERT_EQ(0, stat(output.c_str(), &info));
  EXPECT_EQ(0, info.st_size);

  // Without a connection there is no response: a request body the session
  // holds stays out of the file, and the old content is gone.
  home.write("out.bin", "stale");
  EXPECT_EQ(0, run("@<-read=held\n@->body:\n@->file:\n", output.c_str(), &out));
  EXPECT_EQ("", readFile(output));
  EXPECT_EQ("\r       0/       0[KB]/\n", out);
}

TEST_F(RunnerTest, BufferingWithoutConnectionOnlyPrintsItsSlashes) {
  std::string out;
  EXPECT_EQ(0, run("@buffering:\n", nullptr, &out));
  EXPECT_EQ("//\n", out);
}

// The lines that request the target.
const char kRequest[] = "@httpinit:\n@<-read:\n@->host:\n@connect=GET\n";
// What every request prints.
const char kAddressLine[] = "http://site/page\n";

std::string okHeader(const std::string& more = "") {
  return "HTTP/1.0 200 OK\r\nContent-Type: video/x\r\n" + more + "\r\n";
}

TEST_F(RunnerTest, ConnectSendsTheRequestAndHeadersCanBeRead) {
  fake.addConnection().deliver(okHeader("X-Id: 42\r\n")).close();
  std::string out;
  EXPECT_EQ("42|video/x|",
            workAfter(std::string("@useragent=UA\n@<-read=1\n@->header=X-A\n") + kRequest +
                      "@<-header=X-Id\n@push=1\n@<-header=Content-Type\n@sum=|\n@push=0\n"
                      "@pop=1\n@sum=|\n"));
  // The response header stays for later lines; a missing one gives "".
  EXPECT_EQ("", workAfter("@<-read=x\n@<-header=None\n"));
  EXPECT_EQ("42", workAfter("@<-header=x-id\n"));
  ASSERT_EQ(1u, fake.opened);
  // "@->header=" came before "@httpinit:", which starts the headers afresh.
  EXPECT_EQ("GET /page HTTP/1.0\r\nAccept: */*\r\nUser-Agent: UA\r\nHost: site\r\n\r\n",
            fake.connections[0].sent);
  EXPECT_EQ("site", fake.connections[0].target);
  EXPECT_EQ(80, fake.connections[0].port);
}

TEST_F(RunnerTest, FailedRequestStopsTheScript) {
  fake.addConnection().deliver("HTTP/1.0 404 Not Found\r\n\r\n");
  int code = 0;
  EXPECT_EQ("<none>", workAfter(std::string(kRequest), &code));
  EXPECT_EQ(204, code);
  fake.addConnection().connectResult = 204;
  EXPECT_EQ(204, run(std::string(kRequest) + "@exit:\n"));
}

TEST_F(RunnerTest, BufferingStopsAtContentLength) {
  // Three body bytes come with the header; two more pieces complete it. A
  // stall after the body must not be waited for.
  fake.addConnection()
      .deliver(okHeader("Content-Length: 10\r\n") + "abc")
      .deliver("defg")
      .deliver("hij")
      .stall()
      .deliver("more");
  std::string out;
  EXPECT_EQ(0, run(std::string(kRequest) + "@buffering:\n", nullptr, &out));
  EXPECT_EQ(std::string(kAddressLine) + "/./\n", out);
  EXPECT_STREQ("abcdefghij", engine->session.body().data());
  EXPECT_EQ("abcdefghij", workAfter("@<-body:\n"));
}

TEST_F(RunnerTest, BufferingWithoutContentLengthReadsUntilTheEnd) {
  fake.addConnection().deliver(okHeader() + "ab").deliver("cd").deliver("ef").close();
  std::string out;
  EXPECT_EQ(0, run(std::string(kRequest) + "@buffering:\n", nullptr, &out));
  EXPECT_EQ(std::string(kAddressLine) + "/../\n", out);
  EXPECT_STREQ("abcdef", engine->session.body().data());

  // A time-out only ends the loop.
  fake.addConnection().deliver(okHeader()).deliver("x").stall().deliver("late");
  EXPECT_EQ(0, run(std::string(kRequest) + "@buffering:\n", nullptr, &out));
  EXPECT_EQ(std::string(kAddressLine) + "/./\n", out);
  EXPECT_STREQ("x", engine->session.body().data());
}

TEST_F(RunnerTest, BufferingABodyTooLargeToKeepEndsTheScript) {
  engine->session.limitKeptBody(4);
  fake.addConnection().deliver(okHeader() + "ab").deliver("cd").deliver("e").close();
  std::string out;
  EXPECT_EQ(200, run(std::string(kRequest) + "@buffering:\n@exit:\n", nullptr, &out));
  EXPECT_EQ("response body too large to keep", last.detail());
  EXPECT_EQ(std::string(kAddressLine) + "/./\n", out);
}

class DownloadTest : public RunnerTest {
 protected:
  // Requests the target and streams it into out.bin; *printed gets what
  // the run printed after the address line.
  int download(std::string* printed = nullptr, const std::string& after = "") {
    std::string out;
    int code = run(std::string(kRequest) + "@->file:\n" + after, output().c_str(), &out);
    if (printed != nullptr) {
      *printed = out.compare(0, strlen(kAddressLine), kAddressLine) == 0
                     ? out.substr(strlen(kAddressLine))
                     : "<no address line>" + out;
    }
    return code;
  }
  std::string output() const { return home.path() + "/out.bin"; }
};

TEST_F(DownloadTest, HeldBytesFirstThenPiecesUpToContentLength) {
  std::string body("\0ab\0c\0\0defghij", 14);
  fake.addConnection()
      .deliver(okHeader("Content-Length: 14\r\n") + body.substr(0, 5))
      .deliver(body.substr(5, 4))
      .deliver(body.substr(9))
      .stall()
      .deliver("extra");
  std::string printed;
  // The server keeps the connection open after the body: the step ends at
  // the announced length and the script goes on.
  EXPECT_EQ(7, download(&printed, "@exit:\n"));
  EXPECT_EQ(body, readFile(output()));
  // The start, the held bytes, and one piece filled from the two reads.
  const std::string zero = "\r       0/       0[KB]";
  EXPECT_EQ(zero + zero + zero + "/\n", printed);
}

TEST_F(DownloadTest, NeverWritesMoreThanAnnounced) {
  fake.addConnection().deliver(okHeader("Content-Length: 5\r\n") + "abcdefgh").stall();
  EXPECT_EQ(0, download());
  EXPECT_EQ("abcde", readFile(output()));

  fake.addConnection().deliver(okHeader("Content-Length: 5\r\n") + "ab").deliver("cdefgh");
  EXPECT_EQ(0, download());
  EXPECT_EQ("abcde", readFile(output()));

  // Nothing announced to wait for.
  fake.addConnection().deliver(okHeader("Content-Length: 0\r\n")).stall();
  std::string printed;
  EXPECT_EQ(0, download(&printed));
  EXPECT_EQ("", readFile(output()));
  EXPECT_EQ("\r       0/       0[KB]/\n", printed);
}

TEST_F(DownloadTest, ProgressInKilobytesAndPiecesFilledFromSeveralReads) {
  fake.addConnection()
      .deliver(okHeader("Content-Length: 3072\r\n"))
      .deliver(std::string(3072, 'k'), 1024);
  std::string printed;
  EXPECT_EQ(0, download(&printed));
  EXPECT_EQ(std::string(3072, 'k'), readFile(output()));
  EXPECT_EQ("\r       0/       3[KB]\r       3/       3[KB]/\n", printed);

  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  FakeConnection& c = fake.addConnection();
  c.deliver(okHeader() + big).close();
  EXPECT_EQ(0, download(&printed));
  EXPECT_EQ(big, readFile(output()));
  const std::string last = "\r     292/       0[KB]/\n";
  ASSERT_GE(printed.size(), last.size());
  EXPECT_EQ(last, printed.substr(printed.size() - last.size()));
  // The body buffer holds one piece, whatever the size of the download.
  EXPECT_EQ(kDownloadPiece, engine->session.body().capacity());
  EXPECT_LT(c.recvCalls, 10);

  // Two pieces read 64 KiB at a time: a piece waits for more in batches;
  // the wait for a piece's first byte, which the time-out bounds, ends
  // with any byte.
  FakeConnection& batched = fake.addConnection();
  batched.deliver(okHeader("Content-Length: 300000\r\n")).deliver(big, 65536);
  EXPECT_EQ(0, download());
  EXPECT_EQ(big, readFile(output()));
  EXPECT_GT(batched.batchedWaits, 0);
  EXPECT_EQ(0, batched.batchedLongWaits);
  EXPECT_EQ(1, batched.wakeThreshold);
}

TEST_F(DownloadTest, WithoutContentLengthThePeersCloseIsTheEnd) {
  fake.addConnection().deliver(okHeader() + "ab").deliver("cd").close();
  EXPECT_EQ(0, download());
  EXPECT_EQ("abcd", readFile(output()));
  // A failed read (a reset) is no end: the file is incomplete, also when
  // the read failed while a piece was being filled.
  fake.addConnection().deliver(okHeader()).deliver("ab").error();
  EXPECT_EQ(200, download());
  EXPECT_EQ("download incomplete", last.detail());
  EXPECT_EQ("ab", readFile(output()));
}

TEST_F(DownloadTest, EndBeforeTheAnnouncedLengthIsAFailure) {
  fake.addConnection().deliver(okHeader("Content-Length: 10\r\n") + "abc").close();
  std::string printed;
  EXPECT_EQ(200, download(&printed, "@exit:\n"));
  EXPECT_EQ("download incomplete", last.detail());
  EXPECT_EQ("abc", readFile(output()));
  // The step itself prints no message: the entry point does, once.
  EXPECT_EQ("\r       0/       0[KB]\r       0/       0[KB]/\n", printed);

  fake.addConnection().deliver(okHeader("Content-Length: 10\r\n")).deliver("ab").error();
  EXPECT_EQ(200, download());
  EXPECT_EQ("ab", readFile(output()));
}

TEST_F(DownloadTest, DiskRoomSetAsideForTheAnnouncedBodyIsGivenBack) {
  // 64 MiB announced, 3 bytes sent: the room set aside ahead of the writes
  // must not stay with the file.
  fake.addConnection().deliver(okHeader("Content-Length: 67108864\r\n") + "abc").close();
  EXPECT_EQ(200, download());
  struct stat info;
  ASSERT_EQ(0, stat(output().c_str(), &info));
  EXPECT_EQ(3, info.st_size);
  EXPECT_LT(info.st_blocks * 512, 1024 * 1024);
}

TEST_F(DownloadTest, AWriteCutShortCountsTheBytesThatWent) {
  // The file size limit lets 4000 of the 10000 bytes into the file; the
  // child process that runs the download ignores the limit's signal, as
  // the program does.
  fake.addConnection().deliver(okHeader("Content-Length: 10000\r\n") + std::string(10000, 'x'));
  EXPECT_EQ(
      0, exitOfForkedCall([&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {4000, 4000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
        const char said[] = "cannot write the output file (File too large): 4000 of 10000 bytes";
        return download() == 200 && last.message().compare(0, sizeof said - 1, said) == 0 ? 0 : 1;
      }));
  EXPECT_EQ(std::string(4000, 'x'), readFile(output()));
}

TEST_F(DownloadTest, TimeOutMidBodyGives206) {
  fake.addConnection().deliver(okHeader("Content-Length: 10\r\n") + "abc").stall();
  EXPECT_EQ(206, download(nullptr, "@exit:\n"));
  EXPECT_EQ("abc", readFile(output()));
  fake.addConnection().deliver(okHeader() + "abc").deliver("d").stall();
  EXPECT_EQ(206, download());
  EXPECT_EQ("abcd", readFile(output()));
}

TEST_F(DownloadTest, BodyKeptByBufferingIsWrittenWhole) {
  fake.addConnection().deliver(okHeader("Content-Length: 6\r\n") + "abc").deliver("def").stall();
  std::string out;
  EXPECT_EQ(0, run(std::string(kRequest) + "@buffering:\n@->file:\n", output().c_str(), &out));
  EXPECT_EQ("abcdef", readFile(output()));
  EXPECT_EQ(std::string(kAddressLine) + "//\n\r       0/       0[KB]\r       0/       0[KB]/\n",
            out);
}

}  // namespace
