// Keeps fuzzed scripts within the memory and disk of a fuzzing machine.
//
// A script can make its texts grow geometrically ("@replace=" of one
// character by a thousand, "@sum=" after "@push=", fill rules whose pieces
// hold their own key), which the program rightly allows: a site script is
// trusted. A fuzzer would soon ask for gigabytes and report that as a
// crash. So before a script runs, an upper bound of every text is followed
// read by read, and a read that would take a bound past its limit is made
// a comment (its first two bytes become "#="), which keeps the reads after
// it where they were. "@->log=", "@cookiefile=" and "@cookiejar=" reads are
// pointed at one fixed file, and a
// "@retry=" of more than a few retries is made a comment as well.
#ifndef QUORVANE_FUZZ_SCRIPT_BUDGET_H_
#define QUORVANE_FUZZ_SCRIPT_BUDGET_H_

#include <cstddef>
#include <string>

// No text of a run may grow beyond this many bytes.
const size_t kTextBudget = 1 << 20;
// Bytes the fake transport may record as sent, over a whole run.
const size_t kRequestBudget = 32 << 20;
// Bytes all "@->log=" lines of a run may write together.
const size_t kLogBudget = 4 << 20;

// What the script works on besides its own lines.
struct ScriptInputs {
  size_t targetLength = 0;  // the target string (initial work register)
  size_t serverBytes = 0;   // everything the fake server delivers
  std::string logPath;      // where every "@->log=" line writes
};

// Returns `script` with the reads that would break a budget made comments.
std::string boundPluginScript(const std::string& script, const ScriptInputs& inputs);

// The same for the lines of one analysis block that fills `templateLength`
// characters of template from a work text of `workLength` bytes.
std::string boundAnalysisBlock(const std::string& block, size_t workLength, size_t templateLength);

#endif  // QUORVANE_FUZZ_SCRIPT_BUDGET_H_
