// Budget tracking over the reads of a fuzzed script.
#include "script_budget.h"

#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "http/session.h"
#include "script/keywords.h"
#include "script/settings.h"

namespace {

// Room a body reader may reserve on top of what arrives ("@->file:").
const size_t kBodyReserve = 64 * 1024;
// Fixed request text around the variable parts, generously.
const size_t kRequestOverhead = 1024;
// Every retry of a download opens a connection and sends its request again;
// a few retries take every path, more would only repeat them.
const int32_t kMaxRetries = 3;

size_t textLength(const char* text) {
  return text != nullptr ? strlen(text) : 0;
}

// Turns a read into a comment without changing its length.
void neutralise(std::string& read) {
  if (read.size() >= 2) {
    read[0] = '#';
    read[1] = '=';
  }
}

// One line of an analysis block, split as the block reader splits it.
struct BlockLine {
  std::string key;
  bool endLine = false;
  bool fillRule = false;
};

BlockLine splitBlockLine(const std::string& read) {
  BlockLine line;
  size_t keyEnd = read.find_first_of(std::string("=\r\n\0", 4));
  line.key = read.substr(0, keyEnd);
  const char* endKeyword = kKeywords[kAnalysisEnd - 1];
  line.endLine = line.key.compare(0, strlen(endKeyword), endKeyword) == 0;
  line.fillRule = !line.endLine && !line.key.empty() && line.key[0] == '%';
  return line;
}

// The bound of a template after one fill rule with `keyLength` whose piece
// is at most `pieceBound` bytes.
size_t afterFill(size_t resultBound, size_t keyLength, size_t pieceBound) {
  if (keyLength == 0) return resultBound;
  return resultBound + (resultBound / keyLength) * pieceBound;
}

// Follows one analysis block from reads[i] on; returns the index of the
// read after its end line (or reads.size()) and the result bound.
size_t boundBlock(std::vector<std::string>& reads, size_t i, size_t workBound,
                  size_t* resultBound) {
  for (; i < reads.size(); ++i) {
    BlockLine line = splitBlockLine(reads[i]);
    if (line.endLine) return i + 1;
    if (!line.fillRule) continue;
    size_t next = afterFill(*resultBound, line.key.size(), workBound);
    if (next > kTextBudget) {
      neutralise(reads[i]);
    } else {
      *resultBound = next;
    }
  }
  return i;
}

std::string joined(const std::vector<std::string>& reads) {
  std::string text;
  for (const std::string& read : reads) text += read;
  return text;
}

}  // namespace

std::string boundAnalysisBlock(const std::string& block, size_t workLength, size_t templateLength) {
  std::vector<std::string> reads = scriptReads(block);
  size_t result = templateLength;
  boundBlock(reads, 0, workLength, &result);
  return joined(reads);
}

std::string boundPluginScript(const std::string& script, const ScriptInputs& inputs) {
  std::vector<std::string> reads = scriptReads(script);
  size_t work = inputs.targetLength;
  size_t slots = 0;
  size_t bodySet = 0;
  size_t address = 0;
  size_t headers = 0;
  size_t requests = 0;
  size_t logs = 0;
  size_t retries = 0;
  const size_t server = inputs.serverBytes;
  std::vector<char> line;

  for (size_t i = 0; i < reads.size();) {
    std::string& read = reads[i];
    line.assign(read.begin(), read.end());
    line.push_back('\0');
    char* value = nullptr;
    char* second = nullptr;
    int code = classifyLine(line.data(), &value, &second);
    size_t valueLength = textLength(value);
    size_t body = bodySet + server + kBodyReserve;
    ++i;

    bool fits = true;
    switch (code) {
      case kReadTarget:
        work = inputs.targetLength;
        break;
      case kReadValue:
        work = valueLength;
        break;
      case kSum:
        fits = work + valueLength + slots <= kTextBudget;
        if (fits) work += valueLength + slots;
        break;
      case kPush:
        if (work > slots) slots = work;
        break;
      case kPop:
        work = slots;
        break;
      case kReplace: {
        size_t grown = valueLength == 0 ? work : work + (work / valueLength) * textLength(second);
        fits = grown <= kTextBudget;
        if (fits) work = grown;
        break;
      }
      case kUrlEncode:
        fits = 3 * work <= kTextBudget;
        if (fits) work *= 3;
        break;
      case kGetBody:
        work = body;
        break;
      case kGetHeader:
        work = server;
        break;
      case kSetBody:
        if (work > bodySet) bodySet = work;
        break;
      case kSetHost:
        address = work;
        break;
      case kUserAgent:
      case kSetHeader:
        fits = headers + valueLength + work + 4 <= kTextBudget;
        if (fits) headers += valueLength + work + 4;
        break;
      case kConnect: {
        // Every redirect pass sends a request of its own.
        size_t passes = static_cast<size_t>(kMaxRedirects) + 2;
        size_t cost = passes * (valueLength + address + headers + body + server + kRequestOverhead);
        fits = requests + cost <= kRequestBudget;
        if (fits) requests += cost;
        break;
      }
      case kRetry:
        fits = settingNumber(value) <= kMaxRetries;
        if (fits)
          retries = settingNumber(value) > 0 ? static_cast<size_t>(settingNumber(value)) : 0;
        break;
      case kFile: {
        size_t cost = retries * (address + headers + bodySet + kRequestOverhead);
        fits = requests + cost <= kRequestBudget;
        if (fits) requests += cost;
        break;
      }
      case kLog:
        fits = logs + work <= kLogBudget;
        if (fits) {
          logs += work;
          read = "@->log=" + inputs.logPath + "\n";
        }
        break;
      case kCookieFile:
      case kCookieJar:
        // The cookie file read is the log a line before may have written.
        read = std::string(kKeywords[code - 1]) + inputs.logPath + "\n";
        break;
      case kAnalysis: {
        size_t result = valueLength;
        i = boundBlock(reads, i, work, &result);
        work = result;
        break;
      }
      default:
        break;
    }
    if (!fits) neutralise(read);
  }
  return joined(reads);
}
