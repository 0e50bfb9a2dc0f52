// Entry point: one command line, one run; the run's code is the exit status.
#include "app/run.h"

int main(int argc, char** argv) {
  return runProgram(argc, argv);
}
