// FileHandle: scope-bound stdio stream with verbose open/close traces.
#include "text/file_handle.h"

#include "base/messages.h"

FileHandle::FileHandle(const char* path, const char* mode) {
  if (path == nullptr) return;
  report(kFileOpenTrace, path);
  stream = fopen(path, mode);
}

FileHandle::~FileHandle() {
  if (stream == nullptr) return;
  report(kFileCloseTrace);
  fclose(stream);
}

int32_t FileHandle::write(const char* bytes, int32_t count) {
  if (count <= 0) return 0;
  return static_cast<int32_t>(fwrite(bytes, 1, static_cast<size_t>(count), stream));
}

char* FileHandle::readLine(char* buffer, int32_t size) {
  if (size <= 0) return nullptr;
  return fgets(buffer, size, stream);
}

void FileHandle::rewind() {
  if (stream != nullptr) fseek(stream, 0, SEEK_SET);
}
