// The JSON string and HTML reference decoders.
#include "text/unescape.h"

#include <cstring>

namespace {

const uint32_t kReplacementCharacter = 0xFFFD;
const uint32_t kLastCodePoint = 0x10FFFF;
const uint32_t kFirstHighSurrogate = 0xD800;
const uint32_t kFirstLowSurrogate = 0xDC00;
const uint32_t kLastSurrogate = 0xDFFF;
// "\uXXXX": a backslash, "u" and four hexadecimal digits.
const size_t kUnicodeEscapeLength = 6;

bool isSurrogate(uint32_t value) {
  return value >= kFirstHighSurrogate && value <= kLastSurrogate;
}

// The value of hexadecimal digit `c`, or -1.
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads "\uXXXX" at `at` (with `left` bytes there) into *value.
bool unicodeEscape(const char* at, size_t left, uint32_t* value) {
  if (left < kUnicodeEscapeLength || at[0] != '\\' || at[1] != 'u') return false;
  uint32_t result = 0;
  for (size_t i = 2; i < kUnicodeEscapeLength; ++i) {
    int digit = hexValue(at[i]);
    if (digit < 0) return false;
    result = result * 16 + static_cast<uint32_t>(digit);
  }
  *value = result;
  return true;
}

// The character of the one-letter escape after a "\", or 0 for none.
char simpleEscape(char letter) {
  switch (letter) {
    case '"':
      return '"';
    case '\\':
      return '\\';
    case '/':
      return '/';
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return 0;
  }
}

struct NamedReference {
  const char* name;  // with its ";"
  uint32_t codePoint;
};

const NamedReference kNamedReferences[] = {
    {"amp;", '&'}, {"lt;", '<'}, {"gt;", '>'}, {"quot;", '"'}, {"apos;", '\''}, {"nbsp;", 0xA0},
};

// Reads the numeric reference "&#N;" or "&#xN;" at `at` (with `left` bytes
// there). Returns its length and sets *value, or returns 0 when it is not
// one or names no character that may stand in a text.
size_t numericReference(const char* at, size_t left, uint32_t* value) {
  size_t i = 2;
  if (left < 4 || at[1] != '#') return 0;
  const bool hex = at[i] == 'x' || at[i] == 'X';
  if (hex) ++i;
  const size_t firstDigit = i;
  uint32_t result = 0;
  for (; i < left; ++i) {
    int digit = hex ? hexValue(at[i]) : (at[i] >= '0' && at[i] <= '9' ? at[i] - '0' : -1);
    if (digit < 0) break;
    // Past the last code point it stays past it, however many digits follow.
    result =
        result > kLastCodePoint ? result : result * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
  }
  if (i == firstDigit || i >= left || at[i] != ';') return 0;
  if (result == 0 || result > kLastCodePoint || isSurrogate(result)) return 0;
  *value = result;
  return i + 1;
}

}  // namespace

void appendUtf8(std::string& out, uint32_t codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

std::string jsonUnescape(const char* text, size_t length) {
  std::string out;
  out.reserve(length);
  size_t i = 0;
  while (i < length) {
    if (text[i] != '\\' || i + 1 == length) {
      out += text[i++];
      continue;
    }
    char simple = simpleEscape(text[i + 1]);
    if (simple != 0) {
      out += simple;
      i += 2;
      continue;
    }
    uint32_t unit = 0;
    if (!unicodeEscape(text + i, length - i, &unit) || unit == 0) {
      // Kept as it is: the "\" and the letter; what follows is read anew.
      out.append(text + i, 2);
      i += 2;
      continue;
    }
    i += kUnicodeEscapeLength;
    uint32_t low = 0;
    if (unit >= kFirstHighSurrogate && unit < kFirstLowSurrogate &&
        unicodeEscape(text + i, length - i, &low) && low >= kFirstLowSurrogate &&
        low <= kLastSurrogate) {
      unit = 0x10000 + ((unit - kFirstHighSurrogate) << 10) + (low - kFirstLowSurrogate);
      i += kUnicodeEscapeLength;
    } else if (isSurrogate(unit)) {
      unit = kReplacementCharacter;
    }
    appendUtf8(out, unit);
  }
  return out;
}

std::string htmlUnescape(const char* text, size_t length) {
  std::string out;
  out.reserve(length);
  size_t i = 0;
  while (i < length) {
    if (text[i] != '&') {
      out += text[i++];
      continue;
    }
    const char* at = text + i;
    const size_t left = length - i;
    uint32_t value = 0;
    size_t used = numericReference(at, left, &value);
    for (const NamedReference& named : kNamedReferences) {
      size_t nameLength = strlen(named.name);
      if (used == 0 && left > nameLength && memcmp(at + 1, named.name, nameLength) == 0) {
        used = nameLength + 1;
        value = named.codePoint;
      }
    }
    if (used == 0) {
      out += text[i++];
      continue;
    }
    appendUtf8(out, value);
    i += used;
  }
  return out;
}
