// The replaying transport: connections, pieces, waits and ends served from a
// recording, and what the run sends compared with what was recorded.
#include "http/replay_transport.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/messages.h"
#include "http/net_transport.h"

namespace {

// Descriptors handed out are this plus the connection's number: far above
// what the process opens, and never 0 to 2.
const int kFirstDescriptor = 1000;

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

// The failure for a file of the recording at `path` that cannot be read, for
// `why`.
Status unreadable(const std::string& path, const std::string& why) {
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

struct ReplayTransport::Track {
  int number = 0;
  const RecordedConnection* recorded = nullptr;
  std::string expected;  // the bytes sent when recorded
  std::string sent;
  bool firstLineChecked = false;
  bool settled = false;
  bool closed = false;
  TlsLink standIn{};
  // The server side: the current event, its piece and how much of it the
  // run has read.
  size_t next = 0;
  bool loaded = false;
  std::string piece;
  size_t offset = 0;
  bool endDelivered = false;
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
    RecordedConnection connection;
    std::string why = error != 0 ? strerror(error) : std::string();
    if (error != 0 || !parseConnection(text, &connection, &why)) {
      return unreadable(path, why);
    }
    recorded_.push_back(std::move(connection));
  }
  return Status();
}

void ReplayTransport::stop(const Status& why) {
  if (stopped_.ok()) stopped_ = why;
}

ReplayTransport::Track* ReplayTransport::bySocket(int socket) {
  size_t index = static_cast<size_t>(socket - kFirstDescriptor - 1);
  if (socket <= kFirstDescriptor || index >= tracks_.size() || tracks_[index]->closed) {
    return nullptr;
  }
  return tracks_[index].get();
}

ReplayTransport::Track* ReplayTransport::byLink(TlsLink* link) {
  for (auto& track : tracks_) {
    if (&track->standIn == link && !track->closed) return track.get();
  }
  return nullptr;
}

int ReplayTransport::connectTo(const char* name, int port, int limitSeconds,
                               ConnectFailure* failure) {
  (void)limitSeconds;
  *failure = ConnectFailure();
  failure->kind = ConnectFailure::kNoSocket;
  for (auto& track : tracks_) settle(*track);
  if (!stopped_.ok()) return -1;
  int number = static_cast<int>(tracks_.size()) + 1;
  const std::string nameText = name != nullptr ? name : "";
  std::string now = targetText(nameText, port);
  if (static_cast<size_t>(number) > recorded_.size()) {
    stop(Status::unknownError(
        formatText("replay: the recording holds only %d connections", number - 1).c_str(),
        formatText("connection %d goes to %s", number, now.c_str())));
    return -1;
  }
  const RecordedConnection& recorded = recorded_[static_cast<size_t>(number) - 1];
  if (recorded.name != nameText || recorded.port != port) {
    stop(differs(number, recordedTarget(recorded), "to " + now));
    return -1;
  }
  auto track = std::make_unique<Track>();
  track->number = number;
  track->recorded = &recorded;
  track->closed = recorded.failure.kind != ConnectFailure::kNone;
  std::string sentPath = connectionFolder(folder_, number) + "/" + kSentFile;
  int error = track->closed ? 0 : readRecordingFile(sentPath, &track->expected);
  tracks_.push_back(std::move(track));
  if (error != 0 && error != ENOENT) {
    stop(unreadable(sentPath, strerror(error)));
    return -1;
  }
  if (recorded.failure.kind != ConnectFailure::kNone) {
    *failure = recorded.failure;
    return -1;
  }
  *failure = ConnectFailure();
  return kFirstDescriptor + number;
}

TlsStart ReplayTransport::startTls(int socket, const TlsPeer& peer, int limitSeconds) {
  (void)peer;
  (void)limitSeconds;
  static TlsLink unknownLink{};
  TlsStart started;
  Track* track = bySocket(socket);
  started.link =
      TlsLinkPtr(track != nullptr ? &track->standIn : &unknownLink, TlsLinkDeleter{this});
  if (track != nullptr && !track->recorded->tls) {
    stop(differs(track->number, recordedTarget(*track->recorded) + " without TLS", "one over TLS"));
  }
  // A stopped replay makes the handshake fail; the run's result is the stop.
  if (!stopped_.ok() || track == nullptr) {
    started.outcome = TlsStart::kFailed;
  } else {
    started.outcome = track->recorded->handshake;
    started.untrusted = track->recorded->untrusted;
  }
  return started;
}

bool ReplayTransport::tlsFits(Track& track, TlsLink* link) {
  if (track.recorded->tls && link == nullptr) {
    stop(differs(track.number, recordedTarget(*track.recorded) + " over TLS", "one without TLS"));
  }
  return stopped_.ok();
}

bool ReplayTransport::checkFirstLine(Track& track, bool final) {
  if (track.firstLineChecked) return stopped_.ok();
  size_t end = track.sent.find('\n');
  if (end == std::string::npos && !final) return true;
  track.firstLineChecked = true;
  std::string now = firstLineOf(track.sent);
  std::string before = firstLineOf(track.expected);
  if (now != before) stop(linesDiffer(track.number, before, now));
  return stopped_.ok();
}

void ReplayTransport::settle(Track& track) {
  if (track.settled || (track.sent.empty() && track.expected.empty())) return;
  track.settled = true;
  if (!checkFirstLine(track, true)) return;
  std::vector<std::string> now = linesOf(track.sent);
  std::vector<std::string> before = linesOf(track.expected);
  for (size_t line = 1; line < std::max(now.size(), before.size()); ++line) {
    bool same = line < now.size() && line < before.size() && now[line] == before[line];
    if (!same) {
      reportNotice(formatText("replay: request %d, line %d differs from the recording",
                              track.number, static_cast<int>(line + 1)));
    }
  }
}

int ReplayTransport::send(TlsLink* link, int socket, const char* data, int length, int flags) {
  (void)flags;
  Track* track = bySocket(socket);
  if (track == nullptr || !stopped_.ok() || !tlsFits(*track, link) || length <= 0) return -1;
  size_t taken = static_cast<size_t>(length);
  if (track->recorded->sendFailed) {
    // The send that failed when recorded fails at the same byte.
    size_t left = track->expected.size() - std::min(track->expected.size(), track->sent.size());
    if (left == 0) return track->recorded->sendResult;
    taken = std::min(taken, left);
  }
  track->sent.append(data, taken);
  if (!checkFirstLine(*track, false)) return -1;
  return static_cast<int>(taken);
}

const RecordedEvent* ReplayTransport::current(Track& track) {
  const std::vector<RecordedEvent>& events = track.recorded->events;
  while (track.next < events.size()) {
    const RecordedEvent& event = events[track.next];
    if (event.kind == RecordedEvent::kClosedByQuorvane) return nullptr;
    if (event.kind != RecordedEvent::kPiece) return &event;
    if (!track.loaded) {
      std::string path = connectionFolder(folder_, track.number) + "/" + event.file;
      int error = readRecordingFile(path, &track.piece);
      if (error != 0) {
        stop(unreadable(path, strerror(error)));
        return nullptr;
      }
      track.loaded = true;
      track.offset = 0;
    }
    if (track.offset < track.piece.size()) return &event;
    ++track.next;
    track.loaded = false;
  }
  return nullptr;
}

int ReplayTransport::recv(TlsLink* link, int socket, char* buffer, int size, int flags) {
  (void)flags;
  Track* track = bySocket(socket);
  if (track == nullptr || !stopped_.ok() || !tlsFits(*track, link)) return -1;
  settle(*track);
  const RecordedEvent* event = current(*track);
  if (!stopped_.ok() || size <= 0) return -1;
  if (event == nullptr || event->kind == RecordedEvent::kTimedOut) return kReadWouldBlock;
  if (event->kind == RecordedEvent::kPiece) {
    size_t count = std::min(static_cast<size_t>(size), track->piece.size() - track->offset);
    memcpy(buffer, track->piece.data() + track->offset, count);
    track->offset += count;
    return static_cast<int>(count);
  }
  // An end stays where it is: every later read meets it again.
  track->endDelivered = true;
  switch (event->kind) {
    case RecordedEvent::kClosed:
      return 0;
    case RecordedEvent::kClosedWithoutAlert:
      return kReadEndWithoutTlsClose;
    case RecordedEvent::kReset:
      errno = ECONNRESET;
      return -1;
    default:
      return event->result;
  }
}

int ReplayTransport::pending(TlsLink* link) {
  Track* track = byLink(link);
  if (track == nullptr || !stopped_.ok()) return 0;
  settle(*track);
  const RecordedEvent* event = current(*track);
  if (!stopped_.ok() || event == nullptr || event->kind == RecordedEvent::kTimedOut) return 0;
  if (event->kind == RecordedEvent::kPiece) {
    // The rest of a piece stays in the TLS layer, as a held piece did.
    bool held = track->offset > 0 || event->held;
    return held ? static_cast<int>(track->piece.size() - track->offset) : 0;
  }
  return track->endDelivered ? 1 : 0;
}

int ReplayTransport::waitReadable(int socket, timeval* limit) {
  Track* track = bySocket(socket);
  if (track == nullptr || !stopped_.ok()) return -1;
  settle(*track);
  const RecordedEvent* event = current(*track);
  if (!stopped_.ok()) return -1;
  if (event != nullptr && event->kind != RecordedEvent::kTimedOut) return 1;
  // A wait that ran out when recorded, or silence past the recording: at
  // once, with the whole limit used.
  if (event != nullptr) ++track->next;
  if (limit != nullptr) {
    limit->tv_sec = 0;
    limit->tv_usec = 0;
  }
  return 0;
}

void ReplayTransport::close(TlsLink* link, int socket) {
  (void)link;
  Track* track = bySocket(socket);
  if (track == nullptr) return;
  if (stopped_.ok()) settle(*track);
  track->closed = true;
}

void ReplayTransport::freeLink(TlsLink* link) {
  (void)link;
}
