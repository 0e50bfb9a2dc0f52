// Retries where a case cannot reach: a first connect that is refused and a
// second that answers (a scripted server listens from the start), and the
// dates of Retry-After against a fixed now.
#include "http/retry.h"

#include <gtest/gtest.h>

#include "http/session.h"
#include "support/capture.h"
#include "support/fake_transport.h"

namespace {

TEST(RetryTest, RefusedConnectIsRepeated) {
  FakeTransport net;
  net.addConnection().connectResult = 204;
  net.addConnection().deliver("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
  HttpSession session(net, "http://h.example/p");
  session.resetRequest();
  RetryPolicy policy;
  policy.retries = 2;
  policy.secondMillis = 0;
  StdoutCapture out;
  Status result = requestWithRetries(session, "POST", policy);
  std::string printed = out.finish();
  EXPECT_TRUE(result.ok()) << result.message();
  EXPECT_EQ(2u, net.opened);
  EXPECT_EQ(200, session.status());
  // The address is printed for the first attempt only.
  EXPECT_EQ("http://h.example/p\n", printed);
  EXPECT_EQ(0u, net.connections[1].sent.find("POST /p HTTP/1.0\r\n"));
}

TEST(RetryTest, RetryAfterReadsSecondsAndDates) {
  const time_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  const struct {
    const char* value;
    int64_t seconds;
  } rows[] = {
      {" 7 ", 7},
      {"Sun, 06 Nov 1994 08:49:47 GMT", 10},
      {"Sunday, 06-Nov-94 08:50:37 GMT", 60},
      {"Sun Nov  6 08:49:39 1994", 2},
      {"Sun, 06 Nov 1994 08:00:00 GMT", 0},
      {"soon", -1},
      {"12x", -1},
      {"", -1},
  };
  for (const auto& row : rows)
    EXPECT_EQ(row.seconds, retryAfterSeconds(row.value, now)) << row.value;
}

}  // namespace
