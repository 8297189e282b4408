// The integrity check: who owns each block, and what disagrees with that.
#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "diskimage/internal.h"

namespace diskimage {
namespace {

// The check's tables live beside the record that hands them out.
struct CheckStorage : DiCheck {
  std::vector<DiDirEntry> file_list;
  std::vector<int> file_block_list;
  std::vector<int> alias_list;
  std::vector<DiBlockState> block_list;
  std::vector<DiProblem> problem_list;
};

DiProblem blank_problem(int kind, int file) {
  DiProblem p{};
  p.kind = kind;
  p.file = file;
  p.part = DI_PART_NONE;
  p.record = -1;
  p.owner = p.second_owner = DI_OWNER_NONE;
  return p;
}

// Owners are stamped with tokens in the order system, directory, files, so
// that a block's first two owners come out in that order.
constexpr int kSystemToken = 0;
constexpr int kDirectoryToken = 1;
constexpr int kFirstFileToken = 2;

int owner_of_token(int token) {
  if (token == kSystemToken) return DI_OWNER_SYSTEM;
  if (token == kDirectoryToken) return DI_OWNER_DIRECTORY;
  return token - kFirstFileToken;
}

// The image's chains as a forest: a block's parent is the block it links to,
// and each loop is one node, a root like a last block. A chain walked from a
// block passes exactly the blocks of the nodes from that block's node up to
// its root, so the blocks that several chains pass together, and the chains
// that pass a block, follow from where the chains start in the forest.
class ChainForest {
 public:
  explicit ChainForest(const DiImage *image)
      : chains_(LinkStep{image, kind_info(image->type)}, kVisitedSize) {
    const KindInfo &kind = *kind_info(image->type);
    std::vector<int> loop_node(kVisitedSize, -1);
    const auto blocks = static_cast<size_t>(kind.blocks);
    weight_.reserve(blocks);
    block_of_.reserve(blocks);
    for (int t = 1; t <= kind.tracks; ++t) {
      for (int s = 0; s < kind.sectors[static_cast<size_t>(t)]; ++s) {
        const int block = visited_index(make_ts(t, s));
        const auto lead = chains_.lead(block);
        int &node = node_of_[static_cast<size_t>(block)];
        if (lead.loops && lead.dist == 0) {
          int &loop = loop_node[static_cast<size_t>(chains_.loop_head(block))];
          if (loop < 0) loop = add_node(chains_.loop_size(block), -1);
          node = loop;
        } else {
          node = add_node(1, block);
        }
      }
    }
    // Parents, once every block has its node.
    parent_.resize(weight_.size());
    for (size_t v = 0; v < weight_.size(); ++v) {
      const int block = block_of_[v];
      const int next = block < 0 ? -1 : chains_.next(block);
      parent_[v] = next < 0 ? -1 : node_of_[static_cast<size_t>(next)];
    }
    order_nodes();
  }

  ChainMap<LinkStep> &chains() { return chains_; }
  int node(TsPair ts) const { return node_of_[static_cast<size_t>(visited_index(ts))]; }
  int size() const { return static_cast<int>(weight_.size()); }
  int parent(int node) const { return parent_[static_cast<size_t>(node)]; }
  // Nodes in an order that puts every node before those below it.
  const std::vector<int> &preorder() const { return preorder_; }
  int order(int node) const { return enter_[static_cast<size_t>(node)]; }
  // Whether `node` is `top` or lies below it.
  bool within(int node, int top) const {
    return enter_[static_cast<size_t>(top)] <= enter_[static_cast<size_t>(node)] &&
           enter_[static_cast<size_t>(node)] < leave_[static_cast<size_t>(top)];
  }
  // Blocks from the node's up to its root's, both counted.
  int depth(int node) const { return depth_[static_cast<size_t>(node)]; }

  // The lowest node that both lie within, or -1 when they share no root.
  int meet(int a, int b) {
    if (root_[static_cast<size_t>(a)] != root_[static_cast<size_t>(b)]) return -1;
    if (up_.empty()) build_jumps();
    if (within(b, a)) return a;
    for (int k = kJumps - 1; k >= 0; --k) {
      const int above = up_[static_cast<size_t>(k * size() + a)];
      if (!within(b, above)) a = above;
    }
    return parent(a);
  }

 private:
  // 2^12 > kVisitedSize: enough jumps to climb any tree.
  static constexpr int kJumps = 12;

  int add_node(int weight, int block) {
    weight_.push_back(weight);
    block_of_.push_back(block);
    return static_cast<int>(weight_.size()) - 1;
  }

