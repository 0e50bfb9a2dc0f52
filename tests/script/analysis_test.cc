// Analysis blocks: filling a template from the work text with the lines read
// from an open script file.
#include <gtest/gtest.h>

#include <string>

#include "base/messages.h"
#include "http/transport.h"
#include "script/script_engine.h"
#include "support/capture.h"
#include "text/file_handle.h"

namespace {

class AnalysisTest : public ::testing::Test {
 protected:
  void TearDown() override { setDisplayMode(nullptr); }

  // Runs a block whose lines are `block` over `work` with `templateText`.
  // The text of the line after the block, if any, goes to *rest.
  std::string run(const std::string& block, const char* work, const char* templateText,
                  std::string* rest = nullptr) {
    std::string path = dir.write("script", block);
    FileHandle file(path.c_str(), "r");
    TextBuffer result;
    EXPECT_TRUE(engine.runAnalysis(file, work, templateText, &result).ok());
    std::string text = result.data() != nullptr ? result.data() : "<null>";
    if (rest != nullptr) {
      char line[1024];
      *rest = file.readLine(line, sizeof line) != nullptr ? line : "<eof>";
    }
    return text;
  }

  TempDir dir;
  ScriptEngine engine{networkTransport(), nullptr};
};

TEST_F(AnalysisTest, TemplateWithoutPlaceholdersComesBackAndBlockIsConsumed) {
  std::string rest;
  EXPECT_EQ("plain text", run("@startcode=<b>\n%x%=<b>@=></b>\n@exit:\n@analysis end\n@exit:\n",
                              "<b>1</b>", "plain text", &rest));
  // The runner goes on right after the end line.
  EXPECT_EQ("@exit:\n", rest);
}

TEST_F(AnalysisTest, EmptyOrAbsentTemplateGivesEmptyTextNeverNull) {
  EXPECT_EQ("", run("%a%=<@=>>\n@analysis end\n", "<1>", ""));
  EXPECT_EQ("", run("%a%=<@=>>\n@analysis end\n", "<1>", nullptr));
}

TEST_F(AnalysisTest, PlaceholderIsReplacedEverywhereAndRulesApplyInOrder) {
  const char* work = "id=<42> name=<clip>";
  EXPECT_EQ("42/42/42", run("%id%=id=<@=>>\n@analysis end\n", work, "%id%/%id%/%id%"));
  // The same markers twice extract the same piece: extraction never moves
  // the search base.
  EXPECT_EQ("42-42", run("%a%=<@=>>\n%b%=<@=>>\n@analysis end\n", work, "%a%-%b%"));
  // A later rule also acts on text that an earlier one inserted.
  EXPECT_EQ("clip.bin", run("%a%=id=<@=>>\n%42%=name=<@=>>\n@analysis end\n", work, "%%a%%.bin"));
  // Keys are matched byte for byte, "%" characters included.
  EXPECT_EQ("%ID% id 42", run("%id%=<@=>>\n@analysis end\n", work, "%ID% id %id%"));
}

TEST_F(AnalysisTest, StartCodeMovesTheSearchBaseOverTheWholeText) {
  const char* work = "<v>a</v> B <v>b</v> C <v>c</v>";
  EXPECT_EQ("b", run("@startcode=B\n%v%=<v>@=></v>\n@analysis end\n", work, "%v%"));
  // A second start-code searches from the beginning again, not from B.
  EXPECT_EQ("a", run("@startcode=B\n@startcode=<v>\n%v%=<v>@=></v>\n@analysis end\n", work, "%v%"));
  // An empty start-code text is found at the beginning.
  EXPECT_EQ("a", run("@startcode=C\n@startcode=\n%v%=<v>@=></v>\n@analysis end\n", work, "%v%"));
  // Any text after the keyword still makes a start-code line.
  EXPECT_EQ("c", run("@startcodeX=C\n%v%=<v>@=></v>\n@analysis end\n", work, "%v%"));
}

TEST_F(AnalysisTest, MissingStartCodeSilencesRulesUntilOneIsFound) {
  const char* work = "<v>a</v> C <v>c</v>";
  EXPECT_EQ("%v%/%w%", run("@startcode=zzz\n%v%=<v>@=></v>\n%w%=<v>@=></v>\n@analysis end\n", work,
                           "%v%/%w%"));
  EXPECT_EQ("%v%/c", run("@startcode=zzz\n%v%=<v>@=></v>\n@startcode=C\n%w%=<v>@=></v>\n"
                         "@analysis end\n",
                         work, "%v%/%w%"));
  // A start-code line without "=" has no text to find.
  EXPECT_EQ("%v%", run("@startcode\n%v%=<v>@=></v>\n@analysis end\n", work, "%v%"));
  // Nor can anything be found in an absent work text.
  EXPECT_EQ("%v%", run("@startcode=\n%v%=<v>@=></v>\n@analysis end\n", nullptr, "%v%"));
  EXPECT_EQ("%v%", run("%v%=<v>@=></v>\n@analysis end\n", nullptr, "%v%"));
}

TEST_F(AnalysisTest, FillRulesThatExtractNothingLeaveThePlaceholder) {
  const char* work = "<a></a> <b>x";
  // No "=", no "@=>", markers not found, empty piece.
  EXPECT_EQ("%p%", run("%p%\n@analysis end\n", work, "%p%"));
  EXPECT_EQ("%p%", run("%p%=<b>\n@analysis end\n", work, "%p%"));
  EXPECT_EQ("%p%", run("%p%=<c>@=></c>\n@analysis end\n", work, "%p%"));
  EXPECT_EQ("%p%", run("%p%=<a>@=></a>\n@analysis end\n", work, "%p%"));
  // "@=>" at the end: everything after the start marker to the end.
  EXPECT_EQ("x", run("%p%=<b>@=>\n@analysis end\n", work, "%p%"));
}

TEST_F(AnalysisTest, LinesEndAtCrOrLfAndOtherLinesAreIgnored) {
  std::string rest;
  EXPECT_EQ("v=1", run("#= comment\r\n\n@analysis=%x%\r\n%x%=a=@=>;\r\n@analysis endless\r\n"
                       "@<-read:\n",
                       "a=1;", "v=%x%", &rest));
  EXPECT_EQ("@<-read:\n", rest);
  // "@analysis" followed by other text is no end line.
  EXPECT_EQ("1", run("@analysis  end\n%x%=a=@=>;\n@analysis end\n", "a=1;", "%x%"));
}

TEST_F(AnalysisTest, BlockWithoutEndLineConsumesTheRest) {
  std::string rest;
  EXPECT_EQ("1", run("%x%=<@=>>\n@exit:\n", "<1>", "%x%", &rest));
  EXPECT_EQ("<eof>", rest);
}

TEST_F(AnalysisTest, LongLinesAreReadIn1023CharacterPieces) {
  // 1023 characters fill one read; the rest of the line is a fill rule of
  // its own.
  std::string block = std::string(1023, 'y') + "%v%=<@=>>\n@analysis end\n";
  EXPECT_EQ("7", run(block, "<7>", "%v%"));
  // A rule cut after its start marker has no end marker and fills nothing;
  // its tail is a line of its own.
  block = "%v%=<" + std::string(1018, 'y') + "@=>>\n@analysis end\n";
  std::string work = "<" + std::string(1018, 'y') + ">";
  EXPECT_EQ("%v%", run(block, work.c_str(), "%v%"));
}

TEST_F(AnalysisTest, NormalModePrintsNothing) {
  StdoutCapture capture;
  run("@startcode=a\n%v%=<@=>>\n@analysis end\n", "a<1>", "%v%");
  EXPECT_EQ("", capture.finish());
}

TEST_F(AnalysisTest, VerboseTracesAreExact) {
  std::string path = dir.write("script",
                               "@startcode=B\n%v%=<@=>>\n@startcode=none\n%w%=<@=>>\n"
                               "@startcode\n@analysis end\n");
  setDisplayMode("/D");
  std::string text;
  {
    StdoutCapture capture;
    {
      FileHandle file(path.c_str(), "r");
      TextBuffer result;
      EXPECT_TRUE(engine.runAnalysis(file, "A B<1>", "%v%%w%", &result).ok());
      EXPECT_STREQ("1%w%", result.data());
    }
    text = capture.finish();
  }
  EXPECT_EQ("@file open " + path +
                ".\n"
                "@----analysis start----\n"
                "@startcode B\n"
                " found\n"
                "key:<...>\n"
                "keystart foud.\n"
                "keyend foud.\n"
                "@startcode none\n"
                "@startcode \n"
                "@----analysis end ----\n"
                "@file close.\n",
            text);
}

}  // namespace
