// The two rules for the next block that ChainMap walks by.
#include "diskimage/internal.h"

namespace diskimage {

LinkStep::LinkStep(const DiImage *image) : next_(kVisitedSize, -1) {
  // Blocks lie in the image in track and sector order.
  const KindInfo &kind = *kind_info(image->type);
  const unsigned char *block = image->blocks;
  for (int t = 1; t <= kind.tracks; ++t) {
    for (int s = 0; s < kind.sectors[static_cast<size_t>(t)]; ++s, block += kBlockSize) {
      const TsPair link = stored_link(block);
      if (link.track != 0 && kind.valid(link))
        next_[static_cast<size_t>(visited_index(make_ts(t, s)))] = visited_index(link);
    }
  }
}

int ReadStep::operator()(int index) const {
  // Called once for every block a listing's files pass, so the block is
  // numbered once for its error byte and its link.
  const TsPair ts = ts_of_visited_index(index);
  const int block = kind->block_num(ts);
  if (block_error_code(image, block) != 0) return -1;
  const TsPair link = stored_link(image->blocks + static_cast<size_t>(block) * kBlockSize);
  if (link.track == 0 || !kind->valid(link)) return -1;
  return visited_index(read_link_after(*kind, ts, link));
}

}  // namespace diskimage
