// End-to-end case files: the parser of the case format and the runner that
// sets up HOME, the working folder and the scripted servers, runs the
// quorvane binary in a child process with a time limit and compares what it
// produced with what the case expects.
#include "support/e2e_case.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "support/capture.h"
#include "support/child_process.h"
#include "support/private_network.h"
#include "support/scripted_server.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kSectionMark[] = "--- ";
// Names another quorvane binary to run the cases against (an installed one,
// say) instead of the one built with the tests.
const char kBinaryVariable[] = "QUORVANE_E2E_BINARY";
// Every run lets one second of the waits between download attempts last a
// millisecond, so that retried downloads do not slow the suite down.
const char kRetrySecondSetting[] = "QUORVANE_RETRY_SECOND_MS=1";
// How long a second of the program's time limits lasts (option
// limit-second); 0, the default, leaves it a real second.
const char kLimitSecondVariable[] = "QUORVANE_LIMIT_SECOND_MS";
// The port of "https://" addresses that name none; the TLS server binds it
// for a case that asks for it (option tls-default-port).
const int kTlsPort = 443;
// The variable that tells OpenSSL which file holds the trusted certificates;
// the runs get one holding the test authority alone.
const char kCertFileVariable[] = "SSL_CERT_FILE";
const char kAuthorityFileName[] = "test-authority.pem";
// Another test run may hold 127.0.0.1:443 for a moment; binding is retried
// for this long before the case is skipped.
const int kTlsBindRetryMillis = 3000;
const int kTlsBindPauseMillis = 100;
// Failure messages show at most this many bytes of a long text around the
// first difference.
const size_t kShownContext = 400;
// send-repeat style limits for expected file patterns, which live in memory.
const long kMaxPatternCount = 512L * 1024 * 1024;

// --- small text helpers ---

