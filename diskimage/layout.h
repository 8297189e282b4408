// The on-disk layouts of every block the library reads, as named offsets,
// and the table of what differs between the image kinds. Internal to the
// library: see internal.h.
#ifndef DISKIMAGE_LAYOUT_H
#define DISKIMAGE_LAYOUT_H

#include <array>
#include <cstdint>

#include "diskimage/diskimage.h"

namespace diskimage {

// ---- Blocks -----------------------------------------------------------------
//
// Every file and directory block:
//   OFFSET  SIZE  DESCRIPTION
//   0       1     link track (0 = last block of the chain)
//   1       1     link sector; in the last block, data bytes + 1
//   2       254   data
inline constexpr int kBlockSize = DI_BLOCK_SIZE;
inline constexpr int kLinkTrack = DI_LINK_TRACK;
inline constexpr int kLinkSector = DI_LINK_SECTOR;
inline constexpr int kDataStart = DI_DATA_START;
inline constexpr int kDataSize = DI_DATA_SIZE;
// The sector byte of a full last block: 254 data bytes.
inline constexpr unsigned char kLastBlockFull = 0xFF;

// ---- Header and BAM blocks ----------------------------------------------------
//
// D64/D71 block 18/0, BAM and header in one block:
//   0-1     link to the first directory block (18/1)
//   2       DOS version 'A'          3        0 (D64), 0x80 (D71 double-sided)
//   4-143   tracks 1-35: free count + 3 bitmap bytes each
//   144-159 disk name, 0xA0 padded   160-161  0xA0 0xA0
//   162-163 disk id                  164      0xA0
//   165-166 DOS type "2A"            167-170  0xA0 x4
//   171-255 D64: zero (BAM message area); D71: 171-220 zero, 221-255 the
//           free counts of tracks 36-70
// D71 block 53/0: 0-104 bitmaps of tracks 36-70, 3 bytes each; rest zero.
namespace cbm1541 {
inline constexpr int kDosVersion = 2;
inline constexpr int kDoubleSided = 3;
inline constexpr int kTrackEntries = 4;
inline constexpr int kDiskName = 144;
inline constexpr int kDosTypeFill = 167;
inline constexpr int kMessageArea = 171;
inline constexpr int kSide2Counts = 221;  // D71: counts of tracks 36-70
// D64 of 40 or 42 tracks: extended DOSes keep tracks 36-40 in the message
// area, a free count and three bitmap bytes each, at one of two places.
inline constexpr int kSpeedDosTracks = 0xC0;
inline constexpr int kDolphinDosTracks = 0xAC;
inline constexpr int kExtendedFirst = 36;
inline constexpr int kExtendedLast = 40;
inline constexpr int kExtendedSize = 4 * (kExtendedLast - kExtendedFirst + 1);
// A GEOS disk keeps its own text where the DolphinDOS layout would be.
inline constexpr int kGeosFormat = 0xAD;
inline constexpr char kGeosFormatText[] = "GEOS format";
}  // namespace cbm1541

// D81 block 40/0, header:
//   0-1     link to the first directory block (40/3)
//   2-3     not read
//   4-19    disk name                20-21    0xA0 0xA0
//   22-23   disk id                  24       0xA0
//   25-26   DOS type "3D"            27-28    0xA0 0xA0
//   29-255  zero
// D81 blocks 40/1 and 40/2, the two BAM blocks:
//   0-1     link: 40/2 in the first, 0/255 in the second
//   2       'D'                      3        0xBB (complement of 'D')
//   4-5     disk id                  6        0xC0
//   7-15    zero
//   16-255  40 track entries: free count + 5 bitmap bytes (tracks 1-40, 41-80)
namespace cbm1581 {
inline constexpr int kDiskName = 4;
inline constexpr int kDosTypeFill = 27;
inline constexpr int kHeaderEnd = 29;
inline constexpr int kBamVersion = 2;
inline constexpr int kBamVersionCheck = 3;
inline constexpr int kBamId = 4;
inline constexpr int kBamIoFlags = 6;
inline constexpr int kBamEnd = 7;
inline constexpr int kTrackEntries = 16;
}  // namespace cbm1581

// Both header layouts keep the title the same way, from the disk name on:
//   0-15 name  16-17 0xA0 0xA0  18-19 id  20 0xA0  21-22 DOS type
inline constexpr int kNameSize = DI_NAME_SIZE;
inline constexpr unsigned char kNamePad = DI_NAME_PAD;
inline constexpr int kTitleIdOffset = 18;
inline constexpr int kTitleIdSize = 5;  // id, fill byte, DOS type

// ---- Directory slots ------------------------------------------------------------
//
// Directory slot, 32 bytes, eight per directory block (see FileEntry):
//   0-1 link (slot 0 only)  2 type byte  3-4 first block  5-20 name
//   21-22 REL: first side-sector block; GEOS: info block
//   23    REL: record length; GEOS: structure (1 = VLIR)
//   24    GEOS: file type (0 = no GEOS file)
//   25-29 unused            30-31 block count, low byte first
// A GEOS VLIR file's first block is its record list: bytes 2-255 hold 127
// track/sector pairs; 0/0 ends the list, track 0 is an empty record.
inline constexpr int kSlotSize = DI_SLOT_SIZE;
inline constexpr int kSlotsPerBlock = DI_SLOTS_PER_BLOCK;
inline constexpr int kSlotSideSectors = 21;
inline constexpr int kSlotGeosStructure = 23;
inline constexpr int kSlotGeosType = 24;
inline constexpr int kSlotRecordLength = 23;  // REL
inline constexpr int kGeosVlir = 1;
inline constexpr int kRecordPairs = 127;
static_assert(sizeof(FileEntry) == kSlotSize, "FileEntry must be one 32-byte slot");

inline int slot_blocks(const FileEntry &slot) {
  return slot.blocks[0] | slot.blocks[1] << 8;
}
inline int slot_byte(const FileEntry &slot, int offset) {
  return reinterpret_cast<const unsigned char *>(&slot)[offset];
}
// A GEOS file is a SEQ, PRG or USR slot whose GEOS type is set; a DEL or REL
// slot keeps other things in those bytes.
inline bool slot_is_geos(const FileEntry &slot) {
  const int type = slot.type & DI_TYPE_MASK;
  return type >= DI_FT_SEQ && type <= DI_FT_USR && slot_byte(slot, kSlotGeosType) != 0;
}
inline bool slot_is_vlir(const FileEntry &slot) {
  return slot_is_geos(slot) && slot_byte(slot, kSlotGeosStructure) == kGeosVlir;
}
// The REL side-sector chain or the GEOS info block, by slot bytes 21-22.
inline TsPair slot_extra_ts(const FileEntry &slot) {
  return TsPair{static_cast<unsigned char>(slot_byte(slot, kSlotSideSectors)),
                static_cast<unsigned char>(slot_byte(slot, kSlotSideSectors + 1))};
}

// ---- Track/sector arithmetic ----------------------------------------------------

inline constexpr int kMaxTracks = 80;
// The most sectors any track has (D81), and so the stride of the visited
// tables, which index track t, sector s at (t - 1) * 40 + s.
inline constexpr int kMaxSectors = 40;
inline constexpr int kVisitedSize = kMaxTracks * kMaxSectors;

inline constexpr TsPair make_ts(int track, int sector) {
  return TsPair{static_cast<unsigned char>(track), static_cast<unsigned char>(sector)};
}
inline constexpr bool same_ts(TsPair a, TsPair b) {
  return a.track == b.track && a.sector == b.sector;
}
inline int visited_index(TsPair ts) {
  return (ts.track - 1) * kMaxSectors + ts.sector;
}
inline TsPair ts_of_visited_index(int index) {
  return make_ts(index / kMaxSectors + 1, index % kMaxSectors);
}

// ---- The kinds --------------------------------------------------------------------

// Where the BAM keeps the entries of a run of tracks: the free count of track
// t lies at count_offset + count_stride * (t - first_track) of one BAM block,
// its bitmap at bitmap_offset + bitmap_stride * (t - first_track) of another.
struct BamRegion {
  int first_track = 0;
  int last_track = 0;
  bool count_in_bam2 = false;
  int count_offset = 0;
  int count_stride = 0;
  bool bitmap_in_bam2 = false;
  int bitmap_offset = 0;
  int bitmap_stride = 0;
};

// One pass of the data-block search: tracks first..last, never `skip_track`.
struct AllocPass {
  int first_track = 0;
  int last_track = 0;
  int skip_track = 0;
};

// Everything that differs between the kinds; the code asks this table rather
// than testing the kind. The per-track tables are derived from the rest.
struct KindInfo {
  ImageType type = 0;
  int tracks = 0;
  // Sectors per track: every track has `fixed_sectors`, or, when that is 0,
  // the 1541's zones (21, 19, 18, 17 from tracks 1, 18, 25, 31), counted
  // again from track 1 above `side_tracks` when that is not 0.
  int fixed_sectors = 0;
  int side_tracks = 0;
  int interleave = 1;  // data-block interleave
  TsPair bam_ts{}, bam2_ts{}, header_ts{};
  // The first directory block a format makes. On a kind whose directory
  // start is fixed, the directory always starts there, and reading steps to
  // it from the header block whatever the header's link says; otherwise the
  // directory starts where the header links.
  TsPair dir_ts{};
  bool dir_ts_fixed = false;
  bool double_sided = false;     // the BAM block's double-sided flag is set
  bool dir_link_in_bam = false;  // the BAM block's link should name the directory
  int disk_name_offset = 0;      // in the header block
  const char *dos_type = "";     // as format writes it
  int message_offset = 0;        // the BAM block's free tail, or 0 when none
  bool zero_count_full = false;  // a free count of 0 overrides the bitmap (D64 only)
  // Tracks 36-40 may be kept by an extended DOS's layout (D64 of 40 or 42
  // tracks); tracks beyond the regions are otherwise outside the BAM.
  bool extended_bam = false;
  bool creatable = true;  // di_create_image makes images of the kind
  std::array<BamRegion, 2> regions{};
  int region_count = 0;
  std::array<AllocPass, 2> passes{};
  int pass_count = 0;
  const char *power_on = "";              // status string of a fresh image
  std::array<TsPair, 3> system_blocks{};  // BAM and header blocks, owned by no file
  int system_block_count = 0;
  int reserved_track = 0;  // a track the drive keeps for itself but its first block, or 0

