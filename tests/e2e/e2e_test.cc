// End-to-end tests of the quorvane binary: every tests/e2e/cases/*.case is
// one parameterised test named after its file (see tests/e2e/README.md for
// the format); the cases asked for run a few at a time, and each test
// reports its own. A few tests of the case runner itself make sure that it
// notices wrong output, a wrong status, wrong files and wrong requests.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/e2e_case.h"

namespace {

const char kCaseFolder[] = QUORVANE_SOURCE_DIR "/tests/e2e/cases";
const char kCaseSuffix[] = ".case";

// The case files, sorted by name.
std::vector<std::string> caseFiles() {
  std::vector<std::string> names;
  DIR* dir = opendir(kCaseFolder);
  if (dir == nullptr) return names;
  const std::string suffix = kCaseSuffix;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      names.push_back(name);
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// A gtest name for a case file: the file name without ".case", with every
// character that is not a letter or a digit turned into "_".
std::string testName(const std::string& file) {
  std::string name = file.substr(0, file.size() - strlen(kCaseSuffix));
  for (char& c : name) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!plain) c = '_';
  }
  return name;
}

// Before main and before any thread: a port 443 held by another program
// (a local web server, say) must not turn the TLS cases into skips when a
// private network can be had.
const bool kPrivateNetwork = usePrivateNetworkIfTlsPortBusy();

// Case files run this many at a time: a run spends most of its time
// waiting (for a server's pauses, for a time-out), so that several fit on
// one core.
const int kConcurrentCases = 4;

// What became of one case file.
struct CaseOutcome {
  std::string error;  // it could not be read or parsed
  CaseResult result;
};

CaseOutcome runCaseFile(const std::string& file) {
  CaseOutcome outcome;
  std::string path = std::string(kCaseFolder) + "/" + file;
  std::string text;
  CaseFile caseFile;
  if (!readCaseFile(path, &text)) {
    outcome.error = "cannot read " + path;
  } else if (!parseCase(text, &caseFile, &outcome.error)) {
    return outcome;
  } else {
    outcome.result = runCase(caseFile, defaultCaseEnvironment());
  }
  return outcome;
}

// The runs of the case files that the test program was asked for, started
// together when the first case test looks for its outcome. Cases that bind
// 127.0.0.1:443 share that port, so they run one after another.
class CaseRuns {
 public:
  static CaseRuns& get() {
    static CaseRuns runs;
    return runs;
  }
  ~CaseRuns() {
    for (std::thread& worker : workers_) worker.join();
  }
  CaseRuns(const CaseRuns&) = delete;
  CaseRuns& operator=(const CaseRuns&) = delete;

  // Waits until `file` has run.
  CaseOutcome wait(const std::string& file) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return outcomes_.count(file) != 0; });
    return outcomes_[file];
  }

 private:
  CaseRuns() {
    const testing::TestSuite* suite = testing::UnitTest::GetInstance()->current_test_suite();
    std::vector<std::string> selected;
    for (const std::string& file : caseFiles()) {
      for (int i = 0; suite != nullptr && i < suite->total_test_count(); ++i) {
        const testing::TestInfo* test = suite->GetTestInfo(i);
        if (test->should_run() && std::string(test->name()) == "Runs/" + testName(file)) {
          selected.push_back(file);
        }
      }
    }
    for (const std::string& file : selected) {
      std::string text;
      readCaseFile(std::string(kCaseFolder) + "/" + file, &text);
      (text.find("option tls-default-port") != std::string::npos ? sharedPort_ : queue_)
          .push_back(file);
    }
    workers_.emplace_back([this] { drain(sharedPort_); });
    for (int i = 1; i < kConcurrentCases; ++i) workers_.emplace_back([this] { drain(queue_); });
  }

  // Runs the files of `queue` until none is left; the shared port's worker
  // then helps with the others.
  void drain(std::deque<std::string>& queue) {
    for (;;) {
      std::string file;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        std::deque<std::string>& from = queue.empty() ? queue_ : queue;
        if (from.empty()) return;
        file = from.front();
        from.pop_front();
      }
      CaseOutcome outcome = runCaseFile(file);
      std::lock_guard<std::mutex> lock(mutex_);
      outcomes_[file] = outcome;
      done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable done_;
  std::deque<std::string> sharedPort_;
  std::deque<std::string> queue_;
  std::map<std::string, CaseOutcome> outcomes_;
  std::vector<std::thread> workers_;
};

class CaseFileTest : public testing::TestWithParam<std::string> {};

