// Fuzz target: the line classifier on every read of a fuzzed file, with
// and without the "@=>" split.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "script/keywords.h"

namespace {

// True when `pointer` lies in the line buffer [begin, end].
bool inside(const char* pointer, const std::vector<char>& buffer) {
  return pointer >= buffer.data() && pointer <= buffer.data() + buffer.size() - 1;
}

void classifyRead(const std::string& read) {
  // The runner's line buffer is larger than one read; the rest is NUL.
  std::vector<char> split(static_cast<size_t>(kLineReadLimit) * 2, '\0');
  std::vector<char> whole(split.size(), '\0');
  memcpy(split.data(), read.data(), read.size());
  memcpy(whole.data(), read.data(), read.size());

  char* value = nullptr;
  char* second = nullptr;
  int code = classifyLine(split.data(), &value, &second);
  char* plainValue = nullptr;
  int plainCode = classifyLine(whole.data(), &plainValue, nullptr);

  FUZZ_CHECK(code >= 0 && code <= kKeywordCount, "keyword code out of range");
  FUZZ_CHECK(code == plainCode, "the @=> split changed the keyword");
  if (code > 0) {
    const char* keyword = kKeywords[code - 1];
    FUZZ_CHECK(strncmp(whole.data(), keyword, strlen(keyword)) == 0,
               "line does not begin with its keyword");
    FUZZ_CHECK(strncmp(split.data(), keyword, strlen(keyword)) == 0, "split line lost its keyword");
  }
  FUZZ_CHECK(strpbrk(whole.data(), "\r\n") == nullptr || whole[0] == '\r' || whole[0] == '\n',
             "line break left in a non-empty line");

  if (plainValue != nullptr) {
    FUZZ_CHECK(inside(plainValue, whole) && plainValue[-1] == '=', "value not after an =");
    FUZZ_CHECK(strchr(whole.data(), '=') == plainValue - 1, "value not after the first =");
  } else {
    FUZZ_CHECK(strchr(whole.data(), '=') == nullptr, "= present but no value");
  }
  if (value != nullptr) FUZZ_CHECK(inside(value, split), "value outside the line");
  if (second != nullptr) {
    FUZZ_CHECK(inside(second, split), "second value outside the line");
    FUZZ_CHECK(memcmp(second - 3, "\0=>", 3) == 0, "second value not after the separator");
    FUZZ_CHECK(strstr(split.data(), "@=>") == nullptr, "separator left in the line");
  } else {
    FUZZ_CHECK(strstr(whole.data(), "@=>") == nullptr, "separator present but no second value");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (const std::string& read : scriptReads(bytesOf(data, size))) classifyRead(read);
  return 0;
}
