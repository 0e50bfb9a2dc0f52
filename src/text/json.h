// Reading one value out of a JSON text (RFC 8259) by its path, such as
// "data.items[0].url". A pure reader over bytes: it checks the whole text
// in one pass and copies out the one value the path names; no document is
// built.
#ifndef QUORVANE_TEXT_JSON_H_
#define QUORVANE_TEXT_JSON_H_

#include <cstddef>
#include <string>

// Objects and arrays nested deeper than this (each is one level) make a
// text that is not read: the reader goes down one call per level, and no
// page a plugin reads comes near it.
const int kMaxJsonDepth = 512;

struct JsonLookup {
  enum Outcome {
    kFound,    // value holds what the path names
    kNotJson,  // the text is not one JSON value; failedAt says where
    kNoValue,  // the text is JSON, but the path names nothing in it
  };
  Outcome outcome = kNotJson;
  // kFound: a string's decoded text (jsonUnescape), a number's or a
  // literal's text, or an object's or array's text as written.
  std::string value;
  // kNotJson: the offset of the first byte that breaks the grammar (the
  // length of the text when it ends too early).
  size_t failedAt = 0;
};

// Looks up `path` in the `length` bytes at `text`, which must be exactly one
// JSON value with white space around it only: well-formed UTF-8 in its
// strings, no trailing commas, no leading zeros, nesting of at most
// kMaxJsonDepth. The path is member names and [N] indices: "a.b", "a[0].b",
// "[2]" (a name holds no "." and no "["); of two equal member names the
// first counts. An empty path gives the whole text as written; a path that
// does not follow that form names nothing.
JsonLookup findJsonValue(const char* text, size_t length, const char* path);

#endif  // QUORVANE_TEXT_JSON_H_
