// Message catalogue and display modes. Every line Quorvane prints, apart
// from the download progress line, goes through report(); the same integers
// are the result codes that the subsystems return.
#ifndef QUORVANE_APP_MESSAGES_H_
#define QUORVANE_APP_MESSAGES_H_

#include <cstdint>

// Display modes.
const int kModeNormal = 800;
const int kModeVerbose = 801;
const int kModeTerse = 802;

// Result codes shared by all subsystems.
const int kOk = 0;
const int kUsage = 4;
const int kPlainText = 6;
const int kScriptExit = 7;
const int kUnknownError = 200;  // carries a detail text, see failWith()
const int kNoAddress = 201;
const int kNoSocket = 202;
const int kHostNotFound = 203;
const int kCannotConnect = 204;
const int kNoConnection = 205;
const int kTimedOut = 206;
const int kNoRegistry = 207;
const int kNotSupported = 208;
const int kSendFailed = 604;
const int kRecvFailed = 605;
const int kOutputFileError = 608;
const int kTrace = 609;
const int kTraceBanner = 610;

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

#endif  // QUORVANE_APP_MESSAGES_H_
