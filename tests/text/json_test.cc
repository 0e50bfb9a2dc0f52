// The JSON reader's grammar and paths, as one table of texts.
#include "text/json.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const JsonLookup::Outcome kFound = JsonLookup::kFound, kNotJson = JsonLookup::kNotJson,
                          kNoValue = JsonLookup::kNoValue;

std::string nested(int levels, const char* inside) {
  return std::string(levels, '[') + inside + std::string(levels, ']');
}

TEST(Json, ReadsTheGrammarAndFollowsPaths) {
  struct Row {
    std::string text;
    const char* path;
    JsonLookup::Outcome outcome;
    const char* value;
  } rows[] = {
      {" {\"a\": {\"b\": [10, {\"c\": \"x\"}]}}\r\n", "a.b[1].c", kFound, "x"},
      {"[{\"u\": \"v\"}]", "[0].u", kFound, "v"},
      {"{\"a\": {\"b\" : [ 1 , 2 ] }}", "a", kFound, "{\"b\" : [ 1 , 2 ] }"},
      {"{\"n\": -0.5E+3, \"t\": true, \"z\": null}", "n", kFound, "-0.5E+3"},
      {"{\"\\u0061\": \"\\ud83d\\ude00\\u00e9\\/\"}", "a", kFound, "\xF0\x9F\x98\x80\xC3\xA9/"},
      {"{\"a\": 1}", "a.", kNoValue, ""},
      {"[1, 2]", "[2]", kNoValue, ""},
      {"{\"a\": 1,}", "a", kNotJson, ""},
      {"[01]", "[0]", kNotJson, ""},
      {"[\"a\tb\"]", "[0]", kNotJson, ""},
      {"[\"\\x\"]", "[0]", kNotJson, ""},
      {"[\"\\u12\"]", "[0]", kNotJson, ""},
      {"[\"\xC3\x28\"]", "[0]", kNotJson, ""},
      {"[\"\xED\xA0\x80\"]", "[0]", kNotJson, ""},  // an encoded surrogate
      {"[\"\xC0\xAF\"]", "[0]", kNotJson, ""},      // an overlong form
      {"\xEF\xBB\xBF[1]", "[0]", kNotJson, ""},
      {"", "", kNotJson, ""},
      {nested(512, "7"), "", kFound, nullptr},
      {nested(513, "7"), "", kNotJson, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text + " at " + row.path);
    JsonLookup lookup = findJsonValue(row.text.data(), row.text.size(), row.path);
    EXPECT_EQ(lookup.outcome, row.outcome);
    EXPECT_EQ(lookup.value, row.value != nullptr ? row.value : row.text);
  }
}

}  // namespace
