// The rules for the next block that ChainMap walks by, and where a read stops.
#include "diskimage/internal.h"

namespace diskimage {

int LinkStep::operator()(int index) const {
  const TsPair ts = ts_of_visited_index(index);
  const TsPair link = stored_link(block_at(image, *kind, ts));
  return link.track != 0 && kind->valid(link) ? visited_index(link) : -1;
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

DiStatus read_stop(const DiImage *image, const KindInfo &kind, TsPair ts) {
  const int block = kind.block_num(ts);
  const int err = block_error_code(image, block);
  if (err != 0) return {err, ts};
  const TsPair link = stored_link(image->blocks + static_cast<size_t>(block) * kBlockSize);
  if (link.track != 0 && !kind.valid(link)) return {DI_STATUS_ILLEGAL_TS, link};
  if (link.track == 0 && link.sector == 0) return {DI_STATUS_UNKNOWN, ts};
  return {DI_STATUS_OK, {0, 0}};
}

}  // namespace diskimage
