// The JSON reader: a recursive descent over the grammar of RFC 8259 that
// follows the path while it checks the text.
#include "text/json.h"

#include <cstring>
#include <utility>
#include <vector>

#include "base/utf8.h"
#include "text/unescape.h"

namespace {

// An index beyond this is in no array: a text holds fewer elements than
// bytes, and a text is at most 2 GiB.
const size_t kMaxIndex = 1u << 31;

// One step of a path: a member name or an array index.
struct PathStep {
  bool isIndex = false;
  size_t index = 0;
  std::string name;
};

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Splits `path` into its steps; false when it does not follow the form.
bool parsePath(const char* path, std::vector<PathStep>* steps) {
  const char* p = path;
  while (*p != '\0') {
    PathStep step;
    if (*p == '[') {
      ++p;
      if (!isDigit(*p)) return false;
      for (; isDigit(*p); ++p) {
        step.index = step.index * 10 + static_cast<size_t>(*p - '0');
        if (step.index > kMaxIndex) return false;
      }
      if (*p != ']') return false;
      ++p;
      step.isIndex = true;
    } else {
      // A name starts the path or follows a ".".
      if (!steps->empty()) {
        if (*p != '.') return false;
        ++p;
      }
      size_t length = strcspn(p, ".[");
      if (length == 0) return false;
      step.name.assign(p, length);
      p += length;
    }
    steps->push_back(std::move(step));
  }
  return true;
}

class JsonReader {
 public:
  JsonReader(const char* text, size_t length, const std::vector<PathStep>& path)
      : begin_(text), at_(text), end_(text + length), path_(path) {}
  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  // Reads the whole text: one value with white space around it.
  bool readText() {
    skipSpace();
    if (!readValue(0, 0, true)) return false;
    skipSpace();
    return at_ == end_ || fail();
  }

  size_t failedAt() const { return failedAt_; }
  // The value the path named, or null; a string's begins with its quote.
  const char* foundBegin() const { return foundBegin_; }
  const char* foundEnd() const { return foundEnd_; }

 private:
  bool fail() {
    failedAt_ = static_cast<size_t>(at_ - begin_);
    return false;
  }
  bool next(char c) const { return at_ < end_ && *at_ == c; }
  void skipSpace() {
    while (at_ < end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
  }

  // One value, inside `depth` objects and arrays. `matched` steps of the
  // path led here when `onPath`; the value is the one looked for when they
  // are all of it.
  bool readValue(int depth, size_t matched, bool onPath) {
    if (at_ == end_) return fail();
    const char* start = at_;
    const bool wanted = onPath && matched == path_.size();
    const bool follow = onPath && !wanted;
    bool read = false;
    switch (*at_) {
      case '{':
        read = readObject(depth + 1, matched, follow);
        break;
      case '[':
        read = readArray(depth + 1, matched, follow);
        break;
      case '"':
        read = readString();
        break;
      case 't':
        read = readLiteral("true");
        break;
      case 'f':
        read = readLiteral("false");
        break;
      case 'n':
        read = readLiteral("null");
        break;
      default:
        read = readNumber();
        break;
    }
    if (read && wanted) {
      foundBegin_ = start;
      foundEnd_ = at_;
    }
    return read;
  }

  // The step the members or elements of a container take, when it is on
  // the path: null when the path goes no further or takes the other kind.
  const PathStep* stepInto(size_t matched, bool onPath, bool index) const {
    if (!onPath || matched >= path_.size() || path_[matched].isIndex != index) return nullptr;
    return &path_[matched];
  }

  bool readObject(int depth, size_t matched, bool onPath) {
    if (depth > kMaxJsonDepth) return fail();
    ++at_;
    skipSpace();
    if (next('}')) {
      ++at_;
      return true;
    }
    const PathStep* step = stepInto(matched, onPath, false);
    for (;;) {
      if (!next('"')) return fail();
      const char* name = at_ + 1;
      if (!readString()) return false;
      // Of two equal names, the first counts.
      bool follow = step != nullptr && nameIs(name, at_ - 1, step->name);
      if (follow) step = nullptr;
      skipSpace();
      if (!next(':')) return fail();
      ++at_;
      skipSpace();
      if (!readValue(depth, matched + 1, follow)) return false;
      skipSpace();
      if (next('}')) {
        ++at_;
        return true;
      }
      if (!next(',')) return fail();
      ++at_;
      skipSpace();
    }
  }

  bool readArray(int depth, size_t matched, bool onPath) {
    if (depth > kMaxJsonDepth) return fail();
    ++at_;
    skipSpace();
    if (next(']')) {
      ++at_;
      return true;
    }
    const PathStep* step = stepInto(matched, onPath, true);
    for (size_t index = 0;; ++index) {
      bool follow = step != nullptr && step->index == index;
      if (!readValue(depth, matched + 1, follow)) return false;
      skipSpace();
      if (next(']')) {
        ++at_;
        return true;
      }
      if (!next(',')) return fail();
      ++at_;
      skipSpace();
    }
  }

  // Whether the member name between `begin` and `end` (inside its quotes,
  // checked) decodes to `name`.
  static bool nameIs(const char* begin, const char* end, const std::string& name) {
    size_t length = static_cast<size_t>(end - begin);
    if (memchr(begin, '\\', length) == nullptr) {
      return length == name.size() && memcmp(begin, name.data(), length) == 0;
    }
    return jsonUnescape(begin, length) == name;
  }

  bool readString() {
    ++at_;
    while (at_ < end_) {
      unsigned char c = static_cast<unsigned char>(*at_);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c < 0x20) return fail();
      if (c == '\\') {
        if (!readEscape()) return false;
      } else if (c >= 0x80) {
        size_t length = utf8SequenceLength(reinterpret_cast<const unsigned char*>(at_),
                                           static_cast<size_t>(end_ - at_));
        if (length == 0) return fail();
        at_ += length;
      } else {
        ++at_;
      }
    }
    return fail();
  }

