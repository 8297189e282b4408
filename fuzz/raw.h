// The raw dump target: a G64 or G71 container assembled from the input, so
// that most inputs reach the decoder rather than fail the container's own
// checks, or the input itself after the signature.
//
//   byte 0, flags: bit 0 G71; bit 1 verbatim: the rest of the input follows
//   the signature as it is
//   otherwise tracks until the input ends: an entry byte (taken modulo the
//   container's entries), two bytes of length (low first) and that many
//   bytes of the track, fewer where the input ends.
#ifndef KESTRIX_FUZZ_RAW_H
#define KESTRIX_FUZZ_RAW_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "diskimage/diskimage.h"
#include "fuzz/invariants.h"

namespace kestrix_fuzz {

enum RawFlags : uint8_t { kRawG71 = 0x01, kRawVerbatim = 0x02 };

// The file an input describes.
std::vector<uint8_t> raw_file(const uint8_t *data, size_t size);

// Loads the file as a dump; when it decodes, what must hold of any decoded
// image, and the listing run on it.
void run_raw_input(const Invariants &invariants, const uint8_t *data, size_t size);

// The input that gives a container with these tracks (entry, bytes).
struct RawTrack {
  int entry;
  std::vector<uint8_t> bytes;
};
std::vector<uint8_t> raw_input(bool g71, const std::vector<RawTrack> &tracks);

}  // namespace kestrix_fuzz

#endif  // KESTRIX_FUZZ_RAW_H
