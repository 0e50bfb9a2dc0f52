// Extraction between markers, percent-encoding and replace-all.
#include "text/text_transforms.h"

#include <cstring>
#include <utility>
#include <vector>

#include "base/messages.h"
#include "text/text_buffer.h"

namespace {

// Parallel tables: a character of the plain set is written as the character
// at the same index of the escaped set. Only the space and "+" differ.
const char kPlainSet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz*-._@ ";
const char kEscapedSet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz*-._@+";
const int kSetSize = 68;
static_assert(sizeof(kPlainSet) == kSetSize + 1, "plain set has 68 members");
static_assert(sizeof(kEscapedSet) == kSetSize + 1, "escaped set has 68 members");

// Index of byte c in a 68-character set, or -1. The terminator is no member.
int setIndex(const char* set, char c) {
  if (c == '\0') return -1;
  const void* hit = memchr(set, c, kSetSize);
  return hit ? static_cast<int>(static_cast<const char*>(hit) - set) : -1;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

}  // namespace

void traceExtraction(ExtractionStep step, const char* startMarker, const char* endMarker) {
  switch (step) {
    case kExtractionStarted:
      report(kTrace, "key:");
      report(kTrace, startMarker);
      report(kTrace, "...");
      report(kTrace, endMarker);
      report(kTrace, "\n");
      break;
    case kExtractionStartFound:
      report(kTrace, "keystart foud.\n");
      break;
    case kExtractionEndFound:
      report(kTrace, "keyend foud.\n");
      break;
  }
}

TextBuffer extractBetween(const char* text, const char* startMarker, const char* endMarker,
                          int findLast) {
  TextBuffer value;
  if (text == nullptr || startMarker == nullptr || endMarker == nullptr) return value;
  traceExtraction(kExtractionStarted, startMarker, endMarker);

  const char* valueStart = text;
  if (startMarker[0] != '\0') {
    const char* hit = strstr(text, startMarker);
    if (hit == nullptr) return value;
    if (findLast) {
      for (const char* next = strstr(hit + 1, startMarker); next != nullptr;
           next = strstr(next + 1, startMarker)) {
        hit = next;
      }
    }
    valueStart = hit + strlen(startMarker);
  }
  traceExtraction(kExtractionStartFound);

  const char* valueEnd;
  if (endMarker[0] == '\0') {
    valueEnd = valueStart + strlen(valueStart);
  } else {
    valueEnd = strstr(valueStart, endMarker);
    if (valueEnd == nullptr) return value;
  }
  if (valueEnd == valueStart) return value;
  traceExtraction(kExtractionEndFound);

  value.assign(valueStart, static_cast<size_t>(valueEnd - valueStart));
  return value;
}

void TextBuffer::urlEncode() {
  if (data_ == nullptr || data_[0] == '\0') return;
  static const char kHex[] = "0123456789ABCDEF";
  size_t n = strlen(data_);
  TextBuffer encoded(checkedTextLength(3 * n));
  int32_t room = 0;
  char* out = encoded.tail(&room);
  size_t w = 0;
  for (size_t r = 0; r < n; ++r) {
    char c = data_[r];
    int i = setIndex(kPlainSet, c);
    if (i >= 0) {
      out[w++] = kEscapedSet[i];
    } else {
      unsigned char u = static_cast<unsigned char>(c);
      out[w++] = '%';
      out[w++] = kHex[u >> 4];
      out[w++] = kHex[u & 15];
    }
  }
  encoded.commit(static_cast<int32_t>(w));
  *this = std::move(encoded);
}

void TextBuffer::urlDecode() {
  if (data_ == nullptr) return;
  size_t n = strlen(data_);
  size_t r = 0;
  size_t w = 0;
  while (r < n) {
    char c = data_[r];
    int i = setIndex(kEscapedSet, c);
    if (i >= 0) {
      data_[w] = kPlainSet[i];
    } else if (c == '%') {
      // A "%" that is the last character stays as it is and ends decoding;
      // nothing beyond the terminator is read.
      if (r + 1 >= n) {
        data_[w++] = '%';
        break;
      }
      // With one digit left, the terminator is the second digit (worth 0).
      char high = data_[r + 1];
      char low = data_[r + 2];
      data_[w] = static_cast<char>(hexValue(high) * 16 + hexValue(low));
      r += 2;
    } else {
      data_[w] = c;
    }
    ++r;
    ++w;
  }
  data_[w] = '\0';
  length_ = static_cast<int32_t>(w);
  mayEndEarly_ = memchr(data_, '\0', w) != nullptr;
}

void TextBuffer::replaceAll(const char* pattern, const char* replacement) {
  if (pattern == nullptr || pattern[0] == '\0' || data_ == nullptr || data_[0] == '\0') return;
  if (replacement == nullptr) replacement = "";
  size_t p = strlen(pattern);
  size_t r = strlen(replacement);

  // Count first (non-overlapping, left to right), remembering where each
  // occurrence starts so the rewrite below is one linear pass.
  std::vector<size_t> hits;
  for (const char* hit = strstr(data_, pattern); hit != nullptr; hit = strstr(hit + p, pattern)) {
    hits.push_back(static_cast<size_t>(hit - data_));
  }
  if (hits.empty()) return;

  size_t a = strlen(data_);
  size_t k = hits.size();
  size_t size = a + k * (r > p ? r - p : p - r);
  // A shorter replacement rewrites the text in place, so its room need not
  // grow past what a text can hold; a longer one must fit.
  if (r > p || size <= static_cast<size_t>(kMaxTextLength)) {
    int32_t checkedSize = checkedTextLength(size);
    reserve(checkedSize);
  }

  size_t result = a - k * p + k * r;
  if (r <= p) {
    // Shrinking or equal: the write position never passes the read position.
    size_t w = hits[0];
    for (size_t i = 0; i < k; ++i) {
      memcpy(data_ + w, replacement, r);
      w += r;
      size_t from = hits[i] + p;
      size_t to = (i + 1 < k) ? hits[i + 1] : a;
      memmove(data_ + w, data_ + from, to - from);
      w += to - from;
    }
  } else {
    // Growing: fill from the end so no byte is overwritten before it moved.
    size_t w = result;
    size_t readEnd = a;
    for (size_t i = k; i-- > 0;) {
      size_t from = hits[i] + p;
      size_t span = readEnd - from;
      w -= span;
      memmove(data_ + w, data_ + from, span);
      w -= r;
      memcpy(data_ + w, replacement, r);
      readEnd = hits[i];
    }
  }
  data_[result] = '\0';
  length_ = static_cast<int32_t>(result);
  mayEndEarly_ = false;
}
