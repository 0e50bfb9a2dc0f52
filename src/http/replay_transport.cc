// The replaying transport: connections, pieces, waits and ends served from a
// recording, and what the run sends compared with what was recorded.
#include "http/replay_transport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/messages.h"

namespace {

std::string targetText(const std::string& name, int port) {
  return formatText("%s port %d", name.c_str(), port);
}

// "a connection to HOST port N", as `connection` was recorded.
std::string recordedTarget(const RecordedConnection& connection) {
  return "a connection to " + targetText(connection.name, connection.port);
}

// The lines of `bytes`, each with its line feed (the last may have none).
std::vector<std::string> linesOf(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t end = bytes.find('\n', at);
    end = end == std::string::npos ? bytes.size() : end + 1;
    lines.push_back(bytes.substr(at, end - at));
    at = end;
  }
  return lines;
}

// The first line of `bytes` with its line feed (all of them when there is
// none; "" for no bytes).
std::string firstLineOf(const std::string& bytes) {
  size_t end = bytes.find('\n');
  return bytes.substr(0, end == std::string::npos ? end : end + 1);
}

// A line without its line end ("\r\n" or "\n").
std::string withoutLineEnd(const std::string& line) {
  size_t length = line.size();
  if (length > 0 && line[length - 1] == '\n') --length;
  if (length > 0 && line[length - 1] == '\r') --length;
  return line.substr(0, length);
}

// The failure for a file of the recording at `path` that cannot be read,
// for the system's `error`.
Status unreadable(const std::string& path, int error) {
  std::string why = error == EINVAL ? "not a regular file" : strerror(error);
  return Status::unknownError("replay: the recording cannot be read", path + ": " + why);
}

Status differs(int number, const std::string& recorded, const std::string& now) {
  return Status::unknownError(
      formatText("replay: request %d differs from the recording", number).c_str(),
      "recorded " + recorded + ", now " + now);
}

// The failure for request lines that differ, shown quoted without their line
// ends, unless the line ends are all that differs (an edited recording whose
// CR LF became LF, say): then with them, which the error line escapes.
Status linesDiffer(int number, const std::string& recorded, const std::string& now) {
  bool endsOnly = withoutLineEnd(recorded) == withoutLineEnd(now);
  auto shown = [&](const std::string& line) {
    return "\"" + (endsOnly ? line : withoutLineEnd(line)) + "\"";
  };
  return differs(number, shown(recorded), shown(now));
}

}  // namespace

// One connection of the run, played from connection `number` of the
// recording.
class ReplayTransport::Played : public Link {
 public:
  Played(ReplayTransport& owner, int number, const RecordedConnection& recorded,
         std::string expected)
      : owner_(owner),
        number_(number),
        recorded_(recorded),
        folder_(connectionFolder(owner.folder_, number)),
        expected_(std::move(expected)) {}
  ~Played() override {
    if (pieceFd_ >= 0) ::close(pieceFd_);
    if (owner_.stopped_.ok()) settle(true);
  }

  int number() const { return number_; }
  const RecordedConnection& recorded() const { return recorded_; }
  // The handshake was played: from here on the link is a TLS one.
  void startTls() { tls_ = true; }

  // Takes the bytes (or fails where the recorded send failed) and compares
  // them with the recording.
  int send(const char* data, int length) override {
    if (!owner_.stopped_.ok() || !tlsFits() || length <= 0) return -1;
    size_t taken = static_cast<size_t>(length);
    if (recorded_.sendFailed) {
      // The send that failed when recorded fails at the same byte.
      size_t left = expected_.size() - std::min(expected_.size(), sent_.size());
      if (left == 0) return recorded_.sendResult;
      taken = std::min(taken, left);
    }
    sent_.append(data, taken);
    if (!checkFirstLine(false)) return -1;
    return static_cast<int>(taken);
  }

  // The recorded pieces, at most `size` bytes of one at a time; then the
  // recorded end, again and again. Past the last event the server is
  // silent.
  int recv(char* buffer, int size) override {
    if (!owner_.stopped_.ok() || !tlsFits()) return -1;
    settle(false);
    const RecordedEvent* event = current();
    if (!owner_.stopped_.ok() || size <= 0) return -1;
    if (event == nullptr || event->kind == RecordedEvent::kTimedOut) return kReadWouldBlock;
    if (event->kind == RecordedEvent::kPiece) {
      size_t count = std::min(static_cast<size_t>(size), chunk_.size() - offset_);
      memcpy(buffer, chunk_.data() + offset_, count);
      offset_ += count;
      pieceRead_ = true;
      return static_cast<int>(count);
    }
    // An end stays where it is: every later read meets it again.
    endDelivered_ = true;
    switch (event->kind) {
      case RecordedEvent::kClosed:
        return 0;
      case RecordedEvent::kClosedWithoutAlert:
        return kReadEndWithoutTlsClose;
      case RecordedEvent::kReset:
        errno = ECONNRESET;
        return -1;
      default:
        return -1;
    }
  }

