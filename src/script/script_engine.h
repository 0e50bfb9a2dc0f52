// ScriptEngine: one run's configuration directory, chosen plugin and HTTP
// session, with the three operations that drive a run: selectPlugin (the
// registry, registry.cc), runScript (the plugin runner, runner.cc) and
// runAnalysis (template blocks, analysis.cc). The constructor and the cookie
// file lines are script_engine.cc.
#ifndef QUORVANE_SCRIPT_SCRIPT_ENGINE_H_
#define QUORVANE_SCRIPT_SCRIPT_ENGINE_H_

#include <set>

#include "base/status.h"
#include "http/session.h"
#include "http/transport.h"
#include "script/download.h"
#include "text/text_buffer.h"

class FileHandle;

// The configuration path ("$HOME/.tovelcnf/") is composed in a buffer of this
// size; a longer one counts as a missing registry.
const int kConfigPathLimit = 512;

// The configuration directory of a run: "$HOME/.tovelcnf/"
// ("/home/root/.tovelcnf/" without HOME). A path of kConfigPathLimit
// characters or more gives a buffer without storage (a missing registry).
TextBuffer configFolderFromHome();

class ScriptEngine {
 public:
  // An engine whose session reaches the network through `transport` and
  // which reads its registry and plugins from `configFolder` (ending in
  // "/"; null counts as a missing registry). The program passes
  // networkTransport() and configFolderFromHome().
  // QUORVANE_RETRY_SECOND_MS, when set to a number of milliseconds from 0 to
  // 1000, shortens the waits between download attempts (for tests). REQUIRES: `transport` outlives
  // the engine.
  ScriptEngine(Transport& transport, const char* configFolder);
  ScriptEngine(const ScriptEngine&) = delete;
  ScriptEngine& operator=(const ScriptEngine&) = delete;

  // Reads "tovel.ini": applies its defaults to the session and chooses the
  // last plugin whose pattern occurs in `target` (may be null). Returns kOk,
  // kNoRegistry, kNotSupported (no match; the plugin list was printed) or
  // kHostNotFound (the file of a "@cookiefile=" line cannot be read; reading
  // stops there).
  // In verbose mode it notes the choice on standard error.
  Status selectPlugin(const char* target);
  // Runs the chosen plugin script line by line. Returns kOk when it ran to
  // its end, kScriptExit after "@exit:", kNoRegistry when the script cannot
  // be opened, kNotSupported for an unsupported line, kOutputFileError when
  // the output file cannot be opened, kUnknownError or kTimedOut for an
  // incomplete download, kUnknownError for a body "@buffering:" cannot keep
  // or a text that would grow past kMaxTextLength, kHostNotFound for a
  // cookie file that cannot be read, or the failure of a "@connect=".
  // A failure of the script itself names the plugin and the line. In verbose
  // mode each step that cut a value out of a page or header notes the start
  // of the work register on standard error.
  Status runScript(const char* target, const char* outputPath);
  // Consumes an analysis block from `scriptFile` (up to "@analysis end" or
  // end of file) and leaves the filled template, always with storage, in
  // *filled. Returns kOk, or kUnknownError (kTextTooLarge, naming the plugin
  // and the fill rule's line) when a fill rule would make the text longer
  // than a text can hold; the block's remaining lines are then not read.
  // `workText` may be null and must outlive the call.
  Status runAnalysis(FileHandle& scriptFile, const char* workText, const char* templateText,
                     TextBuffer* filled);

  // Holds the setting line of keyword `code` with `value` (see
  // readSettingLine in script/settings.h) for the whole run: applies it
  // now, and the lines of the registry and the plugin with the same keyword
  // are passed over. Returns the failure of a cookie file that cannot be
  // read, or kOk. REQUIRES: readSettingLine gave `code`, value != nullptr.
  Status holdSetting(int code, const char* value);
  // Writes the jar to the file of the last "@cookiejar=" line, when there
  // is one (see saveCookieFile, http/cookie_file.h); kOk otherwise. The run
  // calls it as it ends, whatever its result.
  Status saveCookieJar() const;

  TextBuffer pluginName;
  TextBuffer configDir;
  // The file "@cookiejar=" named; without text: none.
  TextBuffer cookieJarPath;
  // Destroyed with the engine, closing its connections.
  HttpSession session;
  // "@retry=" and the length of a second of the waits between attempts.
  RetryPolicy retry;

 private:
  // A setting line of the registry or the plugin: applied unless the run
  // holds that setting. Returns kOk, or the failure of a cookie file that
  // cannot be read. REQUIRES: value != nullptr.
  Status applyFileSetting(int code, const char* value);
  // Applies a setting line: "@cookiefile=" loads the cookie file `value`
  // names into the session's jar and turns cookies on; "@cookiejar=" makes
  // `value` the file the jar is written to as the run ends (empty: none);
  // any other goes through applySetting. Returns kOk, or the failure of the
  // load (kHostNotFound).
  Status applyLine(int code, const char* value);
  Status applyCookieFileLine(int code, const char* value);

  // The keyword codes of the settings held for the run.
  std::set<int> held_;
};

#endif  // QUORVANE_SCRIPT_SCRIPT_ENGINE_H_
