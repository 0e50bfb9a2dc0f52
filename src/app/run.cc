// The run sequence: one command line, one run, one closing message.
#include "app/run.h"

#include <cstring>
#include <string>

#include "base/messages.h"
#include "http/transport.h"
#include "script/script_engine.h"
#include "text/text_buffer.h"

namespace {

// Program path, switch, target and output file; later arguments are ignored.
const int kArgumentCount = 4;

const char kHelpSwitch[] = "--help";
const char kShortHelpSwitch[] = "-h";
const char kVersionSwitch[] = "--version";
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

  TextBuffer args[kArgumentCount];
  for (int i = 0; i < kArgumentCount && i < argc; ++i) {
    if (argv[i] == nullptr || argv[i][0] == '\0') break;
    copyArgument(argv[i], args[i]);
  }
  // Help and version need no registry; the banner said the version.
  const char* first = args[1].data() != nullptr ? args[1].data() : "";
  if (strcmp(first, kHelpSwitch) == 0 || strcmp(first, kShortHelpSwitch) == 0) {
    showHelp();
    return kOk;
  }
  if (strcmp(first, kVersionSwitch) == 0) return kOk;
  setDisplayMode(args[1].data());

  Status status;
  {
    // The engine (and with it the session and its connections) lives until
    // the closing message has been printed.
    ScriptEngine engine(networkTransport(), configFolderFromHome().data());
    status = engine.selectPlugin(args[2].data());
    if (status.ok()) {
      status = engine.runScript(args[2].data(), args[3].data());
    } else {
      // Without a registry or a plugin for the target, the usage text is the
      // closing message.
      status = Status(kUsage, status.message());
    }
    // The closing message on standard output and, for a failed run, the
    // line that says why on standard error.
    report(status.code(), status.detail().c_str());
    if (!status.ok()) reportFailure(failureLine(status, first));
  }
  return status.code();
}