std::vector<std::string> splitWords(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

// "INT", "TERM" or "HUP".
bool parseSignal(const std::string& text, int* number) {
  const struct {
    const char* name;
    int number;
  } signals[] = {{"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}};
  for (const auto& known : signals) {
    if (text == known.name) *number = known.number;
  }
  return *number != 0;
}

bool parseSeconds(const std::string& text, double* out) {
  char* end = nullptr;
  double value = strtod(text.c_str(), &end);
  if (text.empty() || end == nullptr || *end != '\0' || !(value > 0) || value > 3600) return false;
  *out = value;
  return true;
}

void replaceAllIn(std::string* text, const std::string& pattern, const std::string& replacement) {
  size_t at = 0;
  while ((at = text->find(pattern, at)) != std::string::npos) {
    text->replace(at, pattern.size(), replacement);
    at += replacement.size();
  }
}

// One section of a case file while it is being read.
struct Section {
  std::string name;
  std::vector<std::string> args;
  std::vector<std::string> lines;  // content, trailing empty lines dropped
  int firstLine = 0;               // line number of the "--- " line
};

std::string joinTextLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::string joinByteLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  return text;
}

// Reads one case section into *out; false with *error on a malformed one.
bool takeSection(const Section& section, CaseFile* out, std::string* error) {
  const std::string& name = section.name;
  const std::vector<std::string>& args = section.args;
  auto fail = [&](const std::string& why) {
    *error = "line " + std::to_string(section.firstLine) + " (--- " + name + "): " + why;
    return false;
  };
  auto argCount = [&](size_t low, size_t high) {
    return args.size() >= low && args.size() <= high;
  };
  auto noContent = [&]() { return section.lines.empty(); };
  // A byte section must unescape; variables hold no backslash, so checking
  // before substitution is enough.
  auto validBytes = [&](const std::string& escaped) {
    std::string ignored;
    return unescapeText(escaped, &ignored);
  };

  if (name == "description") {
    if (!args.empty()) return fail("takes no argument");
    out->description = joinTextLines(section.lines);
  } else if (name == "registry") {
    if (!args.empty()) return fail("takes no argument");
    if (out->hasRegistry) return fail("registry given twice");
    out->hasRegistry = true;
    out->registry = joinTextLines(section.lines);
  } else if (name == "plugin") {
    if (!argCount(1, 1)) return fail("expected a plugin name");
    out->plugins.push_back({args[0], joinTextLines(section.lines)});
  } else if (name == "plugin-file") {
    if (!argCount(2, 2) || !noContent()) return fail("expected a plugin name and a path only");
    out->pluginFiles.push_back({args[0], args[1]});
  } else if (name == "home-file" || name == "work-file") {
    if (!argCount(1, 1)) return fail("expected a path");
    std::string bytes = joinByteLines(section.lines);
    if (!validBytes(bytes)) return fail("bad escape");
    (name == "home-file" ? out->homeFiles : out->workFiles).push_back({args[0], bytes});
  } else if (name == "command" || name == "rerun") {
    if (!args.empty() || section.lines.size() > 1) return fail("expected one line of arguments");
    std::vector<std::string>& command = name == "command" ? out->command : out->rerun;
    out->hasRerun = out->hasRerun || name == "rerun";
    command.clear();
    if (!section.lines.empty()) {
      for (const std::string& word : splitWords(section.lines[0])) {
        if (word != "''" && !validBytes(word)) return fail("bad escape in " + word);
        command.push_back(word);
      }
    }
  } else if (name == "connection") {
    bool tls = false;
    long times = 1;
    for (const std::string& arg : args) {
      if (arg == "tls") {
        tls = true;
      } else if (arg.size() > 1 && arg[0] == 'x' && parseCount(arg.substr(1), 1000, &times) &&
                 times > 0) {
      } else {
        return fail("unknown argument " + arg);
      }
    }
    std::string actions = joinTextLines(section.lines);
    for (long i = 0; i < times; ++i)
      (tls ? out->tlsConnections : out->plainConnections).push_back(actions);
  } else if (name == "expect-status") {
    long status = 0;
    if (!argCount(1, 1) || !noContent() || !parseCount(args[0], 65535, &status))
      return fail("expected the result code as argument");
    out->hasStatus = true;
    out->status = static_cast<int>(status);
  } else if (name == "expect-interrupted-status") {
    long status = 0;
    if (!argCount(1, 1) || !noContent() || !parseCount(args[0], 65535, &status))
      return fail("expected the result code as argument");
    out->interruptedStatus = static_cast<int>(status);
  } else if (name == "expect-interrupted-stdout" || name == "expect-interrupted-stderr") {
    if (!args.empty()) return fail("takes no argument");
    std::string bytes = joinByteLines(section.lines);
    if (!validBytes(bytes)) return fail("bad escape");
    if (name == "expect-interrupted-stdout") {
      out->interruptedStdout = bytes;
    } else {
      out->hasInterruptedStderr = true;
      out->interruptedStderr = bytes;
    }
  } else if (name == "expect-stdout") {
    if (!args.empty()) return fail("takes no argument");
    if (out->hasStdout) return fail("expect-stdout given twice");
    out->hasStdout = true;
    out->stdoutBytes = joinByteLines(section.lines);
    if (!validBytes(out->stdoutBytes)) return fail("bad escape");
  } else if (name == "expect-stderr") {
    if (!args.empty()) return fail("takes no argument");
    if (out->hasStderr) return fail("expect-stderr given twice");
    out->hasStderr = true;
    out->stderrBytes = joinByteLines(section.lines);
    if (!validBytes(out->stderrBytes)) return fail("bad escape");
  } else if (name == "expect-request") {
    ExpectedRequest request;
    long number = 0;
    request.tls = !args.empty() && args[0] == "tls";
    size_t numberAt = request.tls ? 1 : 0;
    if (args.size() != numberAt + 1 || !parseCount(args[numberAt], 1000, &number) || number < 1)
      return fail("expected [tls] and a connection number from 1");
    request.connection = static_cast<int>(number);
    request.bytes = joinByteLines(section.lines);
    if (!validBytes(request.bytes)) return fail("bad escape");
    out->requests.push_back(request);
  } else if (name == "expect-file") {
    if (!argCount(1, 1)) return fail("expected a path");
    std::string bytes = joinByteLines(section.lines);
    if (!validBytes(bytes)) return fail("bad escape");
    out->files.push_back({args[0], bytes});
  } else if (name == "expect-file-pattern" || name == "work-file-pattern") {
    if (!argCount(1, 1) || section.lines.empty()) return fail("expected a path and runs");
    ExpectedPattern pattern;
    pattern.name = args[0];
    for (const std::string& line : section.lines) {
      size_t space = line.find(' ');
      PatternRun run;
      if (space == std::string::npos ||
          !parseCount(line.substr(0, space), kMaxPatternCount, &run.count)) {
        return fail("expected \"<count> <text>\": " + line);
      }
      run.text = line.substr(space + 1);
      if (run.text.empty() || !validBytes(run.text)) return fail("bad text: " + line);
      pattern.runs.push_back(run);
    }
    (name == "work-file-pattern" ? out->workPatterns : out->patterns).push_back(pattern);
  } else if (name == "expect-no-file") {
    if (!argCount(1, 1) || !noContent()) return fail("expected a path only");
    out->absentFiles.push_back(args[0]);
  } else if (name == "expect-connections") {
    bool tls = !args.empty() && args[0] == "tls";
    size_t numberAt = tls ? 1 : 0;
    long count = 0;
    if (args.size() != numberAt + 1 || !noContent() || !parseCount(args[numberAt], 1000, &count))
      return fail("expected [tls] and a count");
    (tls ? out->tlsConnectionCount : out->plainConnectionCount) = static_cast<int>(count);
  } else if (name == "expect-max-seconds") {
    if (!argCount(1, 1) || !noContent() || !parseSeconds(args[0], &out->maxSeconds))
      return fail("expected seconds as argument");
  } else if (name == "option") {
    if (!noContent()) return fail("takes no content");
    double millis = 0;
    if (args.size() == 1 && args[0] == "collapse-progress") {
      out->collapseProgress = true;
    } else if (args.size() == 1 && args[0] == "close-stdin") {
      out->closeStdin = true;
    } else if (args.size() == 1 && args[0] == "close-stdout" && !out->stdoutUnread) {
      out->closeStdout = true;
    } else if (args.size() == 1 && args[0] == "stdout-unread" && !out->closeStdout) {
      out->stdoutUnread = true;
    } else if (args.size() == 1 && args[0] == "tls-default-port") {
      out->tlsDefaultPort = true;
    } else if (args.size() == 1 && args[0] == "ipv6") {
      out->ipv6 = true;
    } else if (args.size() == 2 && args[0] == "tls-certificate" && args[1] == "other-name") {
      out->tlsCertificate = ServerCertificate::kOtherName;
    } else if (args.size() == 2 && args[0] == "tls-certificate" && args[1] == "self-signed") {
      out->tlsCertificate = ServerCertificate::kSelfSigned;
    } else if (args.size() == 2 && args[0] == "time-limit" &&
               parseSeconds(args[1], &out->timeLimitSeconds)) {
    } else if (args.size() == 2 && args[0] == "limit-second" && parseSeconds(args[1], &millis) &&
               millis >= 1 && millis <= 1000) {
      out->limitSecondMillis = static_cast<int>(millis);
    } else if (args.size() == 3 && args[0] == "interrupt" &&
               parseSignal(args[1], &out->interruptSignal) &&
               parseSeconds(args[2], &out->interruptAfterSeconds)) {
      out->interruptAfterSeconds /= 1000;
    } else {
      return fail("unknown option");
    }
  } else {
    return fail("unknown section");
  }
  return true;
}

// --- running ---

// Writes `content` to `path`, creating parent folders.
bool writeWholeFile(const std::string& path, const std::string& content) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << content;
  return static_cast<bool>(out);
}

bool fileExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

bool readWholeFile(const std::string& path, std::string* content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  *content = all.str();
  return true;
}

std::string unescaped(const std::string& escaped) {
  std::string bytes;
  unescapeText(escaped, &bytes);
  return bytes;
}

// Escaped bytes laid out for reading: a line break after every "\n".
std::string shown(const std::string& bytes) {
  std::string text = escapeBytes(bytes);
  std::string laidOut = "    ";
  for (size_t i = 0; i < text.size(); ++i) {
    laidOut += text[i];
    if (text[i] == 'n' && i > 0 && text[i - 1] == '\\' && (i < 2 || text[i - 2] != '\\') &&
        i + 1 < text.size())
      laidOut += "\n    ";
  }
  return laidOut;
}

// Adds a failure when `actual` is not `expected`, showing where they part.
void compareBytes(const std::string& what, const std::string& expected, const std::string& actual,
                  std::vector<std::string>* failures) {
  if (expected == actual) return;
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  std::string message = what + " differs at byte " + std::to_string(at) + " (expected " +
                        std::to_string(expected.size()) + " bytes, got " +
                        std::to_string(actual.size()) + ")";
  size_t from = 0;
  if (expected.size() > kShownContext || actual.size() > kShownContext) {
    from = at > kShownContext / 4 ? at - kShownContext / 4 : 0;
    message += ", from byte " + std::to_string(from);
  }
  auto window = [&](const std::string& bytes) {
    return from < bytes.size() ? bytes.substr(from, kShownContext) : std::string();
  };
  message += ":\n  expected:\n" + shown(window(expected)) + "\n  actual:\n" + shown(window(actual));
  failures->push_back(message);
}

// Starts the server for one kind of connection as the case asks: on
// 127.0.0.1 or [::1] (option ipv6), on an ephemeral port or, for TLS with
// option tls-default-port, on 127.0.0.1:443, retrying a while when another
// run holds that. Null, with the reason in *skip, when the case cannot run
// here: no IPv6 loopback, or port 443 stays unavailable.
std::unique_ptr<ScriptedServer> startServer(bool tls, const CaseFile& caseFile, std::string* skip) {
  ServerCertificate certificate = caseFile.tlsCertificate;
  if (!tls || !caseFile.tlsDefaultPort) {
    LoopbackFamily family = caseFile.ipv6 ? LoopbackFamily::kIPv6 : LoopbackFamily::kIPv4;
    std::unique_ptr<ScriptedServer> server(new ScriptedServer(tls, {}, 0, certificate, family));
    const std::string& error = server->error();
    bool noLoopback = error.compare(0, 8, "socket: ") == 0 || error.compare(0, 5, "bind ") == 0 ||
                      error.compare(0, 7, "listen ") == 0;
    if (!server->ok() && caseFile.ipv6 && noLoopback) {
      *skip = "the case needs an IPv6 loopback: " + server->error();
      return nullptr;
    }
    return server;
  }
  // Once the port has stayed busy for a whole retry period, later cases of
  // the same test program do not wait again.
  static bool portStaysBusy = false;
  Clock::time_point giveUp = Clock::now() + std::chrono::milliseconds(kTlsBindRetryMillis);
  for (;;) {
    std::unique_ptr<ScriptedServer> server(new ScriptedServer(true, {}, kTlsPort, certificate));
    if (server->ok()) {
      portStaysBusy = false;
      return server;
    }
    bool busy = server->error().find("in use") != std::string::npos;
    if (portStaysBusy || !busy || Clock::now() >= giveUp) {
      portStaysBusy = busy;
      *skip = "the case needs 127.0.0.1:" + std::to_string(kTlsPort) + ": " + server->error();
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kTlsBindPauseMillis));
  }
}

