// libFuzzer target for one of the image targets in targets.h, chosen when it
// is built: KESTRIX_FUZZ_RUN names its run function (fuzz_listing runs
// run_listing, and so on).
#include <cstddef>
#include <cstdint>

#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const kestrix_fuzz::Invariants invariants = kestrix_fuzz::Invariants::aborting();
  kestrix_fuzz::run_image_input(invariants, kestrix_fuzz::KESTRIX_FUZZ_RUN, data, size);
  return 0;
}
