// The script engine's configuration directory and the site registry
// "tovel.ini": session defaults and the pattern that picks a plugin.
#include <cerrno>
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
// Where an installation keeps the example registry and plugins, relative to
// its prefix.
const char kExamplesFolder[] = "share/quorvane/examples";

Status registryNotOpened(const char* path, int error) {
  if (error == ENOENT) {
    return Status(kNoRegistry, formatText("no registry at %s (the example configuration is in %s)",
                                          path, kExamplesFolder));
  }
  return Status(kNoRegistry, formatText("cannot open the registry %s (%s)", path, strerror(error)));
}

}  // namespace

TextBuffer configFolderFromHome() {
  char path[kConfigPathLimit];
  const char* home = getenv("HOME");
  int needed = home != nullptr ? snprintf(path, sizeof path, "%s/.tovelcnf/", home)
                               : snprintf(path, sizeof path, "%s", "/home/root/.tovelcnf/");
  // A path that does not fit is refused whole: the folder stays without
  // storage, which selectPlugin and runScript take as a missing registry.
  TextBuffer folder;
  if (needed >= 0 && needed < kConfigPathLimit) folder.assign(path);
  return folder;
}

Status ScriptEngine::selectPlugin(const char* target) {
  if (configDir.data() == nullptr) {
    return Status(kNoRegistry,
                  formatText("no registry: the configuration folder's path is longer than %d "
                             "characters",
                             kConfigPathLimit - 1));
  }
  TextBuffer path;
  path.append(configDir.data(), kRegistryName);
  FileHandle registry(path.data(), "r");
  if (registry.stream == nullptr) return registryNotOpened(path.data(), registry.openError);

  int result = kNoRegistry;
  TextBuffer line(kLineReadLimit);
  while (registry.readLine(line, kLineReadLimit) != nullptr) {
    char* value = nullptr;
    int code = classifyLine(line.mutableData(), &value, nullptr);
    if (value == nullptr) continue;
    if (code == kPlugin) {
      // Reading goes on: the last matching pattern in the file wins.
      if (target != nullptr && strstr(target, value) != nullptr) {
        pluginName.assign(value);
        result = kOk;
      }
    } else {
      Status applied = applyFileSetting(code, value);
      if (!applied.ok()) return applied;
    }
  }
  if (result == kOk) {
    verboseNote(formatText("plugin %s chosen: the target holds its pattern \"%s\"",
                           pluginName.data(), pluginName.data()));
    return Status();
  }
  // A registry that is a folder opens but cannot be read.
  int readError = ferror(registry.stream) ? errno : 0;

  report(kSectionBanner, "[Support Plugin]");
  registry.rewind();
  while (registry.readLine(line, kLineReadLimit) != nullptr) {
    char* value = nullptr;
    if (classifyLine(line.mutableData(), &value, nullptr) == kPlugin) report(kPluginEntry, value);
  }
  report(kSectionBanner, "================");
  if (readError != 0) {
    return Status(kNotSupported,
                  formatText("cannot read the registry %s (%s)", path.data(), strerror(readError)));
  }
  if (target == nullptr || target[0] == '\0') {
    return Status(kNotSupported, std::string("no target given") + kHelpHint);
  }
  return Status(kNotSupported, formatText("no plugin in %s matches the target %s%s", path.data(),
                                          target, kHelpHint));
}
