// The loop of a download in pieces: the connections, their answers judged
// against the first one, their bytes written where they belong, and the
// retries of pieces cut short, all driven by one poll.
#include "http/split_download.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/interrupt.h"
#include "base/messages.h"
#include "http/http_status.h"
#include "http/session.h"
#include "http/splice_pipe.h"

namespace {

// What `failure` says happened, without the "download incomplete" that
// the sentence of the run's failure puts in front anyway.
std::string whatHappened(const Status& failure) {
  const std::string& message = failure.message();
  size_t prefix = failure.detail().size() + 2;
  if (failure.code() == kUnknownError && message.size() > prefix) return message.substr(prefix);
  return message;
}

// Progress figures are in kilobytes.
const int64_t kKilobyte = 1024;
// While pieces arrive, the list of bytes held is kept at most this often
// (and whenever a piece is done): a run that is killed loses at most this
// much of its work, and the list is never ahead of the file.
const int64_t kKeepHeldMicros = 1000 * 1000;
// A read that does not go through the pipe (TLS, bytes compared with the
// file) takes at most this much at once: sixteen connections then hold one
// MiB between them.
const int32_t kPieceReadBytes = 64 * 1024;

// While a connection's bytes stream in, its waits end only once this much
// is there (or its piece ends, or the peer closes): sixteen fast senders
// then wake the loop once per batch each, not once per packet.
const int kWakeBatchBytes = 128 * 1024;
// A connection that has not woken for this long while waiting for a batch
// waits for any byte instead, so that a slow sender is never held back
// and its silence is measured from what it really sent.
const int64_t kBatchPatienceMicros = 100 * 1000;

// Each connection has the file set room aside this far ahead of its
// writes, within its piece: the blocks of a piece then lie in a few large
// runs, and closing the file need not place them all at once.
const int64_t kReserveAhead = 16 * 1024 * 1024;

const char kIncomplete[] = "download incomplete";

// Where a connection of the download stands.
enum class Stage {
  kIdle,     // no piece: takes one when there is one
  kAnswer,   // its request is sent; the answer's header is awaited
  kBody,     // its answer's bytes are being written
  kWaiting,  // its piece was cut: asks again at wakeAt
  kRetired,  // does no more
};

struct Connection {
  // The session of its own requests; the first connection begins with the
  // session's response at hand.
  std::unique_ptr<HttpSession> own;
  HttpSession* session = nullptr;
  Stage stage = Stage::kIdle;
  // The start of its piece in the plan; -1: none.
  int64_t piece = -1;
  // Where in the file the next byte of its answer goes, and where the
  // answer's bytes end.
  int64_t at = 0;
  int64_t answerEnd = 0;
  // The range its request asked for.
  int64_t first = 0;
  int64_t last = 0;
  // Its request resumes a piece it had begun: a failure is a failed
  // attempt, not a piece handed back.
  bool resuming = false;
  int32_t retries = 0;
  int64_t wakeAt = 0;
  // When it last brought a byte (or sent its request), for the time-out.
  int64_t lastActive = 0;
  // Its request asks for the whole file: the answer is a 200 whose bytes
  // before its piece are passed over.
  bool whole = false;
  // Its answer's bytes go through the pipe, while nothing refused that.
  bool piped = true;
  // Its waits end once this many bytes are there (1: any), and whether
  // they wait for batches while its sender keeps up.
  int wakeBytes = 1;
  bool batched = true;
  // Room is set aside in the file up to here for its writes.
  int64_t reservedTo = 0;
};

class SplitDownload {
 public:
  SplitDownload(HttpSession& session, PieceSink& sink, const char* name, const SplitStart& start,
                int connections, const RetryPolicy& retry)
      : session_(session),
        sink_(sink),
        name_(name),
        file_(start.file),
        plan_(start.file.length, start.held),
        retry_(retry),
        connections_(static_cast<size_t>(connections)) {
    count_ = plan_.heldBytes();
    if (!start.held.empty()) resumedName_ = start.outputName;
  }
  SplitDownload(const SplitDownload&) = delete;
  SplitDownload& operator=(const SplitDownload&) = delete;