  void order_nodes() {
    const auto n = static_cast<size_t>(size());
    std::vector<int> first_child(n + 1, 0), children(n);
    for (size_t v = 0; v < n; ++v)
      if (parent_[v] >= 0) ++first_child[static_cast<size_t>(parent_[v]) + 1];
    for (size_t v = 0; v < n; ++v) first_child[v + 1] += first_child[v];
    std::vector<int> filled(first_child.begin(), first_child.end() - 1);
    for (size_t v = 0; v < n; ++v)
      if (parent_[v] >= 0)
        children[static_cast<size_t>(filled[static_cast<size_t>(parent_[v])]++)] =
            static_cast<int>(v);
    enter_.assign(n, 0);
    leave_.assign(n, 0);
    depth_.assign(n, 0);
    root_.assign(n, 0);
    std::vector<int> stack;
    for (size_t r = 0; r < n; ++r) {
      if (parent_[r] >= 0) continue;
      stack.push_back(static_cast<int>(r));
      while (!stack.empty()) {
        const auto v = static_cast<size_t>(stack.back());
        stack.pop_back();
        enter_[v] = static_cast<int>(preorder_.size());
        preorder_.push_back(static_cast<int>(v));
        const int up = parent_[v];
        depth_[v] = weight_[v] + (up < 0 ? 0 : depth_[static_cast<size_t>(up)]);
        root_[v] = up < 0 ? static_cast<int>(v) : root_[static_cast<size_t>(up)];
        for (int c = first_child[v]; c < first_child[v + 1]; ++c)
          stack.push_back(children[static_cast<size_t>(c)]);
      }
    }
    // A node's subtree is the run of the preorder that it starts.
    std::vector<int> below(n, 1);
    for (size_t i = n; i-- > 0;) {
      const auto v = static_cast<size_t>(preorder_[i]);
      leave_[v] = enter_[v] + below[v];
      if (parent_[v] >= 0) below[static_cast<size_t>(parent_[v])] += below[v];
    }
  }

  void build_jumps() {
    const auto n = static_cast<size_t>(size());
    up_.resize(kJumps * n);
    for (size_t v = 0; v < n; ++v) up_[v] = parent_[v] < 0 ? static_cast<int>(v) : parent_[v];
    for (size_t k = 1; k < kJumps; ++k)
      for (size_t v = 0; v < n; ++v)
        up_[k * n + v] = up_[(k - 1) * n + static_cast<size_t>(up_[(k - 1) * n + v])];
  }

  ChainMap<LinkStep> chains_;
  std::vector<int> node_of_ = std::vector<int>(kVisitedSize, -1);
  std::vector<int> weight_, block_of_, parent_;  // per node; block_of_ -1 for a loop
  std::vector<int> preorder_, enter_, leave_, depth_, root_;
  std::vector<int> up_;  // up_[k * size() + v]: 2^k parents above v, or its root
};

class Checker {
 public:
  Checker(const DiImage *image, const DiListing &listing, CheckStorage &out)
      : image_(image),
        listing_(listing),
        out_(out),
        kind_(*kind_info(image->type)),
        owned_by_(static_cast<size_t>(kind_.blocks), -1),
        forest_(image),
        chain_owners_(static_cast<size_t>(forest_.size())),
        chain_first_(static_cast<size_t>(forest_.size()), {-1, -1}) {}

  void run() {
    init_blocks();
    for (int i = 0; i < kind_.system_block_count; ++i)
      add_owner(kind_.system_blocks[i], kSystemToken);
    take_directory();
    out_.file_block_list.assign(out_.file_list.size(), 0);
    alias_count_.assign(out_.file_list.size(), 0);
    find_aliases();
    for (size_t f = 0; f < out_.file_list.size(); ++f) check_file(static_cast<int>(f));
    add_file_owners();
    check_blocks();
    check_bam_counts();
    judge();
  }

 private:
  // A block a file owns without following its link.
  struct Single {
    int block;  // block_num
    int token;
  };

  int block_num(TsPair ts) const { return kind_.block_num(ts); }
  const unsigned char *block_at(TsPair ts) const { return diskimage::block_at(image_, kind_, ts); }

