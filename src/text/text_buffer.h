// TextBuffer: the one string type of Quorvane. An owned, growable,
// NUL-terminated block of characters with a capacity and a length.
//
// A buffer without storage (data == nullptr) holds no text at all; a buffer
// with storage and length 0 holds the empty text. Callers rely on the
// difference (a failed extraction versus an empty value).
//
// Storage allocated here has exactly capacity + 1 bytes and the byte at
// index capacity is NUL, so a scan for the terminator never runs past the
// end even when a writer (the response reader) filled the block directly.
// Storage is always allocated with new[] and freed with delete[]; heap strings
// handed out for adopt() (extractBetween, release, runAnalysis) come from the
// same allocator.
#ifndef QUORVANE_TEXT_TEXT_BUFFER_H_
#define QUORVANE_TEXT_TEXT_BUFFER_H_

#include <cstddef>
#include <cstdint>

// The longest text a buffer holds: its length and capacity are 32-bit, and
// the storage has one byte more for the terminator.
const int32_t kMaxTextLength = INT32_MAX - 1;

// Returns `n` as a text length. A text that would grow past kMaxTextLength
// cannot be kept: like an allocation that cannot be satisfied, it ends the
// program (a message on standard error, open streams flushed, abort).
int32_t checkedTextLength(size_t n);

class TextBuffer {
 public:
  TextBuffer() = default;
  // Reserves `capacity` characters; 0 or less leaves the buffer without storage.
  explicit TextBuffer(int32_t capacity);
  // Takes over the heap string `adopted` (may be null) without copying.
  explicit TextBuffer(char* adopted);
  virtual ~TextBuffer();

  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  // Makes the capacity at least n; exact growth, never shrinks. New bytes
  // beyond the copied old storage are NUL.
  void reserve(int32_t n);
  // Makes the content a copy of `text`. Null empties an existing text; "" on a
  // buffer without storage leaves it without storage; data itself changes
  // nothing. REQUIRES: text does not lie inside the storage unless == data.
  char* assign(const char* text);
  // Frees the current storage and takes `p` (a new[] string, may be null).
  char* adopt(char* p);
  // Appends up to three strings; stops at the first null or empty piece.
  // REQUIRES: no piece lies inside this buffer's storage.
  void append(const char* first, const char* second = nullptr, const char* third = nullptr);
  // Empties the content and keeps the storage.
  void clear();
  // Hands the storage (or null) to the caller and leaves the buffer without it.
  char* release();

  // Text transforms (text_transforms.cc). All three see the content only up
  // to its first NUL.
  // Replaces the content by its percent-encoded form, in new storage.
  void urlEncode();
  // Decodes percent-encoding and "+" in place.
  void urlDecode();
  // Replaces every non-overlapping occurrence of pattern; inserted text is
  // never searched again. Null/empty replacement deletes.
  // REQUIRES: pattern and replacement do not lie inside this buffer.
  void replaceAll(const char* pattern, const char* replacement);

  // True when the buffer has storage and a non-empty text.
  bool hasText() const { return data != nullptr && data[0] != '\0'; }

  char* data = nullptr;
  int32_t capacity = 0;
  int32_t length = 0;
};

#endif  // QUORVANE_TEXT_TEXT_BUFFER_H_
