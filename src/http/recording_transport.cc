// The recording transport: forwards every call to the network transport and
// writes down what each connection did, as it happens, so that a run cut
// short still leaves what it had done.
#include "http/recording_transport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

struct RecordingTransport::Track {
  int number = 0;
  std::string folder;
  int socket = -1;
  TlsLink* link = nullptr;
  int eventsFd = -1;
  int sentFd = -1;
  int pieces = 0;
  // The last call on the connection was a pending() that found bytes: the
  // next piece is read without a wait.
  bool held = false;
  bool ended = false;
  bool sendFailed = false;
};

namespace {

int openForWriting(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
}

}  // namespace

RecordingTransport::RecordingTransport(Transport& inner, std::string folder)
    : inner_(inner), folder_(std::move(folder)) {}

RecordingTransport::~RecordingTransport() {
  for (auto& track : open_) finish(*track);
}

Status RecordingTransport::start() {
  int error = makeFolders(folder_);
  DIR* dir = error == 0 ? opendir(folder_.c_str()) : nullptr;
  if (dir == nullptr) {
    if (error == 0) error = errno;
    return Status::unknownError("cannot make the recording folder",
                                formatText("%s (%s)", folder_.c_str(), strerror(error)));
  }
  bool empty = true;
  while (dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) empty = false;
  }
  closedir(dir);
  if (!empty) {
    return Status::unknownError((folder_ + " is not empty").c_str(),
                                "a recording goes into a new or empty folder");
  }
  std::string marker = folder_ + "/" + kRecordingMarkerFile;
  error = writeRecordingFile(marker, kRecordingMarkerText);
  if (error != 0) fail(marker, error);
  return stopped_;
}

RecordingTransport::Track* RecordingTransport::bySocket(int socket) {
  for (auto& track : open_) {
    if (track->socket == socket) return track.get();
  }
  return nullptr;
}

RecordingTransport::Track* RecordingTransport::byLink(TlsLink* link) {
  if (link == nullptr) return nullptr;
  for (auto& track : open_) {
    if (track->link == link) return track.get();
  }
  return nullptr;
}

void RecordingTransport::fail(const std::string& path, int error) {
  if (!stopped_.ok()) return;
  stopped_ = Status::unknownError("cannot write the recording",
                                  formatText("%s (%s)", path.c_str(), strerror(error)));
}

void RecordingTransport::writeLine(Track& track, const std::string& line) {
  if (track.eventsFd < 0) return;
  int error = appendBytes(track.eventsFd, line.data(), line.size());
  if (error != 0) fail(track.folder + "/" + kConnectionFile, error);
}

void RecordingTransport::writeEnd(Track& track, const RecordedEvent& event) {
  if (track.ended) return;
  track.ended = true;
  writeLine(track, eventLine(event));
}

void RecordingTransport::finish(Track& track) {
  if (track.eventsFd >= 0) ::close(track.eventsFd);
  if (track.sentFd >= 0) ::close(track.sentFd);
  track.eventsFd = -1;
  track.sentFd = -1;
}

int RecordingTransport::connectTo(const char* name, int port, int limitSeconds,
                                  ConnectFailure* failure) {
  auto track = std::make_unique<Track>();
  track->number = ++connections_;
  track->folder = connectionFolder(folder_, track->number);
  if (stopped_.ok()) {
    std::string events = track->folder + "/" + kConnectionFile;
    if (mkdir(track->folder.c_str(), 0777) != 0) {
      fail(track->folder, errno);
    } else if ((track->eventsFd = openForWriting(events)) < 0) {
      fail(events, errno);
    }
    writeLine(*track, connectionHeader(track->number));
    writeLine(*track, connectLine(name != nullptr ? name : "", port));
  }
  if (!stopped_.ok()) {
    // Nothing more is done that the recording could not show.
    finish(*track);
    *failure = ConnectFailure();
    failure->kind = ConnectFailure::kNoSocket;
    return -1;
  }
  int socket = inner_.connectTo(name, port, limitSeconds, failure);
  if (socket < 0) {
    writeLine(*track, connectFailedLine(*failure));
    finish(*track);
    return socket;
  }
  std::string sent = track->folder + "/" + kSentFile;
  track->sentFd = openForWriting(sent);
  if (track->sentFd < 0) fail(sent, errno);
  track->socket = socket;
  open_.push_back(std::move(track));
  return socket;
}

