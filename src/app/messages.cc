// The message catalogue: fixed texts and formats by code, in three modes.
#include "app/messages.h"

#include <cstdio>
#include <cstring>

namespace {

int gMode = kModeNormal;
char gDetail[128] = "";

const char kBanner[] = "Quorvane for zaurus [Version 0.2] \n";

// Ordinary messages: printed in normal and verbose mode.
void printOrdinary(int code, const char* text) {
  switch (code) {
    case 0: puts("Done."); break;
    case 1: printf("============%s============\n", text); break;
    case 2: puts(kBanner); break;
    case 3: printf(">%s\n", text); break;
    case 4:
      puts("usage:");
      puts(kUsageLine);
      break;
    case 6:
      fputs(text, stdout);
      // Progress dots and addresses show as they happen.
      fflush(stdout);
      break;
    case 200: printf("* Unknown error %s.\n", text); break;
    case 201: puts("* No suport url in target string."); break;
    case 202: puts("* Invalid Socket,  maybe connection lost."); break;
    case 203:
      puts("* Host name not found in tagrget string. (invalid script or invalid target string)");
      break;
    case 204: puts("* Cannot connect."); break;
    case 205: puts("* Socket not Initialized, meibe invalid script."); break;
    case 206: puts("* Connect timeout."); break;
    case 207: puts("* Ini file not found. please install inifiles."); break;
    case 208: puts("* Not support url."); break;
    default: break;
  }
}

// Diagnostic messages: printed in verbose mode only.
void printDiagnostic(int code, const char* text) {
  switch (code) {
    case 601: printf("* Not support script %s\n", text); break;
    case 602: printf("@connect %s.\n", text); break;
    case 603: puts("@closesocket."); break;
    case 604: puts("@cannot send."); break;
    case 605: puts("@cannot recv."); break;
    case 606: printf("@file open %s.\n", text); break;
    case 607: puts("@file close."); break;
    case 608: puts("@file write error."); break;
    case 609: fputs(text, stdout); break;
    case 610: printf("============%s============\n", text); break;
    default: break;
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

int displayMode() { return gMode; }

int report(int code, const char* text) {
  if (text == nullptr) text = "";
  if (gMode == kModeTerse) {
    printf("#%d\n", code);
    return code;
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

int failWith(const char* detail) {
  snprintf(gDetail, sizeof gDetail, "%s", detail ? detail : "");
  return kUnknownError;
}

const char* failureDetail() { return gDetail; }
