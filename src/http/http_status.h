// The HTTP status codes the client acts on, by name.
#ifndef QUORVANE_HTTP_HTTP_STATUS_H_
#define QUORVANE_HTTP_HTTP_STATUS_H_

enum HttpStatus {
  kStatusFirstInterim = 100,
  // The connection now speaks another protocol.
  kStatusSwitchingProtocols = 101,
  kStatusOk = 200,
  kStatusNoContent = 204,
  kStatusPartialContent = 206,
  kStatusFirstRedirect = 300,
  kStatusNotModified = 304,
  kStatusFirstError = 400,
  kStatusProxyAuthRequired = 407,
  kStatusRangeNotSatisfiable = 416,
  kStatusTooManyRequests = 429,
  kStatusServerError = 500,
  kStatusBadGateway = 502,
  kStatusUnavailable = 503,
  kStatusGatewayTimeout = 504,
};

#endif  // QUORVANE_HTTP_HTTP_STATUS_H_
