// HttpSession's repeated requests: the last request sent again on a new
// connection, whole or with the two header lines that ask for the bytes
// from a given offset.
#include <cstdint>
#include <memory>
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
  Status sent = sendRange(from, -1, validator);
  if (!sent.ok()) return sent;
  return receive();
}

Status HttpSession::sendRange(int64_t first, int64_t last, const char* validator) {
  ExtraHeaderLines lines(extraHeaders_);
  if (first >= 0) {
    std::string range = formatText("Range: bytes=%lld-", static_cast<long long>(first));
    if (last >= 0) range += std::to_string(last);
    lines.add(range);
    if (validator != nullptr && usableValidator(validator)) {
      lines.add(std::string("If-Range: ") + validator);
    }
  }
  responseHeader_.clear();
  body_.assign(lastRequestBody_.data());
  printAddress_ = false;
  Status sent = connectAndSend(lastMethod_.hasText() ? lastMethod_.data() : "GET");
  // A sibling never prints the address; the session it repeats did.
  printAddress_ = sharedJar_ == nullptr;
  return sent;
}

std::unique_ptr<HttpSession> HttpSession::sibling() {
  auto copy = std::make_unique<HttpSession>(transport_);
  copy->settings_.copyFrom(settings_);
  copy->sharedJar_ = &cookieJar();
  copy->cookiesEnabled_ = cookiesEnabled_;
  copy->url_.assign(url_.data());
  copy->host_.assign(host_.data());
  copy->hostName_.assign(hostName_.data());
  copy->targetIsTls_ = targetIsTls_;
  copy->originTarget_ = originTarget_;
  copy->absoluteTarget_ = absoluteTarget_;
  copy->credentialHost_ = credentialHost_;
  copy->credentialPort_ = credentialPort_;
  copy->targetIsIp_ = targetIsIp_;
  copy->targetPort_ = targetPort_;
  copy->extraHeaders_.assign(extraHeaders_.data());
  copy->lastMethod_.assign(lastMethod_.data());
  copy->lastRequestBody_.assign(lastRequestBody_.data());
  copy->printAddress_ = false;
  return copy;
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
