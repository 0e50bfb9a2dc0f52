// Well-formed UTF-8, as the escaping of network text and the JSON reader
// both judge it.
#ifndef QUORVANE_BASE_UTF8_H_
#define QUORVANE_BASE_UTF8_H_

#include <cstddef>

// The length of the well-formed UTF-8 sequence that starts the `length`
// bytes at `text` (2 to 4; no overlong forms, no surrogates, nothing above
// U+10FFFF), or 0 when the first byte starts none or the bytes end early.
// REQUIRES: length > 0.
size_t utf8SequenceLength(const unsigned char* text, size_t length);

#endif  // QUORVANE_BASE_UTF8_H_
