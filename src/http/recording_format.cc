// Writing and reading the lines of a recording's connection.txt.
#include "http/recording_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/status.h"

const char kRecordingMarkerFile[] = "recording.txt";
const char kRecordingMarkerText[] =
    "# A run recorded by \"quorvane --record\"; \"quorvane --replay\" plays it back.\n"
    "# One folder per connection, in order (001, 002, ...): connection.txt says\n"
    "# where it went and what the server did, \"sent\" holds every byte sent and\n"
    "# each received-NNN file one piece read from the server (after TLS).\n"
    "# Cookies, passwords and everything else are kept in clear.\n";
const char kConnectionFile[] = "connection.txt";
const char kSentFile[] = "sent";

namespace {

const char* const kFailureKinds[] = {"",        "no-socket", "not-resolved",
                                     "refused", "timed-out", "failed"};
const int kFailureKindCount = sizeof kFailureKinds / sizeof kFailureKinds[0];
// A name looked up without an address.
const char kNotResolved[] = "not-resolved";

struct EndWord {
  RecordedEvent::Kind kind;
  const char* word;
};
const EndWord kEndWords[] = {
    {RecordedEvent::kClosed, "closed"},
    {RecordedEvent::kClosedWithoutAlert, "closed-without-alert"},
    {RecordedEvent::kReset, "reset"},
    {RecordedEvent::kFailed, "failed"},
    {RecordedEvent::kClosedByQuorvane, "closed-by-quorvane"},
};

// How a handshake ended, as the tls line says it ("untrusted" comes with
// its reason).
struct HandshakeWord {
  TlsStart::Outcome outcome;
  const char* word;
};
const HandshakeWord kHandshakeWords[] = {
    {TlsStart::kDone, "verified"},      {TlsStart::kDone, "unverified"},
    {TlsStart::kTimedOut, "timed-out"}, {TlsStart::kNotTls, "not-tls"},
    {TlsStart::kFailed, "failed"},
};

std::vector<std::string> splitWords(const std::string& line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size()) {
    size_t end = line.find(' ', at);
    if (end == std::string::npos) end = line.size();
    if (end > at) words.push_back(line.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

// A whole decimal number (sign allowed) that fits an int.
bool readNumber(const std::string& text, int* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long value = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX) return false;
  *out = static_cast<int>(value);
  return true;
}

// "key=NUMBER".
bool readSetting(const std::string& word, const char* key, int* out) {
  size_t length = strlen(key);
  return word.compare(0, length, key) == 0 && word.size() > length && word[length] == '=' &&
         readNumber(word.substr(length + 1), out);
}

// Reads one line after the first into *out; false when it is not a line
// of the format.
bool parseEventLine(const std::string& line, RecordedConnection* out) {
  std::vector<std::string> words = splitWords(line);
  const std::string& key = words[0];
  if (key == "connect-failed" && words.size() == 5) {
    ConnectFailure& failure = out->failure;
    for (int kind = 1; kind < kFailureKindCount; ++kind) {
      if (words[1] == kFailureKinds[kind]) failure.kind = static_cast<ConnectFailure::Kind>(kind);
    }
    return failure.kind != ConnectFailure::kNone &&
           readSetting(words[2], "error", &failure.error) &&
           readSetting(words[3], "seconds", &failure.seconds) &&
           readSetting(words[4], "attempts", &failure.attempts);
  }
  if (key == "tls" && words.size() >= 3) {
    if (out->tls) return false;
    out->tls = true;
    out->tlsAt = out->events.size();
    out->verified = words[2] != "unverified";
    if (words[2] == "untrusted" && words.size() > 3) {
      // The reason is the rest of the line after the third word.
      size_t at = line.find(words[2], line.find(words[1]) + words[1].size());
      out->untrusted = line.substr(line.find_first_not_of(' ', at + words[2].size()));
      out->handshake = TlsStart::kUntrusted;
      return true;
    }
    bool known = false;
    for (const HandshakeWord& word : kHandshakeWords) {
      if (words[2] == word.word) {
        out->handshake = word.outcome;
        known = true;
      }
    }
    return words.size() == 3 && known;
  }
  if (key == "looked-up" && words.size() == 3) {
    std::vector<std::string> addresses;
    for (size_t at = 0; words[2] != kNotResolved && at <= words[2].size();) {
      size_t comma = std::min(words[2].find(',', at), words[2].size());
      addresses.push_back(words[2].substr(at, comma - at));
      at = comma + 1;
    }
    out->lookUps.emplace_back(words[1], addresses);
    return true;
  }
  if (key == "send-failed" && words.size() == 2) {
    out->sendFailed = true;
    return readNumber(words[1], &out->sendResult) && out->sendResult <= 0;
  }
  RecordedEvent event;
  if (key == "received" && (words.size() == 2 || (words.size() == 3 && words[2] == "held"))) {
    event.file = words[1];
    event.held = words.size() == 3;
    // A piece is a file of the connection's own folder.
    if (event.file.find('/') != std::string::npos || event.file[0] == '.') return false;
  } else if (key == "timed-out" && words.size() == 1) {
    event.kind = RecordedEvent::kTimedOut;
  } else if (key == "end" && words.size() >= 2) {
    bool known = false;
    for (const EndWord& end : kEndWords) {
      if (words[1] == end.word) {
        event.kind = end.kind;
        known = true;
      }
    }
    size_t expected = event.kind == RecordedEvent::kFailed ? 3 : 2;
    if (!known || words.size() != expected) return false;
    // A failed read gives -1; other negative results mean other things
    // (a TLS read that waits), which a recording never writes as an end.
    if (event.kind == RecordedEvent::kFailed &&
        (!readNumber(words[2], &event.result) || event.result != -1)) {
      return false;
    }
  } else {
    return false;
  }
  out->events.push_back(event);
  return true;
}

}  // namespace

std::string connectionFolder(const std::string& dir, int number) {
  return dir + formatText("/%03d", number);
}

std::string pieceFileName(int number) {
  return formatText("received-%03d", number);
}

bool isEnd(RecordedEvent::Kind kind) {
  return kind != RecordedEvent::kPiece && kind != RecordedEvent::kTimedOut;
}

std::string connectionHeader(int number) {
  return formatText(
      "# Connection %d of a recorded run: where it went and what the server did,\n"
      "# in order. The bytes sent are in \"sent\"; each \"received\" line names\n"
      "# the file of one piece read (\"held\": read without waiting for it).\n",
      number);
}

std::string connectLine(const std::string& name, int port) {
  return formatText("connect %s %d\n", name.c_str(), port);
}

std::string connectFailedLine(const ConnectFailure& failure) {
  int kind =
      failure.kind > 0 && failure.kind < kFailureKindCount ? failure.kind : ConnectFailure::kFailed;
  return formatText("connect-failed %s error=%d seconds=%d attempts=%d\n", kFailureKinds[kind],
                    failure.error, failure.seconds, failure.attempts);
}

std::string tlsLine(const std::string& name, bool verified, const TlsStart& started) {
  if (started.outcome == TlsStart::kUntrusted)
    return formatText("tls %s untrusted %s\n", name.c_str(), started.untrusted.c_str());
  const char* word = verified ? "verified" : "unverified";
  for (const HandshakeWord& known : kHandshakeWords) {
    if (started.outcome != TlsStart::kDone && known.outcome == started.outcome) word = known.word;
  }
  return formatText("tls %s %s\n", name.c_str(), word);
}

std::string sendFailedLine(int result) {
  return formatText("send-failed %d\n", result);
}

std::string lookedUpLine(const std::string& name, const std::vector<std::string>& addresses) {
  std::string line = "looked-up " + name + " ";
  for (const std::string& address : addresses)
    line += (&address == &addresses[0] ? "" : ",") + address;
  return line + (addresses.empty() ? kNotResolved : "") + "\n";
}

std::string eventLine(const RecordedEvent& event) {
  if (event.kind == RecordedEvent::kPiece) {
    return "received " + event.file + (event.held ? " held\n" : "\n");
  }
  if (event.kind == RecordedEvent::kTimedOut) return "timed-out\n";
  for (const EndWord& end : kEndWords) {
    if (end.kind != event.kind) continue;
    if (event.kind == RecordedEvent::kFailed) return formatText("end failed %d\n", event.result);
    return std::string("end ") + end.word + "\n";
  }
  return std::string();
}

bool parseConnection(const std::string& text, RecordedConnection* out, std::string* error) {
  *out = RecordedConnection();
  bool haveTarget = false;
  size_t at = 0;
  for (int number = 1; at < text.size(); ++number) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> words = splitWords(line);
    bool good;
    if (!haveTarget) {
      good = words.size() == 3 && words[0] == "connect" && readNumber(words[2], &out->port);
      if (good) out->name = words[1];
      haveTarget = good;
    } else {
      good = !words.empty() && words[0] != "connect" && parseEventLine(line, out);
    }
    if (!good) {
      *error = formatText(
          "line %d: %s", number,
          haveTarget ? "not an event of a connection" : "the first line is \"connect HOST PORT\"");
      return false;
    }
  }
  if (!haveTarget) {
    *error = "no \"connect HOST PORT\" line";
    return false;
  }
  return true;
}

int makeFolders(const std::string& path, unsigned mode) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    bool last = slash == std::string::npos;
    if (mkdir(part.c_str(), last ? static_cast<mode_t>(mode) : 0777) != 0 && errno != EEXIST) {
      return errno;
    }
    if (last) break;
  }
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return errno;
  return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

int appendBytes(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t done = write(fd, bytes, length);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return done < 0 ? errno : EIO;
    bytes += done;
    length -= static_cast<size_t>(done);
  }
  return 0;
}

int writeRecordingFile(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                static_cast<mode_t>(kRecordingFileMode));
  if (fd < 0) return errno;
  int error = appendBytes(fd, bytes.data(), bytes.size());
  if (close(fd) != 0 && error == 0) error = errno;
  return error;
}

int openRecordingFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat info;
  int error = fstat(fd, &info) != 0 ? errno : S_ISREG(info.st_mode) ? 0 : EINVAL;
  if (error != 0) {
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

int readRecordingFile(const std::string& path, std::string* bytes) {
  bytes->clear();
  int fd = openRecordingFile(path);
  if (fd < 0) return errno;
  char buffer[64 * 1024];
  int error = 0;
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = errno;
    if (got <= 0) break;
    bytes->append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return error;
}
