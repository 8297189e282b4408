// The block availability map: queries, and the allocation and release of blocks.
#include <cstring>

#include "diskimage/internal.h"

namespace diskimage {
namespace {

// The free count and bitmap of one track, in place in the image.
struct TrackEntry {
  unsigned char *count;
  unsigned char *bitmap;
};

TrackEntry track_entry(DiImage *image, const KindInfo &kind, int track) {
  const BamRegion *region = &kind.regions[0];
  for (int i = 0; i < kind.region_count; ++i)
    if (track >= kind.regions[i].first_track && track <= kind.regions[i].last_track)
      region = &kind.regions[i];
  unsigned char *bam = di_get_ts_addr(image, image->bam_ts);
  unsigned char *bam2 =
      region->count_in_bam2 || region->bitmap_in_bam2 ? di_get_ts_addr(image, image->bam2_ts) : bam;
  int index = track - region->first_track;
  return {
      (region->count_in_bam2 ? bam2 : bam) + region->count_offset + region->count_stride * index,
      (region->bitmap_in_bam2 ? bam2 : bam) + region->bitmap_offset +
          region->bitmap_stride * index};
}

bool bitmap_bit(const TrackEntry &entry, int sector) {
  return (entry.bitmap[sector >> 3] & (1 << (sector & 7))) != 0;
}

// Tries each sector of the track once, starting at `first`; a first candidate
// past the last sector counts as used, so the search then starts one further. Allocates and returns
// the first free one, or -1 when the track has none.
int take_free_sector(DiImage *image, int track, int first) {
  int sectors = di_sectors_per_track(image->type, track);
  int candidate = first < sectors ? first : (first + 1) % sectors;
  for (int tries = 0; tries < sectors; ++tries) {
    if (di_is_ts_free(image, make_ts(track, candidate))) {
      di_alloc_ts(image, make_ts(track, candidate));
      return candidate;
    }
    candidate = (candidate + 1) % sectors;
  }
  return -1;
}

}  // namespace

TsPair next_ts_in_chain(DiImage *image, TsPair ts) {
  const unsigned char *block = di_get_ts_addr(image, ts);
  return make_ts(block[kLinkTrack], block[kLinkSector]);
}

int bam_bits_set(DiImage *image, int track) {
  const KindInfo *kind = kind_info(image->type);
  if (!kind) return 0;
  TrackEntry entry = track_entry(image, *kind, track);
  int bits = 0;
  for (int s = 0; s < di_sectors_per_track(image->type, track); ++s) bits += bitmap_bit(entry, s);
  return bits;
}

int blocks_free(DiImage *image) {
  int total = 0;
  for (int t = 1; t <= di_tracks(image->type); ++t)
    if (t != image->header_ts.track) total += di_track_blocks_free(image, t);
  return total;
}

TsPair alloc_next_ts(DiImage *image, TsPair prev) {
  const KindInfo *kind = kind_info(image->type);
  if (!kind) return {0, 0};
  for (int p = 0; p < kind->pass_count; ++p) {
    const AllocPass &pass = kind->passes[p];
    for (int t = pass.first_track; t <= pass.last_track; ++t) {
      if (t == pass.skip_track || di_track_blocks_free(image, t) == 0) continue;
      // A count that disagrees with an empty bitmap yields nothing here; the
      // search goes on with the next track rather than looping.
      int sectors = di_sectors_per_track(image->type, t);
      int sector = take_free_sector(image, t, (prev.sector + image->interleave) % sectors);
      if (sector >= 0) return make_ts(t, sector);
    }
  }
  return {0, 0};
}

TsPair alloc_next_dir_ts(DiImage *image) {
  if (di_track_blocks_free(image, image->bam_ts.track) == 0) return {0, 0};
  TsPair first = image->type == D81 ? next_ts_in_chain(image, make_ts(image->bam_ts.track, 0))
                                    : make_ts(18, 1);
  // A directory that loops or leads off the disk has no end to append to.
  ChainEnd end = walk_chain(image, first, [](TsPair, unsigned char *) { return true; });
  if (!end.complete()) return {0, 0};
  // An empty D81 directory hangs off the header block itself.
  TsPair last = end.last.track != 0 ? end.last : image->header_ts;
  // The search starts three sectors on, unreduced: past the end counts as used.
  int sector = take_free_sector(image, last.track, (last.sector + 3) & 0xFF);
  if (sector < 0) return {0, 0};
  TsPair fresh = make_ts(last.track, sector);
  unsigned char *link = di_get_ts_addr(image, last);
  link[kLinkTrack] = fresh.track;
  link[kLinkSector] = fresh.sector;
  unsigned char *block = di_get_ts_addr(image, fresh);
  std::memset(block, 0, kBlockSize);
  block[kLinkSector] = 0xFF;
  image->dirty = 1;
  return fresh;
}

void free_chain(DiImage *image, TsPair first) {
  // Only blocks still in use are freed: names sharing one chain, or a chain
  // running back into itself, must not raise a count twice.
  walk_chain(image, first, [image](TsPair ts, unsigned char *) {
    if (!di_is_ts_free(image, ts)) di_free_ts(image, ts);
    return true;
  });
}

}  // namespace diskimage

using namespace diskimage;

extern "C" {

TsPair di_get_dir_ts(DiImage *image) {
  if (image->type == D81) return next_ts_in_chain(image, image->header_ts);
  return make_ts(18, 1);
}

unsigned char *di_title(DiImage *image) {
  unsigned char *header = di_get_ts_addr(image, image->header_ts);
  return header + (image->type == D81 ? cbm1581::kDiskName : cbm1541::kDiskName);
}

int di_track_blocks_free(DiImage *image, int track) {
  const KindInfo *kind = kind_info(image->type);
  if (!kind) return 0;
  return *track_entry(image, *kind, track).count;
}

int di_is_ts_free(DiImage *image, TsPair ts) {
  const KindInfo *kind = kind_info(image->type);
  if (!kind) return 0;
  TrackEntry entry = track_entry(image, *kind, ts.track);
  if (kind->zero_count_full && *entry.count == 0) return 0;
  return bitmap_bit(entry, ts.sector) ? 1 : 0;
}

void di_alloc_ts(DiImage *image, TsPair ts) {
  image->dirty = 1;
  const KindInfo *kind = kind_info(image->type);
  if (!kind) return;
  TrackEntry entry = track_entry(image, *kind, ts.track);
  *entry.count = static_cast<unsigned char>(*entry.count - 1);
  entry.bitmap[ts.sector >> 3] &= static_cast<unsigned char>(~(1 << (ts.sector & 7)));
}

void di_free_ts(DiImage *image, TsPair ts) {
  image->dirty = 1;
  const KindInfo *kind = kind_info(image->type);
  if (!kind) return;
  TrackEntry entry = track_entry(image, *kind, ts.track);
  entry.bitmap[ts.sector >> 3] |= static_cast<unsigned char>(1 << (ts.sector & 7));
  *entry.count = static_cast<unsigned char>(*entry.count + 1);
}

}  // extern "C"
