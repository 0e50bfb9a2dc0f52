// The part file of a resumable download, its lock and its meta file.
#include "script/part_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "text/file_handle.h"

namespace {

const char kPartSuffix[] = ".part";
const char kMetaSuffix[] = ".part.meta";
// The meta file is written under this name in the part's folder, then
// renamed: short, so that it fits where the meta file's own name does.
const char kMetaTemplate[] = ".quorvane-meta-XXXXXX";

// Validators come out of a response header block, which the reception
// holds to 256 KiB, and a part fetched in pieces lists a run of bytes for
// each piece begun (a few dozen): a meta file larger than that (and its
// few other bytes) was not written by this program.
const size_t kMaxMetaBytes = 256 * 1024 + 64 * 1024;

// The folder of `path` ("." for a bare name), with its final "/".
std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

// Opens `path` for reading when it is a regular file, without following a
// link or waiting on a FIFO; -1 otherwise.
int openRegularForReading(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool resumableOutput(const char* outputPath) {
  if (outputPath[0] == '\0') return false;
  struct stat info;
  if (lstat(outputPath, &info) != 0) {
    if (errno != ENOENT) return false;
  } else if (!S_ISREG(info.st_mode)) {
    return false;
  }
  std::string path(outputPath);
  size_t slash = path.rfind('/');
  size_t nameLength = path.size() - (slash == std::string::npos ? 0 : slash + 1);
  long most = pathconf(folderOf(path).c_str(), _PC_NAME_MAX);
  if (most < 0) most = NAME_MAX;
  return nameLength + strlen(kMetaSuffix) <= static_cast<size_t>(most);
}

PartFile::PartFile(const char* outputPath)
    : output_(outputPath), part_(output_ + kPartSuffix), meta_(output_ + kMetaSuffix) {}

PartFile::~PartFile() {
  if (fd_ >= 0) ::close(fd_);
}

PartFile::Opened PartFile::open() {
  const int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  struct stat info;
  if (lstat(part_.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return kNotRegular;
  fd_ = ::open(part_.c_str(), flags, 0666);
  if (fd_ < 0 && errno == EACCES) {
    // A part that cannot be read back cannot be continued: it is dropped.
    if (unlink(part_.c_str()) == 0) fd_ = ::open(part_.c_str(), flags | O_EXCL, 0666);
  }
  if (fd_ < 0) {
    error_ = errno;
    return error_ == ELOOP ? kNotRegular : kFailed;
  }
  if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return kNotRegular;
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    error_ = errno;
    return error_ == EWOULDBLOCK ? kInUse : kFailed;
  }
  // Writes block from here on, as a file's do.
  fcntl(fd_, F_SETFL, O_RDWR);
  return kOpened;
}

int64_t PartFile::size() const {
  struct stat info;
  if (fd_ < 0 || fstat(fd_, &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

bool PartFile::readable(int64_t length) const {
  int64_t end = size();
  if (end < length) return false;
  std::vector<char> bytes(static_cast<size_t>(length));
  return ::readAt(fd_, end - length, bytes.data(), bytes.size()) == 0;
}

int PartFile::descriptor() const {
  return fd_ >= 0 ? fcntl(fd_, F_DUPFD_CLOEXEC, 0) : -1;
}

int PartFile::truncate() const {
  return ftruncate(fd_, 0) == 0 ? 0 : errno;
}

bool PartFile::readMeta(FileIdentity* file, HeldPieces* held) const {
  int fd = openRegularForReading(meta_);
  if (fd < 0) return false;
  std::string text;
  char buffer[4096];
  bool failed = false;
  while (text.size() <= kMaxMetaBytes) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    failed = got < 0;
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  if (failed || text.size() > kMaxMetaBytes) return false;
  return parsePartMeta(text, file, held);
}

int PartFile::writeMeta(const FileIdentity& file, const std::vector<ByteRange>* held) const {
  return replaceFileContent(meta_, formatPartMeta(file, held), kMetaTemplate);
}

int PartFile::finish() const {
  if (rename(part_.c_str(), output_.c_str()) != 0) return errno;
  // A meta file left behind without its part is ignored by the next run.
  unlink(meta_.c_str());
  return 0;
}
