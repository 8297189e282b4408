// libFuzzer target: raw G64 and G71 dumps decoded, checked and listed.
#include <cstddef>
#include <cstdint>

#include "fuzz/raw.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const kestrix_fuzz::Invariants invariants = kestrix_fuzz::Invariants::aborting();
  kestrix_fuzz::run_raw_input(invariants, data, size);
  return 0;
}
