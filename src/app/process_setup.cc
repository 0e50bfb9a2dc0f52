// Standard descriptors and SIGPIPE, set up once at the start of the program.
#include "app/process_setup.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Standard input, output and error.
const int kStandardDescriptors = 3;

}  // namespace

void openMissingStandardDescriptors() {
  for (int fd = 0; fd < kStandardDescriptors; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower descriptors are open by now, so this one is the lowest free
    // number and open() takes it; dup2 only guards the rule.
    int opened = open("/dev/null", O_RDWR);
    if (opened < 0) return;
    if (opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

void ignoreWriteSignals() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}
