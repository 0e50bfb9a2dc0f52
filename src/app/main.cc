// Entry point: one command line, one run; the run's code is the exit status.
#include "app/process_setup.h"
#include "app/run.h"

int main(int argc, char** argv) {
  openMissingStandardDescriptors();
  ignoreWriteSignals();
  return runProgram(argc, argv);
}