// Adds the connections of one server; false with *error for a bad script.
bool scriptServer(ScriptedServer* server, const std::vector<std::string>& connections,
                  const std::string& sourceRoot,
                  const std::vector<std::pair<std::string, std::string>>& variables,
                  std::string* error) {
  for (size_t i = 0; i < connections.size(); ++i) {
    std::string text = connections[i];
    for (const auto& variable : variables) replaceAllIn(&text, variable.first, variable.second);
    ConnectionScript actions;
    std::string why;
    if (!parseActions(text, &actions, &why, sourceRoot)) {
      *error = std::string(server->tls() ? "TLS " : "") + "connection " + std::to_string(i + 1) +
               ": " + why;
      return false;
    }
    server->addConnection(actions);
  }
  return true;
}

std::string describeStatus(const ChildRun& run) {
  if (run.killed) return "killed after the time limit";
  if (run.signal != 0) return "ended by signal " + std::to_string(run.signal);
  return "exit status " + std::to_string(run.exitStatus);
}

// Compares one run of the program with what the case expects and adds the
// failures, each after `label`, to *result.
void checkRun(const CaseFile& caseFile, const ChildRun& run, const std::string& label, double limit,
              const std::function<std::string(std::string)>& substituted, const std::string& work,
              CaseResult* result) {
  std::vector<std::string> failures;
  result->stdoutBytes = run.out;
  result->exitStatus = run.exitStatus;
  result->seconds = run.seconds;
  if (!run.problem.empty()) failures.push_back(run.problem);
  if (run.killed) {
    failures.push_back("the program ran past the time limit of " + std::to_string(limit) +
                       " s and was killed");
  }

  // Standard output, standard error and the status.
  std::string actualOut = caseFile.collapseProgress ? collapseProgressRuns(run.out) : run.out;
  compareBytes("standard output", unescaped(substituted(caseFile.stdoutBytes)), actualOut,
               &failures);
  if (!caseFile.hasStderr) {
    if (!run.err.empty()) failures.push_back("the program wrote to standard error:\n" + run.err);
  } else {
    std::string expectedErr = unescaped(substituted(caseFile.stderrBytes));
    if (expectedErr.find(kAnyText) == std::string::npos) {
      compareBytes("standard error", expectedErr, run.err, &failures);
    } else if (!matchesWithAnyText(expectedErr, run.err)) {
      failures.push_back("standard error does not match:\n  expected:\n" + shown(expectedErr) +
                         "\n  actual:\n" + shown(run.err));
    }
  }
  int expectedExit = caseFile.status & 0xFF;
  if (run.exitStatus != expectedExit) {
    failures.push_back("expected exit status " + std::to_string(expectedExit) + " (result code " +
                       std::to_string(caseFile.status) + "), got " + describeStatus(run));
  }
  if (caseFile.maxSeconds > 0 && run.seconds > caseFile.maxSeconds) {
    failures.push_back("the run took " + std::to_string(run.seconds) + " s, more than " +
                       std::to_string(caseFile.maxSeconds) + " s");
  }

  // Files in the working folder.
  for (const CaseItem& file : caseFile.files) {
    std::string path = work + "/" + file.name;
    std::string content;
    if (!readWholeFile(path, &content)) {
      failures.push_back("expected file " + file.name + " does not exist");
      continue;
    }
    compareBytes("file " + file.name, unescaped(substituted(file.text)), content, &failures);
  }
  for (const ExpectedPattern& pattern : caseFile.patterns) {
    std::string path = work + "/" + pattern.name;
    std::string content;
    if (!readWholeFile(path, &content)) {
      failures.push_back("expected file " + pattern.name + " does not exist");
      continue;
    }
    std::string expected;
    for (const PatternRun& run : pattern.runs) {
      std::string piece = unescaped(substituted(run.text));
      for (long i = 0; i < run.count; ++i) expected += piece;
    }
    compareBytes("file " + pattern.name, expected, content, &failures);
  }
  for (const std::string& name : caseFile.absentFiles) {
    if (fileExists(work + "/" + name)) failures.push_back("file " + name + " should not exist");
  }

  for (const std::string& failure : failures) result->failures.push_back(label + failure);
}

}  // namespace

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