TEST_P(CaseFileTest, Runs) {
  CaseOutcome outcome = CaseRuns::get().wait(GetParam());
  ASSERT_EQ("", outcome.error) << GetParam();
  if (outcome.result.skipped) GTEST_SKIP() << GetParam() << ": " << outcome.result.skipReason;
  for (const std::string& failure : outcome.result.failures) {
    ADD_FAILURE() << GetParam() << ": " << failure;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CaseFileTest, testing::ValuesIn(caseFiles()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return testName(info.param);
                         });

TEST(CaseFolder, HoldsCasesWithDistinctNames) {
  std::vector<std::string> files = caseFiles();
  EXPECT_GE(files.size(), 40u) << "the case folder " << kCaseFolder << " looks incomplete";
  std::vector<std::string> names;
  for (const std::string& file : files) names.push_back(testName(file));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names.end(), std::adjacent_find(names.begin(), names.end()))
      << "two case files map to one test name";
}

// A run without network: the plugin logs the target and ends.
std::string loggingCase(const std::string& expectations) {
  return std::string(
             "--- registry\n"
             "@plugin=example\n"
             "--- plugin example\n"
             "@<-read:\n"
             "@->log=target.txt\n"
             "--- command\n"
             "/S http://example/a out.bin\n") +
         expectations;
}

const char kRightExpectations[] =
    "--- expect-status 0\n"
    "--- expect-stdout\n"
    "Quorvane for zaurus [Version 0.2] \\n\n"
    "\\n\n"
    "Done.\\n\n"
    "--- expect-file target.txt\n"
    "http://example/a\n"
    "--- expect-no-file out.bin\n";

TEST(CaseParser, RejectsMalformedCases) {
  CaseFile caseFile;
  std::string error;
  EXPECT_FALSE(
      parseCase("--- nonsense\n--- expect-status 0\n--- expect-stdout\n", &caseFile, &error));
  EXPECT_NE(std::string::npos, error.find("unknown section")) << error;

  EXPECT_FALSE(
      parseCase("stray text\n--- expect-status 0\n--- expect-stdout\n", &caseFile, &error));
  EXPECT_NE(std::string::npos, error.find("before the first section")) << error;

  EXPECT_FALSE(parseCase("--- expect-status 0\n", &caseFile, &error));
  EXPECT_NE(std::string::npos, error.find("expect-stdout")) << error;

  EXPECT_FALSE(
      parseCase("--- expect-status 0\n--- expect-stdout\nbad \\q escape\n", &caseFile, &error));
  EXPECT_NE(std::string::npos, error.find("line 2")) << error;

  EXPECT_FALSE(parseCase("--- expect-status zero\n--- expect-stdout\n", &caseFile, &error));
  EXPECT_FALSE(parseCase("--- expect-request 0\n--- expect-status 0\n--- expect-stdout\n",
                         &caseFile, &error));
  EXPECT_FALSE(
      parseCase("--- expect-file-pattern f\nmany x\n--- expect-status 0\n"
                "--- expect-stdout\n",
                &caseFile, &error));
}

TEST(CaseParser, ReadsSectionsAsDocumented) {
  CaseFile caseFile;
  std::string error;
  ASSERT_TRUE(
      parseCase("# comment\n"
                "--- plugin p\n"
                "line one\n"
                "\n"
                "line two\n"
                "\n"
                "\n"
                "--- command\n"
                "/S \"a\\x20b\" '' tail\n"
                "--- connection tls x3\n"
                "send x\n"
                "--- expect-status 604\n"
                "--- expect-stdout\n"
                "a\\r\\n\n"
                "\n"
                "b\\x00\n"
                "--- expect-request tls 2\n"
                "GET\n"
                "--- expect-file-pattern big.bin\n"
                "3 ab\n"
                "--- option collapse-progress\n",
                &caseFile, &error))
      << error;
  ASSERT_EQ(1u, caseFile.plugins.size());
  // Text sections keep inner empty lines and drop trailing ones.
  EXPECT_EQ("line one\n\nline two\n", caseFile.plugins[0].text);
  EXPECT_EQ((std::vector<std::string>{"/S", "\"a\\x20b\"", "''", "tail"}), caseFile.command);
  EXPECT_EQ(3u, caseFile.tlsConnections.size());
  EXPECT_TRUE(caseFile.plainConnections.empty());
  EXPECT_EQ(604, caseFile.status);
  // Byte sections: lines are concatenated, raw line breaks are not data.
  EXPECT_EQ("a\\r\\nb\\x00", caseFile.stdoutBytes);
  ASSERT_EQ(1u, caseFile.requests.size());
  EXPECT_TRUE(caseFile.requests[0].tls);
  EXPECT_EQ(2, caseFile.requests[0].connection);
  ASSERT_EQ(1u, caseFile.patterns.size());
  EXPECT_EQ(3, caseFile.patterns[0].runs[0].count);
  EXPECT_TRUE(caseFile.collapseProgress);
}

