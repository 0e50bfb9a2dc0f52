// Running and judging one exchange.
#include "exchange.h"

#include <time.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "raw_server.h"
#include "support/child_process.h"
#include "support/scripted_server.h"

const char kPlainFilePlugin[] =
    "#= Plain file downloader\n"
    "@httpinit:\n"
    "@<-read:\n"
    "@->host:\n"
    "@connect=GET\n"
    "@->file:\n";

namespace {

const int kTlsPort = 443;
// Other test programs may hold 127.0.0.1:443 for a moment; binding is
// retried this long before the exchange is skipped.
const int kBindRetryMillis = 3000;
const int kBindRetryStepMillis = 100;
const char kOutputName[] = "out.bin";
// Stands for the server's port in an expected detail.
const char kPortMark[] = "%PORT%";
// The control bytes that must not reach the terminal: all below 32 but
// tab, line feed and carriage return, and 127.
const std::string kTerminalControls = [] {
  std::string bytes;
  for (int c = 0; c < 32; ++c) {
    if (c != '\t' && c != '\n' && c != '\r') bytes += static_cast<char>(c);
  }
  return bytes + '\x7f';
}();

// Texts a sanitizer prints when it finds something.
const char* const kSanitizerMarks[] = {
    "AddressSanitizer", "LeakSanitizer",   "UndefinedBehaviorSanitizer",
    "runtime error:",   "ThreadSanitizer", "MemorySanitizer"};

// A fresh folder under $TMPDIR (or /tmp), removed with its content.
class ScratchFolder {
 public:
  ScratchFolder() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                          "/quorvane-campaign-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  // Writes `content` to path()/name, making the folders on the way.
  void write(const std::string& name, const std::string& content) const {
    std::filesystem::path full = std::filesystem::path(path_) / name;
    std::error_code ignored;
    std::filesystem::create_directories(full.parent_path(), ignored);
    std::ofstream(full, std::ios::binary) << content;
  }

 private:
  std::string path_;
};

// A whole file; "" when it cannot be read.
std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  if (in) all << in.rdbuf();
  return all.str();
}

