// Status: the outcome of an operation that can fail, returned up the call
// chain to the entry point. It holds the result code, the detail text of a
// kUnknownError (the closing message on standard output prints
// "* Unknown error DETAIL.") and the sentence that names what failed, which
// becomes the run's line on standard error.
#ifndef QUORVANE_BASE_STATUS_H_
#define QUORVANE_BASE_STATUS_H_

#include <string>

#include "base/result.h"

class Status {
 public:
  // Success.
  Status() = default;
  // A failure with `code` and the sentence that names what failed (without
  // the program's name), for example "127.0.0.1 port 8080 refused the
  // connection". REQUIRES: code != kOk and code != kUnknownError.
  Status(ResultCode code, std::string message);

  // A kUnknownError with its detail, for example "too many redirects". The
  // sentence is the detail, followed by ": " and `more` when that is not
  // empty.
  static Status unknownError(const char* detail, const std::string& more);

  bool ok() const { return code_ == kOk; }
  ResultCode code() const { return code_; }
  // The detail of a kUnknownError; "" for every other code.
  const std::string& detail() const { return detail_; }
  // What failed; "" on success.
  const std::string& message() const { return message_; }

  // Puts `context` (where the failure happened, "plugin x, line 3: ") in
  // front of the sentence; code and detail stay.
  void addContext(const std::string& context);
  // Puts `trailer` after the sentence ("; the part is kept in x.part");
  // code and detail stay.
  void addTrailer(const std::string& trailer) { message_ += trailer; }

  // Marks a failure that asking again cannot change (a certificate that is
  // not trusted, say), so that nothing retries it. Returns *this.
  Status& markFinal() {
    final_ = true;
    return *this;
  }
  bool isFinal() const { return final_; }

 private:
  ResultCode code_ = kOk;
  std::string detail_;
  std::string message_;
  bool final_ = false;
};

// printf into a new string, for composing failure sentences.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // QUORVANE_BASE_STATUS_H_
