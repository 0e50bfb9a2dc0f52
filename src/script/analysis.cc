// Analysis blocks: a template filled with pieces cut out of the work text.
// The block's lines ("@startcode", fill rules beginning with "%", up to
// "@analysis end") are read here from the runner's open script file.
#include <cstring>
#include <string>

#include "base/messages.h"
#include "script/keywords.h"
#include "script/script_engine.h"
#include "text/file_handle.h"
#include "text/text_transforms.h"

namespace {

// Room reserved for the filled template; it grows when fill rules need more.
const int32_t kResultCapacity = 1024;

// True when `key` begins with keyword `code` of the table.
bool keyBegins(const char* key, int code) {
  const char* keyword = kKeywords[code - 1];
  return strncmp(key, keyword, strlen(keyword)) == 0;
}

}  // namespace

Status ScriptEngine::runAnalysis(FileHandle& scriptFile, const char* workText,
                                 const char* templateText, TextBuffer* filled) {
  TextBuffer line(kLineReadLimit);
  TextBuffer& result = *filled;
  result = TextBuffer(kResultCapacity);
  result.assign(templateText);
  report(kTrace, "@----analysis start----\n");

  // Where fill rules search; null while a start-code text is missing.
  const char* searchBase = workText;
  while (scriptFile.readLine(line, kLineReadLimit) != nullptr) {
    // The "=" is located in the line as read, then the line is cut at its
    // first CR or LF.
    char* key = line.mutableData();
    char* equals = strchr(key, '=');
    key[strcspn(key, "\r\n")] = '\0';
    char* startMarker = nullptr;
    char* endMarker = nullptr;
    if (equals != nullptr) {
      *equals = '\0';
      startMarker = equals + 1;
      char* separator = strstr(startMarker, "@=>");
      if (separator != nullptr) {
        *separator = '\0';
        endMarker = separator + 3;
      }
    }

    if (keyBegins(key, kStartCode)) {
      report(kTrace, "@startcode ");
      report(kTrace, startMarker);
      report(kTrace, "\n");
      // Every start-code line searches the whole work text again.
      searchBase = nullptr;
      if (startMarker != nullptr && workText != nullptr) {
        searchBase = strstr(workText, startMarker);
        if (searchBase != nullptr) report(kTrace, " found\n");
      }
    } else if (keyBegins(key, kAnalysisEnd)) {
      break;
    } else if (key[0] == '%') {
      // Extraction never moves the search base.
      TextBuffer piece = extractBetween(searchBase, startMarker, endMarker, 0);
      // Later rules search what earlier ones put in, so a page that holds a
      // placeholder many times can multiply a large piece past what a text
      // can hold: the step fails before the storage is taken.
      if (piece.hasText() && !result.replaceAll(key, piece.data())) {
        Status tooLarge = Status::unknownError(kTextTooLarge, std::string());
        tooLarge.addContext(formatText(
            "plugin %s, line %d: ", pluginName.data() != nullptr ? pluginName.data() : "",
            static_cast<int>(scriptFile.lineNumber())));
        return tooLarge;
      }
    }
  }

  report(kTrace, "@----analysis end ----\n");
  return Status();
}