  Status run() {
    // An interrupt ends the download in order, with what it wrote kept.
    InterruptCatcher catcher;
    if (count_ == 0) {
      // The response at hand reads the first piece.
      plan_.cutInto(static_cast<int>(connections_.size()));
      Connection& reader = connections_[0];
      reader.session = &session_;
      reader.stage = Stage::kBody;
      reader.piece = plan_.take(0, false);
      reader.answerEnd = file_.length;
      reader.lastActive = monotonicMicros();
      reader.piped = true;
      verboseNote(formatText("piece %lld-%lld on connection 1", 0LL,
                             static_cast<long long>(plan_.at(0).end - 1)));
    } else {
      session_.closeSlot(0);
      session_.clearBody();
    }
    showProgress(count_ / kKilobyte, file_.length / kKilobyte);
    shownKilobytes_ = count_ / kKilobyte;
    Status result = connections_[0].session != nullptr ? consumeHeld(connections_[0]) : Status();
    if (result.ok()) result = loop();
    for (Connection& connection : connections_) close(connection);
    if (!dropped_ && !plan_.complete()) {
      if (int error = sink_.keepHeld(plan_.held())) {
        if (result.ok()) result = writeFailure(error);
      }
    }
    report(kPlainText, "/\n");
    if (int signal = caughtSignal()) {
      result = Status(
          static_cast<ResultCode>(kInterrupted + signal),
          formatText("interrupted; %lld bytes kept in %s", static_cast<long long>(count_), name_));
    }
    return result;
  }

 private:
  // Until the file is whole, a failure ends it, or an interrupt comes.
  Status loop() {
    while (!plan_.complete()) {
      if (caughtSignal() != 0) return Status();
      startRequests();
      if (!failure_.ok()) return failure_;
      if (plan_.complete()) break;
      // Pieces that nobody may ask a range for any more are read from a
      // request for the whole file, once.
      if (!anyAtWork() && noMoreRanges_ && !askedWhole_) askWhole();
      if (!anyAtWork()) {
        return Status::unknownError(
            kIncomplete, formatText("%s, then no connection was left for the bytes from %lld on",
                                    written().c_str(), static_cast<long long>(firstMissing())));
      }
      waitAndServe();
      if (!failure_.ok()) return failure_;
      checkTimes();
      if (!failure_.ok()) return failure_;
      if (monotonicMicros() - keptAt_ >= kKeepHeldMicros) keepHeld();
    }
    return failure_;
  }

  // Idle connections take pieces and ask for them; connections whose wait
  // is over ask again.
  void startRequests() {
    int64_t now = monotonicMicros();
    for (size_t i = 0; i < connections_.size() && failure_.ok(); ++i) {
      Connection& connection = connections_[i];
      if (connection.stage == Stage::kWaiting && now >= connection.wakeAt) {
        ask(connection, i);
      } else if (connection.stage == Stage::kIdle) {
        // After a 200 to a ranged request no other range is asked for.
        if (noMoreRanges_) {
          connection.stage = Stage::kRetired;
          continue;
        }
        int64_t piece = plan_.take(static_cast<int>(i), true);
        if (piece < 0) continue;
        connection.piece = piece;
        connection.resuming = false;
        ask(connection, i);
      }
    }
  }

  // Sends the request for the rest of the connection's piece, from up to
  // kResumeOverlap bytes of it already in the file.
  void ask(Connection& connection, size_t index) {
    Piece& piece = plan_.at(connection.piece);
    prepare(connection, piece.done - plan_.overlap(piece.start), piece.end, false);
    connection.last = piece.end - 1;
    verboseNote(formatText("piece %lld-%lld on connection %d",
                           static_cast<long long>(connection.first),
                           static_cast<long long>(connection.last), static_cast<int>(index + 1)));
    send(connection,
         connection.session->sendRange(connection.first, connection.last, file_.ifRange().c_str()));
  }

  // Readies `connection`, on a session of its own, for an answer whose
  // bytes go from `first` up to `answerEnd` in the file (`whole`: an
  // answer of the whole file).
  void prepare(Connection& connection, int64_t first, int64_t answerEnd, bool whole) {
    if (!connection.own) connection.own = session_.sibling();
    connection.session = connection.own.get();
    connection.first = first;
    connection.at = first;
    connection.answerEnd = answerEnd;
    connection.piped = true;
    connection.whole = whole;
    connection.wakeBytes = 1;
    connection.reservedTo = 0;
    connection.stage = Stage::kAnswer;
  }

