// Parsing of fuzzed server streams into fake connections.
#include "fake_stream.h"

QueuedStream queueConnections(FakeTransport& transport, const std::string& stream) {
  QueuedStream queued;
  FakeConnection* connection = &transport.addConnection();
  queued.delivered.emplace_back();
  std::string pending;
  int readCap = 0;
  bool fillerQueued = false;

  auto flush = [&]() {
    if (pending.empty()) return;
    connection->deliver(pending, readCap);
    queued.delivered.back() += pending;
    queued.totalBytes += pending.size();
    pending.clear();
  };

  for (size_t i = 0; i < stream.size(); ++i) {
    char c = stream[i];
    if (c != '\0' || i + 1 >= stream.size()) {
      pending.push_back(c);
      continue;
    }
    char control = stream[i + 1];
    switch (control) {
      case 'S':
        flush();
        connection->stall();
        break;
      case 'E':
        flush();
        connection->error();
        break;
      case 'C':
        flush();
        connection->close();
        break;
      case 'B':
        flush();
        connection->bareClose();
        break;
      case 'P':
        flush();
        connection->partRecord();
        break;
      case 'N':
        flush();
        connection = &transport.addConnection();
        queued.delivered.emplace_back();
        break;
      case 'H':
        // Delivered in large reads whatever the cap, and only once: the
        // point is the size of the header, not the number of reads.
        if (!fillerQueued) {
          flush();
          int cap = readCap;
          readCap = 0;
          pending = "X-Filler: " + std::string(kFillerBytes, 'a');
          flush();
          readCap = cap;
          fillerQueued = true;
        }
        break;
      case 'R':
        flush();
        if (i + 2 < stream.size()) {
          readCap = static_cast<unsigned char>(stream[i + 2]);
          ++i;
        }
        break;
      default:
        pending.push_back(c);
        pending.push_back(control);
        break;
    }
    ++i;
  }
  flush();
  return queued;
}
