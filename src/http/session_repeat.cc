// HttpSession's repeated requests: the last request sent again on a new
// connection, whole or with the two header lines that ask for the bytes
// from a given offset.
#include <cstdint>
#include <string>

#include "http/file_identity.h"
#include "http/session.h"

namespace {

// Appends lines to the extra request headers for the life of the object;
// the headers are as they were afterwards.
class ExtraHeaderLines {
 public:
  explicit ExtraHeaderLines(TextBuffer& headers) : headers_(headers), length_(headers.length()) {}
  ~ExtraHeaderLines() {
    if (headers_.data() != nullptr) headers_.truncate(length_);
  }
  ExtraHeaderLines(const ExtraHeaderLines&) = delete;
  ExtraHeaderLines& operator=(const ExtraHeaderLines&) = delete;

  void add(const std::string& line) { headers_.append(line.c_str(), "\r\n"); }

 private:
  TextBuffer& headers_;
  int32_t length_;
};

}  // namespace

Status HttpSession::requestRest(int64_t from, const char* validator) {
  Status sent;
  {
    ExtraHeaderLines lines(extraHeaders_);
    if (from >= 0) {
      lines.add(formatText("Range: bytes=%lld-", static_cast<long long>(from)));
      if (validator != nullptr && usableValidator(validator)) {
        lines.add(std::string("If-Range: ") + validator);
      }
    }
    responseHeader_.clear();
    body_.assign(lastRequestBody_.data());
    printAddress_ = false;
    sent = connectAndSend(lastMethod_.hasText() ? lastMethod_.data() : "GET");
    printAddress_ = true;
  }
  if (!sent.ok()) return sent;
  return receive();
}

Status HttpSession::requestAgain(const char* method, bool printAddress) {
  // The answer of the attempt before is forgotten: a new header is read.
  responseHeader_.clear();
  body_.assign(lastRequestBody_.data());
  printAddress_ = printAddress;
  Status result = request(method);
  printAddress_ = true;
  return result;
}
