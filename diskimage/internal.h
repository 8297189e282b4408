// Internal interface of the diskimage library: the per-kind tables, the
// block layouts and the operations that programs do not call directly.
#ifndef DISKIMAGE_INTERNAL_H
#define DISKIMAGE_INTERNAL_H

#ifndef __cplusplus
#error "diskimage/internal.h is only to be used inside the library and its tests"
#endif

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "diskimage/diskimage.h"

namespace diskimage {

// ---- Block layouts ----------------------------------------------------------
//
// Every file and directory block:
//   OFFSET  SIZE  DESCRIPTION
//   0       1     link track (0 = last block of the chain)
//   1       1     link sector; in the last block, data bytes + 1
//   2       254   data
inline constexpr int kBlockSize = 256;
inline constexpr int kLinkTrack = 0;
inline constexpr int kLinkSector = 1;
inline constexpr int kDataStart = 2;
inline constexpr int kDataSize = 254;

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
inline constexpr int kNameFill = 160;
inline constexpr int kDiskId = 162;
inline constexpr int kIdFill = 164;
inline constexpr int kDosType = 165;
inline constexpr int kDosTypeFill = 167;
inline constexpr int kMessageArea = 171;
inline constexpr int kMessageEnd = 256;
inline constexpr int kSide2Counts = 221;  // D71: counts of tracks 36-70
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
inline constexpr int kNameFill = 20;
inline constexpr int kDiskId = 22;
inline constexpr int kIdFill = 24;
inline constexpr int kDosType = 25;
inline constexpr int kDosTypeFill = 27;
inline constexpr int kHeaderEnd = 29;
inline constexpr int kBamVersion = 2;
inline constexpr int kBamVersionCheck = 3;
inline constexpr int kBamId = 4;
inline constexpr int kBamIoFlags = 6;
inline constexpr int kBamEnd = 7;
inline constexpr int kTrackEntries = 16;
}  // namespace cbm1581

// Directory slot, 32 bytes, eight per directory block (see FileEntry):
//   0-1 link (slot 0 only)  2 type byte  3-4 first block  5-20 name
//   21-22 REL: first side-sector block; GEOS: info block
//   23    GEOS: structure (1 = VLIR)  24 GEOS: file type (0 = no GEOS file)
//   25-29 unused            30-31 block count, low byte first
// A GEOS VLIR file's first block is its record list: bytes 2-255 hold 127
// track/sector pairs; 0/0 ends the list, track 0 is an empty record.
inline constexpr int kSlotSize = 32;
inline constexpr int kSlotSideSectors = 21;
inline constexpr int kSlotGeosInfo = 21;
inline constexpr int kSlotGeosStructure = 23;
inline constexpr int kSlotGeosType = 24;
inline constexpr int kGeosVlir = 1;
inline constexpr int kRelType = 4;
inline constexpr int kRecordPairs = 127;
inline constexpr int kSlotsPerBlock = 8;
inline constexpr int kNameSize = 16;
inline constexpr unsigned char kNamePad = 0xA0;
inline constexpr unsigned char kTypeMask = 0x07;
inline constexpr unsigned char kLocked = 0x40;
inline constexpr unsigned char kClosed = 0x80;
static_assert(sizeof(FileEntry) == kSlotSize, "FileEntry must be one 32-byte slot");

// Title offsets from the disk name: id, fill byte and DOS type (5 bytes).
inline constexpr int kTitleIdOffset = 18;
inline constexpr int kTitleIdSize = 5;

// ---- Per-kind numbers -------------------------------------------------------

// Where the BAM keeps the entries of a run of tracks: the free count of track
// t lies at count_offset + count_stride * (t - first_track) of one BAM block,
// its bitmap at bitmap_offset + bitmap_stride * (t - first_track) of another.
struct BamRegion {
  int first_track;
  int last_track;
  bool count_in_bam2;
  int count_offset;
  int count_stride;
  bool bitmap_in_bam2;
  int bitmap_offset;
  int bitmap_stride;
};

// One pass of the data-block search: tracks first..last, never `skip`.
struct AllocPass {
  int first_track;
  int last_track;
  int skip_track;
};

