// Fuzz target: findJsonValue with a fuzzed path over a fuzzed text, checked
// against the same text put in an array one level down; and the two
// unescapes over the text.
//
// Input: path NUL text (no NUL: the path is empty and the input the text).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "text/json.h"
#include "text/unescape.h"

namespace {

void checkUnescaped(const std::string& text, const std::string& plain, char escape) {
  FUZZ_CHECK(plain.size() <= text.size(), "unescaping made the text longer");
  if (text.find(escape) == std::string::npos)
    FUZZ_CHECK(plain == text, "text without escapes changed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input = bytesOf(data, size);
  size_t nul = input.find('\0');
  std::string path = nul == std::string::npos ? std::string() : input.substr(0, nul);
  std::string text = nul == std::string::npos ? input : input.substr(nul + 1);

  JsonLookup whole = findJsonValue(text.data(), text.size(), "");
  JsonLookup found = findJsonValue(text.data(), text.size(), path.c_str());
  FUZZ_CHECK((whole.outcome == JsonLookup::kNotJson) == (found.outcome == JsonLookup::kNotJson),
             "the path changed whether the text is JSON");
  FUZZ_CHECK(whole.failedAt <= text.size() && whole.failedAt == found.failedAt,
             "failure offset beyond the text or moved by the path");
  FUZZ_CHECK(whole.outcome == JsonLookup::kNotJson || whole.value == text,
             "the empty path did not give the whole text");

  // One level down, the same path after "[0]" names the same value.
  if (whole.outcome != JsonLookup::kNotJson && !path.empty()) {
    std::string wrapped = "[" + text + "]";
    std::string deeper = "[0]" + std::string(path[0] == '[' ? "" : ".") + path;
    JsonLookup inside = findJsonValue(wrapped.data(), wrapped.size(), deeper.c_str());
    if (inside.outcome == JsonLookup::kNotJson) {
      size_t opened =
          std::count(text.begin(), text.end(), '[') + std::count(text.begin(), text.end(), '{');
      FUZZ_CHECK(opened >= static_cast<size_t>(kMaxJsonDepth),
                 "a JSON text is not JSON in an array");
    } else {
      FUZZ_CHECK(inside.outcome == found.outcome && inside.value == found.value,
                 "the path found another value one level down");
    }
  }
  checkUnescaped(text, jsonUnescape(text.data(), text.size()), '\\');
  checkUnescaped(text, htmlUnescape(text.data(), text.size()), '&');
  return 0;
}
