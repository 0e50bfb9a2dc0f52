// Fuzz target: the address parser and the resolution of a Location, the one
// gate that addresses from scripts, pages and servers pass. Checks that a
// usable address never holds a line break or a blank in its host, that a
// host the resolver would read as a number is four plain decimal numbers,
// that its parts are where the offsets say, that the host part reads back
// the same, and that a resolved Location is itself a usable address that
// resolves to itself.
//
// Input: the base address, a line feed, then the Location (which may hold
// further line feeds). Both are also read as addresses on their own.
#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "http/address.h"

namespace {

// Whether `name` is four decimal numbers from 0 to 255 without leading
// zeros, written out on its own.
bool plainDottedQuad(const std::string& name) {
  std::vector<std::string> parts(1);
  for (char c : name) {
    if (c == '.') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  if (parts.size() != 4) return false;
  for (const std::string& part : parts) {
    if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    if (part.find_first_not_of("0123456789") != std::string::npos || std::stoi(part) > 255)
      return false;
  }
  return true;
}

// Whether a resolver could read `name` as a number: its last label (before
// a final ".") is all digits or starts with "0x".
bool readAsNumber(const std::string& name) {
  std::string trimmed =
      !name.empty() && name.back() == '.' ? name.substr(0, name.size() - 1) : name;
  size_t dot = trimmed.rfind('.');
  std::string label = dot == std::string::npos ? trimmed : trimmed.substr(dot + 1);
  if (label.size() >= 2 && label[0] == '0' && (label[1] == 'x' || label[1] == 'X')) return true;
  return !label.empty() && label.find_first_not_of("0123456789") == std::string::npos;
}

void checkAddress(const std::string& text) {
  Address address;
  if (!parseAddress(text, &address)) return;
  FUZZ_CHECK(text.find_first_of("\r\n") == std::string::npos, "usable address with a line break");
  const HostPart& host = address.host;
  FUZZ_CHECK(!host.name.empty(), "usable address with an empty host");
  for (char c : host.name) {
    unsigned char byte = static_cast<unsigned char>(c);
    FUZZ_CHECK(byte > 32 && byte != 127, "host holds a blank or a control byte");
  }
  FUZZ_CHECK(host.port >= 0 && host.port <= kMaxPort, "port out of range");
  if (host.asWritten[0] != '[') {
    FUZZ_CHECK(!readAsNumber(host.name) || plainDottedQuad(host.name),
               "a numeric host that is not four plain decimal numbers");
    FUZZ_CHECK(host.ipLiteral == plainDottedQuad(host.name), "dotted address misread");
  }
  FUZZ_CHECK(address.targetAt == text.size() || strchr("/?#", text[address.targetAt]) != nullptr,
             "the host does not end at a path, a query or a fragment");
  const std::string scheme = address.tls ? "https://" : "http://";
  FUZZ_CHECK(strncasecmp(&text[address.schemeAt], scheme.c_str(), scheme.size()) == 0,
             "scheme not at its offset");
  size_t hostAt = address.schemeAt + scheme.size();
  FUZZ_CHECK(text.compare(hostAt, address.targetAt - hostAt, host.asWritten) == 0,
             "host as written is not the text before the target");
  FUZZ_CHECK(host.asWritten.find(host.name) != std::string::npos, "name not in the host");
  FUZZ_CHECK((host.asWritten[0] == '[') == (host.name.find(':') != std::string::npos),
             "a name with \":\" outside brackets");

  HostPart again;
  FUZZ_CHECK(parseHostPart(host.asWritten, &again), "host part does not read back");
  FUZZ_CHECK(
      again.name == host.name && again.port == host.port && again.ipLiteral == host.ipLiteral,
      "host part reads back differently");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = bytesOf(data, size);
  size_t split = input.find('\n');
  const std::string base = input.substr(0, split);
  const std::string reference = split == std::string::npos ? "" : input.substr(split + 1);
  checkAddress(base);
  checkAddress(reference);
  HostPart host;
  parseHostPart(base, &host);

  std::string resolved;
  if (!resolveLocation(base, reference, &resolved)) return 0;
  Address address;
  FUZZ_CHECK(parseAddress(resolved, &address) && address.schemeAt == 0,
             "resolved Location is not an address that starts with its scheme");
  checkAddress(resolved);
  Address from;
  FUZZ_CHECK(parseAddress(base, &from), "resolved against an unusable base");
  FUZZ_CHECK(reference.find_first_of("\r\n") == std::string::npos,
             "a Location with a line break was resolved");
  // A resolved address stands for itself, whatever it is resolved against
  // (a "#" inside a host would be read as the start of a fragment).
  if (resolved.find('#') == std::string::npos) {
    std::string twice;
    FUZZ_CHECK(resolveLocation(base, resolved, &twice) && twice == resolved,
               "a resolved address does not resolve to itself");
  }
  return 0;
}
