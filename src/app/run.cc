// The run sequence: one command line, one run, one closing message.
#include "app/run.h"

#include <cstring>
#include <memory>
#include <string>

#include "base/messages.h"
#include "http/recording_transport.h"
#include "http/replay_transport.h"
#include "http/transport.h"
#include "script/script_engine.h"
#include "text/text_buffer.h"

namespace {

// Program path, switch, target and output file; later arguments are ignored.
const int kArgumentCount = 4;

const char kHelpSwitch[] = "--help";
const char kShortHelpSwitch[] = "-h";
const char kVersionSwitch[] = "--version";
// Given before the switch, each with the folder that follows it.
const char kRecordOption[] = "--record";
const char kReplayOption[] = "--replay";
// An address given where the switch goes holds this; the failure that
// follows says how the command line is written.
const char kAddressMark[] = "://";
const char kSwitchHint[] = " (the first argument is the display switch: quorvane /S ADDRESS FILE)";

// Copies `arg` into `copy`, without one pair of surrounding double quotes.
void copyArgument(const char* arg, TextBuffer& copy) {
  size_t n = strlen(arg);
  if (n >= 2 && arg[0] == '"' && arg[n - 1] == '"') {
    // Reserved at the full length so that even "" keeps storage: an empty
    // text, not an absent one.
    copy.reserve(static_cast<int32_t>(n));
    int32_t room = 0;
    memcpy(copy.tail(&room), arg + 1, n - 2);
    copy.commit(static_cast<int32_t>(n - 2));
  } else {
    copy.assign(arg);
  }
}

// The network of a run: the system's, the system's with every connection
// written into a folder ("--record"), or a recording played back
// ("--replay").
class RunTransport {
 public:
  RunTransport() = default;
  RunTransport(const RunTransport&) = delete;
  RunTransport& operator=(const RunTransport&) = delete;

  // Sets up `option` (one of the two above, or null for the network) with
  // its `folder`. Returns the set-up's failure, or ok.
  Status open(const char* option, const char* folder) {
    if (option == nullptr) return Status();
    if (folder == nullptr || folder[0] == '\0') {
      return Status(kUsage,
                    formatText("%s is followed by a folder: quorvane %s DIR SWITCH TARGET FILE",
                               option, option));
    }
    if (strcmp(option, kRecordOption) == 0) {
      // The folder is made at the run's first connection.
      recorder_ = std::make_unique<RecordingTransport>(networkTransport(), folder);
      return Status();
    }
    replay_ = std::make_unique<ReplayTransport>(folder);
    return replay_->start();
  }
  Transport& transport() {
    if (recorder_ != nullptr) return *recorder_;
    if (replay_ != nullptr) return *replay_;
    return networkTransport();
  }
  // Why the recording or the replay stopped the run; ok when it did not.
  Status stopped() const {
    if (recorder_ != nullptr) return recorder_->stopped();
    if (replay_ != nullptr) return replay_->stopped();
    return Status();
  }

 private:
  std::unique_ptr<RecordingTransport> recorder_;
  std::unique_ptr<ReplayTransport> replay_;
};
// The sentence of a failed run's line on standard error. When the switch
// looks like an address, the line ends with how the command is written,
// which says more than the pointer to the help it replaces.
std::string failureLine(const Status& status, const char* firstArgument) {
  std::string sentence = status.message();
  if (strstr(firstArgument, kAddressMark) == nullptr) return sentence;
  const size_t hint = strlen(kHelpHint);
  if (sentence.size() >= hint && sentence.compare(sentence.size() - hint, hint, kHelpHint) == 0) {
    sentence.erase(sentence.size() - hint);
  }
  return sentence + kSwitchHint;
}

}  // namespace

int runProgram(int argc, char** argv) {
  report(kStartBanner);

  // "--record DIR" or "--replay DIR" comes before the switch.
  const char* option = nullptr;
  const char* folder = nullptr;
  int skipped = 0;
  if (argc > 1 && argv[1] != nullptr &&
      (strcmp(argv[1], kRecordOption) == 0 || strcmp(argv[1], kReplayOption) == 0)) {
    option = argv[1];
    folder = argc > 2 ? argv[2] : nullptr;
    skipped = 2;
  }
  TextBuffer args[kArgumentCount];
  for (int i = 0; i < kArgumentCount && i + skipped < argc; ++i) {
    const char* arg = argv[i == 0 ? 0 : i + skipped];
    if (arg == nullptr || arg[0] == '\0') break;
    copyArgument(arg, args[i]);
  }
  // Help and version need no registry; the banner said the version.
  const char* first = args[1].data() != nullptr ? args[1].data() : "";
  if (strcmp(first, kHelpSwitch) == 0 || strcmp(first, kShortHelpSwitch) == 0) {
    showHelp();
    return kOk;
  }
  if (strcmp(first, kVersionSwitch) == 0) return kOk;
  setDisplayMode(args[1].data());

  // Declared before the engine: the connections close through it.
  RunTransport network;
  Status status = network.open(option, folder);
  if (!status.ok()) {
    report(status.code(), status.detail().c_str());
    reportFailure(status.message());
    return status.code();
  }
  {
    // The engine (and with it the session and its connections) lives until
    // the closing message has been printed.
    ScriptEngine engine(network.transport(), configFolderFromHome().data());
    status = engine.selectPlugin(args[2].data());
    if (status.ok()) {
      status = engine.runScript(args[2].data(), args[3].data());
    } else if (status.code() == kNoRegistry || status.code() == kNotSupported) {
      // Without a registry or a plugin for the target, the usage text is the
      // closing message.
      status = Status(kUsage, status.message());
    }
    // A recording that could not be written, or a replay that met another
    // request, ends the run, whatever the step that met it made of it.
    if (!network.stopped().ok()) status = network.stopped();
    // The jar is written whatever the result; a run that failed keeps its
    // own failure, and the line says the jar's after it.
    Status saved = engine.saveCookieJar();
    if (!saved.ok()) {
      if (status.ok()) {
        status = saved;
      } else {
        status.addTrailer("; " + saved.message());
      }
    }
    // The closing message on standard output and, for a failed run, the
    // line that says why on standard error.
    report(status.code(), status.detail().c_str());
    if (!status.ok()) reportFailure(failureLine(status, first));
  }
  return status.code();
}
