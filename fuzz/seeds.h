// Seed inputs for the fuzz targets, built from readable calls: formatted
// images with files, and the damage the scanner exists to report (bad blocks,
// cycles, links off the disk, broken BAM links, odd directory slots). The
// corpus maker writes them out; the regression tests replay them.
#ifndef KESTRIX_FUZZ_SEEDS_H
#define KESTRIX_FUZZ_SEEDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "diskimage/diskimage.h"

namespace kestrix_fuzz {

struct Seed {
  std::string name;
  std::vector<uint8_t> bytes;
};

// Image recipes: the seeds of every image target.
std::vector<Seed> image_seeds();
// Library sessions.
std::vector<Seed> library_seeds();
// A session of reads, writes and deletes on an existing image, given by its
// recipe (see describe_image()).
std::vector<uint8_t> session_on(const std::vector<uint8_t> &recipe);
// Raw dumps (see raw.h): images written as a drive lays them down, and
// tracks a drive cannot read.
std::vector<Seed> raw_seeds();
// The raw dump input of an image, as a drive lays it down.
std::vector<uint8_t> raw_input_of(DiImage *image);

}  // namespace kestrix_fuzz

#endif  // KESTRIX_FUZZ_SEEDS_H
