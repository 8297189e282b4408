// Image kinds, track/sector geometry and block addressing.
#include <cstdio>
#include <cstdlib>

#include "diskimage/internal.h"

namespace diskimage {
namespace {

// One side of a 1541 disk: zones of 21, 19, 18 and 17 sectors.
constexpr int zone_sectors(int track) {
  if (track <= 17) return 21;
  if (track <= 24) return 19;
  if (track <= 30) return 18;
  return 17;
}

constexpr int kind_sectors(const KindInfo &kind, int track) {
  if (kind.fixed_sectors != 0) return kind.fixed_sectors;
  if (kind.side_tracks != 0 && track > kind.side_tracks) track -= kind.side_tracks;
  return zone_sectors(track);
}

// Fills in what follows from the rest: the sectors and first block of every
// track, so that validity and addressing are lookups, and the sizes.
constexpr KindInfo derive(KindInfo kind) {
  int block = 0;
  for (int t = 1; t <= kind.tracks; ++t) {
    const int sectors = kind_sectors(kind, t);
    kind.sectors[static_cast<size_t>(t)] = static_cast<std::uint8_t>(sectors);
    kind.first_block[static_cast<size_t>(t)] = static_cast<std::uint16_t>(block);
    block += sectors;
  }
  kind.blocks = block;
  kind.image_size = block * kBlockSize;
  kind.count_at.fill(-1);
  kind.bitmap_at.fill(-1);
  for (int r = 0; r < kind.region_count; ++r) {
    const BamRegion &region = kind.regions[static_cast<size_t>(r)];
    const int bam = kBlockSize * kind.block_num(kind.bam_ts);
    const int bam2 = kBlockSize * kind.block_num(kind.bam2_ts);
    for (int t = region.first_track; t <= region.last_track; ++t) {
      const int index = t - region.first_track;
      kind.count_at[static_cast<size_t>(t)] =
          (region.count_in_bam2 ? bam2 : bam) + region.count_offset + region.count_stride * index;
      kind.bitmap_at[static_cast<size_t>(t)] = (region.bitmap_in_bam2 ? bam2 : bam) +
                                               region.bitmap_offset + region.bitmap_stride * index;
    }
  }
  return kind;
}

constexpr BamRegion k1541Side1{.first_track = 1,
                               .last_track = 35,
                               .count_offset = cbm1541::kTrackEntries,
                               .count_stride = 4,
                               .bitmap_offset = cbm1541::kTrackEntries + 1,
                               .bitmap_stride = 4};

// A D64 of `tracks` tracks: tracks 36 and up hold 17 sectors each, which
// the 1541's zone rule gives, and follow track 35 in the file.
constexpr KindInfo d64_kind(ImageType type, int tracks) {
  return derive({.type = type,
                 .tracks = tracks,
                 .interleave = 10,
                 .bam_ts = {18, 0},
                 .header_ts = {18, 0},
                 .dir_ts = {18, 1},
                 .dir_ts_fixed = true,
                 .dir_link_in_bam = true,
                 .disk_name_offset = cbm1541::kDiskName,
                 .dos_type = "2A",
                 .message_offset = cbm1541::kMessageArea,
                 .zero_count_full = true,
                 .extended_bam = tracks > 35,
                 .creatable = tracks == 35,
                 .regions = {{k1541Side1}},
                 .region_count = 1,
                 // Files are never given a block on the extra tracks.
                 .passes = {{{.first_track = 1, .last_track = 35, .skip_track = 18}}},
                 .pass_count = 1,
                 .power_on = "73,cbm dos v2.6 1541,00,00",
                 .system_blocks = {{{18, 0}}},
                 .system_block_count = 1});
}

// In the order of the kinds' values, so that a kind's row is a lookup.
constexpr KindInfo kKinds[] = {
    d64_kind(D64, 35),
    derive({.type = D71,
            .tracks = 70,
            .side_tracks = 35,
            .interleave = 6,
            .bam_ts = {18, 0},
            .bam2_ts = {53, 0},
            .header_ts = {18, 0},
            .dir_ts = {18, 1},
            .dir_ts_fixed = true,
            .double_sided = true,
            .dir_link_in_bam = true,
            .disk_name_offset = cbm1541::kDiskName,
            .dos_type = "2A",
            .message_offset = cbm1541::kMessageArea,
            // Side 2 keeps its counts at the end of the first BAM block and its
            // bitmaps, without counts, in the second.
            .regions = {{k1541Side1,
                         {.first_track = 36,
                          .last_track = 70,
                          .count_offset = cbm1541::kSide2Counts,
                          .count_stride = 1,
                          .bitmap_in_bam2 = true,
                          .bitmap_offset = 0,
                          .bitmap_stride = 3}}},
            .region_count = 2,
            .passes = {{{.first_track = 1, .last_track = 35, .skip_track = 18},
                        {.first_track = 36, .last_track = 70, .skip_track = 53}}},
            .pass_count = 2,
            .power_on = "73,cbm dos v3.0 1571,00,00",
            .system_blocks = {{{18, 0}, {53, 0}}},
            .system_block_count = 2,
            .reserved_track = 53}),
    derive({.type = D81,
            .tracks = 80,
            .fixed_sectors = 40,
            .interleave = 1,
            .bam_ts = {40, 1},
            .bam2_ts = {40, 2},
            .header_ts = {40, 0},
            .dir_ts = {40, 3},
            .disk_name_offset = cbm1581::kDiskName,
            .dos_type = "3D",
            .regions = {{{.first_track = 1,
                          .last_track = 40,
                          .count_offset = cbm1581::kTrackEntries,
                          .count_stride = 6,
                          .bitmap_offset = cbm1581::kTrackEntries + 1,
                          .bitmap_stride = 6},
                         {.first_track = 41,
                          .last_track = 80,
                          .count_in_bam2 = true,
                          .count_offset = cbm1581::kTrackEntries,
                          .count_stride = 6,
                          .bitmap_in_bam2 = true,
                          .bitmap_offset = cbm1581::kTrackEntries + 1,
                          .bitmap_stride = 6}}},
            .region_count = 2,
            .passes = {{{.first_track = 1, .last_track = 40, .skip_track = 40},
                        {.first_track = 41, .last_track = 80}}},
            .pass_count = 2,
            .power_on = "73,copyright cbm dos v10 1581,00,00",
            .system_blocks = {{{40, 0}, {40, 1}, {40, 2}}},
            .system_block_count = 3}),
    d64_kind(D64_40, 40),
    d64_kind(D64_42, 42),
};

// The header's sizes are the table's: blocks, and one error byte a block.
constexpr bool sizes_are(const KindInfo &kind, int size, int with_errors) {
  return kind.image_size == size && kind.image_size + kind.blocks == with_errors;
}
constexpr bool in_order() {
  for (size_t i = 0; i < std::size(kKinds); ++i)
    if (kKinds[i].type != static_cast<ImageType>(i + 1)) return false;
  return true;
}
static_assert(in_order());
static_assert(sizes_are(kKinds[D64 - 1], DI_D64_SIZE, DI_D64_ERR_SIZE) &&
              sizes_are(kKinds[D71 - 1], DI_D71_SIZE, DI_D71_ERR_SIZE) &&
              sizes_are(kKinds[D81 - 1], DI_D81_SIZE, DI_D81_ERR_SIZE) &&
              sizes_are(kKinds[D64_40 - 1], DI_D64_40_SIZE, DI_D64_40_ERR_SIZE) &&
              sizes_are(kKinds[D64_42 - 1], DI_D64_42_SIZE, DI_D64_42_ERR_SIZE));
static_assert(kKinds[D64 - 1].block_num({18, 0}) == 357 &&
              kKinds[D71 - 1].block_num({36, 0}) == 683 &&
              kKinds[D81 - 1].block_num({2, 0}) == 40 &&
              kKinds[D64_40 - 1].block_num({36, 0}) == 683 &&
              kKinds[D64_42 - 1].block_num({42, 16}) == 801);

}  // namespace

const KindInfo *kind_info(ImageType type) {
  const auto row = static_cast<size_t>(type) - 1;
  return row < std::size(kKinds) ? &kKinds[row] : nullptr;
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
  const KindInfo *kind = kind_info(type);
  if (!kind || !kind->valid(ts)) {
    // Callers validate every link they read from a disk; reaching this is a
    // bug in the library, not a property of the image.
    std::printf("%s:%s:%d internal error, track/sector out of range\n", __FILE__, __func__,
                __LINE__);
    std::exit(-1);
  }
  return kind->block_num(ts);
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
  const KindInfo *kind = kind_info(type);
  return kind ? kind_sectors(*kind, track) : 0;
}

int di_ts_is_valid(ImageType type, TsPair ts) {
  const KindInfo *kind = kind_info(type);
  return kind && kind->valid(ts);
}

unsigned char *di_get_ts_addr(DiImage *image, TsPair ts) {
  return image->blocks + kBlockSize * get_block_num(image->type, ts);
}

}  // extern "C"