  // The escape at the "\" where the reader is.
  bool readEscape() {
    ++at_;
    if (at_ == end_) return fail();
    if (strchr("\"\\/bfnrt", *at_) != nullptr && *at_ != '\0') {
      ++at_;
      return true;
    }
    if (*at_ != 'u') return fail();
    ++at_;
    for (int i = 0; i < 4; ++i, ++at_) {
      if (at_ == end_ || strchr("0123456789abcdefABCDEF", *at_) == nullptr || *at_ == '\0')
        return fail();
    }
    return true;
  }

  bool readLiteral(const char* literal) {
    size_t length = strlen(literal);
    for (size_t i = 0; i < length; ++i, ++at_) {
      if (at_ == end_ || *at_ != literal[i]) return fail();
    }
    return true;
  }

  // Digits; false when there is none.
  bool readDigits() {
    if (at_ == end_ || !isDigit(*at_)) return fail();
    while (at_ < end_ && isDigit(*at_)) ++at_;
    return true;
  }

  bool readNumber() {
    if (next('-')) ++at_;
    if (next('0')) {
      ++at_;
    } else if (!readDigits()) {
      return false;
    }
    if (next('.')) {
      ++at_;
      if (!readDigits()) return false;
    }
    if (next('e') || next('E')) {
      ++at_;
      if (next('+') || next('-')) ++at_;
      if (!readDigits()) return false;
    }
    return true;
  }

  const char* const begin_;
  const char* at_;
  const char* const end_;
  const std::vector<PathStep>& path_;
  size_t failedAt_ = 0;
  const char* foundBegin_ = nullptr;
  const char* foundEnd_ = nullptr;
};

}  // namespace

JsonLookup findJsonValue(const char* text, size_t length, const char* path) {
  JsonLookup lookup;
  if (text == nullptr) length = 0;
  std::vector<PathStep> steps;
  bool pathUsable = parsePath(path != nullptr ? path : "", &steps);
  JsonReader reader(text != nullptr ? text : "", length, steps);
  if (!reader.readText()) {
    lookup.failedAt = reader.failedAt();
    return lookup;
  }
  lookup.outcome = JsonLookup::kNoValue;
  if (path == nullptr || path[0] == '\0') {
    lookup.outcome = JsonLookup::kFound;
    lookup.value.assign(text, length);
    return lookup;
  }
  const char* begin = reader.foundBegin();
  if (!pathUsable || begin == nullptr) return lookup;
  lookup.outcome = JsonLookup::kFound;
  const char* end = reader.foundEnd();
  if (*begin == '"') {
    lookup.value = jsonUnescape(begin + 1, static_cast<size_t>(end - begin) - 2);
  } else {
    lookup.value.assign(begin, static_cast<size_t>(end - begin));
  }
  return lookup;
}
