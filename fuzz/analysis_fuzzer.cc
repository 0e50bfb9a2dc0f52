// Fuzz target: one analysis block read from a fuzzed script file.
//
// Input: work text NUL template LF block lines. Without a NUL there is no
// work text at all (a register without storage) and the whole input is
// template and block. The block is followed in the file by a marker line,
// so that the target can check where reading stopped.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/messages.h"
#include "fuzz_support.h"
#include "http/transport.h"
#include "script/keywords.h"
#include "script/script_engine.h"
#include "script_budget.h"
#include "text/file_handle.h"

namespace {

const char kAfterBlock[] = "@exit:after-the-block\n";

// The index of the read after the block's end line (*ended set), or
// reads.size() when there is no end line.
size_t readAfterBlock(const std::vector<std::string>& reads, bool* ended) {
  *ended = false;
  const char* endKeyword = kKeywords[kAnalysisEnd - 1];
  for (size_t i = 0; i < reads.size(); ++i) {
    const std::string& read = reads[i];
    std::string key = read.substr(0, read.find_first_of(std::string("=\r\n\0", 4)));
    if (key.compare(0, strlen(endKeyword), endKeyword) == 0) {
      *ended = true;
      return i + 1;
    }
  }
  return reads.size();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietStandardOutput();
  scratchHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input = bytesOf(data, size);
  size_t nul = input.find('\0');
  bool hasWork = nul != std::string::npos;
  std::string work = hasWork ? input.substr(0, nul) : "";
  std::string rest = hasWork ? input.substr(nul + 1) : input;
  size_t lineFeed = rest.find('\n');
  std::string templateText = rest.substr(0, lineFeed);
  templateText = templateText.substr(0, templateText.find_first_of(std::string("\r\0", 2)));
  std::string block = lineFeed == std::string::npos ? "" : rest.substr(lineFeed + 1);

  // Display mode from the template's length, so traces are fuzzed too.
  setDisplayMode(templateText.size() % 3 == 0 ? "/D" : "/S");

  block = boundAnalysisBlock(block, work.size(), templateText.size());
  // A block that does not end its last line would run into the marker.
  if (!block.empty() && block.back() != '\n') block.push_back('\n');
  std::vector<std::string> reads = scriptReads(block);
  bool ended = false;
  size_t after = readAfterBlock(reads, &ended);
  std::string file = block + kAfterBlock;

  FileHandle script(nullptr, "r");
  script.stream = fmemopen(&file[0], file.size(), "r");
  FUZZ_CHECK(script.stream != nullptr, "fmemopen failed");

  static ScriptEngine engine(networkTransport(), nullptr);
  TextBuffer filled;
  // Fuzzed inputs are far too small for a text past 2 GiB.
  FUZZ_CHECK(
      engine.runAnalysis(script, hasWork ? work.c_str() : nullptr, templateText.c_str(), &filled)
          .ok(),
      "analysis failed");
  const char* result = filled.data();
  FUZZ_CHECK(result != nullptr, "analysis gave no text");

  // A template without "%" has no placeholder any fill rule could name.
  if (templateText.find('%') == std::string::npos) {
    FUZZ_CHECK(templateText == result, "template without placeholders changed");
  }

  // Reading stops right after the end line; without one it runs to the
  // end of the file.
  char next[kLineReadLimit];
  char* got = script.readLine(next, kLineReadLimit);
  std::string expected = !ended ? "" : after < reads.size() ? reads[after] : kAfterBlock;
  expected = expected.substr(0, expected.find('\0'));
  std::string seen = got != nullptr ? std::string(next, strnlen(next, sizeof next)) : "";
  FUZZ_CHECK(ended || got == nullptr, "reading stopped inside a block without end line");
  FUZZ_CHECK(!ended || (got != nullptr && seen == expected),
             "reading did not stop right after the end line");
  return 0;
}
