// TextBuffer storage management: exact growth, adoption and release.
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

TextBuffer::TextBuffer(int32_t n) { reserve(n); }

TextBuffer::TextBuffer(char* adopted) { adopt(adopted); }

TextBuffer::~TextBuffer() { delete[] data; }

void TextBuffer::reserve(int32_t n) {
  if (capacity >= n) return;
  char* block = new char[static_cast<size_t>(n) + 1];
  size_t kept = 0;
  if (data != nullptr) {
    kept = static_cast<size_t>(capacity) + 1;
    memcpy(block, data, kept);
    delete[] data;
  }
  memset(block + kept, 0, static_cast<size_t>(n) + 1 - kept);
  data = block;
  capacity = n;
}

char* TextBuffer::assign(const char* text) {
  if (text == nullptr) {
    if (data != nullptr) {
      data[0] = '\0';
      length = 0;
    }
    return data;
  }
  if (text == data) return data;
  size_t k = strlen(text);
  length = checkedTextLength(k);
  reserve(length);
  if (k > 0) {
    memcpy(data, text, k + 1);
  } else if (data != nullptr) {
    data[0] = '\0';
  }
  return data;
}

char* TextBuffer::adopt(char* p) {
  if (p == data) return data;
  delete[] data;
  data = p;
  capacity = length = p ? checkedTextLength(strlen(p)) : 0;
  return data;
}

void TextBuffer::append(const char* first, const char* second, const char* third) {
  const char* pieces[3] = {first, second, third};
  for (const char* piece : pieces) {
    if (piece == nullptr || piece[0] == '\0') return;
    size_t k = strlen(piece);
    // The text may have been written by a direct writer without a terminator
    // at `length`; the copy goes to the first NUL as the text sees it.
    size_t end = data ? strlen(data) : 0;
    int32_t total = checkedTextLength(end + k);
    reserve(total);
    memcpy(data + end, piece, k + 1);
    length = total;
  }
}

void TextBuffer::clear() {
  if (data != nullptr) {
    data[0] = '\0';
    data[capacity] = '\0';
  }
  length = 0;
}

char* TextBuffer::release() {
  char* p = data;
  data = nullptr;
  capacity = length = 0;
  return p;
}
