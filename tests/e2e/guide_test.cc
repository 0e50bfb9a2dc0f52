// Runs every example of the plugin authors' guide, docs/plugins.md, against
// the real program, so that the guide cannot drift from what Quorvane does,
// and checks its keyword reference against the keyword table.
//
// How the guide marks its examples (the markers are invisible when the
// markdown is rendered):
//
//   <!-- example: NAME -->               starts example NAME
//   <!-- example: NAME, setup of OTHER --> the same, reusing OTHER's registry
//                                        and plugins (and its replies when
//                                        NAME has none of its own)
//
// An example runs up to the next marker or heading. Its fenced blocks are
// told apart by their info strings; every line of a block is in the escaped
// form of the end-to-end cases (\r, \\, \xHH) except in registries and
// plugins, which are shown as the files hold them:
//
//   ```registry        tovel.ini
//   ```plugin NAME     the plugin script NAME
//   ```reply           one connection's reply: the lines up to and including
//                      the first empty line end in CR LF, the body lines in LF
//   ```run             "$ quorvane ARGS", the output without the banner and
//                      its empty line, then "$ echo $?" and the exit status;
//                      a second run block runs after the servers have gone
//                      (a replay) and shows the same output and status
//   ```stderr          what the run wrote on standard error, one line per
//                      line (without it, the run writes nothing there)
//   ```file NAME       a file of the working folder: each line ends in LF
//   ```file NAME -n    the same without a line feed after the last line
//   ```before NAME     a file in the working folder before the run, as
//                      "file NAME" writes it
//   ```request N       the N-th request the server received, its lines
//                      ending as in a reply
//
// A block of one of these kinds outside an example is an error, so nothing
// the guide shows as runnable escapes the test. Other blocks are ignored.
//
// The keyword reference is the table that follows <!-- keyword table -->:
// its first column names a keyword and its last column is a one-line example
// in backticks, which must classify as that keyword.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "script/keywords.h"
#include "support/e2e_case.h"

