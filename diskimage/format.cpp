// Whole-disk operations: format, scratch (delete) and rename.
#include <cstring>

#include "diskimage/internal.h"

namespace diskimage {
namespace {

constexpr unsigned char kFill = kNamePad;

void free_tracks(DiImage *image, int first, int last, int skip) {
  for (int t = first; t <= last; ++t) {
    if (t == skip) continue;
    for (int s = 0; s < di_sectors_per_track(image->type, t); ++s) di_free_ts(image, make_ts(t, s));
  }
}

void empty_directory_block(DiImage *image, TsPair ts) {
  unsigned char *block = di_get_ts_addr(image, ts);
  std::memset(block, 0, kBlockSize);
  block[kLinkSector] = 0xFF;
}

// Disk name, id and DOS type as both header layouts keep them: the name, two
// fill bytes, the id (kept as it is when none is given), a fill byte and the
// DOS type.
void write_title(unsigned char *name_at, const unsigned char *rawname, const unsigned char *id,
                 const char *dos_type) {
  std::memcpy(name_at, rawname, kNameSize);
  name_at[16] = kFill;
  name_at[17] = kFill;
  if (id) std::memcpy(name_at + kTitleIdOffset, id, 2);
  name_at[20] = kFill;
  name_at[21] = static_cast<unsigned char>(dos_type[0]);
  name_at[22] = static_cast<unsigned char>(dos_type[1]);
}

void format_1541_family(DiImage *image, const unsigned char *rawname, const unsigned char *id) {
  using namespace cbm1541;
  const bool d71 = image->type == D71;
  if (d71) std::memset(di_get_ts_addr(image, image->bam2_ts), 0, kBlockSize);
  unsigned char *bam = di_get_ts_addr(image, image->bam_ts);
  bam[kLinkTrack] = 18;
  bam[kLinkSector] = 1;
  bam[kDosVersion] = 'A';
  bam[kDoubleSided] = d71 ? 0x80 : 0;
  std::memset(bam + kTrackEntries, 0, kDiskName - kTrackEntries);
  if (d71) std::memset(bam + kSide2Counts, 0, kBlockSize - kSide2Counts);
  free_tracks(image, 1, di_tracks(image->type), d71 ? 53 : 0);
  di_alloc_ts(image, make_ts(18, 0));
  di_alloc_ts(image, make_ts(18, 1));
  write_title(bam + kDiskName, rawname, id, "2A");
  std::memset(bam + kDosTypeFill, kFill, kMessageArea - kDosTypeFill);
  std::memset(bam + kMessageArea, 0, (d71 ? kSide2Counts : kMessageEnd) - kMessageArea);
  empty_directory_block(image, make_ts(18, 1));
}

void format_1581(DiImage *image, const unsigned char *rawname, const unsigned char *id) {
  using namespace cbm1581;
  const TsPair bam_blocks[2] = {image->bam_ts, image->bam2_ts};
  for (int i = 0; i < 2; ++i) {
    unsigned char *bam = di_get_ts_addr(image, bam_blocks[i]);
    bam[kLinkTrack] = i == 0 ? 40 : 0;
    bam[kLinkSector] = i == 0 ? 2 : 0xFF;
    bam[kBamVersion] = 'D';
    bam[kBamVersionCheck] = 0xBB;
    if (id) std::memcpy(bam + kBamId, id, 2);
    bam[kBamIoFlags] = 0xC0;
    std::memset(bam + kBamEnd, 0, kBlockSize - kBamEnd);
  }
  free_tracks(image, 1, 80, 0);
  for (int s = 0; s <= 3; ++s) di_alloc_ts(image, make_ts(40, s));
  unsigned char *header = di_get_ts_addr(image, image->header_ts);
  header[kLinkTrack] = 40;
  header[kLinkSector] = 3;
  write_title(header + kDiskName, rawname, id, "3D");
  header[kDosTypeFill] = kFill;
  header[kDosTypeFill + 1] = kFill;
  std::memset(header + kHeaderEnd, 0, kBlockSize - kHeaderEnd);
  empty_directory_block(image, make_ts(40, 3));
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
  if (image->type == D81) {
    format_1581(image, rawname, id);
  } else {
    format_1541_family(image, rawname, id);
  }
  image->free_blocks = blocks_free(image);
  return set_status(image, 0, 0, 0);
}

int di_delete(DiImage *image, const unsigned char *rawpattern, int type) {
  if (type < 1 || type > 3) return set_status(image, 64, 0, 0);
  int count = 0;
  // A scratched slot no longer matches its type, so each pass finds a new one.
  while (FileEntry *entry = find_file_entry(image, rawpattern, type)) {
    free_chain(image, entry->first_ts);
    entry->type = 0;
    ++count;
  }
  if (count == 0) return set_status(image, 62, 0, 0);
  image->dirty = 1;
  image->free_blocks = blocks_free(image);
  return set_status(image, 1, count, 0);
}

int di_rename(DiImage *image, const unsigned char *rawpattern, const unsigned char *newrawname,
              int type) {
  FileEntry *entry = find_file_entry(image, rawpattern, type);
  if (!entry) return set_status(image, 62, 0, 0);
  std::memcpy(entry->rawname, newrawname, kNameSize);
  image->dirty = 1;
  return set_status(image, 0, 0, 0);
}

}  // extern "C"
