// The recording transport: every connection of the inner transport wrapped
// in a link that writes down what passes, as it happens, so that a run cut
// short still leaves what it had done.
#include "http/recording_transport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// A recording holds cookies and everything else in clear: only its owner
// may read it.
const mode_t kFolderMode = 0700;

int openForWriting(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOFOLLOW,
              kRecordingFileMode);
}

}  // namespace

// One recorded connection: the link it wraps and the files it writes.
class RecordingTransport::Recorded : public Link {
 public:
  Recorded(RecordingTransport& owner, std::string folder, int eventsFd)
      : owner_(owner), folder_(std::move(folder)), eventsFd_(eventsFd) {}
  // Writes how the program ended the connection, unless the server ended it
  // first, and closes the files; then the inner link closes.
  ~Recorded() override {
    RecordedEvent event;
    event.kind = RecordedEvent::kClosedByQuorvane;
    writeEnd(event);
    if (eventsFd_ >= 0) ::close(eventsFd_);
    if (sentFd_ >= 0) ::close(sentFd_);
  }

  // Connected: the inner link, and the file of the bytes sent on it.
  void attach(std::unique_ptr<Link> inner) {
    inner_ = std::move(inner);
    std::string sent = folder_ + "/" + kSentFile;
    sentFd_ = openForWriting(sent);
    if (sentFd_ < 0) owner_.fail(sent, errno);
  }
  // The TLS link set up under this one (null: the handshake failed).
  void replaceInner(std::unique_ptr<Link> inner) { inner_ = std::move(inner); }
  std::unique_ptr<Link> takeInner() { return std::move(inner_); }
  // The connect failed: the connection has no end of its own to write.
  void connectFailed(const ConnectFailure& failure) {
    writeLine(connectFailedLine(failure));
    ended_ = true;
  }

  // Appends `line` to the connection's connection.txt.
  void writeLine(const std::string& line) {
    if (eventsFd_ < 0) return;
    int error = appendBytes(eventsFd_, line.data(), line.size());
    if (error != 0) owner_.fail(folder_ + "/" + kConnectionFile, error);
  }

  int send(const char* data, int length) override {
    if (!owner_.stopped_.ok() || inner_ == nullptr) return -1;
    int sent = inner_->send(data, length);
    if (sent > 0 && sentFd_ >= 0) {
      int error = appendBytes(sentFd_, data, static_cast<size_t>(sent));
      if (error != 0) owner_.fail(folder_ + "/" + kSentFile, error);
    } else if (sent <= 0 && !sendFailed_) {
      sendFailed_ = true;
      writeLine(sendFailedLine(sent));
    }
    return owner_.stopped_.ok() ? sent : -1;
  }

  int recv(char* buffer, int size) override {
    if (!owner_.stopped_.ok() || inner_ == nullptr) return -1;
    int got = inner_->recv(buffer, size);
    int error = errno;
    if (!ended_) {
      RecordedEvent event;
      if (got > 0) {
        event.file = pieceFileName(++pieces_);
        event.held = held_;
        std::string path = folder_ + "/" + event.file;
        int written = writeRecordingFile(path, std::string(buffer, static_cast<size_t>(got)));
        if (written != 0) owner_.fail(path, written);
        writeLine(eventLine(event));
      } else if (got != kReadWouldBlock) {
        event.kind = got == 0                         ? RecordedEvent::kClosed
                     : got == kReadEndWithoutTlsClose ? RecordedEvent::kClosedWithoutAlert
                     : error == ECONNRESET            ? RecordedEvent::kReset
                                                      : RecordedEvent::kFailed;
        event.result = got;
        writeEnd(event);
      }
      held_ = false;
    }
    errno = error;
    return owner_.stopped_.ok() ? got : -1;
  }

  int pending() override {
    int held = inner_ != nullptr ? inner_->pending() : 0;
    held_ = held > 0;
    return held;
  }

  int waitReadable(timeval* limit) override {
    if (!owner_.stopped_.ok() || inner_ == nullptr) return -1;
    int result = inner_->waitReadable(limit);
    if (!ended_) {
      held_ = false;
      RecordedEvent event;
      if (result == 0) {
        event.kind = RecordedEvent::kTimedOut;
        writeLine(eventLine(event));
      } else if (result < 0) {
        event.kind = RecordedEvent::kFailed;
        writeEnd(event);
      }
    }
    return result;
  }

  // Every byte is read through recv, so that the recording sees it: the
  // default refuses to splice.
  void setWakeThreshold(int bytes) override {
    if (inner_ != nullptr) inner_->setWakeThreshold(bytes);
  }
  void limitBlocking(int seconds) override {
    if (inner_ != nullptr) inner_->limitBlocking(seconds);
  }
  bool isTls() const override { return inner_ != nullptr && inner_->isTls(); }
  // A wait on it ends in waitReadable, which the recording sees.
  int descriptor() const override { return inner_ != nullptr ? inner_->descriptor() : -1; }

