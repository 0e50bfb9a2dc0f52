// Tests of the keyword table and classifyLine: codes, prefixes, line ends,
// values and the "@=>" split, and reads at the line limit.
#include "script/keywords.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/capture.h"
#include "text/file_handle.h"

namespace {

// One classification of a copy of `text`.
struct Classified {
  int code = -1;
  std::string content;  // the line up to its first NUL after classifying
  const char* value = nullptr;
  const char* second = nullptr;
  std::string valueText;   // "<absent>" when value is null
  std::string secondText;  // "<absent>" when second is null
};

Classified classify(const std::string& text, bool split) {
  Classified c;
  std::vector<char> line(text.begin(), text.end());
  line.push_back('\0');
  char* value = nullptr;
  char* second = nullptr;
  c.code = classifyLine(line.data(), &value, split ? &second : nullptr);
  c.content = line.data();
  c.valueText = value ? value : "<absent>";
  c.secondText = second ? second : "<absent>";
  return c;
}

TEST(Keywords, TableHoldsTheKeywordsInOrder) {
  // clang-format off
  const char* expected[] = {
      "#=",       "@timeout=",     "@port=",      "@useragent=", "@proxy=",       "@user=",
      "@pass=",   "@plugin=",      "@httpinit:",  "@analysis=",  "@analysis end", "@startcode",
      "@<-read:", "@<-read=",      "@->host:",    "@->body:",    "@->header=",    "@<-host:",
      "@<-body:", "@<-header=",    "@urldecode:", "@urlencode:", "@connect=",     "@keepconnect:",
      "@sum=",    "@cookieclear:", "@cookieon:",  "@cookieoff:", "@buffering:",   "@push=",
      "@pop=",    "@replace=",     "@->log=",     "@->file:",    "@exit:",        "@tlsverify=",
      "@retry=",  "@resume=",      "@lowspeed=",  "@cookiefile=", "@cookiejar=",  "@auth=",
      "@jsonunescape:", "@htmlunescape:", "@<-json=",       "@split=",
  };
  // clang-format on
  ASSERT_EQ(sizeof expected / sizeof expected[0], static_cast<size_t>(kKeywordCount));
  for (int i = 0; i < kKeywordCount; ++i) {
    EXPECT_STREQ(kKeywords[i], expected[i]) << "code " << i + 1;
    EXPECT_LT(strlen(kKeywords[i]), static_cast<size_t>(kKeywordField));
  }
  // No keyword is a prefix of another, so at most one entry can match. An
  // empty entry is a code not in use and matches nothing.
  for (int i = 0; i < kKeywordCount; ++i) {
    for (int j = 0; j < kKeywordCount; ++j) {
      if (i == j || kKeywords[i][0] == '\0') continue;
      EXPECT_NE(strncmp(kKeywords[j], kKeywords[i], strlen(kKeywords[i])), 0)
          << kKeywords[i] << " is a prefix of " << kKeywords[j];
    }
  }
  EXPECT_EQ(kExit, 35);
  EXPECT_EQ(kTlsVerify, 36);
  EXPECT_EQ(kRetry, 37);
  EXPECT_EQ(kReplace, 32);
  EXPECT_EQ(kAnalysisEnd, 11);
  EXPECT_EQ(kStartCode, 12);
}

TEST(Keywords, EveryKeywordGivesItsCode) {
  for (int i = 0; i < kKeywordCount; ++i) {
    std::string keyword = kKeywords[i];
    if (keyword.empty()) continue;  // a code not in use
    EXPECT_EQ(classify(keyword, true).code, i + 1) << keyword;
    EXPECT_EQ(classify(keyword + "\n", false).code, i + 1) << keyword;
    EXPECT_EQ(classify(keyword + "tail text\r\n", true).code, i + 1) << keyword;
    // One character short matches nothing (no shorter keyword exists).
    std::string shortened = keyword.substr(0, keyword.size() - 1);
    EXPECT_EQ(classify(shortened + "\n", true).code, kNoKeyword) << shortened;
  }
}

TEST(Keywords, KeywordsThatShareAPrefix) {
  EXPECT_EQ(classify("@<-read:anything=x", true).code, kReadTarget);
  Classified read = classify("@<-read=abc\n", true);
  EXPECT_EQ(read.code, kReadValue);
  EXPECT_EQ(read.valueText, "abc");

  EXPECT_EQ(classify("@analysis end and more", true).code, kAnalysisEnd);
  Classified analysis = classify("@analysis=<a href=\"{1}\">\n", true);
  EXPECT_EQ(analysis.code, kAnalysis);
  EXPECT_EQ(analysis.valueText, "<a href=\"{1}\">");
  EXPECT_EQ(classify("@analysis", true).code, kNoKeyword);
  EXPECT_EQ(classify("@analysis  end", true).code, kNoKeyword);
  EXPECT_EQ(classify("@startcode=<title>", true).code, kStartCode);

  Classified user = classify("@user=alice", true);
  EXPECT_EQ(user.code, kUser);
  EXPECT_EQ(user.valueText, "alice");
  Classified agent = classify("@useragent=Agent/1.0", true);
  EXPECT_EQ(agent.code, kUserAgent);
  EXPECT_EQ(agent.valueText, "Agent/1.0");

  EXPECT_EQ(classify("#= a comment", true).code, kComment);
  EXPECT_EQ(classify("# not a comment", true).code, kNoKeyword);
  EXPECT_EQ(classify("#", true).code, kNoKeyword);
  EXPECT_EQ(classify("@EXIT:", true).code, kNoKeyword);
  EXPECT_EQ(classify("@Exit:", true).code, kNoKeyword);
  EXPECT_EQ(classify(" @exit:", true).code, kNoKeyword);
  EXPECT_EQ(classify("\t@exit:", true).code, kNoKeyword);
  EXPECT_EQ(classify("@exit:", true).code, kExit);
  EXPECT_EQ(classify("", true).code, kNoKeyword);
}

TEST(Keywords, ValueIsEverythingAfterTheFirstEquals) {
  EXPECT_EQ(classify("@<-read=a=b", true).valueText, "a=b");
  EXPECT_EQ(classify("@<-read=", true).valueText, "");
  Classified noValue = classify("@httpinit:\n", true);
  EXPECT_EQ(noValue.code, kHttpInit);
  EXPECT_EQ(noValue.valueText, "<absent>");
  Classified stray = classify("@httpinit: a=b\n", true);
  EXPECT_EQ(stray.code, kHttpInit);
  EXPECT_EQ(stray.valueText, "b");
  // Outputs are set even when no keyword matches.
  Classified other = classify("name=value@=>second\n", true);
  EXPECT_EQ(other.code, kNoKeyword);
  EXPECT_EQ(other.valueText, "value");
  EXPECT_EQ(other.secondText, "second");
}

TEST(Keywords, SeparatorSplitsOnlyOnRequest) {
  Classified both = classify("@replace=x@=>y\r\n", true);
  EXPECT_EQ(both.code, kReplace);
  EXPECT_EQ(both.valueText, "x");
  EXPECT_EQ(both.secondText, "y");
  EXPECT_EQ(both.content, "@replace=x");

  Classified none = classify("@replace=x", true);
  EXPECT_EQ(none.valueText, "x");
  EXPECT_EQ(none.secondText, "<absent>");

  Classified emptyFirst = classify("@replace=@=>y", true);
  EXPECT_EQ(emptyFirst.code, kReplace);
  EXPECT_EQ(emptyFirst.valueText, "");
  EXPECT_EQ(emptyFirst.secondText, "y");

  Classified emptySecond = classify("@replace=x@=>\n", true);
  EXPECT_EQ(emptySecond.valueText, "x");
  EXPECT_EQ(emptySecond.secondText, "");

  // Only the first separator splits; later ones belong to the second value.
  Classified twice = classify("@replace=a@=>b@=>c", true);
  EXPECT_EQ(twice.valueText, "a");
  EXPECT_EQ(twice.secondText, "b@=>c");

  // The separator after the line end is not seen.
  Classified afterEnd = classify("@replace=x\n@=>y", true);
  EXPECT_EQ(afterEnd.valueText, "x");
  EXPECT_EQ(afterEnd.secondText, "<absent>");

  // Without the split, values keep their "@=>".
  Classified registry = classify("@plugin=abc@=>d\n", false);
  EXPECT_EQ(registry.code, kPlugin);
  EXPECT_EQ(registry.valueText, "abc@=>d");
  EXPECT_EQ(registry.content, "@plugin=abc@=>d");
}

TEST(Keywords, LineEndsAndNullLine) {
  Classified lf = classify("@port=8080\n", true);
  Classified crlf = classify("@port=8080\r\n", true);
  Classified bare = classify("@port=8080", true);
  Classified loneCr = classify("@port=8080\rjunk=1\n", true);
  for (const Classified* c : {&lf, &crlf, &bare, &loneCr}) {
    EXPECT_EQ(c->code, kPort);
    EXPECT_EQ(c->content, "@port=8080");
    EXPECT_EQ(c->valueText, "8080");
  }

  // An empty line matches nothing and keeps its line break.
  Classified empty = classify("\n", true);
  EXPECT_EQ(empty.code, kNoKeyword);
  EXPECT_EQ(empty.content, "\n");
  EXPECT_EQ(empty.valueText, "<absent>");
  Classified emptyCrlf = classify("\r\n", true);
  EXPECT_EQ(emptyCrlf.code, kNoKeyword);
  EXPECT_EQ(emptyCrlf.content, "\r\n");

  // A null line gives 0 and leaves both outputs alone.
  char marker = 'm';
  char* value = &marker;
  char* second = &marker;
  EXPECT_EQ(classifyLine(nullptr, &value, &second), kNoKeyword);
  EXPECT_EQ(value, &marker);
  EXPECT_EQ(second, &marker);
}

TEST(Keywords, LinesReadAtTheLimit) {
  TempDir dir;
  std::string longest = "@sum=" + std::string(1018, 'v');  // 1023 characters
  std::string fits = "@sum=" + std::string(1017, 'w');     // 1022 characters
  std::string path = dir.write("plugin.txt", longest + "\n" + fits + "\n@exit:");
  FileHandle in(path.c_str(), "r");
  ASSERT_NE(in.stream, nullptr);
  char line[kLineReadLimit];
  std::vector<int> codes;
  std::vector<std::string> values;
  while (in.readLine(line, kLineReadLimit) != nullptr) {
    char* value = nullptr;
    char* second = nullptr;
    codes.push_back(classifyLine(line, &value, &second));
    values.push_back(value ? value : "<absent>");
  }
  // The 1023-character line fills one read; its line feed comes alone.
  ASSERT_EQ(codes, (std::vector<int>{kSum, kNoKeyword, kSum, kExit}));
  EXPECT_EQ(values[0], std::string(1018, 'v'));
  EXPECT_EQ(values[1], "<absent>");
  EXPECT_EQ(values[2], std::string(1017, 'w'));
  EXPECT_EQ(values[3], "<absent>");
}

}  // namespace
