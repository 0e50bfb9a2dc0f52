// The message catalogue: fixed texts and formats by code, in three modes;
// the escaping of text from the network; the lines on standard error.
#include "base/messages.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/utf8.h"

namespace {

// The display mode; only setDisplayMode changes it.
int gMode = kModeNormal;
// Whether the messages go to standard error (standard output carries the
// download); only sendMessagesToStandardError changes it.
bool gOnStandardError = false;

const char kBanner[] = "Quorvane for zaurus [Version 0.2] \n";
const char kSwitchesLine[] = "Switches: /S normal, /D verbose, /T terse.";
const char kManualPointer[] = "The manual page tells more: man quorvane";
const char kProgramPrefix[] = "quorvane: ";

// Where the messages go.
FILE* messages() {
  return gOnStandardError ? stderr : stdout;
}

// puts to the messages' stream: `text` and a line feed.
void putLine(const char* text) {
  fputs(text, messages());
  fputc('\n', messages());
}

bool isControlByte(unsigned char c) {
  return (c < 32 && c != '\t') || c == 127;
}

// Appends "\x" and two hexadecimal digits for each of the `count` bytes at `bytes`.
void appendEscaped(const unsigned char* bytes, size_t count, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < count; ++i) {
    *out += "\\x";
    *out += kHex[bytes[i] >> 4];
    *out += kHex[bytes[i] & 15];
  }
}

// Ordinary messages: printed in normal and verbose mode.
void printOrdinary(int code, const char* text) {
  switch (code) {
    case kOk:
      putLine("Done.");
      break;
    case kSectionBanner:
      fprintf(messages(), "============%s============\n", text);
      break;
    case kStartBanner:
      putLine(kBanner);
      break;
    case kPluginEntry:
      fprintf(messages(), ">%s\n", text);
      break;
    case kUsage:
      putLine("usage:");
      putLine(kUsageLine);
      break;
    case kPlainText:
      fputs(text, messages());
      // Progress dots and addresses show as they happen.
      fflush(messages());
      break;
    case kUnknownError:
      fprintf(messages(), "* Unknown error %s.\n", text);
      break;
    case kNoAddress:
      putLine("* No suport url in target string.");
      break;
    case kNoSocket:
      putLine("* Invalid Socket,  maybe connection lost.");
      break;
    case kHostNotFound:
      putLine("* Host name not found in tagrget string. (invalid script or invalid target string)");
      break;
    case kCannotConnect:
      putLine("* Cannot connect.");
      break;
    case kNoConnection:
      putLine("* Socket not Initialized, meibe invalid script.");
      break;
    case kTimedOut:
      putLine("* Connect timeout.");
      break;
    case kNoRegistry:
      putLine("* Ini file not found. please install inifiles.");
      break;
    case kNotSupported:
      putLine("* Not support url.");
      break;
    default:
      break;
  }
}

// Diagnostic messages: printed in verbose mode only.
void printDiagnostic(int code, const char* text) {
  switch (code) {
    case kUnsupportedTrace:
      fprintf(messages(), "* Not support script %s\n", text);
      break;
    case kConnectTrace:
      fprintf(messages(), "@connect %s.\n", text);
      break;
    case kCloseTrace:
      putLine("@closesocket.");
      break;
    case kSendFailedTrace:
      putLine("@cannot send.");
      break;
    case kRecvFailedTrace:
      putLine("@cannot recv.");
      break;
    case kFileOpenTrace:
      fprintf(messages(), "@file open %s.\n", text);
      break;
    case kFileCloseTrace:
      putLine("@file close.");
      break;
    case kFileWriteTrace:
      putLine("@file write error.");
      break;
    case kTrace:
      fputs(text, messages());
      break;
    case kTraceBanner:
      fprintf(messages(), "============%s============\n", text);
      break;
    default:
      break;
  }
}

}  // namespace

const char kUsageLine[] =
    "quorvane [/D] [/S] [URL ex:http://www.example.com/watch/********] [recive file name] ";

void setDisplayMode(const char* arg) {
  gMode = kModeNormal;
  if (arg == nullptr || strlen(arg) != 2) return;
  if (arg[1] == 'D') gMode = kModeVerbose;
  if (arg[1] == 'T') gMode = kModeTerse;
}

int displayMode() {
  return gMode;
}

void sendMessagesToStandardError(bool onStandardError) {
  fflush(messages());
  gOnStandardError = onStandardError;
}

std::string escapeControlBytes(const char* text, size_t length, TextOrigin origin) {
  if (origin == kOwnText) return std::string(text, length);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length;) {
    unsigned char c = bytes[i];
    if (c >= 0x80) {
      size_t size = utf8SequenceLength(bytes + i, length - i);
      // A byte outside a sequence stands alone; the C1 controls (U+0080 to
      // U+009F, "\xc2\x80" to "\xc2\x9f") act on a terminal as the
      // 7-bit ones do.
      if (size == 0) size = 1;
      if (size == 1 || (c == 0xC2 && bytes[i + 1] <= 0x9F)) {
        appendEscaped(bytes + i, size, &out);
      } else {
        out.append(text + i, size);
      }
      i += size;
    } else if (!isControlByte(c)) {
      out += static_cast<char>(c);
      ++i;
    } else if (origin == kNetworkHeaders && c == '\r' && i + 1 < length && text[i + 1] == '\n') {
      out += "\r\n";
      i += 2;
    } else {
      appendEscaped(bytes + i, 1, &out);
      ++i;
    }
  }
  return out;
}

int report(int code, const char* text, TextOrigin origin) {
  if (text == nullptr) text = "";
  if (gMode == kModeTerse) {
    fprintf(messages(), "#%d\n", code);
    return code;
  }
  std::string escaped;
  if (origin != kOwnText) {
    escaped = escapeControlBytes(text, strlen(text), origin);
    text = escaped.c_str();
  }
  printOrdinary(code, text);
  if (gMode == kModeVerbose) printDiagnostic(code, text);
  return code;
}

int64_t showProgress(int64_t receivedKB, int64_t totalKB) {
  fprintf(messages(), "\r% 8lld/% 8lld[KB]", static_cast<long long>(receivedKB),
          static_cast<long long>(totalKB));
  fflush(messages());
  return receivedKB;
}

const char kHelpHint[] = " (see quorvane --help)";

void showHelp(const std::vector<std::string>& optionLines) {
  report(kUsage);
  putLine(kSwitchesLine);
  for (const std::string& line : optionLines) putLine(line.c_str());
  putLine(kManualPointer);
}

void reportFailure(const std::string& sentence) {
  fflush(messages());
  std::string line = kProgramPrefix;
  line += escapeControlBytes(sentence.data(), sentence.size(), kNetworkText);
  line += '\n';
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
}

void reportNotice(const std::string& sentence) {
  fflush(messages());
  if (isatty(fileno(messages())) && isatty(STDERR_FILENO)) fputc('\n', stderr);
  reportFailure(sentence);
}

void verboseNote(const std::string& sentence) {
  if (gMode == kModeVerbose) reportFailure(sentence);
}
