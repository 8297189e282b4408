// The listing's scan: every listed file opened by its raw name and read, as
// a drive would, worked out for a whole directory at the cost of one pass
// over the image. Internal to the library: see internal.h.
#ifndef DISKIMAGE_LISTING_H
#define DISKIMAGE_LISTING_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "diskimage/chain.h"

namespace diskimage {

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
  DiStatus status;
};

// What di_open(image, name, type, "rb") and then a single di_read of `budget`
// bytes into a buffer outside the image leave in the image's status, worked
// out without copying a byte: following each chain, round a loop until the
// budget is used, would cost the number of files times the budget. The image
// must not change meanwhile.
class ReadOutcomes {
 public:
  ReadOutcomes(DiImage *image, int budget);
  ReadOutcome open_and_read(const NameIndex &names, const unsigned char *name, int type);

 private:
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
  // What entering `ts` as a block after the first leaves when the read
  // cannot go on past it.
  ReadOutcome stop_at(TsPair ts) const;

  DiImage *image_;
  const KindInfo &kind_;
  int budget_;
  int max_steps_;  // blocks the read may step into after the first
  ChainMap<ReadStep> chains_;
  ZeroedArray<Known> known_;  // by the first block's visited_index
};

}  // namespace diskimage

#endif  // DISKIMAGE_LISTING_H
