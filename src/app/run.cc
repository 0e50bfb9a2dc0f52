// The run sequence: one command line, one run, one closing message.
#include "app/run.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/messages.h"
#include "http/recording_transport.h"
#include "http/replay_transport.h"
#include "http/transport.h"
#include "script/download.h"
#include "script/script_engine.h"
#include "script/settings.h"
#include "text/text_buffer.h"

namespace {

// Program path, switch, target and output file; later arguments are ignored.
const int kArgumentCount = 4;

const char kHelpSwitch[] = "--help";
const char kShortHelpSwitch[] = "-h";
const char kVersionSwitch[] = "--version";
// Options are the arguments before the switch that begin with this.
const char kOptionMark[] = "--";
// Given before the switch, each with the folder that follows it.
const char kRecordOption[] = "--record";
const char kReplayOption[] = "--replay";
// Stands for the environment's two places of trusted certificates.
const char kCaFileOption[] = "--cacert";
const char kSetOption[] = "--set";

// An option before the switch: its name, what its value stands for (null:
// none), and for the settings the line it stands for (the value follows
// it), with its line of the help (what it does, ": " and an example).
struct Option {
  const char* name;
  const char* value;
  const char* line;
  const char* help;
};

const Option kOptions[] = {
    {"--retry", "N", "@retry=", "retry what broke: --retry 3"},
    {"--resume", nullptr, "@resume=1", "keep FILE.part to go on later: --resume"},
    {"--no-resume", nullptr, "@resume=0", "write FILE at once: --no-resume"},
    {"--timeout", "S", "@timeout=", "wait S seconds for data: --timeout 60"},
    {"--lowspeed", "B,S", "@lowspeed=", "give up if slow: --lowspeed 1024,60"},
    {"--proxy", "VALUE", "@proxy=", "via a proxy: --proxy proxy.example:3128"},
    {"--insecure", nullptr, "@tlsverify=0", "no certificate check: --insecure"},
    {kCaFileOption, "FILE", nullptr, "trust FILE alone: --cacert ca.pem"},
    {"--user-agent", "TEXT", "@useragent=", "User-Agent: --user-agent Quorvane/0.2"},
    {kSetOption, "LINE", "", "a line of tovel.ini: --set @port=8080"},
    {kRecordOption, "DIR", nullptr, "record the connections: --record rec"},
    {kReplayOption, "DIR", nullptr, "replay a recording: --replay rec"},
};
// The help's option lines put their texts in one column after this many
// characters, and show each example in a whole command.
const int kHelpColumn = 18;
const char kExampleStart[] = "quorvane ";
const char kExampleEnd[] = " /S URL FILE";

// What a command line asks for beyond its switch, target and file.
struct CommandLine {
  // "--help" or "--version" was met among the options.
  bool help = false;
  bool version = false;
  // kRecordOption or kReplayOption (the last given) with its folder, or null.
  const char* network = nullptr;
  const char* folder = nullptr;
  // The file of "--cacert", or null.
  const char* caFile = nullptr;
  // The setting lines held for the run, as keyword code and value, in order.
  std::vector<std::pair<int, std::string>> settings;
  // The index in argv of the switch (the first argument after the options).
  int positional = 1;
};

bool isOption(const char* arg) {
  return arg != nullptr && strncmp(arg, kOptionMark, sizeof kOptionMark - 1) == 0;
}

// A display switch: two characters beginning with "/".
bool isDisplaySwitch(const char* arg) {
  return arg[0] == '/' && arg[1] != '\0' && arg[2] == '\0';
}

// Reads the options of `argv` into *line, up to the switch, "--help" or
// "--version". Returns ok, or kUsage with the sentence of a usage error.
Status readOptions(int argc, char** argv, CommandLine* line) {
  int i = 1;
  for (; i < argc && isOption(argv[i]); ++i) {
    const char* name = argv[i];
    line->help = strcmp(name, kHelpSwitch) == 0;
    line->version = strcmp(name, kVersionSwitch) == 0;
    if (line->help || line->version) break;
    const Option* option = nullptr;
    for (const Option& known : kOptions) {
      if (strcmp(name, known.name) == 0) option = &known;
    }
    if (option == nullptr) return Status(kUsage, std::string("unknown option ") + name);
    std::string setting = option->line != nullptr ? option->line : "";
    if (option->value != nullptr) {
      const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
      // A folder or a file is named; a display switch is no folder name.
      bool named = option->line == nullptr;
      if (value == nullptr || (named && (value[0] == '\0' || isDisplaySwitch(value)))) {
        return Status(kUsage, std::string(name) + " needs a value");
      }
      ++i;
      if (option->line == nullptr) {
        if (strcmp(name, kCaFileOption) == 0) {
          line->caFile = value;
        } else {
          line->network = option->name;
          line->folder = value;
        }
        continue;
      }
      setting += value;
    }
    std::pair<int, std::string> held;
    if (!readSettingLine(setting, &held.first, &held.second)) {
      return Status(kUsage, std::string(kSetOption) + " takes a setting line: " + setting);
    }
    line->settings.push_back(held);
  }
  line->positional = i;
  return Status();
}

// The help's lines for the options, one each.
std::vector<std::string> optionHelp() {
  std::vector<std::string> lines;
  for (const Option& option : kOptions) {
    std::string words = option.name;
    if (option.value != nullptr) words = words + " " + option.value;
    const size_t column = static_cast<size_t>(kHelpColumn);
    words.resize(column > words.size() + 1 ? column : words.size() + 1, ' ');
    std::string help = option.help;
    size_t example = help.find(": ") + 2;
    lines.push_back(words + help.insert(example, kExampleStart) + kExampleEnd);
  }
  return lines;
}

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
  // REQUIRES: a folder for an option.
  Status open(const char* option, const char* folder) {
    if (option == nullptr) return Status();
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
  CommandLine line;
  Status options = readOptions(argc, argv, &line);
  TextBuffer args[kArgumentCount];
  for (int i = 0; options.ok() && i < kArgumentCount; ++i) {
    int from = i == 0 ? 0 : line.positional + i - 1;
    if (from >= argc || argv[from] == nullptr || argv[from][0] == '\0') break;
    copyArgument(argv[from], args[i]);
  }
  // With the output "-", standard output carries the body alone.
  sendMessagesToStandardError(isStandardOutput(args[3].data()));
  report(kStartBanner);
  if (!options.ok()) {
    report(kUsage);
    reportFailure(options.message());
    return kUsage;
  }
  // Help and version need no registry; the banner said the version.
  const char* first = args[1].data() != nullptr ? args[1].data() : "";
  if (line.help || strcmp(first, kShortHelpSwitch) == 0) {
    showHelp(optionHelp());
    return kOk;
  }
  if (line.version) return kOk;
  setDisplayMode(args[1].data());
  if (line.caFile != nullptr) {
    // The library reads both on each TLS connection: the file alone is
    // trusted, and no folder (a file is no folder of certificates).
    setenv("SSL_CERT_FILE", line.caFile, 1);
    setenv("SSL_CERT_DIR", line.caFile, 1);
  }

  // Declared before the engine: the connections close through it.
  RunTransport network;
  Status status = network.open(line.network, line.folder);
  if (!status.ok()) {
    report(status.code(), status.detail().c_str());
    reportFailure(status.message());
    return status.code();
  }
  {
    // The engine (and with it the session and its connections) lives until
    // the closing message has been printed.
    ScriptEngine engine(network.transport(), configFolderFromHome().data());
    for (const auto& held : line.settings) {
      if (status.ok()) status = engine.holdSetting(held.first, held.second.c_str());
    }
    if (status.ok()) status = engine.selectPlugin(args[2].data());
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