  void init_blocks() {
    out_.block_list.reserve(static_cast<size_t>(kind_.blocks));
    // The BAM is read through the library's queries, which only set a
    // status for blocks that do not exist; these all do.
    DiImage *image = const_cast<DiImage *>(image_);
    for (int t = 1; t <= kind_.tracks; ++t) {
      const bool in_bam = di_track_in_bam(image, t);
      for (int s = 0; s < kind_.sectors[static_cast<size_t>(t)]; ++s) {
        DiBlockState b{};
        b.ts = make_ts(t, s);
        b.in_bam = in_bam;
        b.in_use = in_bam && !di_is_ts_free(image, b.ts);
        b.reserved = t == kind_.reserved_track && s != 0;
        b.error = get_ts_doserr(image, b.ts);
        b.owner = b.second_owner = DI_OWNER_NONE;
        out_.block_list.push_back(b);
      }
    }
  }

  // Returns true when the block is new to this owner.
  bool add_owner(TsPair ts, int token) {
    const int n = block_num(ts);
    if (owned_by_[n] == token) return false;
    owned_by_[n] = token;
    DiBlockState &b = out_.block_list[n];
    if (b.owner_count == 0) {
      b.owner = owner_of_token(token);
    } else if (b.owner_count == 1) {
      b.second_owner = owner_of_token(token);
    }
    ++b.owner_count;
    if (token >= kFirstFileToken) ++out_.file_block_list[token - kFirstFileToken];
    return true;
  }

  // The directory as the listing read it: its link from the BAM block, its
  // blocks, its slots, and the status that ended it early, if one did.
  void take_directory() {
    if (listing_.link_broken) {
      DiProblem p = blank_problem(DI_PROBLEM_DIR_LINK, -1);
      p.expected = listing_.link_expected;
      p.link = listing_.link_found;
      out_.problem_list.push_back(p);
    }
    for (int i = 0; i < listing_.dir_block_count; ++i)
      add_owner(listing_.dir_blocks[i], kDirectoryToken);
    out_.file_list.reserve(static_cast<size_t>(listing_.file_count));
    for (int i = 0; i < listing_.file_count; ++i) out_.file_list.push_back(listing_.files[i].dir);
    const DiStatus stopped = !listing_.opened        ? listing_.open_status
                             : !listing_.header_read ? listing_.header_status
                                                     : listing_.stop;
    if (listing_.opened && listing_.header_read && stopped.code == 0) return;
    DiProblem p = blank_problem(DI_PROBLEM_DIRECTORY, -1);
    p.status = stopped.code;
    p.block = stopped.ts;
    out_.problem_list.push_back(p);
  }

  void report_walk(int file, int part, int record, TsPair first, bool follow_links) {
    DiProblem p = blank_problem(DI_PROBLEM_ILLEGAL_FIRST, file);
    p.part = part;
    p.record = record;
    if (!kind_.valid(first)) {
      p.link = first;
      out_.problem_list.push_back(p);
      return;
    }
    if (!follow_links) return;
    // A walk ends at its last block, bad when that links to no block, or
    // comes back to the first block of the loop it runs into.
    const auto lead = forest_.chains().lead(visited_index(first));
    const TsPair root = ts_of_visited_index(lead.root);
    if (lead.loops) {
      p.kind = DI_PROBLEM_LOOP;
      p.block = root;
    } else {
      const TsPair link = stored_link(block_at(root));
      if (link.track == 0) return;
      p.kind = DI_PROBLEM_BAD_LINK;
      p.block = root;
      p.link = link;
    }
    out_.problem_list.push_back(p);
  }

  // One walk of a file: its problems and its blocks.
  void walk_part(int file, int part, int record, TsPair first, bool follow_links) {
    if (first.track == 0) return;
    report_walk(file, part, record, first, follow_links);
    if (!kind_.valid(first)) return;
    if (follow_links) {
      starts_.push_back(forest_.node(first));
    } else {
      singles_.push_back(first);
    }
  }

