// Message catalogue and display modes, and the program's lines on standard
// error. Every line Quorvane prints on standard output (on standard error
// when the download goes to standard output), apart from the download
// progress line, goes through report(). Its ids are the result codes
// (base/result.h), so that the closing message of a run is report(code), and
// the message ids below. Standard error holds only lines that begin with
// "quorvane: ": the one line that says why a run failed, and in verbose mode
// notes on what the run did.
#ifndef QUORVANE_BASE_MESSAGES_H_
#define QUORVANE_BASE_MESSAGES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// Where a text that report() prints came from. A server must not be able to
// move the cursor, clear a line or change colours on the user's terminal, so
// text from the network is printed with its control bytes (each byte below
// 32 other than tab, and 127, and the two bytes of each C1 control U+0080 to
// U+009F encoded in UTF-8) written as "\x" and two hexadecimal digits, and
// so is each byte that is not part of a well-formed UTF-8 sequence (the
// 8-bit controls 0x80 to 0x9F among them). Well-formed UTF-8 prints as it is.
enum TextOrigin {
  kOwnText,         // the program's, the user's or a plugin's: printed as it is
  kNetworkText,     // from the network: every control byte escaped
  kNetworkHeaders,  // a header block: escaped, except each CR LF that ends a line
};

// Returns the `length` bytes at `text` as `origin` asks them to be printed.
std::string escapeControlBytes(const char* text, size_t length, TextOrigin origin);

// The display mode is the one piece of process-wide state the messages
// keep: messages.cc owns it, setDisplayMode is the only way to change it (the
// program calls it once, before its run; tests set it and set it back) and
// displayMode reads it.
//
// Sets the mode from the program's first argument: a two-character switch
// ending in "D" is verbose, one ending in "T" terse, anything else normal.
void setDisplayMode(const char* arg);
// The mode setDisplayMode set last; kModeNormal before any call.
int displayMode();

// With `onStandardError`, every message that goes to standard output
// (report, showProgress, showHelp) goes to standard error instead, byte for
// byte, so that standard output carries a download alone; false sends them
// back. Whatever was printed before is flushed first.
void sendMessagesToStandardError(bool onStandardError);

// Prints the message for `code` (text replaces "%s"; null counts as "") in
// the current display mode and returns `code` unchanged.
int report(int code, const char* text = nullptr, TextOrigin origin = kOwnText);

// Prints "\r% 8d/% 8d[KB]" in every mode, flushed at once. Returns receivedKB.
int64_t showProgress(int64_t receivedKB, int64_t totalKB);

// Prints the usage text, the display switches, `optionLines` one on each
// line, and a line that points to the manual page.
void showHelp(const std::vector<std::string>& optionLines);

// Writes "quorvane: ", `sentence` escaped as text from the network, and a line
// feed on standard error, after flushing standard output so that the line
// follows what was printed there. Every display mode.
void reportFailure(const std::string& sentence);
// The same in verbose mode only: a note on what the run did.
void verboseNote(const std::string& sentence);
// A line like reportFailure's for a run that goes on (a download that is
// retried), in every display mode. When standard output and standard error
// are both terminals, a line feed first ends the progress line that may be
// open there, so that the notice stands on a line of its own.
void reportNotice(const std::string& sentence);

// The usage line printed after "usage:".
extern const char kUsageLine[];
// Ends a failure sentence that the command line caused: where to read how
// it is written.
extern const char kHelpHint[];

#endif  // QUORVANE_BASE_MESSAGES_H_