void sleepMillis(int millis) {
  timespec pause = {millis / 1000, (millis % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

// Makes a server with `make` until it listens or the retry time is over.
template <typename Server, typename Make>
std::unique_ptr<Server> bindWithRetry(Make make, std::string* error) {
  int waited = 0;
  for (;;) {
    std::unique_ptr<Server> server = make();
    if (server->ok()) return server;
    *error = server->error();
    if (waited >= kBindRetryMillis) return nullptr;
    server.reset();
    sleepMillis(kBindRetryStepMillis);
    waited += kBindRetryStepMillis;
  }
}

std::string lastLine(const std::string& text) {
  size_t end = text.size();
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
  size_t start = text.find_last_of("\r\n", end == 0 ? 0 : end - 1);
  start = start == std::string::npos ? 0 : start + 1;
  return text.substr(start, end - start);
}

std::string firstLineWith(const std::string& text, const std::string& mark) {
  size_t at = text.find(mark);
  if (at == std::string::npos) return "";
  size_t start = text.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  size_t end = text.find('\n', at);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Where two byte strings first differ, for the failure message.
std::string describeDifference(const std::string& got, const std::string& expected) {
  size_t at = 0;
  while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
  std::ostringstream text;
  text << "output file has " << got.size() << " bytes, server sent " << expected.size()
       << ", first difference at offset " << at;
  return text.str();
}

}  // namespace

ExchangeResult runExchange(const ExchangePlan& plan, const std::string& binary) {
  ExchangeResult result;
  ScratchFolder home;
  if (home.path().empty()) {
    result.skipped = true;
    result.reason = "cannot make a temporary folder";
    return result;
  }

  // The servers.
  std::unique_ptr<ScriptedServer> scripted;
  std::unique_ptr<RawServer> raw;
  std::string error;
  int plainPort = 1;  // TLS plans connect to 443 whatever "@port=" says
  switch (plan.listener) {
    case Listener::kPlain:
      scripted.reset(new ScriptedServer(false, plan.connections));
      if (!scripted->ok()) error = scripted->error();
      plainPort = scripted->port();
      break;
    case Listener::kTls:
      scripted = bindWithRetry<ScriptedServer>(
          [&] {
            return std::unique_ptr<ScriptedServer>(
                new ScriptedServer(true, plan.connections, kTlsPort));
          },
          &error);
      break;
    case Listener::kRaw: {
      RawPlan rawPlan = plan.raw;
      if (rawPlan.mode == RawPlan::kCutHandshake) {
        scripted.reset(new ScriptedServer(true, plan.connections));
        if (!scripted->ok()) error = scripted->error();
        rawPlan.relayPort = scripted->port();
      }
      if (error.empty()) {
        raw = bindWithRetry<RawServer>(
            [&] { return std::unique_ptr<RawServer>(new RawServer(rawPlan, kTlsPort)); }, &error);
      }
      break;
    }
  }
  bool serversUp = plan.listener == Listener::kRaw ? raw != nullptr && error.empty()
                                                   : scripted != nullptr && scripted->ok();
  if (!serversUp) {
    result.skipped = true;
    result.reason = "server not set up: " + error;
    return result;
  }

  // The configuration: registry and the plain-file plugin.
  home.write(".tovelcnf/tovel.ini", "@timeout=" + std::to_string(kExchangeTimeoutSeconds) +
                                        "\n@port=" + std::to_string(plainPort) + "\n" +
                                        plan.registryLines + "@plugin=http\n");
  home.write(".tovelcnf/http", plan.plugin.empty() ? kPlainFilePlugin : plan.plugin);

  // The program trusts the test authority that issued the TLS servers'
  // certificates, and nothing else.
  const std::string authority = home.path() + "/test-authority.pem";
  home.write("test-authority.pem", testAuthorityPem());

  ChildSpec child;
  child.argv = {binary, "/S", plan.target, plan.outputPath.empty() ? kOutputName : plan.outputPath};
  // A second of the waits between download attempts lasts a millisecond.
  child.environment = environmentWith(
      {"HOME=" + home.path(), "SSL_CERT_FILE=" + authority, "QUORVANE_RETRY_SECOND_MS=1"});
  child.folder = home.path();
  child.limitSeconds = kKillAfterSeconds;
  ChildRun run = runChild(child);
  if (scripted) scripted->stop();
  if (raw) raw->stop();

  if (!run.started) {
    result.reason = run.problem;
    return result;
  }
  result.status = run.exitStatus;
  result.killed = run.killed;
  result.seconds = run.seconds;
  const std::string& out = run.out;
  const std::string& err = run.err;
  std::string file = readFile(home.path() + "/" + kOutputName);

  std::ostringstream why;
  if (run.killed) {
    why << "still running after " << kKillAfterSeconds << " s; killed";
  } else if (run.signal != 0) {
    why << "ended by signal " << run.signal;
  } else if (run.seconds > kExchangeTimeoutSeconds + kTimeMarginSeconds) {
    why << "took " << run.seconds << " s (time-out " << kExchangeTimeoutSeconds << " s)";
  }
  for (const char* mark : kSanitizerMarks) {
    if (!why.str().empty()) break;
    std::string line = firstLineWith(err, mark);
    if (line.empty()) line = firstLineWith(out, mark);
    if (!line.empty()) why << "sanitizer report: " << line;
  }
  if (why.str().empty() && run.exitStatus != plan.expectedStatus) {
    why << "exit status " << run.exitStatus << ", expected " << plan.expectedStatus
        << " (last line: \"" << lastLine(out) << "\")";
  }
  if (why.str().empty() && plan.expectedStatus == 200) {
    // A detail that names the server's port: the plain server's ephemeral
    // port, or 443.
    std::string detail = plan.expectedDetail;
    size_t port = detail.find(kPortMark);
    if (port != std::string::npos) {
      detail.replace(port, strlen(kPortMark),
                     std::to_string(plan.listener == Listener::kPlain ? plainPort : kTlsPort));
    }
    std::string expected = "* Unknown error " + detail + (plan.detailIsPrefix ? "" : ".");
    std::string last = lastLine(out);
    if (plan.detailIsPrefix ? last.compare(0, expected.size(), expected) != 0 : last != expected) {
      why << "closing message \"" << lastLine(out) << "\", expected \"" << expected << "\"";
    }
  }
  if (why.str().empty() && plan.expectedStatus == 0) {
    if (lastLine(out) != "Done.") {
      why << "closing message \"" << lastLine(out) << "\", expected \"Done.\"";
    } else if (file != plan.body) {
      why << describeDifference(file, plan.body);
    }
  }
  if (why.str().empty() && plan.partialBody && plan.body.compare(0, file.size(), file) != 0) {
    why << "output file is not a prefix of the body: " << describeDifference(file, plan.body);
  }
  // What the servers saw: no request beyond those expected, nothing injected.
  std::vector<std::string> requests;
  if (scripted) requests = scripted->requests();
  if (why.str().empty() && plan.expectedConnections >= 0 && scripted &&
      scripted->connectionCount() != plan.expectedConnections) {
    why << "the server accepted " << scripted->connectionCount() << " connection(s), expected "
        << plan.expectedConnections;
  }
  for (size_t i = 0; i < requests.size() && why.str().empty(); ++i) {
    if (!plan.forbiddenInRequests.empty() &&
        requests[i].find(plan.forbiddenInRequests) != std::string::npos) {
      why << "request " << i + 1 << " carries \"" << plan.forbiddenInRequests << "\"";
    }
  }
  if (why.str().empty() && !plan.requiredInLastRequest.empty() &&
      (requests.empty() || requests.back().find(plan.requiredInLastRequest) == std::string::npos)) {
    why << "the last request lacks \"" << plan.requiredInLastRequest << "\"";
  }
  // Text from the network reaches the terminal escaped: only the line ends
  // (and the progress line's carriage returns) and tabs are control bytes.
  for (const std::string* text : {&out, &err}) {
    size_t at = text->find_first_of(kTerminalControls);
    if (why.str().empty() && at != std::string::npos) {
      why << "standard " << (text == &out ? "output" : "error") << " holds the control byte "
          << static_cast<int>(static_cast<unsigned char>((*text)[at])) << " at offset " << at;
    }
  }
  result.reason = why.str();
  result.passed = result.reason.empty();
  return result;
}
