// Addresses as the session reads them: the targets of "@->host:", the value
// of "@proxy=" and the Location of a redirect. One parser serves all three,
// so that a host, a port or a line break is judged the same way wherever the
// text came from. Pure text work: nothing here touches the network.
#ifndef QUORVANE_HTTP_ADDRESS_H_
#define QUORVANE_HTTP_ADDRESS_H_

#include <cstddef>
#include <string>

// The highest port number; a port of 0 means "none given".
const int kMaxPort = 65535;

// The host part of an address ("name", "1.2.3.4", "[::1]", each with an
// optional ":port").
struct HostPart {
  // The host exactly as written, brackets and port included: what the
  // "Host:" line names.
  std::string asWritten;
  // What is looked up, sent as the TLS server name and checked against the
  // certificate: the host without port and brackets.
  std::string name;
  // The name is a dotted IPv4 address (four decimal parts, nothing else) or
  // an IPv6 address (written in brackets).
  bool ipLiteral = false;
  // The port written after the host, 1..65535; 0 when none was written.
  int port = 0;
};

// A usable address: scheme, host and where the request target starts.
struct Address {
  // The scheme is "https://" (else "http://"), in any letter case.
  bool tls = false;
  HostPart host;
  // Offsets in the parsed text: of the scheme, and of what ends the host
  // and starts the request target (a "/", "?" or "#", or the text's end).
  size_t schemeAt = 0;
  size_t targetAt = 0;
};

// Reads the host part `text` (all of it): a name, a dotted IPv4 address or
// an IPv6 address in brackets, then optionally ":" and 1 to 5 digits with a
// value from 1 to 65535. A name is any run of bytes above 32 other than 127,
// ":", "[" and "]"; a name whose last label is all digits or begins with
// "0x" must be a dotted address of four decimal numbers from 0 to 255
// without leading zeros. Returns false, leaving *out unspecified, when the text is
// empty or breaks any of these rules.
bool parseHostPart(const std::string& text, HostPart* out);

// Reads an address: the scheme is the earliest "http://" or "https://",
// in any letter case, anywhere in `text`; the host runs from there to the
// next "/", "?" or "#" (or the end) and is read by parseHostPart. Returns
// false, leaving *out unspecified, when there is no usable address: no
// scheme, a bad host part, or a CR or LF anywhere in the text.
bool parseAddress(const std::string& text, Address* out);

// The request target of `text`, which parseAddress read into `address`, as
// it is sent: from the end of the host up to any "#" (a fragment is never
// sent), with "/" before it when it does not start with one (so
// "http://h?q" asks for "/?q"), and each space written "%20". With
// `whole`, the text before the scheme, the scheme in small letters and the
// host as written come first: the absolute form that a proxy is sent.
std::string requestTarget(const std::string& text, const Address& address, bool whole);

// Resolves the Location `reference` of a response against `base`, the
// address of the request it answers, as RFC 3986 (section 5.2) resolves a
// reference: a value that starts with "http://" or "https://" (in any
// letter case) stands as it is; "//host/p" keeps the scheme; "/p" keeps scheme and host; "p", "./p"
// and "../p" replace the last segment of the base path, with dot segments
// removed; "?q" keeps the path. A "#fragment" is dropped in every case.
// Returns false when `base` is not usable, when the reference holds a CR or
// LF (even in its fragment), when it names another scheme ("ftp:", "file:"),
// or when the result is not a usable address.
// On success *out starts with its scheme and parseAddress accepts it.
bool resolveLocation(const std::string& base, const std::string& reference, std::string* out);

#endif  // QUORVANE_HTTP_ADDRESS_H_
