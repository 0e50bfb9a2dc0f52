// Recording and replaying through a session, where the end-to-end cases
// cannot steer the network: pieces that the TLS layer holds (read without a
// wait and joined to the piece before), a read that fails, and a write of
// the recording that fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "http/recording_transport.h"
#include "http/replay_transport.h"
#include "http/session.h"
#include "support/capture.h"
#include "support/fake_transport.h"

namespace {

// What a session makes of one TLS exchange, step by step: the result of the
// request, then of each receive with the body's length after it.
std::vector<std::string> exchange(Transport& transport) {
  StdoutCapture quiet;
  HttpSession session(transport);
  session.resetRequest();
  session.setTarget("https://127.0.0.1:8443/page");
  std::vector<std::string> steps;
  Status result = session.request("GET");
  steps.push_back(std::to_string(result.code()) + " " + result.message());
  // A time-out does not end the connection: the next receive reads on.
  while ((result.ok() || result.code() == kTimedOut) && steps.size() < 20) {
    result = session.receive();
    steps.push_back(std::to_string(result.code()) + " " + std::to_string(session.body().length()) +
                    " " + result.message());
  }
  return steps;
}

std::string withoutComments(const std::string& text) {
  std::string kept;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
    if (text[at] != '#') kept += text.substr(at, end - at);
    at = end;
  }
  return kept;
}

TEST(RecordReplayTest, ASessionMeetsInTheReplayWhatItMetWhenRecorded) {
  TempDir folder;
  const std::string dir = folder.path() + "/rec";
  FakeTransport net;
  FakeConnection& c = net.addConnection();
  c.tlsPending = 1;
  // The TLS layer holds every piece (so the reads go without a wait): the
  // header whole, the body in reads of 4 bytes that one receive joins; then
  // a wait runs out; then more, and a failed read.
  c.deliver("HTTP/1.0 200 OK\r\n\r\n").deliver("0123456789", 4).stall().deliver("abc").error();
  std::vector<std::string> recorded;
  {
    RecordingTransport recorder(net, dir);
    recorded = exchange(recorder);
    EXPECT_TRUE(recorder.stopped().ok()) << recorder.stopped().message();
  }
  ASSERT_EQ(5u, recorded.size());
  EXPECT_EQ("0 10 ", recorded[1].substr(0, 5));
  EXPECT_EQ("206 10 ", recorded[2].substr(0, 7));
  EXPECT_EQ("605 13 ", recorded[4].substr(0, 7));
  EXPECT_EQ(
      "connect 127.0.0.1 8443\ntls 127.0.0.1 verified\nreceived received-001 held\n"
      "received received-002 held\nreceived received-003 held\nreceived received-004 held\n"
      "timed-out\nreceived received-005 held\nend failed -1\n",
      withoutComments(readFile(dir + "/001/connection.txt")));

  // A recording holds cookies in clear: its folder and files are private.
  struct stat info;
  ASSERT_EQ(0, stat(dir.c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 0777);
  ASSERT_EQ(0, stat((dir + "/001/received-001").c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);

  ReplayTransport replay(dir);
  ASSERT_TRUE(replay.start().ok());
  EXPECT_EQ(recorded, exchange(replay));
  EXPECT_TRUE(replay.stopped().ok()) << replay.stopped().message();

  // A piece that is no regular file (a link to an endless device, a FIFO
  // nobody writes) stops the replay at once, naming it.
  for (const char* kind : {"device", "fifo"}) {
    SCOPED_TRACE(kind);
    const std::string piece = dir + "/001/received-001";
    ASSERT_EQ(0, unlink(piece.c_str()));
    ASSERT_EQ(0, std::string(kind) == "fifo" ? mkfifo(piece.c_str(), 0600)
                                             : symlink("/dev/zero", piece.c_str()));
    ReplayTransport broken(dir);
    ASSERT_TRUE(broken.start().ok());
    EXPECT_NE("0 ", exchange(broken)[0].substr(0, 2));
    EXPECT_EQ("replay: the recording cannot be read: " + piece + ": not a regular file",
              broken.stopped().message());
  }
}

TEST(RecordReplayTest, AFailedWriteStopsTheRecordingAndTheRun) {
  TempDir folder;
  FakeTransport net;
  net.addConnection().deliver("HTTP/1.0 200 OK\r\n\r\n").close();
  net.addConnection().deliver("HTTP/1.0 200 OK\r\n\r\n");
  RecordingTransport recorder(net, folder.path() + "/rec");
  EXPECT_EQ("0 ", exchange(recorder).front().substr(0, 2));
  // The second connection's folder is taken by a file.
  folder.write("rec/002", "");
  EXPECT_EQ("202 ", exchange(recorder).front().substr(0, 4));
  EXPECT_EQ(kUnknownError, recorder.stopped().code());
  EXPECT_EQ("cannot write the recording: " + folder.path() + "/rec/002 (File exists)",
            recorder.stopped().message());
  EXPECT_EQ(1u, net.opened);
}

}  // namespace
