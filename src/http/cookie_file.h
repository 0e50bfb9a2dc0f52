// Cookie files: the jar read from and written to the tab-separated format
// that browsers export, one cookie per line with seven fields: domain,
// include-subdomains flag (TRUE or FALSE), path, secure flag, expiry
// (seconds since 1970, 0 for a cookie of the session), name and value.
#ifndef QUORVANE_HTTP_COOKIE_FILE_H_
#define QUORVANE_HTTP_COOKIE_FILE_H_

#include <cstdint>

#include "base/status.h"
#include "http/cookie_jar.h"

// Loads the cookie file at `path` (relative to the working folder) into
// `jar`. A UTF-8 byte-order mark at its start, empty lines and lines that
// begin with "#" are skipped, except that "#HttpOnly_" before a domain is
// dropped and the line read. The domain loses one leading "."; with TRUE
// it is a domain as "domain=" gives one, with FALSE the cookie is
// host-only. The secure flag is the Set-Cookie attribute's. A cookie whose
// expiry is before `now` (negative or positive, 0 being the session's) is
// skipped. A line that does not fit (fewer than seven fields, a flag that is
// neither TRUE nor FALSE, an expiry that is not a number, an empty domain or
// name, a control byte, or a line longer than a cookie can be) is skipped
// and named in verbose mode. Returns kOk, or kHostNotFound with "cannot read
// the cookie file PATH (REASON)" when the file cannot be opened or read.
Status loadCookieFile(const char* path, CookieJar& jar, int64_t now);

// Writes every cookie of `jar` to `path` in the same format: domain
// cookies with a leading "." and TRUE, host-only ones without and FALSE,
// cookies without an expiry with 0. A cookie that the format cannot hold
// (a tab in a field, a pair that is not its name, "=" and a value) is left
// out. The lines go to a new file (mode 0600) in the same folder, which is
// then renamed over `path`, so a reader never sees half a file and a link
// at `path` is replaced, never followed. Returns kOk, or kUnknownError
// with the detail "cannot write the cookie jar (REASON)" and the path.
Status saveCookieFile(const CookieJar& jar, const char* path);

#endif  // QUORVANE_HTTP_COOKIE_FILE_H_