struct KindInfo {
  ImageType type;
  int tracks;
  int blocks;       // 683, 1366, 3200
  int image_size;   // size without error information
  int max_sectors;  // the largest sector count of any track
  int interleave;   // data-block interleave
  TsPair bam_ts, bam2_ts, header_ts;
  int bitmap_bytes;      // bitmap bytes per track entry
  bool zero_count_full;  // a free count of 0 overrides the bitmap (D64 only)
  std::array<BamRegion, 2> regions;
  int region_count;
  std::array<AllocPass, 2> passes;
  int pass_count;
  const char *power_on;                 // status string of a fresh image
  std::array<TsPair, 3> system_blocks;  // BAM and header blocks, owned by no file
  int system_block_count;
  int reserved_track;  // a track the drive keeps for itself but its first block, or 0
};

// The kind's numbers, or null for a value that is no kind.
const KindInfo *kind_info(ImageType type);
// Kind told by an image file size; sets *has_error_info. Null for any other size.
const KindInfo *kind_for_size(long long size, bool *has_error_info);

// Index of a block in the 3200-entry visited tables: (track - 1) * 40 + sector.
inline constexpr int kVisitedSize = 3200;
inline int visited_index(TsPair ts) {
  return (ts.track - 1) * 40 + ts.sector;
}
inline TsPair ts_of_visited_index(int index) {
  return TsPair{static_cast<unsigned char>(index / 40 + 1), static_cast<unsigned char>(index % 40)};
}

// Byte values of a packed 16-bit pair, as links are stored.
inline TsPair make_ts(int track, int sector) {
  return TsPair{static_cast<unsigned char>(track), static_cast<unsigned char>(sector)};
}

// ---- Operations internal to the library -------------------------------------

int get_block_num(ImageType type, TsPair ts);
int interleave(ImageType type);
int set_status(DiImage *image, int code, int track, int sector);
int get_ts_doserr(DiImage *image, TsPair ts);
// di_get_ts_err of the block numbered `block` (get_block_num).
int block_err(const DiImage *image, int block);
int blocks_free(DiImage *image);
TsPair next_ts_in_chain(DiImage *image, TsPair ts);
// Bits set in a track's bitmap for its existing sectors, whatever its count.
int bam_bits_set(DiImage *image, int track);

// The directory reader's two steps, for walks that need every block: reads
// the next block (false when none came or its read left a status, which ends
// the directory), and copies slot i of it into entry when that slot is used.
bool dir_read_block(DiDirReader *reader);
bool dir_slot(const DiDirReader *reader, int i, DiDirEntry *entry);

// Builds an image around an image-sized buffer allocated with malloc; the image
// takes ownership of `bytes` on success, and frees it on failure. Loading uses
// it, and it lets fuzzers and tests make images without files.
DiImage *image_from_buffer(const char *path, unsigned char *bytes, long long size);
// Reads exactly size bytes from fd, however many reads it takes. Returns false
// on an error or on an early end of the file.
bool read_fully(int fd, unsigned char *dst, long long size);

int match_pattern(const unsigned char *pattern, const unsigned char *name);
FileEntry *find_file_entry(DiImage *image, const unsigned char *pattern, int type);

TsPair alloc_next_ts(DiImage *image, TsPair prev);
TsPair alloc_next_dir_ts(DiImage *image);
void free_chain(DiImage *image, TsPair first);
FileEntry *alloc_file_entry(DiImage *image, const unsigned char *rawname, int type);

// ---- Chain walking ----------------------------------------------------------

// How a chain walk ended.
enum class ChainStop {
  kEnd,           // a link of track 0 (or visit asked to stop)
  kIllegalFirst,  // the first block is not a valid block
  kBadLink,       // `last` links to a block that does not exist
  kLoop,          // `link` is a block the walk had passed already
};

struct ChainEnd {
  TsPair last;  // the last block visited; track 0 when none was
  ChainStop stop;
  TsPair link;  // the link that ended the walk (the first block for kIllegalFirst)
  bool complete() const { return stop == ChainStop::kEnd; }
};

// Walks a chain of blocks as stored, from `first`, calling visit(ts, block) for
// each block. The walk ends at track 0, at a link that is not a valid block and
// at a block already visited, so a damaged chain can neither loop nor lead
// outside the image; the result says which. visit returns false to stop early.
template <typename Visit>
ChainEnd walk_chain(DiImage *image, TsPair first, Visit &&visit) {
  // Kept in bits: every open by name walks the directory, so clearing this
  // set is part of the listing's inner loop.
  std::bitset<kVisitedSize> visited;
  TsPair last{0, 0};
  TsPair ts = first;
  while (ts.track != 0) {
    if (!di_ts_is_valid(image->type, ts))
      return {last, last.track == 0 ? ChainStop::kIllegalFirst : ChainStop::kBadLink, ts};
    if (visited[visited_index(ts)]) return {last, ChainStop::kLoop, ts};
    visited[visited_index(ts)] = true;
    last = ts;
    unsigned char *block = di_get_ts_addr(image, ts);
    if (!visit(ts, block)) break;
    ts = make_ts(block[kLinkTrack], block[kLinkSector]);
  }
  return {last, ChainStop::kEnd, ts};
}

