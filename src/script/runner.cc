// The plugin script runner: one step per line on the work register, the
// eight save slots, the session and files, until the script ends or a step
// fails. Also the log writer; "@buffering:" is http/buffer_page.cc and
// "@->file:" download.cc.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "base/messages.h"
#include "http/buffer_page.h"
#include "http/retry.h"
#include "http/session.h"
#include "script/download.h"
#include "script/keywords.h"
#include "script/script_engine.h"
#include "script/settings.h"
#include "text/file_handle.h"
#include "text/json.h"
#include "text/unescape.h"

namespace {

// The line buffer is allocated once per run; each read still takes at most
// kLineReadLimit - 1 characters.
const int32_t kLineCapacity = 2048;
// Save slots "@push=" and "@pop=" address; other numbers mean slot 0.
const int kSlotCount = 8;
// A verbose note shows this much of the work register: enough to recognise
// a value or the start of a page, short enough for one line of a terminal
// log.
const size_t kNotedValueBytes = 200;

// The failure of the step at `where` whose text would grow past what a
// text can hold.
Status textTooLarge(const std::string& where) {
  Status failure = Status::unknownError(kTextTooLarge, std::string());
  failure.addContext(where + ": ");
  return failure;
}

int slotNumber(const char* text) {
  int32_t number = settingNumber(text);
  return number >= 0 && number < kSlotCount ? number : 0;
}

// "@->log=": writes the text of `work` up to its NUL to `path`, replacing
// the file; a path that cannot be opened is skipped.
void writeLog(const char* path, const TextBuffer& work) {
  FileHandle log(path, "wb");
  if (log.stream == nullptr || work.data() == nullptr) return;
  log.write(work.data(), static_cast<int32_t>(strlen(work.data())));
}

// Why the plugin script at `path` cannot run, or kOk when `script` is open
// on a regular file.
Status scriptNotOpened(const FileHandle& script, const char* path) {
  if (script.stream == nullptr) {
    return Status(kNoRegistry,
                  formatText("cannot open the plugin %s (%s)", path, strerror(script.openError)));
  }
  struct stat info;
  if (fstat(fileno(script.stream), &info) != 0) {
    return Status(kNoRegistry, formatText("cannot read the plugin %s (%s)", path, strerror(errno)));
  }
  if (S_ISDIR(info.st_mode)) {
    return Status(kNoRegistry, formatText("cannot run the plugin %s (%s)", path, strerror(EISDIR)));
  }
  if (!S_ISREG(info.st_mode)) {
    return Status(kNoRegistry, formatText("the plugin %s is not a regular file", path));
  }
  return Status();
}

// In verbose mode, after a step that cut a value out of a page or header:
// a note with the start of what the step left in the work register.
void noteWorkRegister(const std::string& where, const char* step, const TextBuffer& work) {
  if (displayMode() != kModeVerbose) return;
  std::string note = where + " (" + step + "): the work register ";
  // A step that found nothing leaves the register empty (never absent).
  size_t length = work.data() != nullptr ? strlen(work.data()) : 0;
  if (length == 0) {
    note += "is empty";
  } else if (length <= kNotedValueBytes) {
    note += "holds \"" + std::string(work.data(), length) + "\"";
  } else {
    note += formatText("holds %zu bytes, the first %zu: \"", length, kNotedValueBytes);
    note += std::string(work.data(), kNotedValueBytes) + "\"";
  }
  verboseNote(note);
}

// "@jsonunescape:" and "@htmlunescape:" (`code`) on the text of `work`.
void unescapeWork(int code, TextBuffer& work) {
  const char* text = work.data() != nullptr ? work.data() : "";
  size_t length = strlen(text);
  std::string plain =
      code == kJsonUnescape ? jsonUnescape(text, length) : htmlUnescape(text, length);
  work.assign(plain.c_str());
}

// "@<-json=PATH": `work` becomes the value at `path` in its JSON text, or
// empty; in verbose mode a note says what the step (`step`, at `where`)
// left there.
void readJsonValue(const char* path, TextBuffer& work, const std::string& where, const char* step) {
  const char* text = work.data() != nullptr ? work.data() : "";
  size_t length = strlen(text);
  JsonLookup lookup = findJsonValue(text, length, path);
  work.assign(lookup.outcome == JsonLookup::kFound ? lookup.value.c_str() : nullptr);
  if (lookup.outcome == JsonLookup::kFound) {
    noteWorkRegister(where, step, work);
    return;
  }
  std::string why = std::string("the JSON text has no value at ") + path;
  if (lookup.outcome == JsonLookup::kNotJson) {
    why = lookup.failedAt < length
              ? formatText("the work register is not JSON (at byte %zu of %zu)",
                           lookup.failedAt + 1, length)
              : std::string("the work register is not JSON (it ends too early)");
  }
  verboseNote(where + " (" + step + "): " + why + "; the work register is now empty");
}

// "@<-body:" lends the session body's storage to the work register instead
// of copying a page that may be tens of MiB. While the register is
// unchanged the two are one text. Before a step that would change the
// register or use the body, the body gets its storage back: moved when the
// register is about to take a new text anyway, copied otherwise.
class LentBody {
 public:
  // "@<-body:": the register takes the body's text.
  void take(HttpSession& session, TextBuffer& work) {
    if (lent_) return;  // the register holds that text already
    // An empty or absent body is copied, so that the register keeps the
    // state "@<-body:" always gave it.
    if (!session.body().hasText()) {
      work.assign(session.body().data());
      return;
    }
    work = session.lendBody();
    lent_ = true;
  }

