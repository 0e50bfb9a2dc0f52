// A private loopback for tests that need a fixed port: when 127.0.0.1:443 is
// held by some other program on the machine, a test program can move itself
// (and the programs it starts later) into a network namespace of its own,
// where the port is free. Needs the right to create namespaces (root).
// Shared by the end-to-end cases and the campaign; needs neither gtest nor
// the program's own code.
#ifndef QUORVANE_TESTS_SUPPORT_PRIVATE_NETWORK_H_
#define QUORVANE_TESTS_SUPPORT_PRIVATE_NETWORK_H_

#include <string>

// Whether 127.0.0.1:`port` can be bound right now; *why says why not.
bool loopbackPortFree(int port, std::string* why);

// Moves the calling process into a new network namespace and brings its
// loopback interface up. REQUIRES: no other thread has been started (a
// thread started before stays in the old namespace). Returns false, with
// the reason in *why, when that is not allowed.
bool enterPrivateNetwork(std::string* why);

// When 127.0.0.1:`port` cannot be bound, enters a private network. Returns
// "" when the port was free, else one sentence for the user saying why the
// port was not usable and whether the process moved.
// REQUIRES: as enterPrivateNetwork.
std::string usePrivateNetworkIfPortBusy(int port);

#endif  // QUORVANE_TESTS_SUPPORT_PRIVATE_NETWORK_H_