// Calls visit(slot) for each of the eight slots of every directory block, in
// chain order, until visit returns true; returns that slot or null.
template <typename Visit>
FileEntry *find_slot(DiImage *image, Visit &&visit) {
  FileEntry *found = nullptr;
  walk_chain(image, di_get_dir_ts(image), [&](TsPair, unsigned char *block) {
    for (int i = 0; i < kSlotsPerBlock; ++i) {
      auto *slot = reinterpret_cast<FileEntry *>(block + i * kSlotSize);
      if (visit(slot)) {
        found = slot;
        return false;
      }
    }
    return true;
  });
  return found;
}

// ---- Where chains lead ------------------------------------------------------

// Zeroed storage for `count` records that all-zero bytes make valid, from
// calloc: fresh memory comes without being written, so the pages of a table
// that a listing of a few files never reaches are never faulted in.
template <typename T>
class ZeroedArray {
 public:
  explicit ZeroedArray(size_t count) : data_(static_cast<T *>(std::calloc(count, sizeof(T)))) {
    if (!data_ && count != 0) throw std::bad_alloc();
  }
  ~ZeroedArray() { std::free(data_); }
  ZeroedArray(const ZeroedArray &) = delete;
  ZeroedArray &operator=(const ZeroedArray &) = delete;
  T &operator[](size_t i) { return data_[i]; }
  const T &operator[](size_t i) const { return data_[i]; }

 private:
  T *data_;
};

// Where the walk from each block leads when every block has at most one next
// block: `next(index)` gives a block's next block, or -1 where walks stop,
// both as visited_index. A walk either reaches a block with no next block,
// its last, or runs into a loop, passing `dist` blocks before it. Each block is
// resolved once, when first asked about, so asking for every chain of an image
// costs as much as its blocks, however many chains share them.
template <typename Next>
class ChainMap {
 public:
  struct Lead {
    bool loops;
    int dist;  // steps to the last block, or to the first block of the loop
    int root;  // the last block, or the first block of the loop the walk meets
  };

  // Asked about blocks whose visited_index is below `size`.
  ChainMap(Next next, int size) : next_(std::move(next)), nodes_(static_cast<size_t>(size)) {
    static_assert(std::is_trivially_default_constructible_v<Node>);
  }

  Lead lead(int block) {
    const Node &node = nodes_[block];
    if (node.state == kNew || node.state == kOnPath) resolve(block);
    if (node.state == kOnLoop) return {true, 0, block};
    return {node.loops != 0, node.dist, node.root};
  }

  // Blocks in the loop that the walk from `block` runs into; 0 when it ends.
  int loop_size(int block) {
    const Lead from = lead(block);
    return from.loops ? loop_of(from.root).size : 0;
  }

  // One block of the loop that the walk from `block` runs into, the same for
  // every walk into that loop; -1 when the walk ends.
  int loop_head(int block) {
    const Lead from = lead(block);
    return from.loops ? loop_blocks_[static_cast<size_t>(loop_of(from.root).start)] : -1;
  }

  // The block `steps` steps on from `block`. A walk that ends must not be
  // asked past its last block.
  int after(int block, int steps) {
    const Lead from = lead(block);
    if (from.loops && steps >= from.dist) {
      const Loop &loop = loop_of(from.root);
      const int turns = (nodes_[from.root].dist + steps - from.dist) % loop.size;
      return loop_blocks_[static_cast<size_t>(loop.start + turns)];
    }
    for (; steps > 0; --steps) block = nodes_[block].next;
    return block;
  }

 private:
  enum State : std::uint8_t { kNew, kOnPath, kDone, kOnLoop };
  // Block numbers and distances stay below kVisitedSize, so 16 bits each
  // keep the table at 8 bytes a block; all zero is a new block, so that a
  // listing of a few files pays little for setting up the table.
  struct Node {
    State state;
    std::uint8_t loops;  // kDone: as in Lead
    std::int16_t next;   // set when the block is first passed
    std::int16_t dist;   // kDone: as in Lead; kOnPath: place on the path; kOnLoop: in the loop
    std::int16_t root;   // kDone: as in Lead; kOnLoop: the loop, in loops_
  };
  struct Loop {
    int start;  // its blocks in loop_blocks_, in walking order
    int size;
  };
  const Loop &loop_of(int block) const { return loops_[static_cast<size_t>(nodes_[block].root)]; }

