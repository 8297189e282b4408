// The block availability map: queries, and the allocation and release of blocks.
#include <cstring>

#include "diskimage/internal.h"

namespace diskimage {
namespace {

// The free count and bitmap of one track, in place in the image; both null
// for a track outside the BAM.
struct TrackEntry {
  unsigned char *count;
  unsigned char *bitmap;
  explicit operator bool() const { return count != nullptr; }
};

// Where an extended DOS keeps tracks 36-40 in the BAM block, or 0 for none:
// an area of all zeros marks every block in use, which is no layout at all.
int extended_offset(const unsigned char *bam) {
  using namespace cbm1541;
  const auto any_set = [&](int from) {
    for (int i = from; i < from + kExtendedSize; ++i)
      if (bam[i] != 0) return true;
    return false;
  };
  if (any_set(kSpeedDosTracks)) return kSpeedDosTracks;
  const bool geos =
      std::memcmp(bam + kGeosFormat, kGeosFormatText, sizeof kGeosFormatText - 1) == 0;
  if (!geos && any_set(kDolphinDosTracks)) return kDolphinDosTracks;
  return 0;
}

TrackEntry track_entry(DiImage *image, const KindInfo &kind, int track) {
  const auto t = static_cast<size_t>(track);
  if (kind.count_at[t] >= 0)
    return {image->blocks + kind.count_at[t], image->blocks + kind.bitmap_at[t]};
  if (kind.extended_bam && track >= cbm1541::kExtendedFirst && track <= cbm1541::kExtendedLast) {
    unsigned char *bam = block_at(image, kind, kind.bam_ts);
    if (const int offset = extended_offset(bam)) {
      unsigned char *entry = bam + offset + 4 * (track - cbm1541::kExtendedFirst);
      return {entry, entry + 1};
    }
  }
  return {nullptr, nullptr};
}

bool bitmap_bit(const TrackEntry &entry, int sector) {
  return (entry.bitmap[sector >> 3] & (1 << (sector & 7))) != 0;
}

// Tries each sector of the track once, starting at `first`; a first candidate
// past the last sector counts as used, so the search then starts one further. Allocates and returns
// the first free one, or -1 when the track has none.
int take_free_sector(DiImage *image, int track, int first) {
  int sectors = kind_info(image->type)->sectors[static_cast<size_t>(track)];
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
  return stored_link(di_get_ts_addr(image, ts));
}

int bam_bits_set(DiImage *image, int track) {
  const KindInfo *kind = kind_info(image->type);
  if (!kind) return 0;
  TrackEntry entry = track_entry(image, *kind, track);
  if (!entry) return 0;
  int bits = 0;
  for (int s = 0; s < kind->sectors[static_cast<size_t>(track)]; ++s) bits += bitmap_bit(entry, s);
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
      int sectors = kind->sectors[static_cast<size_t>(t)];
      int sector = take_free_sector(image, t, (prev.sector + image->interleave) % sectors);
      if (sector >= 0) return make_ts(t, sector);
    }
  }
  return {0, 0};
}