bool parseCase(const std::string& text, CaseFile* out, std::string* error) {
  *out = CaseFile();
  std::vector<std::string> lines = splitLines(text);
  std::vector<Section> sections;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    int number = static_cast<int>(i + 1);
    if (line.compare(0, strlen(kSectionMark), kSectionMark) == 0) {
      std::vector<std::string> words = splitWords(line.substr(strlen(kSectionMark)));
      if (words.empty()) {
        *error = "line " + std::to_string(number) + ": section without a name";
        return false;
      }
      Section section;
      section.name = words[0];
      section.args.assign(words.begin() + 1, words.end());
      section.firstLine = number;
      sections.push_back(section);
    } else if (sections.empty()) {
      if (!line.empty() && line[0] != '#') {
        *error = "line " + std::to_string(number) + ": text before the first section";
        return false;
      }
    } else {
      sections.back().lines.push_back(line);
    }
  }
  for (Section& section : sections) {
    while (!section.lines.empty() && section.lines.back().empty()) section.lines.pop_back();
    if (!takeSection(section, out, error)) return false;
  }
  if (!out->hasStatus || !out->hasStdout) {
    *error = "a case states both expect-status and expect-stdout";
    return false;
  }
  if (out->interruptSignal != 0 && !out->hasRerun) {
    *error = "a case with an interrupt states its rerun";
    return false;
  }
  return true;
}

