// Moving bytes from a loopback socket into a SplicePipe and out to a file:
// the results a scripted server cannot bring about on purpose (nothing
// arrived yet, a move shorter than asked, a refused move, an output that
// takes nothing from a pipe).
#include "http/splice_pipe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "http/socket_link.h"
#include "support/capture.h"
#include "support/scripted_server.h"

namespace {

// Both ends of one loopback TCP connection.
struct SocketPair {
  SocketPair() {
    std::string error;
    int listener = listenOnLoopback(0, 0, &error);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    client = socket(AF_INET, SOCK_STREAM, 0);
    connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    server = accept(listener, nullptr, nullptr);
    close(listener);
  }
  ~SocketPair() {
    if (client >= 0) close(client);
    if (server >= 0) close(server);
  }
  int client = -1;
  int server = -1;
};

TEST(SplicePipeTest, MovesWhatHasArrivedAndNoMore) {
  SocketPair pair;
  SplicePipe pipe;
  ASSERT_TRUE(pipe.ok());
  EXPECT_EQ(kSplicePipeBytes, pipe.capacity());
  int client = pair.client;
  SocketLink net(client);
  pair.client = -1;
  // Nothing has arrived on a socket that does not block (a blocking one
  // would wait, like recv).
  int flags = fcntl(client, F_GETFL);
  fcntl(client, F_SETFL, flags | O_NONBLOCK);
  EXPECT_EQ(kReadWouldBlock, net.spliceInto(pipe.writeEnd(), 4096));
  fcntl(client, F_SETFL, flags);
  // Arrival on loopback is immediate once the write returned.
  ASSERT_EQ(5, write(pair.server, "hello", 5));
  int moved = net.spliceInto(pipe.writeEnd(), 4096);
  ASSERT_EQ(5, moved);
  pipe.filled(moved);

  // A destination that is no pipe is refused.
  TempDir dir;
  const std::string path = dir.path() + "/out";
  int file = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_EQ(3, write(pair.server, "abc", 3));
  EXPECT_EQ(kSpliceRefused, net.spliceInto(file, 4096));
  EXPECT_EQ(0, pipe.drainTo(file));
  EXPECT_EQ(0, pipe.held());
  close(file);
  EXPECT_EQ("hello", readFile(path));

  // The bytes the refused move left, then the close.
  close(pair.server);
  pair.server = -1;
  moved = net.spliceInto(pipe.writeEnd(), 4096);
  ASSERT_EQ(3, moved);
  pipe.filled(moved);
  EXPECT_EQ(0, net.spliceInto(pipe.writeEnd(), 4096));
  // A file open for appending takes nothing from a pipe: the bytes are read
  // back instead.
  file = open(path.c_str(), O_WRONLY | O_APPEND);
  EXPECT_EQ(kDrainRefused, pipe.drainTo(file));
  close(file);
  char back[2];
  EXPECT_EQ(2, pipe.readHeld(back, sizeof back));
  EXPECT_EQ("ab", std::string(back, 2));
  EXPECT_EQ(1, pipe.readHeld(back, sizeof back));
  EXPECT_EQ(0, pipe.readHeld(back, sizeof back));
}

}  // namespace