  // After the request of `connection` was sent with the result `sent`.
  void send(Connection& connection, const Status& sent) {
    connection.lastActive = monotonicMicros();
    if (!sent.ok()) answerFailed(connection, sent);
  }

  // Asks for the whole file again, without Range, to read the first piece
  // nobody fetches: the bytes before it are passed over, and the answer
  // reads on through the pieces after it that nobody fetches either.
  void askWhole() {
    askedWhole_ = true;
    Connection& connection = connections_[0];
    int64_t piece = plan_.take(0, false);
    if (piece < 0) return;
    connection.piece = piece;
    connection.resuming = false;
    prepare(connection, 0, file_.length, true);
    verboseNote(formatText("the whole file on connection 1, for the bytes from %lld on",
                           static_cast<long long>(piece)));
    send(connection, connection.session->sendRange(-1, -1, nullptr));
  }

  bool anyAtWork() const {
    for (const Connection& connection : connections_) {
      if (connection.stage == Stage::kAnswer || connection.stage == Stage::kBody ||
          connection.stage == Stage::kWaiting) {
        return true;
      }
    }
    return false;
  }

  // One poll over every connection that awaits bytes, then a step for each
  // that has some. A link without a descriptor, or with bytes held, is
  // ready at once.
  void waitAndServe() {
    std::vector<pollfd> entries;
    std::vector<size_t> polled;
    std::vector<size_t> ready;
    int64_t now = monotonicMicros();
    int64_t wake = now + kKeepHeldMicros;
    for (size_t i = 0; i < connections_.size(); ++i) {
      Connection& connection = connections_[i];
      if (connection.stage == Stage::kWaiting) wake = std::min(wake, connection.wakeAt);
      if (connection.stage != Stage::kAnswer && connection.stage != Stage::kBody) continue;
      if (limitMicros() > 0) wake = std::min(wake, connection.lastActive + limitMicros());
      Link* link = connection.session->connection(0);
      if (link == nullptr || link->descriptor() < 0 || link->pending() > 0) {
        ready.push_back(i);
        continue;
      }
      entries.push_back(pollfd{link->descriptor(), POLLIN, 0});
      polled.push_back(i);
      if (connection.stage != Stage::kBody) continue;
      if (connection.wakeBytes > 1 && now - connection.lastActive >= kBatchPatienceMicros) {
        connection.batched = false;
      }
      int64_t left = plan_.at(connection.piece).end - connection.at;
      int bytes =
          connection.batched ? static_cast<int>(std::min<int64_t>(left, kWakeBatchBytes)) : 1;
      if (bytes != connection.wakeBytes) link->setWakeThreshold(bytes);
      connection.wakeBytes = bytes;
      if (bytes > 1) wake = std::min(wake, now + kBatchPatienceMicros);
    }
    int timeout = 0;
    if (ready.empty()) {
      int64_t millis = wake > now ? (wake - now + 999) / 1000 : 0;
      timeout = static_cast<int>(std::min<int64_t>(millis, INT32_MAX));
    }
    int got = poll(entries.data(), entries.size(), timeout);
    if (got < 0) {
      if (errno == EINTR) return;
      failure_ = Status::unknownError(kIncomplete,
                                      formatText("%s, then waiting for the connections failed (%s)",
                                                 written().c_str(), strerror(errno)));
      return;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].revents != 0) ready.push_back(polled[i]);
    }
    for (size_t index : ready) {
      if (!failure_.ok() || caughtSignal() != 0) return;
      serve(connections_[index]);
    }
  }

  // The time-out of a connection's silence in microseconds; 0: none.
  int64_t limitMicros() const {
    int32_t seconds = session_.settings().timeoutSeconds;
    return seconds > 0 ? seconds * limitSecondMicros() : 0;
  }

  // Connections that stayed silent beyond the time-out are cut.
  void checkTimes() {
    int64_t now = monotonicMicros();
    int64_t limit = limitMicros();
    for (Connection& connection : connections_) {
      if (limit == 0 || now - connection.lastActive < limit || !failure_.ok()) continue;
      int seconds = static_cast<int>(session_.settings().timeoutSeconds);
      if (connection.stage == Stage::kAnswer) {
        answerFailed(
            connection,
            Status(kTimedOut, formatText("%s did not answer within %d s",
                                         connection.session->describePeer().c_str(), seconds)));
      } else if (connection.stage == Stage::kBody) {
        cut(connection,
            Status(kTimedOut, formatText("%s sent nothing more for %d s",
                                         connection.session->describePeer().c_str(), seconds)));
      }
    }
  }

  void serve(Connection& connection) {
    if (connection.stage == Stage::kAnswer) {
      readAnswer(connection);
    } else if (connection.stage == Stage::kBody) {
      readBody(connection);
    }
  }

  // The answer's header: a 206 of the same file and the range asked for,
  // or the piece is not joined.
  void readAnswer(Connection& connection) {
    HttpSession& session = *connection.session;
    Status got = session.receive();
    if (!got.ok()) return answerFailed(connection, got);
    connection.lastActive = monotonicMicros();
    std::string why;
    if (connection.whole) {
      FileIdentity now = identifyFile(session);
      if (session.status() == kStatusOk && now.length == file_.length &&
          comparePart(file_, now) == PartVerdict::kSame) {
        connection.stage = Stage::kBody;
        Status held = consumeHeld(connection);
        if (!held.ok()) failure_ = held;
        return;
      }
      return answerFailed(
          connection, Status::unknownError(
                          kIncomplete, session.answered() + " to the request for the whole file"));
    }
    if (session.status() == kStatusPartialContent) {
      RangeVerdict verdict = judgePiece(file_, session.responseHeader().data(), connection.first,
                                        connection.last, &why);
      if (verdict == RangeVerdict::kContinues) {
        connection.stage = Stage::kBody;
        if (!resumedName_.empty()) {
          reportNotice(formatText("resuming %s at %lld bytes", resumedName_.c_str(),
                                  static_cast<long long>(plan_.heldBytes())));
          resumedName_.clear();
        }
        Status held = consumeHeld(connection);
        if (!held.ok()) failure_ = held;
        return;
      }
    } else if (session.status() == kStatusOk) {
      // The server does not give pieces (or not of this file): the
      // connections at work go on, and no other range is asked for.
      noMoreRanges_ = true;
    }
    answerFailed(connection,
                 Status::unknownError(kIncomplete,
                                      formatText("%s to the request for the bytes %lld-%lld%s",
                                                 session.answered().c_str(),
                                                 static_cast<long long>(connection.first),
                                                 static_cast<long long>(connection.last),
                                                 why.empty() ? "" : (" (" + why + ")").c_str())));
  }

  // An answer that does not continue the piece: a first request hands the
  // piece back to the others and the connection does no more; a request
  // that resumes a piece has failed an attempt.
  void answerFailed(Connection& connection, const Status& why) {
    if (connection.resuming) return cut(connection, why);
    close(connection);
    verboseNote(why.message() + "; its piece goes back to the other connections");
    plan_.release(connection.piece);
    connection.piece = -1;
    connection.stage = Stage::kRetired;
  }

  // The connection's piece broke off: it is asked for again after the wait
  // when a retry is left; otherwise the download ends.
  void cut(Connection& connection, const Status& why) {
    close(connection);
    std::string reason = why.code() == kUnknownError ? why.detail() : why.message();
    if (connection.retries >= retry_.retries) {
      failure_ = Status::unknownError(kIncomplete, written() + ", then " + whatHappened(why));
      return;
    }
    ++connection.retries;
    int32_t seconds = retryWaitSeconds(connection.retries);
    verboseNote(why.message());
    reportNotice(formatText("download interrupted at %lld bytes (%s); retrying in %d s (%d of %d)",
                            static_cast<long long>(count_), reason.c_str(),
                            static_cast<int>(seconds), static_cast<int>(connection.retries),
                            static_cast<int>(retry_.retries)));
    connection.stage = Stage::kWaiting;
    connection.resuming = true;
    connection.wakeAt = monotonicMicros() + int64_t{seconds} * retry_.secondMillis * 1000;
  }

  void close(Connection& connection) {
    if (connection.session != nullptr) {
      connection.session->closeSlot(0);
      connection.session->clearBody();
    }
  }

  // The bytes that came with the answer's header.
  Status consumeHeld(Connection& connection) {
    HttpSession& session = *connection.session;
    const char* data = session.body().data();
    int64_t length = session.body().length();
    Status wrote = data != nullptr ? consume(connection, data, length) : Status();
    session.clearBody();
    if (wrote.ok()) afterBytes(connection);
    return wrote;
  }

  // One step of a connection whose answer's bytes arrive.
  void readBody(Connection& connection) {
    HttpSession& session = *connection.session;
    Piece& piece = plan_.at(connection.piece);
    if (connection.piped && connection.at >= piece.done && pipe_.ok()) {
      int32_t most = static_cast<int32_t>(
          std::min<int64_t>(piece.end - connection.at, pipe_.capacity() - pipe_.held()));
      reserveFor(connection, piece, most);
      bool refused = false;
      Status got = session.receiveInto(pipe_, most, &refused);
      if (!refused) {
        if (!got.ok()) return cut(connection, brokeOff(got));
        int held = pipe_.held();
        int error = sink_.writeFromAt(pipe_, connection.at);
        if (error == kDrainRefused) {
          // The file takes nothing from a pipe: through memory from now on.
          std::string bytes(static_cast<size_t>(held), '\0');
          if (pipe_.readHeld(&bytes[0], held) != held) error = EIO;
          error = error != 0 ? error : sink_.writeAt(connection.at, bytes.data(), bytes.size());
          for (Connection& each : connections_) each.piped = false;
        }
        if (error != 0) {
          failure_ = writeFailure(error);
          return;
        }
        advance(connection, piece, held);
        // A sender that fills a batch at once is waited for in batches.
        if (held >= kWakeBatchBytes) connection.batched = true;
        return afterBytes(connection);
      }
      connection.piped = false;
    }
    session.reserveBody(kPieceReadBytes);
    Status got = session.receive();
    Status wrote = consume(connection, session.body().data(), session.body().length());
    session.clearBody();
    if (!wrote.ok()) {
      failure_ = wrote;
      return;
    }
    if (!got.ok()) {
      // A close at the very end of the piece's bytes ends nothing early.
      if (connection.at < plan_.at(connection.piece).end) return cut(connection, brokeOff(got));
    }
    afterBytes(connection);
  }

  // Before `bytes` are written at the connection's place in `piece`: room
  // for them and kReserveAhead more, up to the piece's end.
  void reserveFor(Connection& connection, const Piece& piece, int64_t bytes) {
    int64_t needed = connection.at + bytes;
    if (needed <= connection.reservedTo) return;
    int64_t from = std::max(connection.at, connection.reservedTo);
    int64_t to = std::min(needed + kReserveAhead, piece.end);
    if (to > from) sink_.reserve(from, to);
    connection.reservedTo = to;
  }

  // A read that failed: a time-out as it is, anything else leaves the
  // piece incomplete.
  static Status brokeOff(const Status& failure) {
    if (failure.code() == kTimedOut || failure.code() == kUnknownError) return failure;
    return Status::unknownError(kIncomplete, failure.message());
  }

  // Counts `bytes` written at the connection's place in its piece.
  void advance(Connection& connection, Piece& piece, int64_t bytes) {
    connection.at += bytes;
    piece.done += bytes;
    count_ += bytes;
    connection.lastActive = monotonicMicros();
  }

  // Bytes of the connection's answer: those its piece holds already are
  // compared with the file, the others written, up to the piece's end; an
  // answer that runs on goes into the next piece while nobody fetches it.
  Status consume(Connection& connection, const char* data, int64_t length) {
    while (length > 0) {
      Piece* piece = &plan_.at(connection.piece);
      if (connection.at >= piece->end) {
        if (!readsOn(connection)) return Status();
        piece = &plan_.at(connection.piece);
      }
      int64_t step;
      if (connection.at < piece->start) {
        // Bytes of other pieces, before the one it reads for.
        step = std::min(length, piece->start - connection.at);
        connection.at += step;
        connection.lastActive = monotonicMicros();
      } else if (connection.at < piece->done) {
        step = std::min(length, std::min<int64_t>(piece->done - connection.at, kPieceReadBytes));
        compared_.resize(static_cast<size_t>(step));
        if (int error = sink_.readAt(connection.at, &compared_[0], compared_.size())) {
          return writeFailure(error);
        }
        if (memcmp(compared_.data(), data, compared_.size()) != 0) return changed(connection);
        connection.at += step;
        connection.lastActive = monotonicMicros();
      } else {
        step = std::min(length, piece->end - connection.at);
        reserveFor(connection, *piece, step);
        if (int error = sink_.writeAt(connection.at, data, static_cast<size_t>(step))) {
          return writeFailure(error);
        }
        advance(connection, *piece, step);
      }
      data += step;
      length -= step;
    }
    return Status();
  }

  // After bytes: a connection at the end of its piece reads on, or is done
  // with it.
  void afterBytes(Connection& connection) {
    if (connection.stage == Stage::kBody && connection.at >= plan_.at(connection.piece).end &&
        !readsOn(connection)) {
      close(connection);
      plan_.release(connection.piece);
      connection.piece = -1;
      connection.stage = Stage::kIdle;
      connection.resuming = false;
      keepHeld();
    }
    if (count_ / kKilobyte != shownKilobytes_) {
      shownKilobytes_ = count_ / kKilobyte;
      showProgress(shownKilobytes_, file_.length / kKilobyte);
    }
  }

  // Moves a connection whose answer runs past the end of its piece into
  // the next piece, when nobody fetches that one and it still lacks bytes.
  bool readsOn(Connection& connection) {
    Piece& piece = plan_.at(connection.piece);
    Piece* next = plan_.next(piece.start);
    if (connection.answerEnd <= piece.end || next == nullptr || next->start != piece.end ||
        next->owner != kNoOwner || next->left() == 0) {
      return false;
    }
    plan_.release(piece.start);
    next->owner = static_cast<int>(&connection - connections_.data());
    connection.piece = next->start;
    return true;
  }

  // The bytes a piece repeats differ from those in the file: the file
  // changed on the server, and nothing of it is kept.
  Status changed(Connection& connection) {
    dropped_ = true;
    if (int error = sink_.drop()) return writeFailure(error);
    Status failure = Status::unknownError(
        kIncomplete, formatText("%s, then the file changed on the server (%s: its bytes from "
                                "%lld on differ from those written)",
                                written().c_str(), connection.session->answered().c_str(),
                                static_cast<long long>(connection.at)));
    count_ = 0;
    return failure;
  }

  void keepHeld() {
    keptAt_ = monotonicMicros();
    if (dropped_) return;
    if (int error = sink_.keepHeld(plan_.held())) failure_ = writeFailure(error);
  }

  int64_t firstMissing() {
    std::vector<ByteRange> held = plan_.held();
    return !held.empty() && held[0].start == 0 ? held[0].end : 0;
  }

  std::string written() const {
    return formatText("%lld of %lld bytes written to %s", static_cast<long long>(count_),
                      static_cast<long long>(file_.length), name_);
  }

  Status writeFailure(int error) {
    std::string detail = formatText("cannot write the output file (%s)", strerror(error));
    return Status::unknownError(detail.c_str(), written());
  }

  HttpSession& session_;
  PieceSink& sink_;
  const char* name_;
  const FileIdentity file_;
  PiecePlan plan_;
  const RetryPolicy& retry_;
  std::vector<Connection> connections_;
  // Bytes in the file, and the figure the progress line shows.
  int64_t count_ = 0;
  int64_t shownKilobytes_ = 0;
  // The output's name until the line that says the download goes on from
  // an earlier run is said; "" otherwise.
  std::string resumedName_;
  // A ranged request was answered 200: no other range is asked for; the
  // whole file was asked for once instead.
  bool noMoreRanges_ = false;
  bool askedWhole_ = false;
  // The file was dropped: its list of bytes is not kept.
  bool dropped_ = false;
  int64_t keptAt_ = 0;
  Status failure_;
  // Every piece that goes through the system passes this pipe, which is
  // emptied into the file at once.
  SplicePipe pipe_;
  // The file's bytes that an answer repeats, read back for the comparison.
  std::string compared_;
};

}  // namespace

Status downloadInPieces(HttpSession& session, PieceSink& sink, const char* partName,
                        const SplitStart& start, int connections, const RetryPolicy& retry) {
  if (connections < 1) connections = 1;
  if (connections > kMaxSplitConnections) connections = kMaxSplitConnections;
  SplitDownload download(session, sink, partName, start, connections, retry);
  return download.run();
}
