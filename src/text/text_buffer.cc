// TextBuffer storage management: growth (exact for reserve, geometric
// underneath for appends), copies, moves and the writer's tail.
#include "text/text_buffer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Bytes in a block for the longest text and its terminator.
const size_t kMaxBlockSize = static_cast<size_t>(kMaxTextLength) + 1;

// Resizes `block` (may be null) to `size` bytes, keeping its content. An
// allocation that cannot be satisfied ends the program.
char* resizeBlock(char* block, size_t size) {
  void* resized = realloc(block, size);
  if (resized == nullptr) {
    fflush(nullptr);
    fprintf(stderr, "quorvane: out of memory: cannot allocate %zu bytes for a text\n", size);
    abort();
  }
  return static_cast<char*>(resized);
}

}  // namespace

const char kTextTooLarge[] = "text too large (more than 2 GiB)";

int32_t checkedTextLength(size_t n) {
  if (n <= static_cast<size_t>(kMaxTextLength)) return static_cast<int32_t>(n);
  fflush(nullptr);
  fputs("quorvane: out of memory: a text would grow past 2 GiB\n", stderr);
  abort();
}

TextBuffer::TextBuffer(int32_t n) {
  reserve(n);
}

TextBuffer::~TextBuffer() {
  free(data_);
}

TextBuffer::TextBuffer(TextBuffer&& other) noexcept
    : data_(other.data_),
      capacity_(other.capacity_),
      length_(other.length_),
      blockSize_(other.blockSize_),
      mayEndEarly_(other.mayEndEarly_) {
  other.data_ = nullptr;
  other.capacity_ = other.length_ = 0;
  other.blockSize_ = 0;
  other.mayEndEarly_ = false;
}

TextBuffer& TextBuffer::operator=(TextBuffer&& other) noexcept {
  if (this != &other) {
    free(data_);
    data_ = other.data_;
    capacity_ = other.capacity_;
    length_ = other.length_;
    blockSize_ = other.blockSize_;
    mayEndEarly_ = other.mayEndEarly_;
    other.data_ = nullptr;
    other.capacity_ = other.length_ = 0;
    other.blockSize_ = 0;
    other.mayEndEarly_ = false;
  }
  return *this;
}

void TextBuffer::growBlock(int32_t n, size_t blockSize) {
  if (blockSize_ >= static_cast<size_t>(n) + 1) return;
  data_ = resizeBlock(data_, blockSize);
  blockSize_ = blockSize;
}

void TextBuffer::reserve(int32_t n) {
  if (capacity_ >= n) return;
  size_t kept = data_ != nullptr ? static_cast<size_t>(capacity_) + 1 : 0;
  growBlock(n, static_cast<size_t>(n) + 1);
  memset(data_ + kept, 0, static_cast<size_t>(n) + 1 - kept);
  capacity_ = n;
}

void TextBuffer::reserveTail(int32_t n) {
  if (capacity_ >= n) return;
  bool hadStorage = data_ != nullptr;
  growBlock(n, static_cast<size_t>(n) + 1);
  if (!hadStorage) data_[0] = '\0';
  data_[n] = '\0';
  capacity_ = n;
}

const char* TextBuffer::assign(const char* text) {
  if (text == nullptr) {
    if (data_ != nullptr) {
      data_[0] = '\0';
      length_ = 0;
      mayEndEarly_ = false;
    }
    return data_;
  }
  if (text == data_) return data_;
  assign(text, strlen(text));
  return data_;
}

void TextBuffer::assign(const char* bytes, size_t n) {
  length_ = checkedTextLength(n);
  reserve(length_);
  if (data_ == nullptr) return;
  memcpy(data_, bytes, n);
  data_[n] = '\0';
  mayEndEarly_ = memchr(bytes, '\0', n) != nullptr;
}

bool TextBuffer::append(const char* first, const char* second, const char* third) {
  const char* pieces[3] = {first, second, third};
  size_t lengths[3] = {0, 0, 0};
  size_t count = 0;
  size_t added = 0;
  for (const char* piece : pieces) {
    if (piece == nullptr || piece[0] == '\0') break;
    lengths[count] = strlen(piece);
    added += lengths[count++];
  }
  // The copy goes to the end of the text as it reads, which is length_
  // unless a NUL may end it earlier.
  size_t end = mayEndEarly_ && data_ != nullptr ? strlen(data_) : static_cast<size_t>(length_);
  if (added > static_cast<size_t>(kMaxTextLength) - end) return false;
  for (size_t i = 0; i < count; ++i) {
    int32_t total = static_cast<int32_t>(end + lengths[i]);
    if (total > capacity_) {
      // The piece and its terminator cover every byte beyond the old
      // capacity, up to the new one.
      size_t doubled = blockSize_ < kMaxBlockSize / 2 ? 2 * blockSize_ : kMaxBlockSize;
      size_t needed = static_cast<size_t>(total) + 1;
      growBlock(total, doubled > needed ? doubled : needed);
      capacity_ = total;
    }
    memcpy(data_ + end, pieces[i], lengths[i] + 1);
    length_ = total;
    end = static_cast<size_t>(total);
    mayEndEarly_ = false;
  }
  return true;
}

void TextBuffer::clear() {
  if (data_ != nullptr) {
    data_[0] = '\0';
    data_[capacity_] = '\0';
  }
  length_ = 0;
  mayEndEarly_ = false;
}

char* TextBuffer::tail(int32_t* room) {
  *room = capacity_ - length_;
  return data_ != nullptr ? data_ + length_ : nullptr;
}

void TextBuffer::commit(int32_t n) {
  if (data_ == nullptr) return;
  if (memchr(data_ + length_, '\0', static_cast<size_t>(n)) != nullptr) mayEndEarly_ = true;
  length_ += n;
  data_[length_] = '\0';
}

void TextBuffer::truncate(int32_t n) {
  if (data_ == nullptr) return;
  length_ = n;
  data_[length_] = '\0';
}
