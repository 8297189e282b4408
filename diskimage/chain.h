// Following chains of blocks: how a block leads to the next, the bound every
// walk keeps, and how a walk ends. Internal to the library: see internal.h.
//
// A chain on a damaged image may link to a block that does not exist or run
// back into itself. Every walk here stops at both, so no image content can
// make one read outside the image or go on forever. There are two ways to
// walk, over the same rule for the next block:
//
//  - walk_chain follows one chain, with a visited set for its bound. Directory
//    lookups, freeing a chain and extending the directory use it, and so does
//    reading a file whole for extraction, with the reading step below.
//  - ChainMap answers for every block at once where the walk from it leads:
//    its last block, or the loop it runs into, and how far. It resolves each
//    block once, so the listing's worked-out reads and the check, which ask
//    about every file of an image, cost as much as the image's blocks however
//    many chains share or loop. Following each chain on its own instead would
//    cost the number of files times the chain length, which a crafted image
//    makes 25,000 times 3,200 blocks.
//
// di_read keeps its own loop: it delivers bytes and goes on round a loop as
// the drive would (status 52), which no bounded walk does. It takes its next
// block from read_link_after below, like ReadStep, and a differential test
// holds the listing's worked-out reads to what di_open and di_read leave.
#ifndef DISKIMAGE_CHAIN_H
#define DISKIMAGE_CHAIN_H

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "diskimage/layout.h"

namespace diskimage {

// The link stored in bytes 0-1 of a block.
inline TsPair stored_link(const unsigned char *block) {
  return make_ts(block[kLinkTrack], block[kLinkSector]);
}

// Where reading goes on after block ts, whose link does not end the chain:
// the link, except that a kind with a fixed directory start steps there from
// the header block whatever the header's link says.
inline TsPair read_link_after(const KindInfo &kind, TsPair ts, TsPair link) {
  if (kind.dir_ts_fixed && same_ts(ts, kind.header_ts)) return kind.dir_ts;
  return link;
}

// The steps walk_chain can take from block ts, whose stored link is `link`:
// to the link as stored, or on as reading goes (a link of track 0 still ends
// the chain, whatever block holds it).
struct FollowLink {
  TsPair operator()(TsPair, TsPair link) const { return link; }
};
struct ReadOn {
  const KindInfo *kind;
  TsPair operator()(TsPair ts, TsPair link) const {
    return link.track == 0 ? link : read_link_after(*kind, ts, link);
  }
};

// ---- One chain --------------------------------------------------------------

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

// Walks a chain of blocks from `first`, taking each next block by `step`
// (the stored links by default), calling visit(ts, block) for each block;
// visit returns false to stop early.
template <typename Visit, typename Step = FollowLink>
ChainEnd walk_chain(DiImage *image, TsPair first, Visit &&visit, Step step = {}) {
  const KindInfo *kind = kind_info(image->type);
  // Kept in bits: every open by name walks the directory, so clearing this
  // set is part of the listing's inner loop.
  std::bitset<kVisitedSize> visited;
  TsPair last{0, 0};
  TsPair ts = first;
  while (ts.track != 0) {
    if (!kind || !kind->valid(ts))
      return {last, last.track == 0 ? ChainStop::kIllegalFirst : ChainStop::kBadLink, ts};
    if (visited[visited_index(ts)]) return {last, ChainStop::kLoop, ts};
    visited[visited_index(ts)] = true;
    last = ts;
    unsigned char *block = block_at(image, *kind, ts);
    if (!visit(ts, block)) break;
    ts = step(ts, stored_link(block));
  }
  return {last, ChainStop::kEnd, ts};
}

// ---- Every chain at once ------------------------------------------------------

// The two rules for the next block, as ChainMap asks them: a block's
// visited_index gives the next block's, or -1 where walks stop.
//
// LinkStep: the stored link, wherever it is a block. The check's walks.
struct LinkStep {
  const DiImage *image;
  const KindInfo *kind;
  int operator()(int index) const;
};

// ReadStep: where di_read goes on, stopping in front of nothing but stopping
// at a block it would not leave: one whose error byte reports an error, or
// whose link ends the chain or names no block. The listing's reads.
struct ReadStep {
  const DiImage *image;
  const KindInfo *kind;
  int operator()(int index) const;
};

// What di_read stops with as it enters block ts, in the order it tests: the
// block's error code, 66 with a link that names no block, -1 for an empty
// last block (link 0/0). Code 0 when it takes the block's data.
DiStatus read_stop(const DiImage *image, const KindInfo &kind, TsPair ts);

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
// block (`next`, above): a walk either reaches a block with no next block,
// its last, or runs into a loop, passing `dist` blocks before it. Each block
// is resolved once, when first asked about.
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

  // The next block as resolved; only for blocks asked about already.
  int next(int block) const { return nodes_[block].next; }

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

}  // namespace diskimage

#endif  // DISKIMAGE_CHAIN_H
