// FileHandle: owns one stdio stream for the lifetime of a scope.
// Construction opens, destruction closes; verbose mode traces both.
#ifndef QUORVANE_TEXT_FILE_HANDLE_H_
#define QUORVANE_TEXT_FILE_HANDLE_H_

#include <cstdint>
#include <cstdio>

class FileHandle {
 public:
  // Opens `path` with the fopen `mode`. A null path opens nothing and prints
  // nothing; otherwise "@file open <path>." is traced before the attempt.
  // `stream` stays null when the open fails.
  FileHandle(const char* path, const char* mode);
  // Closes the stream if one is open (tracing "@file close.").
  virtual ~FileHandle();

  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  // Writes count bytes; returns the number written (0 when count <= 0).
  // REQUIRES: stream != nullptr.
  int32_t write(const char* bytes, int32_t count);
  // Reads one line of at most size - 1 characters (the newline stays);
  // returns buffer, or null at end of file, on error or when size <= 0.
  // REQUIRES: stream != nullptr.
  char* readLine(char* buffer, int32_t size);
  // Moves back to the first byte; a handle without a stream is left alone.
  void rewind();

  FILE* stream = nullptr;
};

#endif  // QUORVANE_TEXT_FILE_HANDLE_H_