  // The rest of a piece that one read did not take, or a piece that the
  // TLS layer held when recorded.
  int pending() override {
    if (!owner_.stopped_.ok()) return 0;
    settle(false);
    const RecordedEvent* event = current();
    if (!owner_.stopped_.ok() || event == nullptr || event->kind == RecordedEvent::kTimedOut) {
      return 0;
    }
    if (event->kind == RecordedEvent::kPiece) {
      bool held = pieceRead_ || event->held;
      return held ? static_cast<int>(chunk_.size() - offset_) : 0;
    }
    return endDelivered_ ? 1 : 0;
  }

  // Ready at once while the recording has more; 0 at once, with the limit
  // used up, for a wait that ran out when recorded or past its end.
  int waitReadable(timeval* limit) override {
    if (!owner_.stopped_.ok()) return -1;
    settle(false);
    const RecordedEvent* event = current();
    if (!owner_.stopped_.ok()) return -1;
    if (event != nullptr && event->kind != RecordedEvent::kTimedOut) return 1;
    if (event != nullptr) ++next_;
    if (limit != nullptr) *limit = timeval{0, 0};
    return 0;
  }

  bool isTls() const override { return tls_; }

 private:
  // Whether the run's TLS use fits the recording: TLS exactly from where it
  // was set up when recorded. Stops the replay when not.
  bool tlsFits() {
    if (recorded_.tls && !tls_ && next_ >= recorded_.tlsAt) {
      owner_.stop(differs(number_, recordedTarget(recorded_) + " over TLS", "one without TLS"));
    }
    return owner_.stopped_.ok();
  }

  // The event the server side is at, with a chunk of its piece loaded;
  // pieces read out and empty ones are passed. Null past the last event,
  // at the program's own close, or when a piece cannot be read (the
  // replay stops).
  const RecordedEvent* current() {
    const std::vector<RecordedEvent>& events = recorded_.events;
    while (next_ < events.size()) {
      const RecordedEvent& event = events[next_];
      if (event.kind == RecordedEvent::kClosedByQuorvane) return nullptr;
      if (event.kind != RecordedEvent::kPiece) return &event;
      if (offset_ < chunk_.size()) return &event;
      if (!loadChunk(event)) return nullptr;
      if (offset_ < chunk_.size()) return &event;
      // The piece is read out.
      if (pieceFd_ >= 0) ::close(pieceFd_);
      pieceFd_ = -1;
      ++next_;
      pieceRead_ = false;
    }
    return nullptr;
  }

  // Loads the next chunk of the piece of `event` (its file opened at the
  // first), at most kMaxRecordingRead bytes; an empty chunk at its end.
  bool loadChunk(const RecordedEvent& event) {
    std::string path = folder_ + "/" + event.file;
    if (pieceFd_ < 0 && !pieceRead_) {
      pieceFd_ = openRecordingFile(path);
      if (pieceFd_ < 0) {
        owner_.stop(unreadable(path, errno));
        return false;
      }
    }
    chunk_.resize(kMaxRecordingRead);
    offset_ = 0;
    ssize_t got;
    do {
      got = pieceFd_ >= 0 ? read(pieceFd_, &chunk_[0], chunk_.size()) : 0;
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      owner_.stop(unreadable(path, errno));
      chunk_.clear();
      return false;
    }
    chunk_.resize(static_cast<size_t>(got));
    return true;
  }

  // Compares the first line sent with the recorded one once it is complete
  // (or `final`); stops the replay when they differ.
  bool checkFirstLine(bool final) {
    if (firstLineChecked_) return owner_.stopped_.ok();
    size_t end = sent_.find('\n');
    if (end == std::string::npos && !final) return true;
    firstLineChecked_ = true;
    std::string now = firstLineOf(sent_);
    std::string before = firstLineOf(expected_);
    if (now != before) owner_.stop(linesDiffer(number_, before, now));
    return owner_.stopped_.ok();
  }

  // Once the run reads (or, `final`, closes): compares every line sent,
  // noting the ones that differ. A read while what was sent so far begins
  // what was recorded (a proxy's tunnel, before the request that goes
  // through it) leaves the rest to a later read.
  void settle(bool final) {
    if (settled_ || (sent_.empty() && expected_.empty())) return;
    if (!final && sent_.size() < expected_.size() &&
        expected_.compare(0, sent_.size(), sent_) == 0) {
      return;
    }
    settled_ = true;
    if (!checkFirstLine(true)) return;
    std::vector<std::string> now = linesOf(sent_);
    std::vector<std::string> before = linesOf(expected_);
    for (size_t line = 1; line < std::max(now.size(), before.size()); ++line) {
      bool same = line < now.size() && line < before.size() && now[line] == before[line];
      if (!same) {
        reportNotice(formatText("replay: request %d, line %d differs from the recording", number_,
                                static_cast<int>(line + 1)));
      }
    }
  }

