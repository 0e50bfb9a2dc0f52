// Extraction between markers, percent-encoding, replace-all and base64.
#include "text/text_transforms.h"

#include <cstdint>
#include <cstring>
#include <utility>

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

bool TextBuffer::urlEncode() {
  if (data_ == nullptr || data_[0] == '\0') return true;
  static const char kHex[] = "0123456789ABCDEF";
  size_t n = strlen(data_);
  size_t encodedLength = n;
  for (size_t r = 0; r < n; ++r) {
    if (setIndex(kPlainSet, data_[r]) < 0) encodedLength += 2;
  }
  const size_t limit = static_cast<size_t>(kMaxTextLength);
  if (encodedLength > limit) return false;
  // Room for every byte escaped, as long as a text can hold that much.
  TextBuffer encoded(static_cast<int32_t>(3 * n <= limit ? 3 * n : encodedLength));
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
  return true;
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

bool TextBuffer::replaceAll(const char* pattern, const char* replacement) {
  if (pattern == nullptr || pattern[0] == '\0' || data_ == nullptr || data_[0] == '\0') return true;
  if (replacement == nullptr) replacement = "";
  const size_t p = strlen(pattern);
  const size_t r = strlen(replacement);

  // The text ends at its first NUL. Each search looks for the pattern's
  // first byte and compares from there: no search measures or checks the
  // rest of the text again, so a text with a million matches is read once
  // (a search of the whole rest per match would make it quadratic).
  const size_t a = strlen(data_);
  auto find = [&](size_t from, size_t end) -> const char* {
    while (end - from >= p) {
      const char* at =
          static_cast<const char*>(memchr(data_ + from, pattern[0], end - from - p + 1));
      if (at == nullptr) return nullptr;
      if (memcmp(at, pattern, p) == 0) return at;
      from = static_cast<size_t>(at - data_) + 1;
    }
    return nullptr;
  };

  // Count first (non-overlapping, left to right): the new length is known
  // before any storage is taken.
  size_t k = 0;
  for (const char* hit = find(0, a); hit != nullptr;
       hit = find(static_cast<size_t>(hit - data_) + p, a)) {
    ++k;
  }
  if (k == 0) return true;
  const size_t limit = static_cast<size_t>(kMaxTextLength);
  // k * p <= a, and both lengths are below 2^32: no product overflows.
  const size_t result = a - k * p + k * r;
  if (result > limit) return false;
  const size_t size = a + k * (r > p ? r - p : p - r);
  // A shorter replacement rewrites the text in place, so its room need not
  // grow past what a text can hold.
  if (size <= limit) reserve(static_cast<int32_t>(size));

  // The text to read starts at `read`: in place when the text shrinks or
  // keeps its length; when it grows, moved to the end of the room, so that
  // writing from the start never overtakes reading (each replacement closes
  // the gap by r - p, and the gap is k * (r - p)).
  size_t read = 0;
  if (r > p) {
    read = result - a;
    memmove(data_ + read, data_, a);
    data_[result] = '\0';
  }
  const size_t readEnd = r > p ? result : a;
  size_t w = 0;
  for (size_t i = 0; i < k; ++i) {
    size_t hit = static_cast<size_t>(find(read, readEnd) - data_);
    memmove(data_ + w, data_ + read, hit - read);
    w += hit - read;
    memcpy(data_ + w, replacement, r);
    w += r;
    read = hit + p;
  }
  memmove(data_ + w, data_ + read, readEnd - read);
  data_[result] = '\0';
  length_ = static_cast<int32_t>(result);
  mayEndEarly_ = false;
  return true;
}

std::string base64Encode(const char* bytes, size_t length) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes);
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  for (size_t i = 0; i < length; i += 3) {
    size_t left = length - i;
    uint32_t group = static_cast<uint32_t>(in[i]) << 16;
    if (left > 1) group |= static_cast<uint32_t>(in[i + 1]) << 8;
    if (left > 2) group |= in[i + 2];
    out += kAlphabet[(group >> 18) & 0x3F];
    out += kAlphabet[(group >> 12) & 0x3F];
    out += left > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    out += left > 2 ? kAlphabet[group & 0x3F] : '=';
  }
  return out;
}
