// Result codes: how an operation, and in the end the whole run, turned out.
// Every layer returns them; the entry point prints the closing message for
// the run's code and returns it as the exit status (of which the system keeps
// the low eight bits, so 604 is seen as 92). The numbers are fixed: scripts
// read the exit status, and the catalogue (base/messages.h) prints a message
// for most of them.
#ifndef QUORVANE_BASE_RESULT_H_
#define QUORVANE_BASE_RESULT_H_

enum ResultCode {
  kOk = 0,
  kUsage = 4,              // the usage text was shown
  kScriptExit = 7,         // "@exit:" ended the script
  kInterrupted = 128,      // plus the number of the signal that ended a download
  kUnknownError = 200,     // a failure described by its detail text
  kNoAddress = 201,        // no usable address
  kNoSocket = 202,         // a socket could not be created
  kHostNotFound = 203,     // the host name was not resolved
  kCannotConnect = 204,    // connect failed, or the final HTTP status was 400 or more
  kNoConnection = 205,     // a request or receive without a connection
  kTimedOut = 206,         // no data within the session time-out
  kNoRegistry = 207,       // the registry or the plugin script cannot be read
  kNotSupported = 208,     // no plugin for the target, or a line the runner has no step for
  kSendFailed = 604,       // sending the request failed
  kRecvFailed = 605,       // receiving failed or the peer closed
  kOutputFileError = 608,  // the output file cannot be opened
};

// Whether `code` is kInterrupted plus a signal's number.
inline bool isInterruption(int code) {
  return code > kInterrupted && code < kUnknownError;
}

#endif  // QUORVANE_BASE_RESULT_H_
