// Whole-disk operations: format, scratch (delete) and rename.
#include <cstring>

#include "diskimage/internal.h"

namespace diskimage {
namespace {

// Frees every sector of every track the standard BAM keeps but the reserved
// one (a format makes the BAM of a 35-track disk), then allocates the
// system blocks on the others and the first directory block: the track
// entries were cleared first, so each track ends with its full count and
// exactly the bits of its sectors set, less those blocks.
void build_track_entries(DiImage *image, const KindInfo &kind) {
  for (int r = 0; r < kind.region_count; ++r) {
    const BamRegion &region = kind.regions[static_cast<size_t>(r)];
    for (int t = region.first_track; t <= region.last_track; ++t) {
      if (t == kind.reserved_track) continue;
      for (int s = 0; s < kind.sectors[static_cast<size_t>(t)]; ++s)
        di_free_ts(image, make_ts(t, s));
    }
  }
  for (int i = 0; i < kind.system_block_count; ++i)
    if (kind.system_blocks[i].track != kind.reserved_track)
      di_alloc_ts(image, kind.system_blocks[i]);
  di_alloc_ts(image, kind.dir_ts);
}

void empty_directory_block(DiImage *image, TsPair ts) {
  unsigned char *block = di_get_ts_addr(image, ts);
  std::memset(block, 0, kBlockSize);
  block[kLinkSector] = kLastBlockFull;
}

// Disk name, id and DOS type as both header layouts keep them: the name, two
// fill bytes, the id (kept as it is when none is given), a fill byte and the
// DOS type.
void write_title(unsigned char *name_at, const unsigned char *rawname, const unsigned char *id,
                 const char *dos_type) {
  std::memcpy(name_at, rawname, kNameSize);
  name_at[16] = kNamePad;
  name_at[17] = kNamePad;
  if (id) std::memcpy(name_at + kTitleIdOffset, id, 2);
  name_at[20] = kNamePad;
  name_at[21] = static_cast<unsigned char>(dos_type[0]);
  name_at[22] = static_cast<unsigned char>(dos_type[1]);
}

void format_1541_family(DiImage *image, const KindInfo &kind, const unsigned char *rawname,
                        const unsigned char *id) {
  using namespace cbm1541;
  if (kind.bam2_ts.track != 0) std::memset(di_get_ts_addr(image, kind.bam2_ts), 0, kBlockSize);
  unsigned char *bam = di_get_ts_addr(image, kind.bam_ts);
  bam[kLinkTrack] = kind.dir_ts.track;
  bam[kLinkSector] = kind.dir_ts.sector;
  bam[kDosVersion] = 'A';
  bam[kDoubleSided] = kind.double_sided ? 0x80 : 0;
  std::memset(bam + kTrackEntries, 0, kDiskName - kTrackEntries);
  if (kind.double_sided) std::memset(bam + kSide2Counts, 0, kBlockSize - kSide2Counts);
  build_track_entries(image, kind);
  write_title(bam + kDiskName, rawname, id, kind.dos_type);
  std::memset(bam + kDosTypeFill, kNamePad, kMessageArea - kDosTypeFill);
  std::memset(bam + kMessageArea, 0,
              (kind.double_sided ? kSide2Counts : kBlockSize) - kMessageArea);
  empty_directory_block(image, kind.dir_ts);
}

void format_1581(DiImage *image, const KindInfo &kind, const unsigned char *rawname,
                 const unsigned char *id) {
  using namespace cbm1581;
  const TsPair bam_blocks[2] = {kind.bam_ts, kind.bam2_ts};
  for (int i = 0; i < 2; ++i) {
    unsigned char *bam = di_get_ts_addr(image, bam_blocks[i]);
    // The first BAM block links to the second, which ends the chain.
    bam[kLinkTrack] = i == 0 ? kind.bam2_ts.track : 0;
    bam[kLinkSector] = i == 0 ? kind.bam2_ts.sector : kLastBlockFull;
    bam[kBamVersion] = 'D';
    bam[kBamVersionCheck] = 0xBB;
    if (id) std::memcpy(bam + kBamId, id, 2);
    bam[kBamIoFlags] = 0xC0;
    std::memset(bam + kBamEnd, 0, kBlockSize - kBamEnd);
  }
  build_track_entries(image, kind);
  unsigned char *header = di_get_ts_addr(image, kind.header_ts);
  header[kLinkTrack] = kind.dir_ts.track;
  header[kLinkSector] = kind.dir_ts.sector;
  write_title(header + kDiskName, rawname, id, kind.dos_type);
  header[kDosTypeFill] = kNamePad;
  header[kDosTypeFill + 1] = kNamePad;
  std::memset(header + kHeaderEnd, 0, kBlockSize - kHeaderEnd);
  empty_directory_block(image, kind.dir_ts);
}

}  // namespace
}  // namespace diskimage

using namespace diskimage;

extern "C" {

int di_format(DiImage *image, const unsigned char *rawname, const unsigned char *id) {
  image->dirty = 1;
  if (id) {
    std::memset(image->blocks, 0, image->size);
    // A fresh disk has no read errors: 1 is "no error", 0 would be one.
    if (image->error_info)
      std::memset(image->error_info, 1, image->blocks + image->size - image->error_info);
  }
  const KindInfo &kind = *kind_info(image->type);
  // The 1541 family keeps the BAM in its header block.
  if (same_ts(kind.bam_ts, kind.header_ts)) {
    format_1541_family(image, kind, rawname, id);
  } else {
    format_1581(image, kind, rawname, id);
  }
  image->free_blocks = blocks_free(image);
  return set_status(image, DI_STATUS_OK, 0, 0);
}

int di_delete(DiImage *image, const unsigned char *rawpattern, int type) {
  if (type < DI_FT_SEQ || type > DI_FT_USR) return set_status(image, DI_STATUS_TYPE_MISMATCH, 0, 0);
  int count = 0;
  // A scratched slot no longer matches its type, so each pass finds a new one.
  while (FileEntry *entry = find_file_entry(image, rawpattern, type)) {
    free_chain(image, entry->first_ts);
    entry->type = 0;
    ++count;
  }
  if (count == 0) return set_status(image, DI_STATUS_FILE_NOT_FOUND, 0, 0);
  image->dirty = 1;
  image->free_blocks = blocks_free(image);
  return set_status(image, DI_STATUS_FILES_SCRATCHED, count, 0);
}

int di_rename(DiImage *image, const unsigned char *rawpattern, const unsigned char *newrawname,
              int type) {
  FileEntry *entry = find_file_entry(image, rawpattern, type);
  if (!entry) return set_status(image, DI_STATUS_FILE_NOT_FOUND, 0, 0);
  std::memcpy(entry->rawname, newrawname, kNameSize);
  image->dirty = 1;
  return set_status(image, DI_STATUS_OK, 0, 0);
}

}  // extern "C"
