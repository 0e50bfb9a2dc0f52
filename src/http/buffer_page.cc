// Keeping a page's body whole in the session, and asking for it again.
#include "http/buffer_page.h"

#include <cstdint>
#include <string>

#include "base/messages.h"
#include "http/http_status.h"
#include "http/response_parser.h"
#include "http/session.h"
#include "http/speed_check.h"

namespace {

// One reading of the page's body into the session, printing a dot for
// every piece that did not complete it. A time-out or a missing connection
// only ends it; a body that broke off is "download incomplete", and one
// that came too slowly a stall (kTimedOut). `length` is the announced
// length (-1: none), for the failure sentence.
Status readPage(HttpSession& session, int64_t length) {
  Status received;
  for (;;) {
    received = session.receive();
    if (!received.ok() || session.bodyComplete()) break;
    report(kPlainText, ".");
  }
  long long kept = session.body().length();
  const char* page = session.url().data() != nullptr ? session.url().data() : "";
  if (session.bodyStalled()) {
    return Status(received.code(),
                  received.message() + formatText(", %lld bytes of the page %s kept", kept, page));
  }
  if (received.code() != kRecvFailed) return received.code() == kUnknownError ? received : Status();
  if (session.bodyComplete()) return Status();
  std::string bytes = length >= 0 ? formatText("%lld of %lld", kept, static_cast<long long>(length))
                                  : formatText("%lld", kept);
  return Status::unknownError("download incomplete", bytes + " bytes of the page " + page +
                                                         " kept, then " + received.message());
}

// The page asked for again whole.
class PageStep : public RepeatableStep {
 public:
  explicit PageStep(HttpSession& session) : session_(session) {}

  bool mayRepeat(const Status& failed, RetryCause* cause) override {
    if (failed.ok() || failed.isFinal()) return false;
    // In verbose mode the whole sentence of the failure; the announcement
    // names only its reason.
    verboseNote(failed.message());
    const std::string reason = session_.bodyStalled()           ? kDownloadStalled
                               : failed.code() == kUnknownError ? failed.detail()
                                                                : failed.message();
    cause->what = formatText("download interrupted at %lld bytes (%s)",
                             static_cast<long long>(session_.body().length()), reason.c_str());
    return true;
  }

  Status again(int32_t) override {
    Status result = session_.requestRest(-1, nullptr);
    int32_t status = session_.status();
    if (result.ok() && (status < kStatusOk || status >= kStatusFirstRedirect)) {
      result = session_.refusal();
    }
    if (!result.ok()) return result;
    const BodyFraming& framing = session_.bodyFraming();
    return readPage(session_, framing.kind == BodyFraming::kLength ? framing.length : -1);
  }

 private:
  HttpSession& session_;
};

}  // namespace

bool announcedLength(HttpSession& session, int64_t* length) {
  TextBuffer text = session.headerValue("Content-Length", 0);
  *length = 0;
  if (text.data() == nullptr) return false;
  int64_t number = contentLengthOf(text.data(), static_cast<size_t>(text.length()));
  if (number < 0) return false;
  *length = number;
  return true;
}

Status bufferPage(HttpSession& session, const RetryPolicy& retry) {
  int64_t announced = 0;
  int64_t length = announcedLength(session, &announced) ? announced : -1;
  report(kPlainText, "/");
  PageStep step(session);
  Status result = repeatWhileFailing(readPage(session, length), step, retry);
  report(kPlainText, "/\n");
  return result;
}