  // Follows the walk from `block` to a block already resolved, a last block
  // or a block met on this walk before (a loop), then resolves the blocks
  // passed from the far end back.
  void resolve(int block) {
    path_.clear();
    int at = block;
    while (nodes_[at].state == kNew) {
      Node &node = nodes_[at];
      node.state = kOnPath;
      node.dist = static_cast<std::int16_t>(path_.size());
      path_.push_back(at);
      node.next = static_cast<std::int16_t>(next_(at));
      if (node.next < 0) break;
      at = node.next;
    }
    size_t tail = path_.size();
    Node &stop = nodes_[at];
    if (stop.state == kOnPath && stop.next < 0) {
      stop = {kDone, 0, stop.next, 0, static_cast<std::int16_t>(at)};
      tail = path_.size() - 1;
    } else if (stop.state == kOnPath) {
      tail = static_cast<size_t>(stop.dist);
      const auto loop = static_cast<std::int16_t>(loops_.size());
      loops_.push_back(
          {static_cast<int>(loop_blocks_.size()), static_cast<int>(path_.size() - tail)});
      for (size_t i = tail; i < path_.size(); ++i) {
        Node &node = nodes_[path_[i]];
        node = {kOnLoop, 0, node.next, static_cast<std::int16_t>(i - tail), loop};
        loop_blocks_.push_back(path_[i]);
      }
    }
    for (size_t i = tail; i-- > 0;) {
      Node &node = nodes_[path_[i]];
      const Node &on = nodes_[node.next];
      if (on.state == kOnLoop) {
        node = {kDone, 1, node.next, 1, node.next};
      } else {
        node = {kDone, on.loops, node.next, static_cast<std::int16_t>(on.dist + 1), on.root};
      }
    }
  }

  Next next_;
  ZeroedArray<Node> nodes_;
  std::vector<int> loop_blocks_;
  std::vector<Loop> loops_;
  std::vector<int> path_;
};

// ---- A whole listing's lookups and reads ------------------------------------

// The directory's slots by name, for a listing that opens every listed file
// by its own name: walking the directory from its start for each would make
// the listing's cost grow with the square of its entries. Valid while the
// directory's blocks do not change.
class NameIndex {
 public:
  explicit NameIndex(DiImage *image);
  // What find_file_entry(image, pattern, type) returns. A pattern with a
  // wildcard before its end is tested against the slots in order.
  FileEntry *find(const unsigned char *pattern, int type) const;

 private:
  // The bucket holding the first slot of the name (its bytes up to its end,
  // padded) and type, or the empty bucket where it would go.
  size_t bucket_of(const unsigned char *key, int type) const;

  std::vector<FileEntry *> slots_;  // in the order find_file_entry tests them
  std::vector<int> table_;          // 1 + an index into slots_, 0 when empty; at most half full
  size_t mask_ = 0;
};

// The status a read handle leaves: whether the open succeeded, and the code
// with its track and sector.
struct ReadOutcome {
  bool opened;
  int code;
  TsPair ts;
};

// What di_open(image, name, type, "rb") and then a single di_read of `budget`
// bytes into a buffer outside the image leave in the image's status, worked
// out without copying a byte. A listing asks this for every file; following
// each chain, round a loop until the budget is used, would cost the number of
// files times the budget. The image must not change meanwhile.
class ReadOutcomes {
 public:
  ReadOutcomes(DiImage *image, int budget);
  ReadOutcome open_and_read(const NameIndex &names, const unsigned char *name, int type);

 private:
  struct Step {
    DiImage *image;
    int operator()(int index) const;
  };
  // A ReadOutcome in four bytes, so that the table of them stays small.
  struct Known {
    std::int8_t state;  // 0 (all zero): not worked out yet; 1 opened; 2 not
    std::int8_t code;   // the codes a read leaves all lie in -1 to 74
    TsPair ts;
  };
  // The status after opening a file whose first block is `first`, valid.
  ReadOutcome read_from(TsPair first);
  // The status after the read has stepped from a full first block to `second`.
  ReadOutcome read_on(TsPair second);

  DiImage *image_;
  int budget_;
  int max_steps_;  // blocks the read may step into after the first
  ChainMap<Step> chains_;
  ZeroedArray<Known> known_;  // by the first block's visited_index
};

}  // namespace diskimage

#endif  // DISKIMAGE_INTERNAL_H