  // Works out what the file's walks own together: the union of the paths
  // from their starts to their roots, and the single blocks not on those
  // paths. Taken in the order they enter the forest, each start adds its path
  // less the part it shares with the previous start's. Marking +1 at each
  // start and -1 where it meets the previous one makes the sum over the nodes
  // below any node 1 when the file passes it and 0 when not.
  void own_file(int file) {
    const int token = file + kFirstFileToken;
    std::sort(starts_.begin(), starts_.end(),
              [&](int a, int b) { return forest_.order(a) < forest_.order(b); });
    starts_.erase(std::unique(starts_.begin(), starts_.end()), starts_.end());
    int owned = 0;
    for (size_t i = 0; i < starts_.size(); ++i) {
      const int node = starts_[i];
      owned += forest_.depth(node);
      ++chain_owners_[static_cast<size_t>(node)];
      std::array<int, 2> &first = chain_first_[static_cast<size_t>(node)];
      if (first[0] < 0) {
        first[0] = token;
      } else if (first[0] != token && first[1] < 0) {
        first[1] = token;
      }
      const int meet = i == 0 ? -1 : forest_.meet(starts_[i - 1], node);
      if (meet >= 0) {
        owned -= forest_.depth(meet);
        --chain_owners_[static_cast<size_t>(meet)];
      }
    }
    std::sort(singles_.begin(), singles_.end(),
              [&](TsPair a, TsPair b) { return block_num(a) < block_num(b); });
    for (size_t i = 0; i < singles_.size(); ++i) {
      const int block = block_num(singles_[i]);
      if (i > 0 && block == block_num(singles_[i - 1])) continue;
      const int top = forest_.node(singles_[i]);
      const auto below =
          std::lower_bound(starts_.begin(), starts_.end(), forest_.order(top),
                           [&](int node, int order) { return forest_.order(node) < order; });
      if (below != starts_.end() && forest_.within(*below, top)) continue;
      ++owned;
      single_owners_.push_back({block, token});
    }
    out_.file_block_list[static_cast<size_t>(file)] = owned;
    starts_.clear();
    singles_.clear();
  }

  // Adds the files' ownership to the blocks, after the system's and the
  // directory's: sums over the nodes below each node, then per block the
  // owners through chains and through single blocks, the first two in order.
  void add_file_owners() {
    const std::vector<int> &preorder = forest_.preorder();
    for (size_t i = preorder.size(); i-- > 0;) {
      const int node = preorder[i];
      const int up = forest_.parent(node);
      if (up < 0) continue;
      chain_owners_[static_cast<size_t>(up)] += chain_owners_[static_cast<size_t>(node)];
      chain_first_[static_cast<size_t>(up)] =
          first_two(chain_first_[static_cast<size_t>(up)], chain_first_[static_cast<size_t>(node)]);
    }
    std::stable_sort(single_owners_.begin(), single_owners_.end(),
                     [](const Single &a, const Single &b) { return a.block < b.block; });
    size_t next_single = 0;
    for (size_t n = 0; n < out_.block_list.size(); ++n) {
      DiBlockState &b = out_.block_list[n];
      const auto block = static_cast<int>(n);
      const auto node = static_cast<size_t>(forest_.node(b.ts));
      std::array<int, 2> tokens = chain_first_[node];
      int count = chain_owners_[node];
      for (; next_single < single_owners_.size() && single_owners_[next_single].block == block;
           ++next_single) {
        ++count;
        tokens = first_two(tokens, {single_owners_[next_single].token, -1});
      }
      for (int i = 0; i < 2 && tokens[static_cast<size_t>(i)] >= 0; ++i) {
        const int owner = owner_of_token(tokens[static_cast<size_t>(i)]);
        if (b.owner_count + i == 0) {
          b.owner = owner;
        } else if (b.owner_count + i == 1) {
          b.second_owner = owner;
        }
      }
      b.owner_count += count;
    }
  }

  // The two smallest different tokens of both pairs; -1 fills a pair.
  static std::array<int, 2> first_two(std::array<int, 2> a, std::array<int, 2> b) {
    std::array<int, 2> out{-1, -1};
    size_t n = 0, i = 0, j = 0;
    while (n < 2 && (i < 2 || j < 2)) {
      const int x = i < 2 ? a[i] : -1;
      const int y = j < 2 ? b[j] : -1;
      int take;
      if (x < 0 && y < 0) break;
      if (y < 0 || (x >= 0 && x <= y)) {
        take = x;
        ++i;
        if (x == y) ++j;
      } else {
        take = y;
        ++j;
      }
      out[n++] = take;
    }
    return out;
  }

  // Entries whose data chains start at the same block are aliases, as in
  // directory art or two names for one file; the first in listing order
  // heads the group.
  void find_aliases() {
    const size_t files = out_.file_list.size();
    out_.alias_list.assign(files, -1);
    std::vector<int> head_at(static_cast<size_t>(kind_.blocks), -1);
    for (size_t f = 0; f < files; ++f) {
      const TsPair first = out_.file_list[f].slot.first_ts;
      int &head = first.track != 0 && kind_.valid(first)
                      ? head_at[static_cast<size_t>(block_num(first))]
                      : out_.alias_list[f];
      if (head < 0) head = static_cast<int>(f);
      out_.alias_list[f] = head;
      if (head != static_cast<int>(f)) ++alias_count_[static_cast<size_t>(head)];
    }
  }

