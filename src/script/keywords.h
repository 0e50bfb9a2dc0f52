// The keyword table and line classifier shared by the registry, plugin
// scripts and analysis blocks.
//
// A line does something when it begins, at its first character and byte for
// byte, with one of the keywords of the table. Its value is the text after
// its first "="; on request the first "@=>" ends the value and starts a
// second value.
#ifndef QUORVANE_SCRIPT_KEYWORDS_H_
#define QUORVANE_SCRIPT_KEYWORDS_H_

// Keyword codes: position in the table plus one; 0 means no keyword.
enum KeywordCode {
  kNoKeyword = 0,
  kComment = 1,
  kTimeout = 2,
  kPort = 3,
  kUserAgent = 4,
  kProxy = 5,
  kUser = 6,
  kPass = 7,
  kPlugin = 8,
  kHttpInit = 9,
  kAnalysis = 10,
  kAnalysisEnd = 11,
  kStartCode = 12,
  kReadTarget = 13,
  kReadValue = 14,
  kSetHost = 15,
  kSetBody = 16,
  kSetHeader = 17,
  kGetHost = 18,
  kGetBody = 19,
  kGetHeader = 20,
  kUrlDecode = 21,
  kUrlEncode = 22,
  kConnect = 23,
  kKeepConnect = 24,
  kSum = 25,
  kCookieClear = 26,
  kCookieOn = 27,
  kCookieOff = 28,
  kBuffering = 29,
  kPush = 30,
  kPop = 31,
  kReplace = 32,
  kLog = 33,
  kFile = 34,
  kExit = 35,
  kTlsVerify = 36,
  kRetry = 37,
  kResume = 38,
  kLowSpeed = 39,
  kCookieFile = 40,
  kCookieJar = 41,
  kAuth = 42,
  kJsonUnescape = 43,
  kHtmlUnescape = 44,
  kJsonValue = 45,
  kSplit = 46,
};

// The codes run from 1 without gaps (a code not yet in use has an empty
// entry); the last one is the table's length.
const int kKeywordCount = kSplit;
// Each keyword is held in a field of 16 characters (15 and the terminator).
const int kKeywordField = 16;
extern const char kKeywords[][kKeywordField];  // kKeywordCount entries

// Every file is read with this limit including the terminator, so one read
// yields at most 1023 characters; the rest of a longer line comes next.
const int kLineReadLimit = 1024;

// Classifies one read. Cuts the line at its first CR or LF (a line that
// begins with one stays as read), sets *value after the first "=" (or null)
// and, when secondValue is given, ends the value at the first "@=>" and sets
// *secondValue after it (or null). Returns the keyword code; a null line
// gives 0 and leaves the outputs untouched.
int classifyLine(char* line, char** value, char** secondValue);

#endif  // QUORVANE_SCRIPT_KEYWORDS_H_
