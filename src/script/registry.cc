// The script engine's configuration directory, its session, and the site
// registry "tovel.ini": session defaults and the pattern that picks a plugin.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/messages.h"
#include "http/session.h"
#include "script/keywords.h"
#include "script/script_engine.h"
#include "script/settings.h"
#include "text/file_handle.h"

namespace {

const char kRegistryName[] = "tovel.ini";

}  // namespace

ScriptEngine::ScriptEngine() : session(new HttpSession()) {
  char path[kConfigPathLimit];
  const char* home = getenv("HOME");
  int needed = home != nullptr ? snprintf(path, sizeof path, "%s/.tovelcnf/", home)
                               : snprintf(path, sizeof path, "%s", "/home/root/.tovelcnf/");
  // A path that does not fit is refused whole: configDir stays without
  // storage, which selectPlugin and runScript take as a missing registry.
  if (needed >= 0 && needed < kConfigPathLimit) configDir.assign(path);
}

ScriptEngine::~ScriptEngine() {
  delete session;
}

int ScriptEngine::selectPlugin(const char* target) {
  if (configDir.data == nullptr) return kNoRegistry;
  TextBuffer path;
  path.append(configDir.data, kRegistryName);
  FileHandle registry(path.data, "r");
  if (registry.stream == nullptr) return kNoRegistry;

  int result = kNoRegistry;
  TextBuffer line(kLineReadLimit);
  while (registry.readLine(line.data, kLineReadLimit) != nullptr) {
    char* value = nullptr;
    int code = classifyLine(line.data, &value, nullptr);
    if (value == nullptr) continue;
    if (code == kPlugin) {
      // Reading goes on: the last matching pattern in the file wins.
      if (target != nullptr && strstr(target, value) != nullptr) {
        pluginName.assign(value);
        result = kOk;
      }
    } else {
      applySetting(*session, code, value);
    }
  }
  if (result == kOk) return kOk;

  report(kSectionBanner, "[Support Plugin]");
  registry.rewind();
  while (registry.readLine(line.data, kLineReadLimit) != nullptr) {
    char* value = nullptr;
    if (classifyLine(line.data, &value, nullptr) == kPlugin) report(kPluginEntry, value);
  }
  report(kSectionBanner, "================");
  return kNotSupported;
}
