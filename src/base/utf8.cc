// Judging UTF-8 sequences.
#include "base/utf8.h"

size_t utf8SequenceLength(const unsigned char* text, size_t length) {
  const unsigned char c = text[0];
  size_t size;
  unsigned char secondLow = 0x80;
  unsigned char secondHigh = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    size = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    size = 3;
    if (c == 0xE0) secondLow = 0xA0;
    if (c == 0xED) secondHigh = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    size = 4;
    if (c == 0xF0) secondLow = 0x90;
    if (c == 0xF4) secondHigh = 0x8F;
  } else {
    return 0;
  }
  if (length < size || text[1] < secondLow || text[1] > secondHigh) return 0;
  for (size_t i = 2; i < size; ++i) {
    if (text[i] < 0x80 || text[i] > 0xBF) return 0;
  }
  return size;
}
