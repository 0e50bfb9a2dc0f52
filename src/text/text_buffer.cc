// TextBuffer storage management: exact growth, copies, moves and the writer's
// tail.
#include "text/text_buffer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
  delete[] data_;
}

TextBuffer::TextBuffer(TextBuffer&& other) noexcept
    : data_(other.data_), capacity_(other.capacity_), length_(other.length_) {
  other.data_ = nullptr;
  other.capacity_ = other.length_ = 0;
}

TextBuffer& TextBuffer::operator=(TextBuffer&& other) noexcept {
  if (this != &other) {
    delete[] data_;
    data_ = other.data_;
    capacity_ = other.capacity_;
    length_ = other.length_;
    other.data_ = nullptr;
    other.capacity_ = other.length_ = 0;
  }
  return *this;
}

void TextBuffer::reserve(int32_t n) {
  if (capacity_ >= n) return;
  char* block = new char[static_cast<size_t>(n) + 1];
  size_t kept = 0;
  if (data_ != nullptr) {
    kept = static_cast<size_t>(capacity_) + 1;
    memcpy(block, data_, kept);
    delete[] data_;
  }
  memset(block + kept, 0, static_cast<size_t>(n) + 1 - kept);
  data_ = block;
  capacity_ = n;
}

const char* TextBuffer::assign(const char* text) {
  if (text == nullptr) {
    if (data_ != nullptr) {
      data_[0] = '\0';
      length_ = 0;
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
}

void TextBuffer::append(const char* first, const char* second, const char* third) {
  const char* pieces[3] = {first, second, third};
  for (const char* piece : pieces) {
    if (piece == nullptr || piece[0] == '\0') return;
    size_t k = strlen(piece);
    // The text as it reads may end before length_ (a decoded "%00", an
    // in-place edit); the copy goes to its first NUL.
    size_t end = data_ ? strlen(data_) : 0;
    int32_t total = checkedTextLength(end + k);
    reserve(total);
    memcpy(data_ + end, piece, k + 1);
    length_ = total;
  }
}

void TextBuffer::clear() {
  if (data_ != nullptr) {
    data_[0] = '\0';
    data_[capacity_] = '\0';
  }
  length_ = 0;
}

char* TextBuffer::tail(int32_t* room) {
  *room = capacity_ - length_;
  return data_ != nullptr ? data_ + length_ : nullptr;
}

void TextBuffer::commit(int32_t n) {
  if (data_ == nullptr) return;
  length_ += n;
  data_[length_] = '\0';
}

void TextBuffer::truncate(int32_t n) {
  if (data_ == nullptr) return;
  length_ = n;
  data_[length_] = '\0';
}
