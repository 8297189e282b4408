// Image kinds, track/sector geometry and block addressing.
#include <cstdio>
#include <cstdlib>

#include "diskimage/internal.h"

namespace diskimage {
namespace {

// One side of a 1541 disk: zones of 21, 19, 18 and 17 sectors.
constexpr int kSideTracks = 35;
constexpr int kSideBlocks = 683;

constexpr int side_sectors(int track) {
  if (track <= 17) return 21;
  if (track <= 24) return 19;
  if (track <= 30) return 18;
  return 17;
}

// First block of every track of one side, so that addressing is a lookup.
constexpr std::array<int, kSideTracks + 2> make_side_offsets() {
  std::array<int, kSideTracks + 2> first{};
  for (int t = 1; t <= kSideTracks + 1; ++t)
    first[t] = t == 1 ? 0 : first[t - 1] + side_sectors(t - 1);
  return first;
}
constexpr auto kSideFirstBlock = make_side_offsets();
static_assert(kSideFirstBlock[18] == 357 && kSideFirstBlock[kSideTracks + 1] == kSideBlocks);

constexpr KindInfo kKinds[] = {
    {D64,
     35,
     683,
     DI_D64_SIZE,
     21,
     10,
     {18, 0},
     {0, 0},
     {18, 0},
     3,
     true,
     {{{1, 35, false, 4, 4, false, 5, 4}, {}}},
     1,
     {{{1, 35, 18}, {}}},
     1,
     "73,cbm dos v2.6 1541,00,00",
     {{{18, 0}}},
     1,
     0},
    {D71,
     70,
     1366,
     DI_D71_SIZE,
     21,
     6,
     {18, 0},
     {53, 0},
     {18, 0},
     3,
     false,
     {{{1, 35, false, 4, 4, false, 5, 4}, {36, 70, false, 221, 1, true, 0, 3}}},
     2,
     {{{1, 35, 18}, {36, 70, 53}}},
     2,
     "73,cbm dos v3.0 1571,00,00",
     {{{18, 0}, {53, 0}}},
     2,
     53},
    {D81,
     80,
     3200,
     DI_D81_SIZE,
     40,
     1,
     {40, 1},
     {40, 2},
     {40, 0},
     5,
     false,
     {{{1, 40, false, 16, 6, false, 17, 6}, {41, 80, true, 16, 6, true, 17, 6}}},
     2,
     {{{1, 40, 40}, {41, 80, 0}}},
     2,
     "73,copyright cbm dos v10 1581,00,00",
     {{{40, 0}, {40, 1}, {40, 2}}},
     3,
     0},
};
// The sizes with error information, which kind_for_size derives, are the
// header's too.
static_assert(kKinds[0].image_size + kKinds[0].blocks == DI_D64_ERR_SIZE &&
              kKinds[1].image_size + kKinds[1].blocks == DI_D71_ERR_SIZE &&
              kKinds[2].image_size + kKinds[2].blocks == DI_D81_ERR_SIZE);

}  // namespace

const KindInfo *kind_info(ImageType type) {
  for (const KindInfo &kind : kKinds)
    if (kind.type == type) return &kind;
  return nullptr;
}

const KindInfo *kind_for_size(long long size, bool *has_error_info) {
  for (const KindInfo &kind : kKinds) {
    if (size == kind.image_size || size == kind.image_size + kind.blocks) {
      *has_error_info = size != kind.image_size;
      return &kind;
    }
  }
  return nullptr;
}

int get_block_num(ImageType type, TsPair ts) {
  if (!di_ts_is_valid(type, ts)) {
    // Callers validate every link they read from a disk; reaching this is a
    // bug in the library, not a property of the image.
    std::printf("%s:%s:%d internal error, track/sector out of range\n", __FILE__, __func__,
                __LINE__);
    std::exit(-1);
  }
  int track = ts.track;
  int base = 0;
  if (type == D81) return (track - 1) * 40 + ts.sector;
  if (track > kSideTracks) {
    track -= kSideTracks;
    base = kSideBlocks;
  }
  return base + kSideFirstBlock[track] + ts.sector;
}

int interleave(ImageType type) {
  const KindInfo *kind = kind_info(type);
  return kind ? kind->interleave : 1;
}

}  // namespace diskimage

using namespace diskimage;

extern "C" {

int di_tracks(ImageType type) {
  const KindInfo *kind = kind_info(type);
  return kind ? kind->tracks : 0;
}

int di_sectors_per_track(ImageType type, int track) {
  switch (type) {
    case D71:
      if (track > kSideTracks) track -= kSideTracks;
      return side_sectors(track);
    case D64:
      return side_sectors(track);
    case D81:
      return 40;
    default:
      return 0;
  }
}

int di_ts_is_valid(ImageType type, TsPair ts) {
  return ts.track != 0 && ts.track <= di_tracks(type) &&
         ts.sector < di_sectors_per_track(type, ts.track);
}

unsigned char *di_get_ts_addr(DiImage *image, TsPair ts) {
  return image->blocks + kBlockSize * get_block_num(image->type, ts);
}

}  // extern "C"
