// TextBuffer: the one string type of Quorvane. An owned, growable,
// NUL-terminated block of characters with a capacity and a length.
//
// A buffer without storage (data() == nullptr) holds no text at all; a buffer
// with storage and length 0 holds the empty text. Callers rely on the
// difference (a failed extraction versus an empty value).
//
// The content is NUL-terminated at index length(), and the byte at index
// capacity() is NUL as well. The content may itself hold NUL bytes (received
// bytes, a decoded "%00"): length() then counts every byte, while the text
// as a C string ends at the first NUL. Writers fill the room after the text
// through tail() and commit(), which keep length and terminator right.
//
// The storage is one malloc block, grown with realloc so that a large text
// grows in place where the allocator can. capacity() is exactly what the
// operations below ask for; under it, appends grow the block geometrically,
// so that a text built piece by piece costs time in proportion to its
// length, not to its square.
//
// Texts move between buffers by move construction and assignment, without
// copying; functions that make a new text return a TextBuffer (one without
// storage for no text).
#ifndef QUORVANE_TEXT_TEXT_BUFFER_H_
#define QUORVANE_TEXT_TEXT_BUFFER_H_

#include <cstddef>
#include <cstdint>

// The longest text a buffer holds: its length and capacity are 32-bit, and
// the storage has one byte more for the terminator.
const int32_t kMaxTextLength = INT32_MAX - 1;

// Why a step failed whose text would grow past kMaxTextLength: the detail of
// its kUnknownError.
extern const char kTextTooLarge[];

// Returns `n` as a text length. For copies of texts that exist, which can
// never be longer than kMaxTextLength: a length past it is a fault in the
// program, and like an allocation that cannot be satisfied it ends the
// program (a message on standard error, open streams flushed, abort).
int32_t checkedTextLength(size_t n);

class TextBuffer {
 public:
  TextBuffer() = default;
  // Reserves `capacity` characters; 0 or less leaves the buffer without storage.
  explicit TextBuffer(int32_t capacity);
  ~TextBuffer();

  // Moving hands the storage over without copying and leaves the source
  // without storage.
  TextBuffer(TextBuffer&& other) noexcept;
  TextBuffer& operator=(TextBuffer&& other) noexcept;
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  // The text, or null when the buffer has no storage.
  const char* data() const { return data_; }
  // The content's size in bytes (NUL bytes inside it included).
  int32_t length() const { return length_; }
  // How many characters the storage holds before its final NUL.
  int32_t capacity() const { return capacity_; }
  // The storage, for changing characters of the text in place (a script
  // line is cut up where it lies). Such edits stay within the text and do
  // not change length(); a NUL written into the text ends it early for
  // every reader that goes by the terminator.
  char* mutableData() {
    mayEndEarly_ = true;
    return data_;
  }

  // Makes the capacity at least n; exact growth, never shrinks. New bytes
  // beyond the copied old storage are NUL.
  void reserve(int32_t n);
  // Makes the capacity at least n for a writer that fills the room through
  // tail() and commit(): like reserve, but the new room is left as the
  // allocator gives it (only the byte at the new capacity is set to NUL), so
  // a large receive buffer takes memory as it fills, not as it grows.
  void reserveTail(int32_t n);
  // The room after the text for a writer: returns where it begins and sets
  // *room to the number of bytes that may be written there (capacity minus
  // length). Null and 0 for a buffer without storage.
  char* tail(int32_t* room);
  // Adds the first n bytes written at tail() to the content and terminates
  // it. REQUIRES: 0 <= n <= the room tail() reported.
  void commit(int32_t n);
  // Shortens the content to its first n bytes and terminates it there.
  // REQUIRES: 0 <= n <= length().
  void truncate(int32_t n);
  // Makes the content a copy of `text`. Null empties an existing text; "" on a
  // buffer without storage leaves it without storage; data itself changes
  // nothing. REQUIRES: text does not lie inside the storage unless == data.
  const char* assign(const char* text);
  // Makes the content a copy of the n bytes at `bytes` (NUL bytes included);
  // n == 0 on a buffer without storage leaves it without storage.
  // REQUIRES: the bytes do not lie inside the storage.
  void assign(const char* bytes, size_t n);
  // Appends up to three strings; stops at the first null or empty piece.
  // Each goes to the end of the text as it reads (its first NUL), and length
  // becomes that of the resulting text. Returns false, changing nothing,
  // when the text would grow past kMaxTextLength (callers whose pieces are
  // bounded need not look).
  // REQUIRES: no piece lies inside this buffer's storage.
  bool append(const char* first, const char* second = nullptr, const char* third = nullptr);
  // Empties the content and keeps the storage.
  void clear();

  // Text transforms (text_transforms.cc). All three see the content only up
  // to its first NUL. The two that may grow the text work out its new
  // length before they take any storage, and return false, changing
  // nothing, when it would be longer than kMaxTextLength.
  // Replaces the content by its percent-encoded form, in new storage.
  bool urlEncode();
  // Decodes percent-encoding and "+" in place.
  void urlDecode();
  // Replaces every non-overlapping occurrence of pattern; inserted text is
  // never searched again. Null/empty replacement deletes.
  // REQUIRES: pattern and replacement do not lie inside this buffer.
  bool replaceAll(const char* pattern, const char* replacement);

  // True when the buffer has storage and a non-empty text.
  bool hasText() const { return data_ != nullptr && data_[0] != '\0'; }

 private:
  // Gives the block room for a capacity of n, growing it to `blockSize`
  // bytes (at least n + 1) when it is smaller. Capacity and content stay.
  void growBlock(int32_t n, size_t blockSize);

  char* data_ = nullptr;
  int32_t capacity_ = 0;
  int32_t length_ = 0;
  // Bytes in the block: capacity_ + 1, or more after appends.
  size_t blockSize_ = 0;
  // Whether the text may end at a NUL before length_ (NUL bytes committed or
  // decoded, in-place edits); append() then finds its end with strlen.
  bool mayEndEarly_ = false;
};

#endif  // QUORVANE_TEXT_TEXT_BUFFER_H_
