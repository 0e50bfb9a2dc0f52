// Fuzz target: extractBetween, replaceAll, urlEncode and urlDecode on
// fuzzed texts, checked against plain std::string models and the
// encode-decode round trip.
//
// Input: text NUL start-marker NUL end-marker NUL flags. A missing field
// is a null argument (extractBetween) or an absent text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/messages.h"
#include "fuzz_support.h"
#include "text/text_buffer.h"
#include "text/text_transforms.h"

namespace {

const char kEscapedSet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz*-._@+";

// The value extractBetween should give, or false for none.
bool modelExtract(const std::string& text, const std::string& start, const std::string& end,
                  bool findLast, std::string* value) {
  size_t from = 0;
  if (!start.empty()) {
    size_t hit = findLast ? text.rfind(start) : text.find(start);
    if (hit == std::string::npos) return false;
    from = hit + start.size();
  }
  size_t to = text.size();
  if (!end.empty()) {
    to = text.find(end, from);
    if (to == std::string::npos) return false;
  }
  if (to == from) return false;
  *value = text.substr(from, to - from);
  return true;
}

// Left to right, non-overlapping, inserted text never searched again.
std::string modelReplace(const std::string& text, const std::string& pattern,
                         const std::string& replacement) {
  if (pattern.empty()) return text;
  std::string out;
  size_t at = 0;
  for (size_t hit = text.find(pattern); hit != std::string::npos; hit = text.find(pattern, at)) {
    out.append(text, at, hit - at);
    out += replacement;
    at = hit + pattern.size();
  }
  out.append(text, at, std::string::npos);
  return out;
}

void checkBuffer(const TextBuffer& buffer) {
  if (buffer.data() == nullptr) {
    FUZZ_CHECK(buffer.capacity() == 0 && buffer.length() == 0, "no storage but sizes set");
    return;
  }
  FUZZ_CHECK(buffer.length() >= 0 && buffer.length() <= buffer.capacity(),
             "length beyond capacity");
  FUZZ_CHECK(buffer.data()[buffer.capacity()] == '\0', "no NUL at capacity");
}

void checkExtract(const char* text, const char* start, const char* end, bool findLast) {
  TextBuffer value = extractBetween(text, start, end, findLast ? 1 : 0);
  const char* got = value.data();
  if (text == nullptr || start == nullptr || end == nullptr) {
    FUZZ_CHECK(got == nullptr, "value from a null argument");
    return;
  }
  std::string expected;
  bool found = modelExtract(text, start, end, findLast, &expected);
  FUZZ_CHECK(found == (got != nullptr), "extraction found / not found wrongly");
  if (got != nullptr) FUZZ_CHECK(expected == got, "extracted the wrong value");
}

void checkReplace(const std::string& text, const char* pattern, const char* replacement,
                  int32_t extraCapacity) {
  TextBuffer buffer;
  buffer.assign(text.c_str());
  if (extraCapacity > 0) buffer.reserve(buffer.capacity() + extraCapacity);
  int32_t capacityBefore = buffer.capacity();
  buffer.replaceAll(pattern, replacement);
  checkBuffer(buffer);
  std::string expected = modelReplace(text, pattern != nullptr ? pattern : "",
                                      replacement != nullptr ? replacement : "");
  if (buffer.data() == nullptr) {
    FUZZ_CHECK(text.empty(), "storage lost");
    return;
  }
  FUZZ_CHECK(expected == buffer.data(), "replaceAll gave the wrong text");
  FUZZ_CHECK(static_cast<size_t>(buffer.length()) == expected.size(), "replaceAll length wrong");
  FUZZ_CHECK(buffer.capacity() >= capacityBefore, "storage shrank");
}

void checkUrlRoundTrip(const std::string& text) {
  TextBuffer buffer;
  buffer.assign(text.c_str());
  buffer.urlEncode();
  checkBuffer(buffer);
  if (buffer.data() == nullptr) {
    FUZZ_CHECK(text.empty(), "encoding lost the text");
    return;
  }
  FUZZ_CHECK(static_cast<size_t>(buffer.length()) == strlen(buffer.data()), "encoded length wrong");
  FUZZ_CHECK(static_cast<size_t>(buffer.capacity()) == 3 * text.size(), "encoded capacity wrong");
  for (int32_t i = 0; i < buffer.length(); ++i) {
    char c = buffer.data()[i];
    FUZZ_CHECK(c == '%' || memchr(kEscapedSet, c, sizeof kEscapedSet - 1) != nullptr,
               "encoded text holds a character outside the escaped set");
  }
  buffer.urlDecode();
  checkBuffer(buffer);
  FUZZ_CHECK(text == buffer.data(), "decoding the encoded text did not give it back");
  FUZZ_CHECK(static_cast<size_t>(buffer.length()) == text.size(), "decoded length wrong");
}

void checkUrlDecode(const std::string& text) {
  TextBuffer buffer;
  buffer.assign(text.c_str());
  int32_t capacity = buffer.capacity();
  buffer.urlDecode();
  checkBuffer(buffer);
  FUZZ_CHECK(buffer.capacity() == capacity, "decoding changed the storage");
  FUZZ_CHECK(buffer.length() <= static_cast<int32_t>(text.size()), "decoding made the text longer");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietStandardOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input = bytesOf(data, size);
  std::vector<std::string> fields;
  size_t at = 0;
  while (fields.size() < 4 && at <= input.size()) {
    size_t nul = input.find('\0', at);
    if (nul == std::string::npos) {
      fields.push_back(input.substr(at));
      break;
    }
    fields.push_back(input.substr(at, nul - at));
    at = nul + 1;
  }
  const std::string& text = fields[0];
  const char* start = fields.size() > 1 ? fields[1].c_str() : nullptr;
  const char* end = fields.size() > 2 ? fields[2].c_str() : nullptr;
  unsigned flags =
      fields.size() > 3 && !fields[3].empty() ? static_cast<unsigned char>(fields[3][0]) : 0;
  setDisplayMode((flags & 1) ? "/D" : "/S");

  checkExtract(text.c_str(), start, end, false);
  checkExtract(text.c_str(), start, end, true);
  checkReplace(text, start, end, static_cast<int32_t>((flags >> 1) & 0x3F));
  checkUrlRoundTrip(text);
  checkUrlDecode(text);
  if (start != nullptr) checkUrlDecode(start);
  return 0;
}
