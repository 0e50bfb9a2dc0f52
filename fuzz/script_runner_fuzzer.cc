// Fuzz target: the whole script runner on a fuzzed plugin, with the
// network replaced by the fake transport serving a fuzzed stream.
//
// Input: one flag byte (bits 0-1: display mode normal, verbose, terse),
// the plugin script, a line "@@@@", and the server stream of
// fake_stream.h. The plugin is kept within memory and disk budgets
// (script_budget.h) and all its "@->log=" lines write one scratch file.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/messages.h"
#include "fake_stream.h"
#include "fuzz_support.h"
#include "http/session.h"
#include "script/script_engine.h"
#include "script_budget.h"
#include "support/fake_transport.h"

namespace {

const char kSeparator[] = "\n@@@@\n";
const char kTarget[] = "http://fuzz.example/watch?v=1";
const char kPluginName[] = "watch";

const char* const kModes[] = {"/S", "/D", "/T", "/S"};

std::string gPluginPath;
std::string gOutputPath;
std::string gLogPath;

// The codes a run may end with.
bool knownResult(int code) {
  switch (code) {
    case 0:
    case 7:
    case 200:
    case 201:
    case 202:
    case 203:
    case 204:
    case 205:
    case 206:
    case 208:
    case 604:
    case 605:
    case 608:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quietStandardOutput();
  const std::string& home = scratchHome();
  std::string config = home + "/.tovelcnf";
  if (mkdir(config.c_str(), 0700) != 0 ||
      !writeWholeFile(config + "/tovel.ini", std::string("@plugin=") + kPluginName + "\n")) {
    perror("scratch configuration");
    abort();
  }
  gPluginPath = config + "/" + kPluginName;
  gOutputPath = home + "/output.bin";
  gLogPath = home + "/log.txt";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  unsigned flags = data[0];
  std::string input = bytesOf(data + 1, size - 1);
  size_t cut = input.find(kSeparator);
  std::string plugin = input.substr(0, cut);
  std::string stream = cut == std::string::npos ? "" : input.substr(cut + sizeof kSeparator - 1);

  FakeTransport fake;
  QueuedStream queued = queueConnections(fake, stream);

  ScriptInputs inputs;
  inputs.targetLength = sizeof kTarget - 1;
  inputs.serverBytes = queued.totalBytes;
  inputs.logPath = gLogPath;
  FUZZ_CHECK(writeWholeFile(gPluginPath, boundPluginScript(plugin, inputs)),
             "cannot write the plugin");

  setDisplayMode(kModes[flags & 3]);
  {
    ScriptEngine engine(fake, configFolderFromHome().data());
    // Retried downloads do not wait.
    engine.retry.secondMillis = 0;
    int selected = engine.selectPlugin(kTarget).code();
    FUZZ_CHECK(selected == 0, "the scratch registry did not select the plugin");
    int result = engine.runScript(kTarget, gOutputPath.c_str()).code();
    FUZZ_CHECK(knownResult(result), "run ended with a code no step gives");
  }
  for (size_t i = 0; i < fake.opened; ++i) {
    FUZZ_CHECK(fake.connections[i].closes == 1, "a connection was not closed exactly once");
  }
  return 0;
}
