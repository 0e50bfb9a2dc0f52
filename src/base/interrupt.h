// Interrupts during a download: while an InterruptCatcher lives, SIGINT,
// SIGTERM and SIGHUP no longer end the process at once. The signal is kept,
// the wait or read under way ends early, and the download ends in order
// (its part kept, its words said) with the exit status 128 plus the
// signal's number. At every other time the signals act as the system has
// them act.
#ifndef QUORVANE_BASE_INTERRUPT_H_
#define QUORVANE_BASE_INTERRUPT_H_

#include <signal.h>

// The number of the signal caught since the catcher was set up; 0: none.
int caughtSignal();

class InterruptCatcher {
 public:
  // Catches the three signals, without restarting the calls they
  // interrupt, and forgets any signal caught before.
  InterruptCatcher();
  // Gives the signals back the dispositions they had.
  ~InterruptCatcher();
  InterruptCatcher(const InterruptCatcher&) = delete;
  InterruptCatcher& operator=(const InterruptCatcher&) = delete;

 private:
  friend class SignalsAsBefore;
  struct sigaction saved_[3];
};

// While it lives (a wait between two attempts, say), the signals act as
// they did before any catcher: an interrupt then ends the process.
class SignalsAsBefore {
 public:
  SignalsAsBefore();
  ~SignalsAsBefore();
  SignalsAsBefore(const SignalsAsBefore&) = delete;
  SignalsAsBefore& operator=(const SignalsAsBefore&) = delete;

 private:
  bool active_ = false;
  struct sigaction caught_[3];
};

#endif  // QUORVANE_BASE_INTERRUPT_H_
