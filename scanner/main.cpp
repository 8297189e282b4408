// kestrix: inspect Commodore disk images.
#include <unistd.h>

#include <cstdio>

#include "scanner/reports.h"

int main(int argc, char **argv) {
  // Into a file or a pipe a run's reports go out in one write rather than one
  // per 4 KiB; a terminal keeps its line buffering.
  static char out_buffer[1 << 16];
  if (!isatty(STDOUT_FILENO)) std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  return run_commands(argc, argv);
}
