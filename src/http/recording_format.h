// The files of a recorded run, as "--record DIR" writes them and "--replay
// DIR" reads them. Plain files that a person can read and edit:
//
//   DIR/recording.txt          marks the folder as a recording (comments only)
//   DIR/001/connection.txt     the first connection: where it went and what
//                              the server did, one line per event
//   DIR/001/sent               every byte sent on it (after TLS: clear text)
//   DIR/001/received-001 ...   one file per piece read from it, as one read
//                              of the program took it
//
// connection.txt holds, after "#" comment lines:
//
//   connect HOST PORT                       the target, always first
//   connect-failed KIND error=E seconds=S attempts=A
//                                           KIND: no-socket, not-resolved,
//                                           refused, timed-out or failed
//   looked-up NAME ADDRESS,...|not-resolved a name looked up for a proxy
//                                           that is handed its addresses
//   tls NAME verified|unverified            TLS was set up (after the events
//                                           of a proxy's tunnel, if any)
//   tls NAME untrusted REASON...            the certificate failed its check
//   tls NAME timed-out|not-tls|failed       the handshake did not finish in
//                                           time, met no TLS, or failed
//   received FILE [held]                    a piece; "held": the TLS layer
//                                           held it, so it was read without
//                                           a wait (it joins the piece before)
//   timed-out                               a wait for data ran out
//   send-failed RESULT                      a send after the bytes of "sent"
//                                           failed with RESULT
//   end closed | closed-without-alert | reset | failed RESULT | closed-by-quorvane
//
// "end closed" is a server's close (over TLS: after its closing alert).
// A received file may be edited, emptied or removed with its line: piece
// boundaries are the files, nothing counts their bytes.
#ifndef QUORVANE_HTTP_RECORDING_FORMAT_H_
#define QUORVANE_HTTP_RECORDING_FORMAT_H_

#include <string>
#include <utility>
#include <vector>

#include "http/transport.h"

extern const char kRecordingMarkerFile[];
extern const char kRecordingMarkerText[];
extern const char kConnectionFile[];
extern const char kSentFile[];

// DIR/NNN, the folder of connection `number` (from 1): three digits or more.
std::string connectionFolder(const std::string& dir, int number);
// "received-NNN", the file of piece `number` (from 1).
std::string pieceFileName(int number);

// What the server side did, in the order the program met it.
struct RecordedEvent {
  enum Kind {
    kPiece,               // bytes read
    kTimedOut,            // a wait ran out
    kClosed,              // the server closed (over TLS: with the closing alert)
    kClosedWithoutAlert,  // the TLS peer closed without the closing alert
    kReset,               // the connection was reset
    kFailed,              // a read or wait failed otherwise, with `result`
    kClosedByQuorvane,    // the program closed it first (nothing to replay)
  };
  Kind kind = kPiece;
  std::string file;   // kPiece: the file in the connection's folder
  bool held = false;  // kPiece and the ends: read without a wait before it
  int result = -1;    // kFailed: what the read returned
};

// Whether `kind` ends what the server sends.
bool isEnd(RecordedEvent::Kind kind);

// One connection as connection.txt tells it.
struct RecordedConnection {
  std::string name;
  int port = 0;
  ConnectFailure failure;  // kind kNone: it connected
  bool tls = false;
  // The events before TLS was set up (those of a proxy's tunnel).
  size_t tlsAt = 0;
  bool verified = true;
  TlsStart::Outcome handshake = TlsStart::kDone;
  std::string untrusted;  // kUntrusted: the reason the certificate failed
  bool sendFailed = false;
  int sendResult = 0;  // what the failed send returned
  std::vector<RecordedEvent> events;
  // The names looked up on it, in order, and their addresses (none: not
  // resolved).
  std::vector<std::pair<std::string, std::vector<std::string>>> lookUps;
};

// The lines of connection.txt, each with its line feed.
std::string connectionHeader(int number);
std::string connectLine(const std::string& name, int port);
std::string connectFailedLine(const ConnectFailure& failure);
std::string tlsLine(const std::string& name, bool verified, const TlsStart& started);
std::string sendFailedLine(int result);
std::string lookedUpLine(const std::string& name, const std::vector<std::string>& addresses);
std::string eventLine(const RecordedEvent& event);

// The files of a recording are its owner's alone: they hold cookies and
// everything else in clear.
const unsigned kRecordingFileMode = 0600;
// A replay reads a file of the recording at most this much at a time: a
// piece that is larger is served in several reads, so that an edited
// recording cannot make the program take its size in memory at once.
const size_t kMaxRecordingRead = 1024 * 1024;

// Files. Each returns 0 or the system's error number.
// Makes `path` with `mode` and the folders above it that are missing.
int makeFolders(const std::string& path, unsigned mode);
// Writes `bytes` as the whole new content of `path` (mode
// kRecordingFileMode); a link of that name is not followed.
int writeRecordingFile(const std::string& path, const std::string& bytes);
// Appends `length` bytes to the open descriptor `fd`.
int appendBytes(int fd, const char* bytes, size_t length);
// Opens `path` for reading when it is a regular file (a symbolic link is
// followed to a regular file only), without waiting: a FIFO or a device is
// refused with EINVAL before anything is read. Returns the descriptor, or
// -1 with errno.
int openRecordingFile(const std::string& path);
// Reads all of `path` into *bytes (a regular file, as openRecordingFile).
int readRecordingFile(const std::string& path, std::string* bytes);

// Reads the text of a connection.txt into *out. False with *error ("line N:
// what is wrong") when a line is not one of the above or "connect" is not
// the first.
bool parseConnection(const std::string& text, RecordedConnection* out, std::string* error);

#endif  // QUORVANE_HTTP_RECORDING_FORMAT_H_
