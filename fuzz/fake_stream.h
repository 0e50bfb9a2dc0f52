// Turns fuzzed bytes into the scripted connections of a FakeTransport.
//
// The bytes are delivered as they are, except for two-byte control pairs
// that begin with a NUL byte:
//   "\0S"   the next wait runs out (the server stalls)
//   "\0E"   the next read fails
//   "\0C"   the server closes the connection
//   "\0B"   the server closes the TCP connection (over TLS without the
//           closing alert)
//   "\0P"   a TLS read finds only part of a record until the next wait
//   "\0N"   the following bytes belong to the next connection
//   "\0H"   a header line of more than 256 KiB, without line end (the
//           first one only; later ones are dropped)
//   "\0R" n each read from here on takes at most n bytes (0: no cap)
// A NUL followed by any other byte is delivered, both bytes of it.
#ifndef QUORVANE_FUZZ_FAKE_STREAM_H_
#define QUORVANE_FUZZ_FAKE_STREAM_H_

#include <cstddef>
#include <string>
#include <vector>

#include "support/fake_transport.h"

// Size of the "\0H" filler: beyond the response header cap.
const size_t kFillerBytes = 300 * 1024;

// What was queued: the bytes each connection delivers, in order.
struct QueuedStream {
  std::vector<std::string> delivered;
  // Sum of all delivered bytes.
  size_t totalBytes = 0;
};

// Queues one connection per "\0N"-separated part of `stream` on `transport`.
QueuedStream queueConnections(FakeTransport& transport, const std::string& stream);

#endif  // QUORVANE_FUZZ_FAKE_STREAM_H_
