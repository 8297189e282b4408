// libFuzzer target: a sequence of library operations on an image described by
// the input, with the invariants checked after every step.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/session.h"

namespace {

std::string sync_dir;
std::string sync_path;

void remove_sync_dir() {
  if (sync_dir.empty()) return;
  unlink(sync_path.c_str());
  rmdir(sync_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Every process gets a directory of its own for written-back images; memory
  // backed when there is one, since each write-back ends in fsync.
  const char *tmp = std::getenv("TMPDIR");
  std::string base = tmp && *tmp ? tmp : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = base + "/kestrix-fuzz-XXXXXX";
  if (!mkdtemp(pattern.data())) return 1;
  sync_dir = pattern;
  sync_path = sync_dir + "/fuzz.img";
  std::atexit(remove_sync_dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const kestrix_fuzz::Invariants invariants = kestrix_fuzz::Invariants::aborting();
  kestrix_fuzz::run_library_input(invariants, data, size, sync_path);
  return 0;
}