namespace {

const char kGuidePath[] = QUORVANE_SOURCE_DIR "/docs/plugins.md";
const char kExampleMarker[] = "<!-- example: ";
const char kSetupOf[] = ", setup of ";
const char kMarkerEnd[] = " -->";
const char kKeywordTableMarker[] = "<!-- keyword table -->";
const char kFence[] = "```";
const char kPrompt[] = "$ quorvane ";
const char kStatusPrompt[] = "$ echo $?";
// Every run starts with the banner and an empty line; the guide leaves them
// out of its transcripts.
const char kBannerEscaped[] = "Quorvane for zaurus [Version 0.2] \\n\\n";

struct GuideBlock {
  std::string kind;
  std::vector<std::string> args;
  std::vector<std::string> lines;
  int line = 0;  // of the opening fence
};

struct GuideExample {
  std::string name;
  std::string setupOf;
  int line = 0;  // of the marker
  std::vector<GuideBlock> blocks;
};

struct KeywordRow {
  std::string keyword;
  std::string example;
  int line = 0;
};

struct Guide {
  bool read = false;
  std::vector<GuideExample> examples;
  std::vector<KeywordRow> keywords;
  std::vector<std::string> errors;  // one per malformed place, with its line
};

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    if (end > at) out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

bool isCaseKind(const std::string& kind) {
  static const std::set<std::string> kKinds = {"registry", "plugin",  "reply", "run",
                                               "stderr",   "request", "file",  "before"};
  return kKinds.count(kind) != 0;
}

// The text of the first `...` span of a table cell, or "".
std::string codeSpan(const std::string& cell) {
  size_t open = cell.find('`');
  if (open == std::string::npos) return "";
  size_t close = cell.find('`', open + 1);
  if (close == std::string::npos) return "";
  return cell.substr(open + 1, close - open - 1);
}

// Reads the keyword table whose rows begin at lines[at].
void readKeywordTable(const std::vector<std::string>& lines, size_t at, Guide* guide) {
  for (; at < lines.size() && startsWith(lines[at], "|"); ++at) {
    std::vector<std::string> cells;
    size_t from = 1;
    for (size_t bar = lines[at].find('|', from); bar != std::string::npos;
         bar = lines[at].find('|', from)) {
      cells.push_back(lines[at].substr(from, bar - from));
      from = bar + 1;
    }
    if (cells.size() < 2) continue;
    std::string keyword = codeSpan(cells.front());
    std::string example = codeSpan(cells.back());
    if (keyword.empty() && cells.front().find("---") != std::string::npos) continue;  // rule
    if (keyword.empty() && example.empty()) continue;  // the header row
    if (keyword.empty() || example.empty()) {
      guide->errors.push_back("line " + std::to_string(at + 1) +
                              ": keyword row without a keyword or an example in backticks");
      continue;
    }
    guide->keywords.push_back({keyword, example, static_cast<int>(at + 1)});
  }
}

Guide readGuide(const std::string& text) {
  Guide guide;
  guide.read = true;
  std::vector<std::string> lines = splitLines(text);

  // Index of the example being read, or -1.
  int current = -1;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    int number = static_cast<int>(i + 1);
    if (startsWith(line, kFence)) {
      GuideBlock block;
      std::vector<std::string> info = words(line.substr(strlen(kFence)));
      if (!info.empty()) {
        block.kind = info[0];
        block.args.assign(info.begin() + 1, info.end());
      }
      block.line = number;
      size_t j = i + 1;
      while (j < lines.size() && lines[j] != kFence) block.lines.push_back(lines[j++]);
      if (j == lines.size()) {
        guide.errors.push_back("line " + std::to_string(number) + ": block without its end");
        break;
      }
      i = j;
      if (!isCaseKind(block.kind)) continue;
      if (current < 0) {
        guide.errors.push_back("line " + std::to_string(number) + ": a " + block.kind +
                               " block outside an example");
        continue;
      }
      guide.examples[static_cast<size_t>(current)].blocks.push_back(block);
    } else if (startsWith(line, kExampleMarker) && endsWith(line, kMarkerEnd)) {
      std::string inner = line.substr(strlen(kExampleMarker),
                                      line.size() - strlen(kExampleMarker) - strlen(kMarkerEnd));
      GuideExample example;
      size_t setup = inner.find(kSetupOf);
      example.name = inner.substr(0, setup);
      if (setup != std::string::npos) example.setupOf = inner.substr(setup + strlen(kSetupOf));
      example.line = number;
      guide.examples.push_back(example);
      current = static_cast<int>(guide.examples.size()) - 1;
    } else if (startsWith(line, "#")) {
      current = -1;  // a heading ends the example
    } else if (line == kKeywordTableMarker) {
      size_t first = i + 1;
      while (first < lines.size() && lines[first].empty()) ++first;
      readKeywordTable(lines, first, &guide);
    }
  }
  return guide;
}

// The guide as read once for all tests.
const Guide& guide() {
  static const Guide loaded = [] {
    std::string text;
    return readCaseFile(kGuidePath, &text) ? readGuide(text) : Guide();
  }();
  return loaded;
}

const GuideExample* findExample(const std::string& name) {
  for (const GuideExample& example : guide().examples) {
    if (example.name == name) return &example;
  }
  return nullptr;
}

std::string joined(const std::vector<std::string>& lines, const std::string& ending) {
  std::string text;
  for (const std::string& line : lines) text += line + ending;
  return text;
}

// The escaped bytes of an HTTP message block: the lines up to and including
// the first empty line end in CR LF, the body lines in LF.
std::string messageBytes(const GuideBlock& block) {
  std::string escaped;
  bool inHeader = true;
  for (const std::string& line : block.lines) {
    escaped += line + (inHeader ? "\\r\\n" : "\\n");
    if (line.empty()) inHeader = false;
  }
  return escaped;
}

