// Entry point: one command line, one run.
#include "app/messages.h"

int main() {
  report(2);
  return 0;
}
