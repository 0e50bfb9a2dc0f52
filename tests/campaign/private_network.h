// A private loopback for the campaign: when 127.0.0.1:443 is held by some
// other program on the machine, the campaign can move itself (and the
// programs it starts) into a network namespace of its own, where the port
// is free. Needs the right to create namespaces (root).
#ifndef QUORVANE_TESTS_CAMPAIGN_PRIVATE_NETWORK_H_
#define QUORVANE_TESTS_CAMPAIGN_PRIVATE_NETWORK_H_

#include <string>

// Whether 127.0.0.1:`port` can be bound right now; *why says why not.
bool portFree(int port, std::string* why);

// Moves the calling process into a new network namespace and brings its
// loopback interface up. REQUIRES: no other thread has been started.
// Returns false, with the reason in *why, when that is not allowed.
bool enterPrivateNetwork(std::string* why);

#endif  // QUORVANE_TESTS_CAMPAIGN_PRIVATE_NETWORK_H_
