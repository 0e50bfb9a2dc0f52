// The message catalogue: fixed texts and formats by code, in three modes;
// the escaping of text from the network; the lines on standard error.
#include "base/messages.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// The display mode; only setDisplayMode changes it.
int gMode = kModeNormal;

const char kBanner[] = "Quorvane for zaurus [Version 0.2] \n";
const char kManualPointer[] = "The manual page tells more: man quorvane";
const char kProgramPrefix[] = "quorvane: ";

bool isControlByte(unsigned char c) {
  return (c < 32 && c != '\t') || c == 127;
}

// Ordinary messages: printed in normal and verbose mode.
void printOrdinary(int code, const char* text) {
  switch (code) {
    case kOk:
      puts("Done.");
      break;
    case kSectionBanner:
      printf("============%s============\n", text);
      break;
    case kStartBanner:
      puts(kBanner);
      break;
    case kPluginEntry:
      printf(">%s\n", text);
      break;
    case kUsage:
      puts("usage:");
      puts(kUsageLine);
      break;
    case kPlainText:
      fputs(text, stdout);
      // Progress dots and addresses show as they happen.
      fflush(stdout);
      break;
    case kUnknownError:
      printf("* Unknown error %s.\n", text);
      break;
    case kNoAddress:
      puts("* No suport url in target string.");
      break;
    case kNoSocket:
      puts("* Invalid Socket,  maybe connection lost.");
      break;
    case kHostNotFound:
      puts("* Host name not found in tagrget string. (invalid script or invalid target string)");
      break;
    case kCannotConnect:
      puts("* Cannot connect.");
      break;
    case kNoConnection:
      puts("* Socket not Initialized, meibe invalid script.");
      break;
    case kTimedOut:
      puts("* Connect timeout.");
      break;
    case kNoRegistry:
      puts("* Ini file not found. please install inifiles.");
      break;
    case kNotSupported:
      puts("* Not support url.");
      break;
    default:
      break;
  }
}

// Diagnostic messages: printed in verbose mode only.
void printDiagnostic(int code, const char* text) {
  switch (code) {
    case kUnsupportedTrace:
      printf("* Not support script %s\n", text);
      break;
    case kConnectTrace:
      printf("@connect %s.\n", text);
      break;
    case kCloseTrace:
      puts("@closesocket.");
      break;
    case kSendFailedTrace:
      puts("@cannot send.");
      break;
    case kRecvFailedTrace:
      puts("@cannot recv.");
      break;
    case kFileOpenTrace:
      printf("@file open %s.\n", text);
      break;
    case kFileCloseTrace:
      puts("@file close.");
      break;
    case kFileWriteTrace:
      puts("@file write error.");
      break;
    case kTrace:
      fputs(text, stdout);
      break;
    case kTraceBanner:
      printf("============%s============\n", text);
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

std::string escapeControlBytes(const char* text, size_t length, TextOrigin origin) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (origin == kOwnText || !isControlByte(c)) {
      out += static_cast<char>(c);
    } else if (origin == kNetworkHeaders && c == '\r' && i + 1 < length && text[i + 1] == '\n') {
      out += "\r\n";
      ++i;
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

int report(int code, const char* text, TextOrigin origin) {
  if (text == nullptr) text = "";
  if (gMode == kModeTerse) {
    printf("#%d\n", code);
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
  printf("\r% 8lld/% 8lld[KB]", static_cast<long long>(receivedKB),
         static_cast<long long>(totalKB));
  fflush(stdout);
  return receivedKB;
}

void showHelp() {
  report(kUsage);
  puts(kManualPointer);
}

void reportFailure(const std::string& sentence) {
  fflush(stdout);
  std::string line = kProgramPrefix;
  line += escapeControlBytes(sentence.data(), sentence.size(), kNetworkText);
  line += '\n';
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
}

void reportNotice(const std::string& sentence) {
  fflush(stdout);
  if (isatty(STDOUT_FILENO) && isatty(STDERR_FILENO)) fputc('\n', stderr);
  reportFailure(sentence);
}

void verboseNote(const std::string& sentence) {
  if (gMode == kModeVerbose) reportFailure(sentence);
}