TlsStart RecordingTransport::startTls(int socket, const TlsPeer& peer, int limitSeconds) {
  TlsStart started = inner_.startTls(socket, peer, limitSeconds);
  // The link is handed back through this transport, which hands it on.
  started.link = TlsLinkPtr(started.link.release(), TlsLinkDeleter{this});
  if (Track* track = bySocket(socket)) {
    track->link = started.link.get();
    writeLine(*track, tlsLine(peer.name != nullptr ? peer.name : "", peer.verify, started));
  }
  return started;
}

int RecordingTransport::send(TlsLink* link, int socket, const char* data, int length, int flags) {
  if (!stopped_.ok()) return -1;
  int sent = inner_.send(link, socket, data, length, flags);
  Track* track = bySocket(socket);
  if (track != nullptr && sent > 0 && track->sentFd >= 0) {
    int error = appendBytes(track->sentFd, data, static_cast<size_t>(sent));
    if (error != 0) fail(track->folder + "/" + kSentFile, error);
  } else if (track != nullptr && sent <= 0 && !track->sendFailed) {
    track->sendFailed = true;
    writeLine(*track, sendFailedLine(sent));
  }
  return stopped_.ok() ? sent : -1;
}

int RecordingTransport::recv(TlsLink* link, int socket, char* buffer, int size, int flags) {
  if (!stopped_.ok()) return -1;
  int got = inner_.recv(link, socket, buffer, size, flags);
  int error = errno;
  Track* track = bySocket(socket);
  if (track != nullptr && !track->ended) {
    RecordedEvent event;
    if (got > 0) {
      event.file = pieceFileName(++track->pieces);
      event.held = track->held;
      std::string path = track->folder + "/" + event.file;
      int written = writeRecordingFile(path, std::string(buffer, static_cast<size_t>(got)));
      if (written != 0) fail(path, written);
      writeLine(*track, eventLine(event));
    } else if (got != kReadWouldBlock) {
      event.kind = got == 0                         ? RecordedEvent::kClosed
                   : got == kReadEndWithoutTlsClose ? RecordedEvent::kClosedWithoutAlert
                   : error == ECONNRESET            ? RecordedEvent::kReset
                                                    : RecordedEvent::kFailed;
      event.result = got;
      writeEnd(*track, event);
    }
    track->held = false;
  }
  errno = error;
  return stopped_.ok() ? got : -1;
}

int RecordingTransport::pending(TlsLink* link) {
  int held = inner_.pending(link);
  if (Track* track = byLink(link)) track->held = held > 0;
  return held;
}

int RecordingTransport::waitReadable(int socket, timeval* limit) {
  if (!stopped_.ok()) return -1;
  int result = inner_.waitReadable(socket, limit);
  Track* track = bySocket(socket);
  if (track != nullptr && !track->ended) {
    track->held = false;
    RecordedEvent event;
    if (result == 0) {
      event.kind = RecordedEvent::kTimedOut;
      writeLine(*track, eventLine(event));
    } else if (result < 0) {
      event.kind = RecordedEvent::kFailed;
      writeEnd(*track, event);
    }
  }
  return result;
}

void RecordingTransport::setWakeThreshold(int socket, int bytes) {
  inner_.setWakeThreshold(socket, bytes);
}

void RecordingTransport::limitBlocking(int socket, int seconds) {
  inner_.limitBlocking(socket, seconds);
}

void RecordingTransport::close(TlsLink* link, int socket) {
  for (size_t i = 0; i < open_.size(); ++i) {
    Track& track = *open_[i];
    if (track.socket != socket) continue;
    RecordedEvent event;
    event.kind = RecordedEvent::kClosedByQuorvane;
    writeEnd(track, event);
    finish(track);
    open_.erase(open_.begin() + static_cast<long>(i));
    break;
  }
  inner_.close(link, socket);
}

void RecordingTransport::freeLink(TlsLink* link) {
  inner_.freeLink(link);
}
