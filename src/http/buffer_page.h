// "@buffering:": the rest of a page's body kept in the session, with its
// dots, and asked for again whole when it broke off.
#ifndef QUORVANE_HTTP_BUFFER_PAGE_H_
#define QUORVANE_HTTP_BUFFER_PAGE_H_

#include "base/status.h"
#include "http/retry.h"

class HttpSession;

// The response's "Content-Length", looked up as "@<-header=" would (with
// its verbose trace): true with its value in *length when the header holds
// a non-negative decimal number; false and 0 otherwise.
bool announcedLength(HttpSession& session, int64_t* length);

// Receives the rest of the body of the session's last response into the
// session, printing a slash, a dot for every piece that did not complete
// it, and a slash. A time-out or a missing connection only ends it. When
// the body broke off (a failed read, a close before its length or last
// chunk, or without ending TLS), `retry` lets the request be repeated whole
// through repeatWhileFailing (a page is small), its body replacing the one
// kept. A body slower than the low-speed setting is a failure too, repeated
// the same way. Returns kOk, kUnknownError when the body cannot be kept
// whole, is malformed or broke off with no retry left ("download
// incomplete"), kTimedOut for a stalled body ("download stalled: ...,
// COUNT bytes of the page URL kept"), or the failure of the last repeated
// request.
Status bufferPage(HttpSession& session, const RetryPolicy& retry);

#endif  // QUORVANE_HTTP_BUFFER_PAGE_H_