  // Derived by the table itself.
  int blocks = 0;                                // 683, 1366, 3200
  int image_size = 0;                            // size without error information
  std::array<std::uint8_t, 256> sectors{};       // of each existing track, else 0
  std::array<std::uint16_t, 256> first_block{};  // block number of sector 0
  // Where in the image the regions keep each track's free count and bitmap,
  // so that a BAM query is a lookup; -1 for a track no region keeps.
  std::array<std::int32_t, 256> count_at{};
  std::array<std::int32_t, 256> bitmap_at{};

  constexpr bool valid(TsPair ts) const { return ts.sector < sectors[ts.track]; }
  constexpr int block_num(TsPair ts) const { return first_block[ts.track] + ts.sector; }
};

// The kind's numbers, or null for a value that is no kind.
const KindInfo *kind_info(ImageType type);
// Kind told by an image file size; sets *has_error_info. Null for any other size.
const KindInfo *kind_for_size(long long size, bool *has_error_info);

// The block at ts, which the caller knows to be valid for the kind:
// di_get_ts_addr without its check.
inline unsigned char *block_at(const DiImage *image, const KindInfo &kind, TsPair ts) {
  return image->blocks + static_cast<size_t>(kind.block_num(ts)) * kBlockSize;
}

}  // namespace diskimage

#endif  // DISKIMAGE_LAYOUT_H
