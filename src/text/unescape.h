// Undoing the escapes of JSON strings and HTML text, for values that pages
// hand out escaped (an address inside a script's JSON, a link's "&amp;").
// Both are lenient: a sequence they do not know stays as it is, so a text
// that holds none is given back unchanged. Neither ever makes a text longer
// nor produces a NUL byte.
#ifndef QUORVANE_TEXT_UNESCAPE_H_
#define QUORVANE_TEXT_UNESCAPE_H_

#include <cstddef>
#include <cstdint>
#include <string>

// Appends the UTF-8 form of `codePoint` to `out`.
// REQUIRES: codePoint <= 0x10FFFF and is no surrogate (U+D800 to U+DFFF).
void appendUtf8(std::string& out, uint32_t codePoint);

// The `length` bytes at `text` read as the inside of a JSON string: \" \\ \/
// \b \f \n \r \t and \uXXXX become their characters (UTF-8), a surrogate
// pair of two \u escapes becomes one character and a lone surrogate U+FFFD.
// Any other "\" sequence, a "\u" without four hexadecimal digits, "\u0000"
// and a final "\" stay as they are.
std::string jsonUnescape(const char* text, size_t length);

// The `length` bytes at `text` with the HTML character references &amp;
// &lt; &gt; &quot; &apos; &nbsp; (names in their letter case), &#N; and
// &#xN; (or &#XN;) replaced by their characters in UTF-8. Any other "&"
// text stays, and so does a number that is 0, a surrogate or above 10FFFF.
std::string htmlUnescape(const char* text, size_t length);

#endif  // QUORVANE_TEXT_UNESCAPE_H_