TEST(CaseRunner, CollapsesProgressRuns) {
  const std::string a = "\r       0/       3[KB]";
  const std::string b = "\r       1/       3[KB]";
  const std::string c = "\r       3/       3[KB]";
  EXPECT_EQ("x" + a + c + "/\n", collapseProgressRuns("x" + a + b + b + c + "/\n"));
  EXPECT_EQ(a + "/\n" + a, collapseProgressRuns(a + "/\n" + a));
  EXPECT_EQ("\r 1/ 2[KB]", collapseProgressRuns("\r 1/ 2[KB]"));  // too narrow: not a field
}

TEST(CaseRunner, PassesARightCase) {
  CaseFile caseFile;
  std::string error;
  ASSERT_TRUE(parseCase(loggingCase(kRightExpectations), &caseFile, &error)) << error;
  CaseResult result = runCase(caseFile, defaultCaseEnvironment());
  EXPECT_TRUE(result.passed());
  for (const std::string& failure : result.failures) ADD_FAILURE() << failure;
  EXPECT_EQ(0, result.exitStatus);
}

TEST(CaseRunner, ReportsEveryKindOfMismatch) {
  CaseFile caseFile;
  std::string error;
  ASSERT_TRUE(parseCase(loggingCase("--- expect-status 7\n"
                                    "--- expect-stdout\n"
                                    "Quorvane for zaurus [Version 0.2] \\n\\nDone!\\n\n"
                                    "--- expect-file target.txt\n"
                                    "http://example/b\n"
                                    "--- expect-file-pattern missing.bin\n"
                                    "1 x\n"
                                    "--- expect-no-file target.txt\n"
                                    "--- expect-request 1\n"
                                    "GET / HTTP/1.0\\r\\n\\r\\n\n"
                                    "--- expect-stderr\n"
                                    "quorvane: %ANY%\\n\n"),
                        &caseFile, &error))
      << error;
  CaseResult result = runCase(caseFile, defaultCaseEnvironment());
  EXPECT_FALSE(result.passed());
  std::string all;
  for (const std::string& failure : result.failures) all += failure + "\n";
  EXPECT_NE(std::string::npos, all.find("standard output differs at byte 40")) << all;
  EXPECT_NE(std::string::npos, all.find("expected exit status 7")) << all;
  EXPECT_NE(std::string::npos, all.find("file target.txt differs")) << all;
  EXPECT_NE(std::string::npos, all.find("missing.bin does not exist")) << all;
  EXPECT_NE(std::string::npos, all.find("target.txt should not exist")) << all;
  EXPECT_NE(std::string::npos, all.find("connection 1 was never made")) << all;
  EXPECT_NE(std::string::npos, all.find("standard error does not match")) << all;
  EXPECT_EQ(7u, result.failures.size()) << all;
}

TEST(CaseRunner, AnyTextStandsForPartOfOneLine) {
  struct Match {
    const char* pattern;
    const char* text;
    bool matches;
  };
  const Match kMatches[] = {
      {"a (%ANY%)\n", "a (No such file or directory)\n", true},
      {"a (%ANY%)\n", "a ()\n", true},
      {"a (%ANY%)\n", "a (x)\nb (y)\n", false},
      {"%ANY%\n", "one line\n", true},
      {"%ANY%\n", "\n\n", false},
      {"x%ANY%y%ANY%z", "x1y2y3z", true},
      {"x%ANY%y%ANY%z", "x1y2\n3z", false},
      {"x%ANY%yz", "xyz", true},
      {"x%ANY%yz", "xz", false},
      {"x%ANY%", "y", false},
      {"plain\n", "plain\n", true},
      {"plain\n", "plain", false},
  };
  for (const Match& m : kMatches) {
    EXPECT_EQ(m.matches, matchesWithAnyText(m.pattern, m.text))
        << escapeBytes(m.pattern) << " against " << escapeBytes(m.text);
  }
}

TEST(CaseRunner, KillsAHangingProgram) {
  // A server that sends nothing, a long session time-out and a short limit.
  CaseFile caseFile;
  std::string error;
  ASSERT_TRUE(
      parseCase("--- registry\n"
                "@port=%PORT%\n"
                "@plugin=127.0.0.1\n"
                "--- plugin 127.0.0.1\n"
                "@httpinit:\n"
                "@<-read:\n"
                "@->host:\n"
                "@connect=GET\n"
                "--- command\n"
                "/S http://127.0.0.1/a out.bin\n"
                "--- connection\n"
                "hold\n"
                "--- option time-limit 1\n"
                "--- expect-status 0\n"
                "--- expect-stdout\n",
                &caseFile, &error))
      << error;
  CaseResult result = runCase(caseFile, defaultCaseEnvironment());
  EXPECT_FALSE(result.passed());
  EXPECT_EQ(-1, result.exitStatus);
  EXPECT_LT(result.seconds, 10.0);
  std::string all;
  for (const std::string& failure : result.failures) all += failure + "\n";
  EXPECT_NE(std::string::npos, all.find("time limit")) << all;
}

}  // namespace