  void check_file(int f) {
    const FileEntry &slot = out_.file_list[f].slot;
    const int type = slot.type & DI_TYPE_MASK;
    if (!(slot.type & DI_CLOSED))
      out_.problem_list.push_back(blank_problem(DI_PROBLEM_UNCLOSED, f));
    // A group's other members are the head's blocks under another name.
    if (out_.alias_list[static_cast<size_t>(f)] != f) return;

    const bool geos = slot_is_geos(slot);
    const bool vlir = slot_is_vlir(slot);
    const TsPair extra = slot_extra_ts(slot);

    walk_part(f, DI_PART_DATA, -1, slot.first_ts, !vlir);
    if (vlir && kind_.valid(slot.first_ts)) {
      const unsigned char *list = block_at(slot.first_ts) + kDataStart;
      for (int r = 0; r < kRecordPairs; ++r) {
        const TsPair start = make_ts(list[2 * r], list[2 * r + 1]);
        if (start.track == 0 && start.sector == 0) break;
        walk_part(f, DI_PART_RECORD, r, start, true);
      }
    }
    if (type == DI_FT_REL) walk_part(f, DI_PART_SIDE_SECTORS, -1, extra, true);
    if (geos) walk_part(f, DI_PART_INFO, -1, extra, false);
    own_file(f);

    const int stated = slot_blocks(slot);
    if (stated != out_.file_block_list[f]) {
      DiProblem p = blank_problem(DI_PROBLEM_COUNT_MISMATCH, f);
      p.stated = stated;
      p.counted = out_.file_block_list[f];
      out_.problem_list.push_back(p);
    }
    const int aliases = alias_count_[static_cast<size_t>(f)];
    if (aliases > 0) {
      DiProblem p = blank_problem(DI_PROBLEM_ALIAS, f);
      p.block = slot.first_ts;
      p.owner_count = aliases + 1;
      out_.problem_list.push_back(p);
    }
  }

  // What each block is and what is wrong with it, and from that the block
  // problems: the one place these rules are written.
  void check_blocks() {
    for (DiBlockState &b : out_.block_list) {
      const bool owned = b.owner_count > 0;
      // A block outside the BAM is neither free nor in use.
      if (owned && b.in_bam && !b.in_use) {
        b.state = DI_BLOCK_USED_BUT_FREE;
      } else if (owned) {
        b.state = b.owner == DI_OWNER_SYSTEM      ? DI_BLOCK_SYSTEM
                  : b.owner == DI_OWNER_DIRECTORY ? DI_BLOCK_DIRECTORY
                                                  : DI_BLOCK_FILE;
      } else if (!b.in_bam) {
        b.state = DI_BLOCK_OUTSIDE_BAM;
      } else if (!b.in_use) {
        b.state = DI_BLOCK_FREE;
      } else {
        b.state = b.reserved ? DI_BLOCK_RESERVED : DI_BLOCK_UNUSED;
      }
      b.marks = (b.error != 1 ? (owned ? DI_MARK_DAMAGED : DI_MARK_ERROR) : 0) |
                (b.owner_count >= 2 ? DI_MARK_SHARED : 0) |
                (b.state == DI_BLOCK_USED_BUT_FREE ? DI_MARK_BAM_FREE : 0);

      // The file concerned: the first file among the owners named.
      const int file = b.owner >= 0 ? b.owner : b.second_owner >= 0 ? b.second_owner : -1;
      if (b.marks & DI_MARK_SHARED) {
        DiProblem p = blank_problem(DI_PROBLEM_SHARED, file);
        p.block = b.ts;
        p.owner = b.owner;
        p.second_owner = b.second_owner;
        p.owner_count = b.owner_count;
        out_.problem_list.push_back(p);
      }
      if (b.marks & DI_MARK_BAM_FREE) {
        DiProblem p = blank_problem(DI_PROBLEM_USED_BUT_FREE, file);
        p.block = b.ts;
        p.owner = b.owner;
        out_.problem_list.push_back(p);
      }
      if (b.state == DI_BLOCK_UNUSED) {
        DiProblem p = blank_problem(DI_PROBLEM_ALLOCATED_UNUSED, -1);
        p.block = b.ts;
        out_.problem_list.push_back(p);
      }
      if (b.marks & DI_MARK_DAMAGED) {
        DiProblem p = blank_problem(DI_PROBLEM_DAMAGED, file);
        p.block = b.ts;
        p.owner = b.owner;
        p.error = b.error;
        out_.problem_list.push_back(p);
      }
    }
  }