// Turns `example` into the text of an end-to-end case; false with *error
// when its blocks do not make one.
bool caseText(const GuideExample& example, std::string* out, std::string* error) {
  std::vector<GuideBlock> setup;
  if (!example.setupOf.empty()) {
    const GuideExample* other = findExample(example.setupOf);
    if (other == nullptr) {
      *error = "no example named " + example.setupOf;
      return false;
    }
    bool ownReplies = false;
    for (const GuideBlock& block : example.blocks) ownReplies |= block.kind == "reply";
    for (const GuideBlock& block : other->blocks) {
      if (block.kind == "registry" || block.kind == "plugin" ||
          (block.kind == "reply" && !ownReplies)) {
        setup.push_back(block);
      }
    }
  }
  std::vector<GuideBlock> blocks = setup;
  blocks.insert(blocks.end(), example.blocks.begin(), example.blocks.end());

  std::string text = "--- option collapse-progress\n";
  int runs = 0;
  int replies = 0;
  std::vector<std::string> firstOutput;
  std::string firstStatus;
  for (const GuideBlock& block : blocks) {
    std::string where = "block at line " + std::to_string(block.line) + ": ";
    if (block.kind == "registry") {
      text += "--- registry\n" + joined(block.lines, "\n");
    } else if (block.kind == "plugin") {
      if (block.args.size() != 1) {
        *error = where + "a plugin block names its plugin";
        return false;
      }
      text += "--- plugin " + block.args[0] + "\n" + joined(block.lines, "\n");
    } else if (block.kind == "reply") {
      text += "--- connection\nsend " + messageBytes(block) + "\n";
      ++replies;
    } else if (block.kind == "run") {
      const std::vector<std::string>& lines = block.lines;
      if (lines.size() < 3 || !startsWith(lines.front(), kPrompt) ||
          lines[lines.size() - 2] != kStatusPrompt) {
        *error = where + "a run block is \"" + kPrompt + "ARGS\", the output, \"" + kStatusPrompt +
                 "\" and the status";
        return false;
      }
      std::vector<std::string> output(lines.begin() + 1, lines.end() - 2);
      std::string arguments = lines.front().substr(strlen(kPrompt));
      if (runs == 1) {
        // A second run (a replay) comes after the servers have gone and must
        // show what the first one showed.
        if (output != firstOutput || lines.back() != firstStatus) {
          *error = where + "a second run block shows the output and status of the first";
          return false;
        }
        text += "--- rerun\n" + arguments + "\n";
      } else {
        text += "--- command\n" + arguments + "\n";
        text += "--- expect-stdout\n" + std::string(kBannerEscaped) + joined(output, "\\n") + "\n";
        text += "--- expect-status " + lines.back() + "\n";
        firstOutput = output;
        firstStatus = lines.back();
      }
      ++runs;
    } else if (block.kind == "stderr") {
      text += "--- expect-stderr\n" + joined(block.lines, "\\n") + "\n";
    } else if (block.kind == "file") {
      bool noFinalLineFeed = block.args.size() == 2 && block.args[1] == "-n";
      if (block.args.empty() || (block.args.size() == 2 && !noFinalLineFeed) ||
          block.args.size() > 2) {
        *error = where + "a file block is \"file NAME\" or \"file NAME -n\"";
        return false;
      }
      std::string bytes = joined(block.lines, "\\n");
      if (noFinalLineFeed && !bytes.empty()) bytes.resize(bytes.size() - 2);
      text += "--- expect-file " + block.args[0] + "\n" + bytes + "\n";
    } else if (block.kind == "before") {
      if (block.args.size() != 1) {
        *error = where + "a before block names its file";
        return false;
      }
      text += "--- work-file " + block.args[0] + "\n" + joined(block.lines, "\\n") + "\n";
    } else if (block.kind == "request") {
      if (block.args.size() != 1) {
        *error = where + "a request block names the connection's number";
        return false;
      }
      text += "--- expect-request " + block.args[0] + "\n" + messageBytes(block) + "\n";
    }
  }
  if (runs != 1 && runs != 2) {
    *error = "an example has one run block, or two for a replay, not " + std::to_string(runs);
    return false;
  }
  // Every reply must be asked for, and nothing more.
  text += "--- expect-connections " + std::to_string(replies) + "\n";
  *out = text;
  return true;
}

