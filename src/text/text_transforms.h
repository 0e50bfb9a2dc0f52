// Text transforms: cutting a value out between two markers, and base64. The buffer
// transforms (urlEncode, urlDecode, replaceAll) are members of TextBuffer and
// live in text_transforms.cc beside this one.
#ifndef QUORVANE_TEXT_TEXT_TRANSFORMS_H_
#define QUORVANE_TEXT_TEXT_TRANSFORMS_H_

#include <cstddef>
#include <string>

#include "text/text_buffer.h"

// Returns a copy of the text after `startMarker` up to the next
// `endMarker`, or a buffer without storage when any argument is null, a
// marker is not found or the value is empty. An empty start marker means the beginning of the text,
// an empty end marker its end. With findLast non-zero the rightmost
// (possibly overlapping) occurrence of the start marker is used. Traces its
// progress with the diagnostic kTrace (verbose mode only).
// The steps of an extraction that the verbose trace shows.
enum ExtractionStep {
  kExtractionStarted,     // "key:START...END"
  kExtractionStartFound,  // "keystart foud."
  kExtractionEndFound,    // "keyend foud."
};

// Prints the trace line of `step` with the diagnostic kTrace (verbose mode
// only); the markers are printed for kExtractionStarted only.
// REQUIRES: for kExtractionStarted, both markers are not null.
void traceExtraction(ExtractionStep step, const char* startMarker = nullptr,
                     const char* endMarker = nullptr);

TextBuffer extractBetween(const char* text, const char* startMarker, const char* endMarker,
                          int findLast);

// The `length` bytes at `bytes` in base64 (RFC 4648, with "=" padding).
std::string base64Encode(const char* bytes, size_t length);

#endif  // QUORVANE_TEXT_TEXT_TRANSFORMS_H_