TsPair alloc_next_dir_ts(DiImage *image) {
  if (di_track_blocks_free(image, image->bam_ts.track) == 0) return {0, 0};
  // The directory's first block, whatever the BAM block's link says.
  TsPair first = di_get_dir_ts(image);
  // A directory that loops or leads off the disk has no end to append to.
  ChainEnd end = walk_chain(image, first, [](TsPair, unsigned char *) { return true; });
  if (!end.complete()) return {0, 0};
  // An empty D81 directory hangs off the header block itself.
  TsPair last = end.last.track != 0 ? end.last : image->header_ts;
  // A directory that runs onto an extra track of a long D64 has no room the
  // allocator may hand out there.
  if (kind_info(image->type)->count_at[last.track] < 0) return {0, 0};
  // The search starts three sectors on, unreduced: past the end counts as used.
  int sector = take_free_sector(image, last.track, (last.sector + 3) & 0xFF);
  if (sector < 0) return {0, 0};
  TsPair fresh = make_ts(last.track, sector);
  unsigned char *link = di_get_ts_addr(image, last);
  link[kLinkTrack] = fresh.track;
  link[kLinkSector] = fresh.sector;
  unsigned char *block = di_get_ts_addr(image, fresh);
  std::memset(block, 0, kBlockSize);
  block[kLinkSector] = kLastBlockFull;
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

namespace {

// The kind of an image on which track t, sector s exists; otherwise null,
// with status 66 naming what was asked for. The BAM calls take tracks and
// blocks from callers, and a number from a damaged disk must not lead them
// to bytes outside the BAM.
const KindInfo *kind_for_block(DiImage *image, int track, int sector) {
  const KindInfo *kind = kind_info(image->type);
  if (kind && track >= 1 && track <= kind->tracks && sector >= 0 &&
      sector < kind->sectors[static_cast<size_t>(track)])
    return kind;
  set_status(image, DI_STATUS_ILLEGAL_TS, track, sector);
  return nullptr;
}

}  // namespace

extern "C" {

TsPair di_get_dir_ts(const DiImage *image) {
  const KindInfo *kind = kind_info(image->type);
  if (!kind) return {0, 0};
  if (kind->dir_ts_fixed) return kind->dir_ts;
  return stored_link(block_at(image, *kind, image->header_ts));
}

unsigned char *di_title(DiImage *image) {
  const KindInfo *kind = kind_info(image->type);
  return di_get_ts_addr(image, image->header_ts) + (kind ? kind->disk_name_offset : 0);
}

const unsigned char *di_bam_message_area(const DiImage *image, int *size) {
  const KindInfo *kind = kind_info(image->type);
  if (!kind || kind->message_offset == 0) {
    *size = 0;
    return nullptr;
  }
  *size = kBlockSize - kind->message_offset;
  return block_at(image, *kind, image->bam_ts) + kind->message_offset;
}

int di_bam_layout(const DiImage *image) {
  const KindInfo *kind = kind_info(image->type);
  if (!kind || !kind->extended_bam) return DI_BAM_STANDARD;
  const int offset = extended_offset(block_at(image, *kind, kind->bam_ts));
  return offset == cbm1541::kSpeedDosTracks     ? DI_BAM_SPEEDDOS
         : offset == cbm1541::kDolphinDosTracks ? DI_BAM_DOLPHINDOS
                                                : DI_BAM_NONE;
}

int di_track_in_bam(DiImage *image, int track) {
  const KindInfo *kind = kind_for_block(image, track, 0);
  return kind && track_entry(image, *kind, track) ? 1 : 0;
}

int di_track_blocks_free(DiImage *image, int track) {
  const KindInfo *kind = kind_for_block(image, track, 0);
  if (!kind) return 0;
  const TrackEntry entry = track_entry(image, *kind, track);
  return entry ? *entry.count : 0;
}

int di_is_ts_free(DiImage *image, TsPair ts) {
  const KindInfo *kind = kind_for_block(image, ts.track, ts.sector);
  if (!kind) return 0;
  const TrackEntry entry = track_entry(image, *kind, ts.track);
  if (!entry || (kind->zero_count_full && *entry.count == 0)) return 0;
  return bitmap_bit(entry, ts.sector) ? 1 : 0;
}

void di_alloc_ts(DiImage *image, TsPair ts) {
  const KindInfo *kind = kind_for_block(image, ts.track, ts.sector);
  if (!kind) return;
  const TrackEntry entry = track_entry(image, *kind, ts.track);
  if (!entry) return;
  image->dirty = 1;
  *entry.count = static_cast<unsigned char>(*entry.count - 1);
  entry.bitmap[ts.sector >> 3] &= static_cast<unsigned char>(~(1 << (ts.sector & 7)));
}

void di_free_ts(DiImage *image, TsPair ts) {
  const KindInfo *kind = kind_for_block(image, ts.track, ts.sector);
  if (!kind) return;
  const TrackEntry entry = track_entry(image, *kind, ts.track);
  if (!entry) return;
  image->dirty = 1;
  entry.bitmap[ts.sector >> 3] |= static_cast<unsigned char>(1 << (ts.sector & 7));
  *entry.count = static_cast<unsigned char>(*entry.count + 1);
}

}  // extern "C"
