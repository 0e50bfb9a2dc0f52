// FileHandle: owns one stdio stream for the lifetime of a scope.
// Construction opens, destruction closes; verbose mode traces both. Reading
// counts lines, so that a failure can name the line it happened on, and
// skips the byte-order mark that some editors put before the first.
#ifndef QUORVANE_TEXT_FILE_HANDLE_H_
#define QUORVANE_TEXT_FILE_HANDLE_H_

#include <cstdint>
#include <cstdio>
#include <string>

class TextBuffer;

class FileHandle {
 public:
  // Opens `path` with the fopen `mode`. A null path opens nothing and prints
  // nothing; otherwise "@file open <path>." is traced before the attempt.
  // `stream` stays null when the open fails, and openError holds the
  // system's error number.
  FileHandle(const char* path, const char* mode);
  // Takes over `opened`, a stream on `path` that the caller opened in its
  // own way (without following a link, say), tracing the open as the
  // constructor above does. REQUIRES: path != nullptr, opened != nullptr.
  FileHandle(const char* path, FILE* opened);
  // Opens a stream with the fopen `mode` on a duplicate of `descriptor`
  // (which stays open as it is), tracing "@file open <name>.". `stream`
  // stays null when that fails, with openError set.
  FileHandle(int descriptor, const char* name, const char* mode);
  // Closes the stream if one is open (tracing "@file close.").
  ~FileHandle();

  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  // Writes count bytes; returns the number written (0 when count <= 0).
  // REQUIRES: stream != nullptr.
  int32_t write(const char* bytes, int32_t count);
  // Reads one line of at most size - 1 characters (the newline stays);
  // returns buffer, or null at end of file, on error or when size <= 0. A
  // UTF-8 byte-order mark that opens the first line is dropped (it counts
  // towards that read's size). REQUIRES: stream != nullptr.
  char* readLine(char* buffer, int32_t size);
  // The same into `line`, which then holds the line read (or the empty text
  // when nothing was read). Returns line.data() or null as above.
  // REQUIRES: stream != nullptr.
  const char* readLine(TextBuffer& line, int32_t size);
  // The number (from 1) of the file's line on which the last successful
  // readLine began: a line longer than one read keeps its number for the
  // reads of its rest. 0 before the first read.
  int32_t lineNumber() const { return lineNumber_; }
  // Moves back to the first byte (and line); a handle without a stream is
  // left alone.
  void rewind();
  // Empties a regular file and moves to its start. Returns 0, or the
  // system's error number (ESPIPE for a pipe, terminal or device, whose
  // bytes cannot be taken back). REQUIRES: stream != nullptr.
  int truncate();
  // Closes the stream now (tracing "@file close.") and returns 0, or the
  // system's error number when the close failed and bytes written may be
  // lost. A handle without a stream returns 0.
  int close();

  FILE* stream = nullptr;
  int openError = 0;

 private:
  int32_t lineNumber_ = 0;
  bool atLineStart_ = true;
};

// Makes `bytes` the content of the file at `path` in one step: writes them
// into a new file (mode 0600) in the folder of `path`, named
// `temporaryName` with its final "XXXXXX" filled in, then renames that over
// `path`, so that no reader sees half a file and a link at `path` is
// replaced, never followed. Returns 0, or the system's error number (the
// new file is then removed).
int replaceFileContent(const std::string& path, const std::string& bytes,
                       const char* temporaryName);

// Reads `length` bytes of the file open on `fd` from `offset` into `into`,
// or writes `length` bytes from `data` there, in as many calls as it takes.
// Returns 0, or the system's error number (EIO for a file that ends first).
int readAt(int fd, int64_t offset, char* into, size_t length);
int writeAt(int fd, int64_t offset, const char* data, size_t length);

#endif  // QUORVANE_TEXT_FILE_HANDLE_H_
