// Message catalogue and display modes. Every line Quorvane prints on
// standard output, apart from the download progress line, goes through
// report(). Its ids are the result codes (base/result.h), so that the closing
// message of a run is report(code), and the message ids below.
#ifndef QUORVANE_BASE_MESSAGES_H_
#define QUORVANE_BASE_MESSAGES_H_

#include <cstdint>

#include "base/result.h"

// Display modes.
const int kModeNormal = 800;
const int kModeVerbose = 801;
const int kModeTerse = 802;

// Message ids that are not result codes. Ordinary messages print in normal
// and verbose mode; diagnostics (601 to 610) in verbose mode only. Three
// diagnostics share their number with a result code, so that the closing
// report of that code shows them in verbose mode.
enum MessageId {
  kSectionBanner = 1,                  // "============%s============"
  kStartBanner = 2,                    // the program's banner and an empty line
  kPluginEntry = 3,                    // ">%s", one plugin of the registry's list
  kPlainText = 6,                      // "%s": requested addresses, progress dots
  kUnsupportedTrace = 601,             // "* Not support script %s"
  kConnectTrace = 602,                 // "@connect %s."
  kCloseTrace = 603,                   // "@closesocket."
  kSendFailedTrace = kSendFailed,      // "@cannot send."
  kRecvFailedTrace = kRecvFailed,      // "@cannot recv."
  kFileOpenTrace = 606,                // "@file open %s."
  kFileCloseTrace = 607,               // "@file close."
  kFileWriteTrace = kOutputFileError,  // "@file write error."
  kTrace = 609,                        // "%s": request and response echoes, extraction traces
  kTraceBanner = 610,                  // "============%s============"
};

// Sets the mode from the program's first argument: a two-character switch
// ending in "D" is verbose, one ending in "T" terse, anything else normal.
void setDisplayMode(const char* arg);
int displayMode();

// Prints the message for `code` (text replaces "%s"; null counts as "") in
// the current display mode and returns `code` unchanged.
int report(int code, const char* text = nullptr);

// Prints "\r% 8d/% 8d[KB]" in every mode, flushed at once. Returns receivedKB.
int64_t showProgress(int64_t receivedKB, int64_t totalKB);

// Records the detail text of code 200 and returns 200. The entry point prints
// it once, as the run's closing message.
int failWith(const char* detail);
// The detail recorded by the last failWith(), or "".
const char* failureDetail();

// The usage line printed after "usage:".
extern const char kUsageLine[];

#endif  // QUORVANE_BASE_MESSAGES_H_