std::vector<std::string> exampleNames() {
  std::vector<std::string> names;
  for (const GuideExample& example : guide().examples) names.push_back(example.name);
  return names;
}

std::string testName(const testing::TestParamInfo<std::string>& info) {
  std::string name;
  for (char c : info.param) name += isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

TEST(Guide, IsWellFormed) {
  ASSERT_TRUE(guide().read) << "cannot read " << kGuidePath;
  for (const std::string& error : guide().errors) ADD_FAILURE() << kGuidePath << ": " << error;
  EXPECT_FALSE(guide().examples.empty()) << "the guide marks no example";
  std::set<std::string> seen;
  for (const GuideExample& example : guide().examples) {
    EXPECT_TRUE(seen.insert(example.name).second)
        << "line " << example.line << ": a second example named " << example.name;
    std::string text;
    std::string error;
    EXPECT_TRUE(caseText(example, &text, &error))
        << "line " << example.line << ", example " << example.name << ": " << error;
  }
}

// The reference names every keyword of the table once, and each one-line
// example is a line of that keyword.
TEST(Guide, KeywordReferenceMatchesTheKeywordTable) {
  ASSERT_TRUE(guide().read);
  std::map<std::string, int> rows;
  for (const KeywordRow& row : guide().keywords) {
    SCOPED_TRACE("guide line " + std::to_string(row.line) + ": " + row.keyword);
    EXPECT_TRUE(rows.emplace(row.keyword, row.line).second) << "listed twice";
    int code = 0;
    for (int i = 0; i < kKeywordCount; ++i) {
      if (row.keyword == kKeywords[i]) code = i + 1;
    }
    EXPECT_NE(code, 0) << "not a keyword";
    std::vector<char> line(row.example.begin(), row.example.end());
    line.push_back('\0');
    char* value = nullptr;
    char* second = nullptr;
    EXPECT_EQ(classifyLine(line.data(), &value, &second), code)
        << "the example `" << row.example << "` is not a line of this keyword";
  }
  for (int i = 0; i < kKeywordCount; ++i) {
    if (kKeywords[i][0] == '\0') continue;  // a code not in use
    EXPECT_EQ(rows.count(kKeywords[i]), 1u) << "the reference lacks " << kKeywords[i];
  }
}

class GuideExampleTest : public testing::TestWithParam<std::string> {};

TEST_P(GuideExampleTest, RunsAsShown) {
  const GuideExample* example = findExample(GetParam());
  ASSERT_NE(example, nullptr);
  std::string text;
  std::string error;
  ASSERT_TRUE(caseText(*example, &text, &error)) << error;
  verifyCaseText(text, "example " + example->name + " (docs/plugins.md line " +
                           std::to_string(example->line) + ")");
}

INSTANTIATE_TEST_SUITE_P(Guide, GuideExampleTest, testing::ValuesIn(exampleNames()), testName);

// The test is only worth having if a changed output makes it fail: the first
// example, with one character of its output changed, must not pass.
TEST(Guide, AChangedOutputFails) {
  ASSERT_FALSE(guide().examples.empty());
  GuideExample changed = guide().examples.front();
  bool edited = false;
  for (GuideBlock& block : changed.blocks) {
    if (block.kind == "run" && block.lines.size() > 3) {
      block.lines[1] += "!";
      edited = true;
    }
  }
  ASSERT_TRUE(edited) << "the first example shows no output to change";
  std::string text;
  std::string error;
  ASSERT_TRUE(caseText(changed, &text, &error)) << error;
  CaseFile kase;
  ASSERT_TRUE(parseCase(text, &kase, &error)) << error;
  CaseResult result = runCase(kase, defaultCaseEnvironment());
  EXPECT_FALSE(result.skipped);
  EXPECT_FALSE(result.passed()) << "a wrong expected output was accepted";
}

}  // namespace