  // Before the step with keyword `code`.
  void settle(int code, HttpSession& session, TextBuffer& work) {
    // A setting changes neither the register nor the body.
    if (!lent_ || isSetting(code)) return;
    switch (code) {
      case kComment:
      case kSetHost:
      case kSetHeader:
      case kKeepConnect:
      case kCookieClear:
      case kCookieOn:
      case kCookieOff:
      case kCookieFile:
      case kCookieJar:
      case kPush:
      case kLog:
      case kExit:
      case kGetBody:   // take() keeps the register as it is
      case kAnalysis:  // reads the register, then gives it back (giveBack)
        return;
      case kReadTarget:
      case kReadValue:
      case kGetHeader:
      case kPop:
        giveBack(session, work);
        // An empty text, as the register had storage: a value that is
        // absent then leaves it empty, not absent.
        work.reserve(1);
        return;
      default:
        giveBack(session, work);
        work.assign(session.body().data());
        return;
    }
  }

  // Moves the storage back to the body, leaving the register without
  // storage. Nothing happens when the body is not lent.
  void giveBack(HttpSession& session, TextBuffer& work) {
    if (!lent_) return;
    session.returnBody(std::move(work));
    lent_ = false;
  }

 private:
  bool lent_ = false;
};

}  // namespace

Status ScriptEngine::runScript(const char* target, const char* outputPath) {
  if (configDir.data() == nullptr) return Status(kNoRegistry, "no configuration folder");
  TextBuffer path(configDir.length() + pluginName.length());
  path.append(configDir.data(), pluginName.data());
  FileHandle script(path.data(), "r");
  // A plugin that is missing, or a name that is a folder, cannot run.
  Status result = scriptNotOpened(script, path.data());

  TextBuffer line(kLineCapacity);
  TextBuffer work;
  work.assign(target);
  TextBuffer slots[kSlotCount];
  LentBody lentBody;

  while (result.ok() && script.readLine(line, kLineReadLimit) != nullptr) {
    // Where a failure or a note of this step says it happened.
    std::string where =
        formatText("plugin %s, line %d", pluginName.data(), static_cast<int>(script.lineNumber()));
    char* value = nullptr;
    char* secondValue = nullptr;
    int code = classifyLine(line.mutableData(), &value, &secondValue);
    lentBody.settle(code, session, work);
    switch (code) {
      case kComment:
        break;
      case kTimeout:
      case kPort:
      case kTlsVerify:
      case kRetry:
      case kResume:
      case kLowSpeed:
      case kAuth:
      case kSplit:
      case kUserAgent:
      case kProxy:
      case kUser:
      case kPass:
      case kCookieFile:
      case kCookieJar:
        result = applyFileSetting(code, value);
        break;
      case kHttpInit:
        session.resetRequest();
        break;
      case kAnalysis: {
        TextBuffer filled;
        result = runAnalysis(script, work.data(), value, &filled);
        lentBody.giveBack(session, work);
        work = std::move(filled);
        if (result.ok()) noteWorkRegister(where, line.data(), work);
        break;
      }
      case kReadTarget:
        work.assign(target);
        break;
      case kReadValue:
        work.assign(value);
        break;
      case kSetHost:
        session.setTarget(work.data());
        break;
      case kSetBody:
        session.setRequestBody(work.data());
        break;
      case kSetHeader:
        session.addHeader(value, work.data());
        break;
      case kGetBody:
        lentBody.take(session, work);
        noteWorkRegister(where, line.data(), work);
        break;
      case kGetHeader: {
        TextBuffer header(session.headerValue(value, 0));
        work.assign(header.data());
        noteWorkRegister(where, line.data(), work);
        break;
      }
      case kUrlDecode:
        work.urlDecode();
        break;
      case kUrlEncode:
        if (!work.urlEncode()) result = textTooLarge(where);
        break;
      case kConnect:
        session.setCredentialTarget();
        result = requestWithRetries(session, value, retry);
        break;
      case kJsonUnescape:
      case kHtmlUnescape:
        unescapeWork(code, work);
        break;
      case kJsonValue:
        readJsonValue(value, work, where, line.data());
        break;
      case kKeepConnect:
        session.keepConnection();
        break;
      case kSum:
        if (!work.append(value) || !work.append(slots[0].data())) result = textTooLarge(where);
        break;
      case kCookieClear:
        session.setCookieMode(0);
        break;
      case kCookieOn:
        session.setCookieMode(1);
        break;
      case kCookieOff:
        session.setCookieMode(2);
        break;
      case kBuffering:
        result = bufferPage(session, retry);
        break;
      case kPush:
        slots[slotNumber(value)].assign(work.data());
        break;
      case kPop:
        work.assign(slots[slotNumber(value)].data());
        break;
      case kReplace:
        if (!work.replaceAll(value, secondValue)) result = textTooLarge(where);
        break;
      case kLog:
        writeLog(value, work);
        break;
      case kFile:
        result = downloadToFile(session, outputPath, retry);
        break;
      case kExit:
        result = Status(kScriptExit, where + ": stopped by @exit:");
        break;
      default:
        // No keyword, "@plugin=", "@analysis end", "@startcode" and
        // "@<-host:" have no step here.
        report(kUnsupportedTrace, line.data());
        // The line as read, without its line end: classification cut it at
        // "@=>".
        if (secondValue != nullptr) memcpy(secondValue - strlen("@=>"), "@=>", strlen("@=>"));
        line.mutableData()[strcspn(line.data(), "\r\n")] = '\0';
        result = Status(kNotSupported, line.data()[0] == '\0'
                                           ? where + ": unsupported empty line"
                                           : where + ": unsupported line " + line.data());
        break;
    }
    if (result.code() == kNoConnection) result.addContext(where + ": ");
  }
  // The session keeps its body after the run, as the steps left it.
  lentBody.giveBack(session, work);
  return result;
}
