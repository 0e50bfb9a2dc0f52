// FileHandle: scope-bound stdio stream with verbose open/close traces.
#include "text/file_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "text/text_buffer.h"

namespace {

// UTF-8's byte-order mark, which some editors write at the start of a file.
const char kByteOrderMark[] = "\xEF\xBB\xBF";

}  // namespace

FileHandle::FileHandle(const char* path, const char* mode) {
  if (path == nullptr) return;
  report(kFileOpenTrace, path);
  stream = fopen(path, mode);
  if (stream == nullptr) openError = errno;
}

FileHandle::FileHandle(const char* path, FILE* opened) : stream(opened) {
  report(kFileOpenTrace, path);
}

FileHandle::FileHandle(int descriptor, const char* name, const char* mode) {
  report(kFileOpenTrace, name);
  int copy = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  stream = copy >= 0 ? fdopen(copy, mode) : nullptr;
  if (stream != nullptr) return;
  openError = errno;
  if (copy >= 0) ::close(copy);
}

FileHandle::~FileHandle() {
  close();
}

int32_t FileHandle::write(const char* bytes, int32_t count) {
  if (count <= 0) return 0;
  return static_cast<int32_t>(fwrite(bytes, 1, static_cast<size_t>(count), stream));
}

char* FileHandle::readLine(char* buffer, int32_t size) {
  if (size <= 0) return nullptr;
  char* line = fgets(buffer, size, stream);
  if (line == nullptr) return nullptr;
  if (lineNumber_ == 0 && strncmp(line, kByteOrderMark, sizeof kByteOrderMark - 1) == 0) {
    memmove(line, line + sizeof kByteOrderMark - 1, strlen(line) - (sizeof kByteOrderMark - 2));
  }
  if (atLineStart_) ++lineNumber_;
  // A NUL byte inside a line hides its line feed from this test, and the
  // count of the lines after it stays one behind.
  size_t n = strlen(line);
  atLineStart_ = n > 0 && line[n - 1] == '\n';
  return line;
}

const char* FileHandle::readLine(TextBuffer& line, int32_t size) {
  line.clear();
  line.reserve(size - 1);
  int32_t room = 0;
  char* into = line.tail(&room);
  if (into == nullptr) return nullptr;
  if (readLine(into, size) == nullptr) {
    line.clear();  // a failed read may have left part of a line
    return nullptr;
  }
  line.commit(static_cast<int32_t>(strlen(into)));
  return line.data();
}

void FileHandle::rewind() {
  if (stream == nullptr) return;
  fseek(stream, 0, SEEK_SET);
  lineNumber_ = 0;
  atLineStart_ = true;
}

int FileHandle::truncate() {
  struct stat info;
  if (fflush(stream) != 0 || fstat(fileno(stream), &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) return ESPIPE;
  if (ftruncate(fileno(stream), 0) != 0 || fseek(stream, 0, SEEK_SET) != 0) return errno;
  return 0;
}

int FileHandle::close() {
  if (stream == nullptr) return 0;
  report(kFileCloseTrace);
  int result = fclose(stream) == 0 ? 0 : errno;
  stream = nullptr;
  return result;
}

int replaceFileContent(const std::string& path, const std::string& bytes,
                       const char* temporaryName) {
  size_t slash = path.rfind('/');
  std::string temporary = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  temporary += temporaryName;
  // mkostemp makes the file with mode 0600, and never over another.
  int fd = mkostemp(&temporary[0], O_CLOEXEC);
  if (fd < 0) return errno;
  int error = 0;
  size_t done = 0;
  while (done < bytes.size() && error == 0) {
    ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno != EINTR) error = errno;
    if (wrote == 0) error = EIO;
    if (wrote > 0) done += static_cast<size_t>(wrote);
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) unlink(temporary.c_str());
  return error;
}

int readAt(int fd, int64_t offset, char* into, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t got = pread(fd, into + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got < 0 ? errno : EIO;
    done += static_cast<size_t>(got);
  }
  return 0;
}

int writeAt(int fd, int64_t offset, const char* data, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t wrote = pwrite(fd, data + done, length - done, static_cast<off_t>(offset + done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return wrote < 0 ? errno : EIO;
    done += static_cast<size_t>(wrote);
  }
  return 0;
}
