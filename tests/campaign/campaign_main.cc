// The campaign of broken servers against the real program: runs a number
// of exchanges, each with a randomly damaged server drawn from a fixed
// seed, and prints a table of kinds of damage against exit statuses, the
// failures, and a closing count line.
//
//   campaign --binary PATH [--runs N] [--seed S] [--jobs J] [--only I]
//            [--kinds a,b,...]
//
// When 127.0.0.1:443 is taken by another program, the campaign moves into
// a network namespace of its own (as root) so that its TLS kinds can run;
// where it cannot, those kinds are skipped with the reason printed.
//
// Exchange I draws its kind (round robin over the kinds) and its plan from
// (S, I) alone, so "--seed S --only I" replays one exchange. Without
// --kinds every default kind runs; optional kinds run only when named.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "damage.h"
#include "exchange.h"
#include "support/private_network.h"

namespace {

const unsigned kDefaultSeed = 20240611;
const int kDefaultRuns = 2000;
// Exchanges mostly wait (on time-outs and loopback); a few at a time keep
// two cores busy without overloading them.
const int kDefaultJobs = 4;

struct Options {
  std::string binary;
  int runs = kDefaultRuns;
  unsigned seed = kDefaultSeed;
  int jobs = kDefaultJobs;
  int only = -1;
  std::vector<std::string> kinds;
};

void usage() {
  fprintf(stderr,
          "usage: campaign --binary PATH [--runs N] [--seed S] [--jobs J] [--only I] "
          "[--kinds a,b,...]\nkinds:");
  for (const std::string& kind : damageKinds()) fprintf(stderr, " %s", kind.c_str());
  fprintf(stderr, "\noptional kinds:");
  for (const std::string& kind : optionalDamageKinds()) fprintf(stderr, " %s", kind.c_str());
  fprintf(stderr, "\n");
}

bool parseNumber(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

bool parseOptions(int argc, char** argv, Options* options) {
  options->kinds = damageKinds();
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    long number = 0;
    if (flag == "--binary") {
      options->binary = value;
    } else if (flag == "--runs" && parseNumber(value, 1, 10000000, &number)) {
      options->runs = static_cast<int>(number);
    } else if (flag == "--seed" && parseNumber(value, 0, 0xFFFFFFFFL, &number)) {
      options->seed = static_cast<unsigned>(number);
    } else if (flag == "--jobs" && parseNumber(value, 1, 64, &number)) {
      options->jobs = static_cast<int>(number);
    } else if (flag == "--only" && parseNumber(value, 0, 10000000, &number)) {
      options->only = static_cast<int>(number);
    } else if (flag == "--kinds") {
      options->kinds.clear();
      std::string list = value;
      for (size_t at = 0; at <= list.size();) {
        size_t comma = list.find(',', at);
        std::string name =
            list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        bool known = false;
        for (const std::string& kind : damageKinds()) known = known || kind == name;
        for (const std::string& kind : optionalDamageKinds()) known = known || kind == name;
        if (!known) {
          fprintf(stderr, "campaign: unknown kind '%s'\n", name.c_str());
          return false;
        }
        options->kinds.push_back(name);
        if (comma == std::string::npos) break;
        at = comma + 1;
      }
    } else {
      return false;
    }
  }
  return !options->binary.empty();
}

struct Outcome {
  int index;
  std::string kind;
  ExchangeResult result;
};

std::string statusLabel(const ExchangeResult& result) {
  if (result.skipped) return "skip";
  if (result.killed) return "killed";
  if (result.status < 0) return "signal";
  return std::to_string(result.status);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, &options)) {
    usage();
    return 2;
  }

  char resolved[PATH_MAX];
  if (realpath(options.binary.c_str(), resolved) == nullptr) {
    fprintf(stderr, "campaign: %s: %s\n", options.binary.c_str(), strerror(errno));
    return 2;
  }
  options.binary = resolved;

  bool needsTlsPort = false;
  for (const std::string& kind : options.kinds)
    needsTlsPort = needsTlsPort || kindNeedsTlsPort(kind);
  if (needsTlsPort) {
    std::string note = usePrivateNetworkIfPortBusy(443);
    if (!note.empty()) printf("campaign: %s\n", note.c_str());
  }

  std::vector<int> indexes;
  if (options.only >= 0) {
    indexes.push_back(options.only);
  } else {
    for (int i = 0; i < options.runs; ++i) indexes.push_back(i);
  }
  printf("campaign: %zu exchanges, seed %u, %d at a time, program %s\n", indexes.size(),
         options.seed, options.jobs, options.binary.c_str());
  fflush(stdout);

  std::vector<Outcome> outcomes(indexes.size());
  std::atomic<size_t> next{0};
  std::mutex tlsPort;  // one exchange on 127.0.0.1:443 at a time
  std::mutex printing;
  std::set<std::string> skipReasons;

  auto worker = [&]() {
    for (size_t slot = next++; slot < indexes.size(); slot = next++) {
      int index = indexes[slot];
      const std::string& kind = options.kinds[static_cast<size_t>(index) % options.kinds.size()];
      std::seed_seq seeds{options.seed, static_cast<unsigned>(index)};
      std::mt19937 random(seeds);
      ExchangePlan plan = planExchange(kind, random);
      if (options.only >= 0) printf("%s", describePlan(plan).c_str());
      ExchangeResult result;
      if (kindNeedsTlsPort(kind)) {
        std::lock_guard<std::mutex> lock(tlsPort);
        result = runExchange(plan, options.binary);
      } else {
        result = runExchange(plan, options.binary);
      }
      outcomes[slot] = Outcome{index, kind, result};
      std::lock_guard<std::mutex> lock(printing);
      if (result.skipped) {
        if (skipReasons.insert(result.reason).second) {
          printf("skipping %s exchanges: %s\n", kind.c_str(), result.reason.c_str());
        }
      } else if (!result.passed) {
        printf("FAILED exchange %d (%s): %s\n  replay: campaign --binary %s --seed %u --only %d\n",
               index, kind.c_str(), result.reason.c_str(), options.binary.c_str(), options.seed,
               index);
      }
      fflush(stdout);
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < options.jobs; ++i) threads.emplace_back(worker);
  for (std::thread& thread : threads) thread.join();

  // Kind x exit status.
  std::map<std::string, std::map<std::string, int>> table;
  std::map<std::string, int> failuresByKind;
  std::set<std::string> labels;
  int passed = 0;
  int failed = 0;
  int skipped = 0;
  double slowest = 0;
  for (const Outcome& outcome : outcomes) {
    std::string label = statusLabel(outcome.result);
    ++table[outcome.kind][label];
    labels.insert(label);
    if (outcome.result.skipped) {
      ++skipped;
    } else if (outcome.result.passed) {
      ++passed;
    } else {
      ++failed;
      ++failuresByKind[outcome.kind];
    }
    if (outcome.result.seconds > slowest) slowest = outcome.result.seconds;
  }
  // Numeric statuses first, in order; then the words.
  std::vector<std::string> columns(labels.begin(), labels.end());
  std::sort(columns.begin(), columns.end(), [](const std::string& a, const std::string& b) {
    bool an = isdigit(static_cast<unsigned char>(a[0])) != 0;
    bool bn = isdigit(static_cast<unsigned char>(b[0])) != 0;
    if (an != bn) return an;
    if (an) return atoi(a.c_str()) < atoi(b.c_str());
    return a < b;
  });

  // The first column fits the longest kind name.
  int width = 22;
  for (const std::string& kind : options.kinds)
    width = std::max(width, static_cast<int>(kind.size()));
  printf("\n%-*s", width, "kind \\ exit status");
  for (const std::string& column : columns) printf(" %7s", column.c_str());
  printf(" %8s\n", "failed");
  for (const std::string& kind : options.kinds) {
    if (table.count(kind) == 0) continue;
    printf("%-*s", width, kind.c_str());
    for (const std::string& column : columns) {
      auto cell = table[kind].find(column);
      if (cell == table[kind].end()) {
        printf(" %7s", ".");
      } else {
        printf(" %7d", cell->second);
      }
    }
    printf(" %8d\n", failuresByKind[kind]);
  }
  printf("\nslowest exchange: %.2f s\n", slowest);
  printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
  return failed == 0 ? 0 : 1;
}