CaseEnvironment defaultCaseEnvironment() {
  CaseEnvironment environment;
  const char* other = getenv(kBinaryVariable);
  environment.binary = other != nullptr && other[0] != '\0' ? other : QUORVANE_BINARY;
  environment.sourceRoot = QUORVANE_SOURCE_DIR;
  return environment;
}

CaseResult runCase(const CaseFile& caseFile, const CaseEnvironment& environment) {
  CaseResult result;
  std::vector<std::string>& failures = result.failures;

  TempDir root;
  if (root.path().empty()) {
    failures.push_back("cannot make a temporary folder");
    return result;
  }
  const std::string home = root.path() + "/home";
  const std::string configDir = home + "/.tovelcnf";
  const std::string work = root.path() + "/work";
  std::error_code made;
  std::filesystem::create_directories(configDir, made);
  std::filesystem::create_directories(work, made);

  // Servers first: the plain one's port is a variable of the case.
  std::string skip;
  std::unique_ptr<ScriptedServer> plain = startServer(false, caseFile, &skip);
  if (plain == nullptr) {
    result.skipped = true;
    result.skipReason = skip;
    return result;
  }
  if (!plain->ok()) {
    failures.push_back("plain server: " + plain->error());
    return result;
  }
  std::unique_ptr<ScriptedServer> tls;
  if (!caseFile.tlsConnections.empty()) {
    tls = startServer(true, caseFile, &skip);
    if (tls == nullptr) {
      result.skipped = true;
      result.skipReason = skip;
      return result;
    }
    if (!tls->ok()) {
      failures.push_back("TLS server: " + tls->error());
      return result;
    }
  }
  const std::vector<std::pair<std::string, std::string>> variables = {
      {"%PORT%", std::to_string(plain->port())},
      {"%TLSPORT%", tls != nullptr ? std::to_string(tls->port()) : std::string("0")},
      {"%HOME%", home},
      {"%DIR%", work},
      {"%SOURCE%", environment.sourceRoot}};
  auto substituted = [&](std::string text) {
    for (const auto& variable : variables) replaceAllIn(&text, variable.first, variable.second);
    return text;
  };
  // The bytes of a file given as runs of a text.
  auto patternBytes = [&](const ExpectedPattern& pattern) {
    std::string bytes;
    for (const PatternRun& run : pattern.runs) {
      std::string piece = unescaped(substituted(run.text));
      for (long i = 0; i < run.count; ++i) bytes += piece;
    }
    return bytes;
  };
  std::string error;
  if (!scriptServer(plain.get(), caseFile.plainConnections, environment.sourceRoot, variables,
                    &error) ||
      (tls != nullptr && !scriptServer(tls.get(), caseFile.tlsConnections, environment.sourceRoot,
                                       variables, &error))) {
    failures.push_back("server script: " + error);
    return result;
  }

  // HOME and the working folder.
  auto place = [&](const std::string& path, const std::string& content) {
    if (!writeWholeFile(path, content)) failures.push_back("cannot write " + path);
  };
  if (caseFile.hasRegistry) place(configDir + "/tovel.ini", substituted(caseFile.registry));
  for (const CaseItem& plugin : caseFile.plugins)
    place(configDir + "/" + plugin.name, substituted(plugin.text));
  for (const CaseItem& plugin : caseFile.pluginFiles) {
    std::string content;
    std::string from = environment.sourceRoot + "/" + plugin.text;
    if (!readWholeFile(from, &content)) {
      failures.push_back("cannot read plugin file " + from);
    } else {
      place(configDir + "/" + plugin.name, content);
    }
  }
  for (const CaseItem& file : caseFile.homeFiles)
    place(home + "/" + file.name, unescaped(substituted(file.text)));
  for (const CaseItem& file : caseFile.workFiles)
    place(work + "/" + file.name, unescaped(substituted(file.text)));
  for (const ExpectedPattern& pattern : caseFile.workPatterns)
    place(work + "/" + pattern.name, patternBytes(pattern));
  if (!failures.empty()) return result;

  // The trusted certificates of the run: the test authority alone.
  const std::string authorityFile = root.path() + "/" + kAuthorityFileName;
  place(authorityFile, testAuthorityPem());
  if (!failures.empty()) return result;

  // The command line and the environment: the test's own, with HOME and
  // the file of trusted certificates replaced, and the waits between
  // download attempts shortened to a millisecond per second.
  ChildSpec child;
  child.environment = environmentWith(
      {"HOME=" + home, std::string(kCertFileVariable) + "=" + authorityFile, kRetrySecondSetting,
       std::string(kLimitSecondVariable) + "=" + std::to_string(caseFile.limitSecondMillis)});
  child.folder = work;
  child.closeStdin = caseFile.closeStdin;
  child.closeStdout = caseFile.closeStdout;
  child.stdoutUnread = caseFile.stdoutUnread;
  double limit =
      caseFile.timeLimitSeconds > 0 ? caseFile.timeLimitSeconds : kDefaultTimeLimitSeconds;
  child.limitSeconds = limit;
  // The run, then (for a case with a rerun) the second run with the servers
  // gone and the expected files removed; each must produce what the case
  // expects.
  for (int pass = 0; pass < (caseFile.hasRerun ? 2 : 1); ++pass) {
    const std::string label = pass == 0 ? "" : "rerun: ";
    const std::vector<std::string>& command = pass == 0 ? caseFile.command : caseFile.rerun;
    child.argv = {environment.binary};
    for (const std::string& word : command)
      child.argv.push_back(word == "''" ? std::string() : unescaped(substituted(word)));
    if (pass == 1) {
      for (const CaseItem& file : caseFile.files) remove((work + "/" + file.name).c_str());
      for (const ExpectedPattern& file : caseFile.patterns)
        remove((work + "/" + file.name).c_str());
    }
    const bool interrupted = pass == 0 && caseFile.interruptSignal != 0;
    child.signalNumber = interrupted ? caseFile.interruptSignal : 0;
    child.signalAfterSeconds = caseFile.interruptAfterSeconds;
    ChildRun run = runChild(child);
    if (interrupted) {
      // The interrupted run is checked for its own ending only; the
      // servers play on for the rerun.
      CaseFile firstRun;
      firstRun.collapseProgress = caseFile.collapseProgress;
      firstRun.status = caseFile.interruptedStatus;
      firstRun.stdoutBytes = caseFile.interruptedStdout;
      firstRun.hasStderr = caseFile.hasInterruptedStderr;
      firstRun.stderrBytes = caseFile.interruptedStderr;
      checkRun(firstRun, run, "interrupted run: ", limit, substituted, work, &result);
      continue;
    }
    // Stopping the servers ends held connections and settles the records.
    plain->stop();
    if (tls != nullptr) tls->stop();
    checkRun(caseFile, run, label, limit, substituted, work, &result);
  }

  // What the servers saw.
  auto checkServer = [&](ScriptedServer* server, size_t scripted, int expectedCount) {
    if (server == nullptr) return;
    std::string kind = server->tls() ? "TLS server" : "plain server";
    if (server->unscriptedCount() > 0) {
      failures.push_back(kind + ": " + std::to_string(server->unscriptedCount()) +
                         " connection(s) beyond the " + std::to_string(scripted) +
                         " the case scripted");
    }
    if (expectedCount >= 0 && server->connectionCount() != expectedCount) {
      failures.push_back(kind + ": expected " + std::to_string(expectedCount) +
                         " connection(s), got " + std::to_string(server->connectionCount()));
    }
  };
  checkServer(plain.get(), caseFile.plainConnections.size(), caseFile.plainConnectionCount);
  checkServer(tls.get(), caseFile.tlsConnections.size(), caseFile.tlsConnectionCount);
  for (const ExpectedRequest& request : caseFile.requests) {
    ScriptedServer* server = request.tls ? tls.get() : plain.get();
    std::string kind = request.tls ? "TLS connection " : "connection ";
    std::string where = kind + std::to_string(request.connection);
    std::vector<ConnectionRecord> records;
    if (server != nullptr) records = server->records();
    if (static_cast<size_t>(request.connection) > records.size()) {
      failures.push_back(where + " was never made (" + std::to_string(records.size()) +
                         " connection(s))");
      continue;
    }
    const ConnectionRecord& record = records[static_cast<size_t>(request.connection) - 1];
    if (!record.handshakeOk) failures.push_back(where + ": the TLS handshake failed");
    compareBytes("request on " + where, unescaped(substituted(request.bytes)), record.request,
                 &failures);
  }
  return result;
}

