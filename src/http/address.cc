// The address parser and the resolution of a relative Location.
#include "http/address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>

namespace {

const char kPlainScheme[] = "http://";
const char kTlsScheme[] = "https://";
// A port is written with at most this many digits (65535 has five).
const size_t kMaxPortDigits = 5;

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Whether `text` holds `scheme` at `at`, in any letter case.
bool holdsSchemeAt(const std::string& text, size_t at, const char* scheme) {
  for (size_t i = 0; scheme[i] != '\0'; ++i) {
    if (at + i >= text.size() ||
        tolower(static_cast<unsigned char>(text[at + i])) != static_cast<unsigned char>(scheme[i]))
      return false;
  }
  return true;
}

// The offset of the first `scheme` in `text`, in any letter case, or npos.
size_t findScheme(const std::string& text, const char* scheme) {
  for (size_t at = 0; at < text.size(); ++at) {
    if (holdsSchemeAt(text, at, scheme)) return at;
  }
  return std::string::npos;
}

// A byte that may stand in a host name: none of the blanks and control
// bytes that would end or split a request line, and nothing that the host
// syntax itself uses.
bool nameByte(unsigned char c) {
  return c > 32 && c != 127 && c != ':' && c != '[' && c != ']';
}

// The last dot-separated label of `name`; for a name that ends in ".", the
// label before that dot.
std::string lastLabel(const std::string& name) {
  size_t end = name.size();
  if (end > 0 && name[end - 1] == '.') --end;
  size_t dot = name.rfind('.', end == 0 ? 0 : end - 1);
  size_t start = dot == std::string::npos || dot >= end ? 0 : dot + 1;
  return name.substr(start, end - start);
}

// Whether the resolver would read `name` as an IPv4 address in one of its
// many forms ("127.1", "0x7f.1", "2130706433", "0177.0.0.1"): its last label
// is all digits or begins with "0x" or "0X".
bool looksNumeric(const std::string& name) {
  std::string label = lastLabel(name);
  if (label.size() >= 2 && label[0] == '0' && (label[1] == 'x' || label[1] == 'X')) return true;
  if (label.empty()) return false;
  for (char c : label) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Exactly four decimal numbers from 0 to 255, without leading zeros,
// separated by dots: the one form of an IPv4 address whose meaning no
// resolver reads differently.
bool isPlainDottedQuad(const std::string& name) {
  int parts = 0;
  size_t at = 0;
  for (;;) {
    size_t end = name.find('.', at);
    if (end == std::string::npos) end = name.size();
    size_t digits = end - at;
    if (digits == 0 || digits > 3 || (digits > 1 && name[at] == '0')) return false;
    int value = 0;
    for (size_t i = at; i < end; ++i) {
      if (name[i] < '0' || name[i] > '9') return false;
      value = value * 10 + (name[i] - '0');
    }
    if (value > 255) return false;
    ++parts;
    if (end == name.size()) break;
    at = end + 1;
  }
  return parts == 4;
}

// ":" and 1 to 5 digits with a value from 1 to 65535, or nothing at all.
bool parsePortSuffix(const std::string& text, int* port) {
  *port = 0;
  if (text.empty()) return true;
  if (text[0] != ':' || text.size() < 2 || text.size() > 1 + kMaxPortDigits) return false;
  int value = 0;
  for (size_t i = 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  if (value < 1 || value > kMaxPort) return false;
  *port = value;
  return true;
}

// A scheme as a reference may start with one: a letter, then letters,
// digits, "+", "-" or ".", then ":".
bool hasScheme(const std::string& reference) {
  if (reference.empty() || !isalpha(static_cast<unsigned char>(reference[0]))) return false;
  for (size_t i = 1; i < reference.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(reference[i]);
    if (c == ':') return true;
    if (!isalnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return false;
}

// Drops the last segment of `output` and the "/" before it.
void dropLastSegment(std::string* output) {
  size_t slash = output->rfind('/');
  output->erase(slash == std::string::npos ? 0 : slash);
}

// The path with its "." and ".." segments removed, as the RFC's
// remove_dot_segments does it; ".." never climbs above the root.
// REQUIRES: path starts with "/" (the RFC's rules for a relative path, whose
// first segment may be a dot segment, are then never needed).
std::string removeDotSegments(const std::string& path) {
  std::string output;
  size_t i = 0;
  const size_t n = path.size();
  auto restIs = [&](const char* text) { return path.compare(i, std::string::npos, text) == 0; };
  auto restStarts = [&](const char* text) {
    size_t length = std::char_traits<char>::length(text);
    return path.compare(i, length, text) == 0;
  };
  while (i < n) {
    if (restStarts("/./")) {
      i += 2;  // the rest now starts with the second "/"
    } else if (restIs("/.")) {
      output += '/';
      i = n;
    } else if (restStarts("/../")) {
      i += 3;
      dropLastSegment(&output);
    } else if (restIs("/..")) {
      dropLastSegment(&output);
      output += '/';
      i = n;
    } else {
      // One segment with the "/" before it.
      size_t end = path.find('/', i + 1);
      if (end == std::string::npos) end = n;
      output.append(path, i, end - i);
      i = end;
    }
  }
  return output;
}

// Splits "path?query" at the first "?"; the query keeps its "?".
void splitQuery(const std::string& text, std::string* path, std::string* query) {
  size_t mark = text.find('?');
  *path = text.substr(0, mark);
  *query = mark == std::string::npos ? std::string() : text.substr(mark);
}

}  // namespace

bool parseHostPart(const std::string& text, HostPart* out) {
  if (text.empty()) return false;
  std::string rest;
  if (text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos) return false;
    out->name = text.substr(1, close - 1);
    in6_addr parsed;
    // The library reads up to a NUL: one inside would hide what follows.
    if (out->name.find('\0') != std::string::npos ||
        inet_pton(AF_INET6, out->name.c_str(), &parsed) != 1)
      return false;
    out->ipLiteral = true;
    rest = text.substr(close + 1);
  } else {
    size_t colon = text.find(':');
    out->name = text.substr(0, colon);
    if (out->name.empty()) return false;
    for (char c : out->name) {
      if (!nameByte(static_cast<unsigned char>(c))) return false;
    }
    // A numeric host is one plain dotted address or nothing: the name that
    // is connected to must be the name whose certificate is checked.
    out->ipLiteral = isPlainDottedQuad(out->name);
    if (!out->ipLiteral && looksNumeric(out->name)) return false;
    rest = colon == std::string::npos ? std::string() : text.substr(colon);
  }
  if (!parsePortSuffix(rest, &out->port)) return false;
  out->asWritten = text;
  return true;
}

bool parseAddress(const std::string& text, Address* out) {
  if (text.find_first_of("\r\n") != std::string::npos) return false;
  size_t plainAt = findScheme(text, kPlainScheme);
  size_t tlsAt = findScheme(text, kTlsScheme);
  bool tls = tlsAt < plainAt;
  size_t schemeAt = tls ? tlsAt : plainAt;
  if (schemeAt == std::string::npos) return false;
  size_t hostAt = schemeAt + (tls ? sizeof kTlsScheme : sizeof kPlainScheme) - 1;
  size_t end = text.find_first_of("/?#", hostAt);
  if (end == std::string::npos) end = text.size();
  if (!parseHostPart(text.substr(hostAt, end - hostAt), &out->host)) return false;
  out->tls = tls;
  out->schemeAt = schemeAt;
  out->targetAt = end;
  return true;
}

std::string requestTarget(const std::string& text, const Address& address, bool whole) {
  std::string written;
  if (whole) {
    written = text.substr(0, address.schemeAt) + (address.tls ? kTlsScheme : kPlainScheme) +
              address.host.asWritten;
  }
  size_t fragment = text.find('#', address.targetAt);
  if (fragment == std::string::npos) fragment = text.size();
  if (fragment == address.targetAt || text[address.targetAt] != '/') written += '/';
  written.append(text, address.targetAt, fragment - address.targetAt);
  std::string target;
  target.reserve(written.size());
  for (char c : written) {
    if (c == ' ') {
      target += "%20";
    } else {
      target += c;
    }
  }
  return target;
}

bool resolveLocation(const std::string& base, const std::string& reference, std::string* out) {
  Address from;
  if (!parseAddress(base, &from)) return false;
  // A line break is refused anywhere, also in the fragment that goes.
  if (reference.find_first_of("\r\n") != std::string::npos) return false;
  const std::string ref = reference.substr(0, reference.find('#'));
  std::string resolved;
  if (hasScheme(ref)) {
    // Only an address that starts with its own scheme is taken as absolute;
    // "ftp:" or "file:" stay unusable even with "http://" further along.
    if (!holdsSchemeAt(ref, 0, kPlainScheme) && !holdsSchemeAt(ref, 0, kTlsScheme)) return false;
    resolved = ref;
  } else {
    const std::string scheme = from.tls ? kTlsScheme : kPlainScheme;
    std::string basePath;
    std::string baseQuery;
    std::string baseTarget = base.substr(from.targetAt);
    splitQuery(baseTarget.substr(0, baseTarget.find('#')), &basePath, &baseQuery);
    // An address without a path asks for the root.
    if (basePath.empty()) basePath = "/";
    std::string refPath;
    std::string refQuery;
    if (startsWith(ref, "//")) {
      size_t end = ref.find_first_of("/?", 2);
      std::string authority = ref.substr(2, end == std::string::npos ? std::string::npos : end - 2);
      splitQuery(end == std::string::npos ? std::string() : ref.substr(end), &refPath, &refQuery);
      // HTTP has no empty path: the root stands for it.
      std::string path = refPath.empty() ? "/" : removeDotSegments(refPath);
      resolved = scheme + authority + path + refQuery;
    } else {
      splitQuery(ref, &refPath, &refQuery);
      std::string path;
      std::string query = refQuery;
      if (refPath.empty()) {
        path = basePath;
        if (ref.empty()) query = baseQuery;
      } else if (refPath[0] == '/') {
        path = removeDotSegments(refPath);
      } else {
        path = removeDotSegments(basePath.substr(0, basePath.rfind('/') + 1) + refPath);
      }
      resolved = scheme + from.host.asWritten + path + query;
    }
  }
  Address checked;
  if (!parseAddress(resolved, &checked) || checked.schemeAt != 0) return false;
  *out = resolved;
  return true;
}