  void check_bam_counts() {
    DiImage *image = const_cast<DiImage *>(image_);  // as in init_blocks
    for (int t = 1; t <= kind_.tracks; ++t) {
      if (!di_track_in_bam(image, t)) continue;
      const int stored = di_track_blocks_free(image, t);
      const int counted = bam_bits_set(image, t);
      if (stored == counted) continue;
      DiProblem p = blank_problem(DI_PROBLEM_BAM_COUNT, -1);
      p.block = make_ts(t, 0);
      p.stated = stored;
      p.counted = counted;
      out_.problem_list.push_back(p);
    }
  }

  // Every problem's severity, and the verdict they make.
  void judge() {
    for (DiProblem &p : out_.problem_list) {
      p.severity = di_problem_severity(p.kind);
      ++(p.severity == DI_SEVERITY_LOSS   ? out_.loss_count
         : p.severity == DI_SEVERITY_RISK ? out_.risk_count
                                          : out_.note_count);
    }
    out_.verdict = out_.loss_count   ? DI_VERDICT_DAMAGED
                   : out_.risk_count ? DI_VERDICT_AT_RISK
                                     : DI_VERDICT_INTACT;
  }

  const DiImage *image_;
  const DiListing &listing_;
  CheckStorage &out_;
  const KindInfo &kind_;
  std::vector<int> owned_by_;  // the last owner token stamped on each block
  ChainForest forest_;
  std::vector<int> starts_;        // the forest nodes where the current file's walks start
  std::vector<TsPair> singles_;    // the blocks it owns without following links
  std::vector<int> chain_owners_;  // per node, see own_file
  std::vector<std::array<int, 2>> chain_first_;  // per node: first two tokens starting below
  std::vector<Single> single_owners_;            // single blocks on no path of their file
  std::vector<int> alias_count_;                 // per group head: its other members
};

}  // namespace
}  // namespace diskimage

using namespace diskimage;

extern "C" {

DiCheck *di_check_listing(const DiImage *image, const DiListing *listing) {
  if (!kind_info(image->type)) return nullptr;
  CheckStorage *check = nullptr;
  try {
    check = new CheckStorage{};
    Checker(image, *listing, *check).run();
  } catch (const std::bad_alloc &) {
    delete check;
    return nullptr;
  }
  check->file_count = static_cast<int>(check->file_list.size());
  check->files = check->file_list.data();
  check->file_blocks = check->file_block_list.data();
  check->alias_of = check->alias_list.data();
  check->block_count = static_cast<int>(check->block_list.size());
  check->blocks = check->block_list.data();
  check->problem_count = static_cast<int>(check->problem_list.size());
  check->problems = check->problem_list.data();
  return check;
}

DiCheck *di_check(DiImage *image) {
  // The listing reads through the library's own handles, which set the
  // status; the caller's status is put back as it was.
  const int status = image->status;
  const TsPair status_ts = image->status_ts;
  DiListing *listing = di_listing(image, 0);
  DiCheck *check = listing ? di_check_listing(image, listing) : nullptr;
  di_listing_free(listing);
  image->status = status;
  image->status_ts = status_ts;
  return check;
}

int di_problem_severity(int kind) {
  // By kind, in the order of the DI_PROBLEM_* values.
  static constexpr int kSeverity[DI_PROBLEM_KIND_COUNT] = {
      DI_SEVERITY_RISK,  // dir-link
      DI_SEVERITY_LOSS,  // directory
      DI_SEVERITY_RISK,  // unclosed
      DI_SEVERITY_LOSS,  // illegal-first
      DI_SEVERITY_LOSS,  // bad-link
      DI_SEVERITY_LOSS,  // loop
      DI_SEVERITY_NOTE,  // count-mismatch
      DI_SEVERITY_LOSS,  // shared
      DI_SEVERITY_RISK,  // used-but-free
      DI_SEVERITY_NOTE,  // allocated-unused
      DI_SEVERITY_LOSS,  // damaged
      DI_SEVERITY_RISK,  // bam-count
      DI_SEVERITY_NOTE,  // alias
  };
  return kind >= 0 && kind < DI_PROBLEM_KIND_COUNT ? kSeverity[kind] : -1;
}

void di_check_free(DiCheck *check) {
  delete static_cast<CheckStorage *>(check);
}

}  // extern "C"
