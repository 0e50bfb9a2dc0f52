// Status values and the formatting of their sentences.
#include "base/status.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

Status::Status(ResultCode code, std::string message) : code_(code), message_(std::move(message)) {}

Status Status::unknownError(const char* detail, const std::string& more) {
  Status status;
  status.code_ = kUnknownError;
  status.detail_ = detail;
  status.message_ = more.empty() ? status.detail_ : status.detail_ + ": " + more;
  return status;
}

void Status::addContext(const std::string& context) {
  message_.insert(0, context);
}

std::string formatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int needed = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (needed > 0) {
    text.resize(static_cast<size_t>(needed) + 1);
    vsnprintf(&text[0], text.size(), format, again);
    text.resize(static_cast<size_t>(needed));
  }
  va_end(again);
  return text;
}