  ReplayTransport& owner_;
  const int number_;
  const RecordedConnection& recorded_;
  const std::string folder_;
  const std::string expected_;  // the bytes sent when recorded
  std::string sent_;
  bool tls_ = false;
  bool firstLineChecked_ = false;
  bool settled_ = false;
  // The server side: the current event, the open file of its piece, the
  // chunk of it loaded and how much of that the run has read.
  size_t next_ = 0;
  int pieceFd_ = -1;
  std::string chunk_;
  size_t offset_ = 0;
  bool pieceRead_ = false;
  bool endDelivered_ = false;
};

ReplayTransport::ReplayTransport(std::string folder) : folder_(std::move(folder)) {}

ReplayTransport::~ReplayTransport() = default;

Status ReplayTransport::start() {
  struct stat info;
  if (stat((folder_ + "/" + kRecordingMarkerFile).c_str(), &info) != 0) {
    return Status::unknownError((folder_ + " holds no recording").c_str(),
                                formatText("it has no %s", kRecordingMarkerFile));
  }
  for (int number = 1;; ++number) {
    std::string path = connectionFolder(folder_, number) + "/" + kConnectionFile;
    std::string text;
    int error = readRecordingFile(path, &text);
    if (error == ENOENT) break;
    if (error != 0) return unreadable(path, error);
    RecordedConnection connection;
    std::string why;
    if (!parseConnection(text, &connection, &why)) {
      return Status::unknownError("replay: the recording cannot be read", path + ": " + why);
    }
    recorded_.push_back(std::move(connection));
  }
  return Status();
}

void ReplayTransport::stop(const Status& why) {
  if (stopped_.ok()) stopped_ = why;
}

std::unique_ptr<Link> ReplayTransport::connect(const char* name, int port, int limitSeconds,
                                               ConnectFailure* failure) {
  (void)limitSeconds;
  *failure = ConnectFailure();
  failure->kind = ConnectFailure::kNoSocket;
  if (!stopped_.ok()) return nullptr;
  int number = ++connections_;
  const std::string nameText = name != nullptr ? name : "";
  std::string now = targetText(nameText, port);
  if (static_cast<size_t>(number) > recorded_.size()) {
    stop(Status::unknownError(
        formatText("replay: the recording holds only %d connections", number - 1).c_str(),
        formatText("connection %d goes to %s", number, now.c_str())));
    return nullptr;
  }
  const RecordedConnection& recorded = recorded_[static_cast<size_t>(number) - 1];
  if (recorded.name != nameText || recorded.port != port) {
    stop(differs(number, recordedTarget(recorded), "to " + now));
    return nullptr;
  }
  if (recorded.failure.kind != ConnectFailure::kNone) {
    *failure = recorded.failure;
    return nullptr;
  }
  std::string expected;
  std::string sentPath = connectionFolder(folder_, number) + "/" + kSentFile;
  int error = readRecordingFile(sentPath, &expected);
  if (error != 0 && error != ENOENT) {
    stop(unreadable(sentPath, error));
    return nullptr;
  }
  *failure = ConnectFailure();
  lookUps_ = 0;
  return std::make_unique<Played>(*this, number, recorded, std::move(expected));
}

TlsStart ReplayTransport::startTls(std::unique_ptr<Link> link, const TlsPeer& peer,
                                   int limitSeconds) {
  (void)peer;
  (void)limitSeconds;
  TlsStart started;
  started.outcome = TlsStart::kFailed;
  auto* played = dynamic_cast<Played*>(link.get());
  if (played == nullptr) return started;
  const RecordedConnection& recorded = played->recorded();
  if (!recorded.tls) {
    stop(differs(played->number(), recordedTarget(recorded) + " without TLS", "one over TLS"));
  }
  // A stopped replay makes the handshake fail; the run's result is the stop.
  if (!stopped_.ok()) return started;
  started.outcome = recorded.handshake;
  started.untrusted = recorded.untrusted;
  if (started.outcome == TlsStart::kDone) {
    played->startTls();
    started.link = std::move(link);
  }
  return started;
}

bool ReplayTransport::lookUp(const char* name, std::vector<std::string>* addresses,
                             ConnectFailure* failure) {
  *failure = ConnectFailure();
  failure->kind = ConnectFailure::kNotResolved;
  if (!stopped_.ok() || connections_ == 0) return false;
  const RecordedConnection& recorded = recorded_[static_cast<size_t>(connections_) - 1];
  std::string now = formatText("a look-up of %s", name != nullptr ? name : "");
  if (lookUps_ >= recorded.lookUps.size()) {
    stop(differs(connections_, "no look-up", now));
    return false;
  }
  const auto& lookUp = recorded.lookUps[lookUps_++];
  if (name == nullptr || lookUp.first != name) {
    stop(differs(connections_, "a look-up of " + lookUp.first, now));
    return false;
  }
  if (lookUp.second.empty()) return false;
  *addresses = lookUp.second;
  *failure = ConnectFailure();
  return true;
}