 private:
  // The connection's end, written once.
  void writeEnd(const RecordedEvent& event) {
    if (ended_) return;
    ended_ = true;
    writeLine(eventLine(event));
  }

  RecordingTransport& owner_;
  std::string folder_;
  int eventsFd_;
  int sentFd_ = -1;
  std::unique_ptr<Link> inner_;
  int pieces_ = 0;
  // The last call was a pending() that found bytes: the next piece is read
  // without a wait.
  bool held_ = false;
  bool ended_ = false;
  bool sendFailed_ = false;
};

RecordingTransport::RecordingTransport(Transport& inner, std::string folder)
    : inner_(inner), folder_(std::move(folder)) {}

void RecordingTransport::prepare() {
  if (prepared_) return;
  prepared_ = true;
  int error = makeFolders(folder_, kFolderMode);
  DIR* dir = error == 0 ? opendir(folder_.c_str()) : nullptr;
  if (dir == nullptr) {
    if (error == 0) error = errno;
    stopped_ = Status::unknownError("cannot make the recording folder",
                                    formatText("%s (%s)", folder_.c_str(), strerror(error)));
    return;
  }
  bool empty = true;
  while (dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) empty = false;
  }
  closedir(dir);
  if (!empty) {
    stopped_ = Status::unknownError((folder_ + " is not empty").c_str(),
                                    "a recording goes into a new or empty folder");
    return;
  }
  std::string marker = folder_ + "/" + kRecordingMarkerFile;
  error = writeRecordingFile(marker, kRecordingMarkerText);
  if (error != 0) fail(marker, error);
}

void RecordingTransport::fail(const std::string& path, int error) {
  if (!stopped_.ok()) return;
  stopped_ = Status::unknownError("cannot write the recording",
                                  formatText("%s (%s)", path.c_str(), strerror(error)));
}

std::unique_ptr<Link> RecordingTransport::connect(const char* name, int port, int limitSeconds,
                                                  ConnectFailure* failure) {
  prepare();
  const int number = ++connections_;
  const std::string folder = connectionFolder(folder_, number);
  int eventsFd = -1;
  if (stopped_.ok()) {
    std::string events = folder + "/" + kConnectionFile;
    if (mkdir(folder.c_str(), kFolderMode) != 0) {
      fail(folder, errno);
    } else if ((eventsFd = openForWriting(events)) < 0) {
      fail(events, errno);
    }
  }
  auto recorded = std::make_unique<Recorded>(*this, folder, eventsFd);
  recorded->writeLine(connectionHeader(number));
  recorded->writeLine(connectLine(name != nullptr ? name : "", port));
  if (!stopped_.ok()) {
    // Nothing more is done that the recording could not show.
    *failure = ConnectFailure();
    failure->kind = ConnectFailure::kNoSocket;
    recorded->connectFailed(*failure);
    return nullptr;
  }
  std::unique_ptr<Link> inner = inner_.connect(name, port, limitSeconds, failure);
  if (inner == nullptr) {
    recorded->connectFailed(*failure);
    return nullptr;
  }
  recorded->attach(std::move(inner));
  return recorded;
}

TlsStart RecordingTransport::startTls(std::unique_ptr<Link> link, const TlsPeer& peer,
                                      int limitSeconds) {
  auto* recorded = dynamic_cast<Recorded*>(link.get());
  if (recorded == nullptr) return inner_.startTls(std::move(link), peer, limitSeconds);
  TlsStart started = inner_.startTls(recorded->takeInner(), peer, limitSeconds);
  recorded->writeLine(tlsLine(peer.name != nullptr ? peer.name : "", peer.verify, started));
  recorded->replaceInner(std::move(started.link));
  if (started.outcome == TlsStart::kDone) started.link = std::move(link);
  return started;
}

bool RecordingTransport::lookUp(const char* name, std::vector<std::string>* addresses,
                                ConnectFailure* failure) {
  if (!stopped_.ok() || connections_ == 0) {
    *failure = ConnectFailure();
    failure->kind = ConnectFailure::kNotResolved;
    return false;
  }
  bool found = inner_.lookUp(name, addresses, failure);
  std::string path = connectionFolder(folder_, connections_) + "/" + kConnectionFile;
  std::string line =
      lookedUpLine(name != nullptr ? name : "", found ? *addresses : std::vector<std::string>());
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
  int error = fd < 0 ? errno : appendBytes(fd, line.data(), line.size());
  if (fd >= 0) ::close(fd);
  if (error != 0) fail(path, error);
  return found && stopped_.ok();
}
