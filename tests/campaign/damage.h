// The kinds of damage a broken server can do to a download, and the plan of
// one exchange: what the server(s) send and what the program must then do.
//
// Every plan is drawn from a random generator, so a fixed seed gives the
// same campaign again.
#ifndef QUORVANE_TESTS_CAMPAIGN_DAMAGE_H_
#define QUORVANE_TESTS_CAMPAIGN_DAMAGE_H_

#include <random>
#include <string>
#include <vector>

#include "raw_server.h"
#include "support/scripted_server.h"

// The time-out the registry sets for every exchange, in seconds.
const int kExchangeTimeoutSeconds = 1;

// Where the server of an exchange listens.
enum class Listener {
  kPlain,  // a ScriptedServer on an ephemeral port, named by "@port="
  kTls,    // a TLS ScriptedServer on 127.0.0.1:443
  kRaw,    // a RawServer on 127.0.0.1:443 (with a TLS ScriptedServer
           // behind it when the plan relays)
};

struct ExchangePlan {
  std::string kind;
  Listener listener = Listener::kPlain;
  // The address given to the program.
  std::string target;
  // Lines added to the registry, each ending in a line feed.
  std::string registryLines;
  // One script per connection the ScriptedServer will accept.
  std::vector<ConnectionScript> connections;
  // For Listener::kRaw.
  RawPlan raw;

  // The exit status the program must end with (its code's low 8 bits).
  int expectedStatus = 0;
  // For code 200: the detail its closing message must name ("%PORT%" stands
  // for the server's port).
  std::string expectedDetail;
  // Only the start of the detail is known (it quotes bytes it escapes).
  bool detailIsPrefix = false;
  // The body bytes the server sent for the download.
  std::string body;
  // With status 0 the output file must hold exactly `body`; otherwise, when
  // `partialBody` is set, a prefix of it (what arrived before the damage).
  bool partialBody = false;

  // The plugin script; empty: the plain-file plugin (kPlainFilePlugin).
  std::string plugin;
  // The output file named on the command line; empty: a file in the
  // exchange's folder, which the checks above read.
  std::string outputPath;
  // When 0 or more: the connections the server must have accepted, so that
  // an address refused before connecting is seen to be refused.
  int expectedConnections = -1;
  // Text that no request the server received may hold (an injected line).
  std::string forbiddenInRequests;
  // Text the last request the server received must hold.
  std::string requiredInLastRequest;
};

// Names of the kinds a campaign runs by default, in a fixed order.
const std::vector<std::string>& damageKinds();
// Kinds that run only when asked for by name: they show behaviour the
// program is not (yet) required to handle within its time-out.
const std::vector<std::string>& optionalDamageKinds();
// Whether a kind needs 127.0.0.1:443.
bool kindNeedsTlsPort(const std::string& kind);

// A few lines saying what the servers of `plan` do and what is expected,
// for replays of single exchanges.
std::string describePlan(const ExchangePlan& plan);

// Draws the plan of one exchange of `kind`.
ExchangePlan planExchange(const std::string& kind, std::mt19937& random);

#endif  // QUORVANE_TESTS_CAMPAIGN_DAMAGE_H_
