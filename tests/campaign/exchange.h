// One exchange of the campaign: a damaged server on loopback, one run of
// the real program against it with a fresh configuration folder, and the
// verdict on what the program did.
#ifndef QUORVANE_TESTS_CAMPAIGN_EXCHANGE_H_
#define QUORVANE_TESTS_CAMPAIGN_EXCHANGE_H_

#include <string>

#include "damage.h"

// Beyond the time-out, what a run may take (start-up of a sanitizer build
// on a busy machine included) before it counts as hanging.
const int kTimeMarginSeconds = 5;
// A run still going after this is killed.
const int kKillAfterSeconds = 30;

struct ExchangeResult {
  bool skipped = false;  // the servers could not be set up (see reason)
  bool passed = false;
  std::string reason;  // why it failed or was skipped
  // What the program did: its exit status, or -1 when a signal ended it or
  // it was killed.
  int status = -1;
  bool killed = false;
  double seconds = 0;
};

// The plain-file plugin of the example configuration: fetch the target and
// stream its body into the output file.
extern const char kPlainFilePlugin[];

// Runs `binary` once against a server playing `plan`. TLS plans bind
// 127.0.0.1:443; the caller runs at most one of them at a time.
ExchangeResult runExchange(const ExchangePlan& plan, const std::string& binary);

#endif  // QUORVANE_TESTS_CAMPAIGN_EXCHANGE_H_
