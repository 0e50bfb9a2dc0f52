// Repeating the last request of an HttpSession for the rest of a body that
// broke off: the same request on a new connection, with the two header
// lines that ask for the bytes from a given offset.
#include <cstdint>
#include <string>

#include "base/status.h"
#include "http/session.h"

namespace {

// A validator goes into a header line as it came from one; a control byte
// (which a hostile server could use to end the line early) makes it unusable.
bool usableValidator(const char* validator) {
  if (validator == nullptr || validator[0] == '\0') return false;
  for (const char* at = validator; *at != '\0'; ++at) {
    unsigned char c = static_cast<unsigned char>(*at);
    if ((c < 32 && c != '\t') || c == 127) return false;
  }
  return true;
}

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
    lines.add(formatText("Range: bytes=%lld-", static_cast<long long>(from)));
    if (usableValidator(validator)) lines.add(std::string("If-Range: ") + validator);
    responseHeader_.clear();
    body_.assign(lastRequestBody_.data());
    printAddress_ = false;
    sent = connectAndSend(lastMethod_.hasText() ? lastMethod_.data() : "GET");
    printAddress_ = true;
  }
  if (!sent.ok()) return sent;
  return receive();
}
