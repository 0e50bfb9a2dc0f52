// End-to-end case files: one run of the real quorvane binary described as
// plain text (configuration, command line, scripted server replies) together
// with everything the run must produce (standard output, exit status, files,
// the requests the servers received). The format is documented in
// tests/e2e/README.md. parseCase() reads a case, runCase() performs it, and
// verifyCaseText() does both inside a gtest test.
#ifndef QUORVANE_TESTS_SUPPORT_E2E_CASE_H_
#define QUORVANE_TESTS_SUPPORT_E2E_CASE_H_

#include <string>
#include <vector>

#include "support/scripted_server.h"

// A named piece of case text: a file name, a section argument, ...
struct CaseItem {
  std::string name;
  std::string text;
};

// One expected request: the connection's place in accept order (from 1) on
// the plain or the TLS server, and the request bytes (escaped form).
struct ExpectedRequest {
  bool tls = false;
  int connection = 0;
  std::string bytes;
};

// One run of "count copies of text" in an expected file (escaped text).
struct PatternRun {
  long count = 0;
  std::string text;
};

struct ExpectedPattern {
  std::string name;
  std::vector<PatternRun> runs;
};

// A parsed case. Texts are kept as written in the case file, before the
// variables are substituted; byte texts are still in their escaped form
// (parseCase has checked that they unescape).
struct CaseFile {
  std::string description;

  bool hasRegistry = false;
  std::string registry;                       // text of tovel.ini
  std::vector<CaseItem> plugins;              // plugin name, script text
  std::vector<CaseItem> pluginFiles;          // plugin name, path relative to the repository
  std::vector<CaseItem> homeFiles;            // path relative to HOME, escaped bytes
  std::vector<CaseItem> workFiles;            // path relative to the working folder, escaped bytes
  std::vector<ExpectedPattern> workPatterns;  // large files of the working folder

  std::vector<std::string> command;  // arguments after the program, escaped
  // A second run after the first, with the servers gone and the expected
  // files removed, that must produce the same (escaped arguments).
  bool hasRerun = false;
  std::vector<std::string> rerun;

  std::vector<std::string> plainConnections;  // server action text, one per connection
  std::vector<std::string> tlsConnections;

  bool hasStatus = false;
  int status = 0;  // the run's result code; the exit status is its low eight bits
  bool hasStdout = false;
  std::string stdoutBytes;
  bool hasStderr = false;   // without it, standard error must stay empty
  std::string stderrBytes;  // may hold kAnyText
  std::vector<ExpectedRequest> requests;
  std::vector<CaseItem> files;  // path relative to the working folder, escaped bytes
  std::vector<ExpectedPattern> patterns;
  std::vector<std::string> absentFiles;
  int plainConnectionCount = -1;  // -1: not checked
  int tlsConnectionCount = -1;
  double maxSeconds = -1;  // -1: not checked

  bool collapseProgress = false;
  bool closeStdin = false;      // the program starts with descriptor 0 closed
  bool closeStdout = false;     // ... with descriptor 1 closed
  bool stdoutUnread = false;    // ... with a standard output nobody reads
  bool tlsDefaultPort = false;  // the TLS server binds 127.0.0.1:443
  bool ipv6 = false;            // the servers listen on [::1]
  ServerCertificate tlsCertificate = ServerCertificate::kTrusted;
  double timeLimitSeconds = 0;  // 0: kDefaultTimeLimitSeconds
  int limitSecondMillis = 0;    // > 0: how long a second of the program's time limits lasts

  // option interrupt SIGNAL MILLIS: the first run gets the signal after
  // that long and must end as the expect-interrupted-* sections say; the
  // rerun (required) then runs with the servers still playing their next
  // connections, and the other expectations are the rerun's.
  int interruptSignal = 0;
  double interruptAfterSeconds = 0;
  int interruptedStatus = 0;
  std::string interruptedStdout;
  bool hasInterruptedStderr = false;
  std::string interruptedStderr;
};

// A run that takes longer than this is killed and fails, unless the case
// names another limit; well above every time-out the cases use (1 s).
const double kDefaultTimeLimitSeconds = 20;

// Parses the text of a case file into *out. Returns false with a message
// naming the line in *error when the text is not a valid case.
bool parseCase(const std::string& text, CaseFile* out, std::string* error);

// What became of a run. A case passes when it was not skipped and no
// failure was recorded.
struct CaseResult {
  bool skipped = false;
  std::string skipReason;
  std::vector<std::string> failures;  // one readable message each
  std::string stdoutBytes;            // as captured (before any collapsing)
  int exitStatus = -1;                // -1 when the program did not exit normally
  double seconds = 0;

  bool passed() const { return !skipped && failures.empty(); }
};

// Where the binary and the repository are; the defaults are the build's own
// (the environment variable QUORVANE_E2E_BINARY may name another binary).
struct CaseEnvironment {
  std::string binary;      // the quorvane program
  std::string sourceRoot;  // base of plugin-file and send-file paths
};
CaseEnvironment defaultCaseEnvironment();

// Performs `kase`: a fresh HOME and working folder, the scripted servers,
// the program run with a time limit, then every comparison. Never throws;
// problems of the case itself (an unreadable plugin file, say) are failures.
CaseResult runCase(const CaseFile& kase, const CaseEnvironment& environment);

// Parses and runs `text` inside the current gtest test: a parse error or a
// failed comparison fails the test (messages prefixed with `name`), and a
// case that cannot run here (it asks for 127.0.0.1:443, which cannot be
// had) is skipped with its reason.
void verifyCaseText(const std::string& text, const std::string& name);

// When another program holds 127.0.0.1:443, moves this process into a
// network namespace of its own (root only), with its loopback interface up,
// so that the TLS cases can bind the port. Call it before any thread starts
// (a static initializer of the test program): threads and child processes
// created later share the namespace. Returns true when the port was busy; a
// note on standard error says whether the process moved.
bool usePrivateNetworkIfTlsPortBusy();

// In an expected standard error, stands for any text within one line (the
// system's wording of an error, say).
extern const char kAnyText[];

// Whether `text` is `pattern`, each kAnyText of the pattern standing for any
// run of bytes without a line feed.
bool matchesWithAnyText(const std::string& pattern, const std::string& text);

// Reads a case file from disk; false when it cannot be read.
bool readCaseFile(const std::string& path, std::string* text);

// Reduces every run of consecutive progress fields ("\r% 8d/% 8d[KB]") in
// `text` to its first and last field, so that a download whose pieces arrive
// unpredictably still has one expected output.
std::string collapseProgressRuns(const std::string& text);

// Shows bytes with the escapes of the case format (printable ASCII as is).
std::string escapeBytes(const std::string& bytes);

// The lines of `text`, without their line feeds.
std::vector<std::string> splitLines(const std::string& text);

#endif  // QUORVANE_TESTS_SUPPORT_E2E_CASE_H_