void verifyCaseText(const std::string& text, const std::string& name) {
  CaseFile caseFile;
  std::string error;
  if (!parseCase(text, &caseFile, &error)) {
    ADD_FAILURE() << name << ": " << error;
    return;
  }
  CaseResult result = runCase(caseFile, defaultCaseEnvironment());
  if (result.skipped) GTEST_SKIP() << name << ": " << result.skipReason;
  for (const std::string& failure : result.failures) ADD_FAILURE() << name << ": " << failure;
}

bool usePrivateNetworkIfTlsPortBusy() {
  std::string note = usePrivateNetworkIfPortBusy(kTlsPort);
  if (note.empty()) return false;
  fprintf(stderr, "note: %s\n", note.c_str());
  return true;
}

const char kAnyText[] = "%ANY%";

bool matchesWithAnyText(const std::string& pattern, const std::string& text) {
  const std::string any = kAnyText;
  size_t first = pattern.find(any);
  if (first == std::string::npos) return pattern == text;
  if (text.compare(0, first, pattern, 0, first) != 0) return false;
  // Each later piece is taken at its earliest place after the text matched
  // so far; the gap before it must stay within one line.
  size_t at = first;
  size_t piece = first + any.size();
  for (;;) {
    size_t next = pattern.find(any, piece);
    bool last = next == std::string::npos;
    std::string wanted = pattern.substr(piece, last ? std::string::npos : next - piece);
    size_t found;
    if (last) {
      if (text.size() < at + wanted.size()) return false;
      found = text.size() - wanted.size();
      if (text.compare(found, wanted.size(), wanted) != 0) return false;
    } else {
      found = text.find(wanted, at);
      if (found == std::string::npos) return false;
    }
    if (text.find('\n', at) < found) return false;
    if (last) return true;
    at = found + wanted.size();
    piece = next + any.size();
  }
}

