// libFuzzer target: the scanner's reports on an image described by the input.
#include <cstdio>

#include "fuzz/fuzz_driver.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The reports print to standard output; libFuzzer reports on standard error.
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  kestrix_fuzz::run_scanner_input(data, size);
  return 0;
}
