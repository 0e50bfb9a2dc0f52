// Reading and writing cookie files.
#include "http/cookie_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/messages.h"
#include "text/file_handle.h"

namespace {

// Browsers keep a cookie's name and value within 4 KiB; a line of more than
// this is no cookie, and reading stops keeping its bytes there.
const size_t kMaxLineBytes = 16 * 1024;
const size_t kFieldCount = 7;
const char kHttpOnlyPrefix[] = "#HttpOnly_";
const char kByteOrderMark[] = "\xEF\xBB\xBF";
const char kTrue[] = "TRUE";
const char kFalse[] = "FALSE";
// The jar is written under this name in the folder of its file, then
// renamed.
const char kTemporaryName[] = ".quorvane-jar-XXXXXX";
const char kFirstLine[] =
    "# Cookies, one a line: domain, subdomains, path, secure, expiry, name, value.\n";

// True when `text` holds a byte below 32 or 127.
bool holdsControlByte(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 32 || c == 127) return true;
  }
  return false;
}

// Reads "TRUE" or "FALSE" into *flag.
bool readFlag(const std::string& field, bool* flag) {
  *flag = field == kTrue;
  return *flag || field == kFalse;
}

// Reads a decimal number with an optional "-" into *value; one beyond the
// 64-bit range stays at its end (strtoll's rule).
bool readExpiry(const std::string& field, int64_t* value) {
  size_t at = field.size() > 0 && field[0] == '-' ? 1 : 0;
  if (at == field.size()) return false;
  for (size_t i = at; i < field.size(); ++i) {
    if (field[i] < '0' || field[i] > '9') return false;
  }
  *value = static_cast<int64_t>(strtoll(field.c_str(), nullptr, 10));
  return true;
}

// What one line of a cookie file gave.
enum class LineKind { kSkipped, kCookie, kExpired, kMisfit };

// Reads one line (without its line end) into *cookie.
LineKind readLine(std::string line, int64_t now, std::unique_ptr<Cookie>* cookie) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.compare(0, strlen(kHttpOnlyPrefix), kHttpOnlyPrefix) == 0) {
    line.erase(0, strlen(kHttpOnlyPrefix));
  } else if (line.empty() || line[0] == '#') {
    return LineKind::kSkipped;
  }
  std::vector<std::string> fields;
  size_t at = 0;
  while (fields.size() < kFieldCount) {
    size_t tab = line.find('\t', at);
    fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
    if (tab == std::string::npos) break;
    at = tab + 1;
  }
  bool subdomains = false;
  bool secure = false;
  int64_t expires = 0;
  if (fields.size() < kFieldCount || !readFlag(fields[1], &subdomains) ||
      !readFlag(fields[3], &secure) || !readExpiry(fields[4], &expires) || fields[5].empty()) {
    return LineKind::kMisfit;
  }
  std::string domain = fields[0];
  if (!domain.empty() && domain[0] == '.') domain.erase(0, 1);
  for (const std::string& field : fields) {
    if (holdsControlByte(field)) return LineKind::kMisfit;
  }
  if (domain.empty()) return LineKind::kMisfit;
  if (expires < 0 || (expires > 0 && expires < now)) return LineKind::kExpired;

  cookie->reset(new Cookie);
  (*cookie)->domain.assign(domain.c_str());
  (*cookie)->path.assign(fields[2].empty() ? "/" : fields[2].c_str());
  (*cookie)->name.assign(fields[5].c_str());
  (*cookie)->pair.append(fields[5].c_str(), "=", fields[6].c_str());
  (*cookie)->secure = secure;
  (*cookie)->hostOnly = !subdomains;
  (*cookie)->expires = expires;
  return LineKind::kCookie;
}

// The line of `cookie` (with its line end), or "" when the format cannot
// hold it.
std::string cookieLine(const Cookie& cookie) {
  std::string name = cookie.name.data();
  std::string pair = cookie.pair.data();
  if (pair.compare(0, name.size() + 1, name + "=") != 0) return std::string();
  std::string domain = cookie.domain.data();
  if (!cookie.hostOnly && domain[0] != '.') domain.insert(0, ".");
  std::string line = domain + "\t" + (cookie.hostOnly ? kFalse : kTrue) + "\t" +
                     cookie.path.data() + "\t" + (cookie.secure ? kTrue : kFalse) + "\t" +
                     std::to_string(cookie.expires) + "\t" + name + "\t" +
                     pair.substr(name.size() + 1);
  // Exactly seven fields, or the line would read back as another cookie.
  size_t tabs = 0;
  for (char c : line) tabs += c == '\t' ? 1 : 0;
  if (tabs != kFieldCount - 1 || line.find('\n') != std::string::npos) return std::string();
  return line + "\n";
}

Status cannotRead(const char* path, int error) {
  return Status(kHostNotFound,
                formatText("cannot read the cookie file %s (%s)", path, strerror(error)));
}

Status cannotWrite(const char* path, int error) {
  std::string detail = formatText("cannot write the cookie jar (%s)", strerror(error));
  return Status::unknownError(detail.c_str(), path);
}

}  // namespace

Status loadCookieFile(const char* path, CookieJar& jar, int64_t now) {
  FILE* in = fopen(path, "r");
  if (in == nullptr) return cannotRead(path, errno);
  std::string line;
  bool tooLong = false;
  int32_t lineNumber = 1;
  for (;;) {
    int c = getc(in);
    if (c != '\n' && c != EOF) {
      if (line.size() < kMaxLineBytes) {
        line += static_cast<char>(c);
      } else {
        tooLong = true;
      }
      continue;
    }
    if (c == EOF && line.empty() && !tooLong) break;
    if (lineNumber == 1 && line.compare(0, strlen(kByteOrderMark), kByteOrderMark) == 0) {
      line.erase(0, strlen(kByteOrderMark));
    }
    std::unique_ptr<Cookie> cookie;
    LineKind kind = tooLong ? LineKind::kMisfit : readLine(line, now, &cookie);
    if (kind == LineKind::kCookie) jar.keepCookie(std::move(cookie));
    if (kind == LineKind::kMisfit) {
      verboseNote(formatText("cookie file %s, line %d does not fit; skipped", path,
                             static_cast<int>(lineNumber)));
    }
    line.clear();
    tooLong = false;
    ++lineNumber;
    if (c == EOF) break;
  }
  int error = ferror(in) ? errno : 0;
  fclose(in);
  if (error != 0) return cannotRead(path, error);
  return Status();
}

Status saveCookieFile(const CookieJar& jar, const char* path) {
  std::string text = kFirstLine;
  for (int32_t i = 0; i < jar.size(); ++i) text += cookieLine(jar.at(i));

  int error = replaceFileContent(path, text, kTemporaryName);
  return error == 0 ? Status() : cannotWrite(path, error);
}