bool readCaseFile(const std::string& path, std::string* text) {
  return readWholeFile(path, text);
}

namespace {

// The length of the number field of a progress line at `at` (right-aligned
// in at least eight columns), or 0.
size_t progressNumberAt(const std::string& text, size_t at) {
  size_t end = at;
  bool digit = false;
  while (end < text.size() &&
         (text[end] == ' ' || text[end] == '-' || (text[end] >= '0' && text[end] <= '9'))) {
    digit = digit || (text[end] >= '0' && text[end] <= '9');
    ++end;
  }
  return digit && end - at >= 8 ? end - at : 0;
}

// The length of a progress field "\r% 8d/% 8d[KB]" at `at`, or 0.
size_t progressFieldAt(const std::string& text, size_t at) {
  if (at >= text.size() || text[at] != '\r') return 0;
  size_t first = progressNumberAt(text, at + 1);
  if (first == 0) return 0;
  size_t slash = at + 1 + first;
  if (slash >= text.size() || text[slash] != '/') return 0;
  size_t second = progressNumberAt(text, slash + 1);
  if (second == 0) return 0;
  size_t unit = slash + 1 + second;
  if (text.compare(unit, 4, "[KB]") != 0) return 0;
  return unit + 4 - at;
}

}  // namespace

std::string collapseProgressRuns(const std::string& text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t length = progressFieldAt(text, at);
    if (length == 0) {
      out += text[at++];
      continue;
    }
    // A run keeps its first field and, when it has more, its last one.
    out += text.substr(at, length);
    at += length;
    size_t lastAt = 0;
    size_t lastLength = 0;
    while ((length = progressFieldAt(text, at)) != 0) {
      lastAt = at;
      lastLength = length;
      at += length;
    }
    if (lastLength != 0) out += text.substr(lastAt, lastLength);
  }
  return out;
}

std::string escapeBytes(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char c : bytes) {
    if (c == '\\') {
      text += "\\\\";
    } else if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\t') {
      text += "\\t";
    } else if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      text += "\\x";
      text += kHex[c >> 4];
      text += kHex[c & 0xF];
    }
  }
  return text;
}
