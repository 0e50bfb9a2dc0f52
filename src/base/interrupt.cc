// The signal handler that keeps an interrupt for the download to end in
// order, and the scopes in which it is in place.
#include "base/interrupt.h"

#include <cstring>

namespace {

const int kCaught[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t gCaught = 0;
// The catcher in place, for SignalsAsBefore; null when none is.
InterruptCatcher* gCatcher = nullptr;

void keepSignal(int number) {
  gCaught = number;
}

}  // namespace

int caughtSignal() {
  return gCaught;
}

InterruptCatcher::InterruptCatcher() {
  gCaught = 0;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = keepSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a wait or read under way ends with EINTR.
  for (int i = 0; i < 3; ++i) sigaction(kCaught[i], &action, &saved_[i]);
  gCatcher = this;
}

InterruptCatcher::~InterruptCatcher() {
  for (int i = 0; i < 3; ++i) sigaction(kCaught[i], &saved_[i], nullptr);
  gCatcher = nullptr;
}

SignalsAsBefore::SignalsAsBefore() {
  if (gCatcher == nullptr) return;
  active_ = true;
  for (int i = 0; i < 3; ++i) sigaction(kCaught[i], &gCatcher->saved_[i], &caught_[i]);
}

SignalsAsBefore::~SignalsAsBefore() {
  if (!active_) return;
  for (int i = 0; i < 3; ++i) sigaction(kCaught[i], &caught_[i], nullptr);
}
