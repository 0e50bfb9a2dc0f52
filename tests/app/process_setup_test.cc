// The start-up care for standard descriptors and the write signals. Each
// check runs in a forked copy of the test, since it closes the process's own
// descriptors or changes its signal handling.
#include "app/process_setup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "support/child_process.h"

namespace {

bool isDevNull(int fd) {
  struct stat open;
  struct stat devNull;
  return fstat(fd, &open) == 0 && stat("/dev/null", &devNull) == 0 && S_ISCHR(open.st_mode) &&
         open.st_rdev == devNull.st_rdev;
}

TEST(ProcessSetup, ClosedStandardDescriptorsGetDevNull) {
  struct Closed {
    bool in, out, err;
  };
  const Closed kCases[] = {
      {true, true, false}, {false, true, false}, {true, true, true}, {false, false, true}};
  for (const Closed& c : kCases) {
    int result = exitOfForkedCall([&] {
      if (c.in) close(0);
      if (c.out) close(1);
      if (c.err) close(2);
      openMissingStandardDescriptors();
      for (int fd = 0; fd < 3; ++fd) {
        bool wasClosed = fd == 0 ? c.in : fd == 1 ? c.out : c.err;
        if (fcntl(fd, F_GETFD) == -1) return 10 + fd;
        if (wasClosed && !isDevNull(fd)) return 20 + fd;
      }
      // A socket opened afterwards takes none of the three numbers.
      int sock = socket(AF_INET, SOCK_STREAM, 0);
      return sock > 2 ? 0 : 30;
    });
    EXPECT_EQ(0, result) << "closed: in " << c.in << ", out " << c.out << ", err " << c.err;
  }
}

TEST(ProcessSetup, OpenDescriptorsAreLeftAlone) {
  int result = exitOfForkedCall([] {
    int flags = fcntl(1, F_GETFL);
    // The lowest free descriptor stays the same: nothing was opened.
    int freeBefore = dup(0);
    close(freeBefore);
    openMissingStandardDescriptors();
    int freeAfter = dup(0);
    return fcntl(1, F_GETFL) == flags && freeAfter == freeBefore ? 0 : 1;
  });
  EXPECT_EQ(0, result);
}

TEST(ProcessSetup, WritesThatWouldSignalFailInsteadOfEndingTheProcess) {
  // To a pipe whose reader has gone.
  EXPECT_EQ(0, exitOfForkedCall([] {
              signal(SIGPIPE, SIG_DFL);
              ignoreWriteSignals();
              int ends[2];
              if (pipe(ends) != 0) return 2;
              close(ends[0]);
              ssize_t written = write(ends[1], "x", 1);
              return written == -1 && errno == EPIPE ? 0 : 1;
            }));
  // Past the file size limit: the bytes below it are written.
  EXPECT_EQ(0, exitOfForkedCall([] {
              signal(SIGXFSZ, SIG_DFL);
              ignoreWriteSignals();
              rlimit limit = {3, 3};
              char path[] = "/tmp/quorvane-fsize-XXXXXX";
              int fd = mkstemp(path);
              if (fd < 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
              unlink(path);
              ssize_t first = write(fd, "abcde", 5);
              ssize_t second = write(fd, "f", 1);
              return first == 3 && second == -1 && errno == EFBIG ? 0 : 1;
            }));
}

}  // namespace
