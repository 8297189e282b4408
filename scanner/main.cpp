// kestrix: inspect Commodore disk images.
#include "scanner/reports.h"

int main(int argc, char **argv) {
  return run_commands(argc, argv);
}
