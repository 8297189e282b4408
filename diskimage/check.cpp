// The integrity check: who owns each block, and what disagrees with that.
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

class Checker {
 public:
  Checker(DiImage *image, CheckStorage &out)
      : image_(image),
        out_(out),
        kind_(*kind_info(image->type)),
        owned_by_(static_cast<size_t>(kind_.blocks), -1),
        walked_by_(static_cast<size_t>(kind_.blocks), -1),
        walk_memo_(static_cast<size_t>(kind_.blocks)) {}

  void run() {
    init_blocks();
    for (int i = 0; i < kind_.system_block_count; ++i)
      add_owner(kind_.system_blocks[i], kSystemToken);
    check_dir_link();
    read_directory();
    out_.file_block_list.assign(out_.file_list.size(), 0);
    for (size_t f = 0; f < out_.file_list.size(); ++f) check_file(static_cast<int>(f));
    check_blocks();
    check_bam_counts();
  }

 private:
  struct Memo {
    bool known = false;
    ChainEnd end{};
  };

  int block_num(TsPair ts) const { return get_block_num(image_->type, ts); }

  void init_blocks() {
    out_.block_list.reserve(static_cast<size_t>(kind_.blocks));
    for (int t = 1; t <= kind_.tracks; ++t) {
      for (int s = 0; s < di_sectors_per_track(image_->type, t); ++s) {
        DiBlockState b{};
        b.ts = make_ts(t, s);
        b.in_use = !di_is_ts_free(image_, b.ts);
        b.reserved = t == kind_.reserved_track && s != 0;
        b.error = di_get_ts_error_byte(image_, b.ts);
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

  void check_dir_link() {
    // Only the 1541 family keeps the link in the BAM block; the listing
    // compares it the same way.
    if (image_->type == D81) return;
    const unsigned char *bam = di_get_ts_addr(image_, image_->bam_ts);
    const TsPair expected = di_get_dir_ts(image_);
    if (bam[kLinkTrack] == expected.track && bam[kLinkSector] == expected.sector) return;
    DiProblem p = blank_problem(DI_PROBLEM_DIR_LINK, -1);
    p.expected = expected;
    p.link = make_ts(bam[kLinkTrack], bam[kLinkSector]);
    out_.problem_list.push_back(p);
  }

  void directory_stopped() {
    char text[DI_STATUS_SIZE];
    DiProblem p = blank_problem(DI_PROBLEM_DIRECTORY, -1);
    p.status = di_status(image_, text);
    std::memcpy(out_.dir_status_text, text, sizeof text);
    out_.problem_list.push_back(p);
  }

  void read_directory() {
    DiDirReader reader;
    if (!di_dir_open(image_, &reader)) {
      directory_stopped();
      return;
    }
    // Closed however the reading ends, running out of memory included, so
    // that the image's count of open handles is back where it was.
    struct Closer {
      DiDirReader *reader;
      ~Closer() { di_dir_close(reader); }
    } closer{&reader};
    if (!di_dir_read_header(&reader)) {
      directory_stopped();
    } else {
      while (dir_read_block(&reader)) {
        add_owner(reader.dir->ts, kDirectoryToken);
        for (int i = 0; i < kSlotsPerBlock; ++i) {
          DiDirEntry entry;
          if (dir_slot(&reader, i, &entry)) out_.file_list.push_back(entry);
        }
      }
      if (reader.stop != 0) directory_stopped();
    }
  }

  // A chain walk ends the same way whoever starts it, so each start is
  // walked once however many files share it.
  const ChainEnd &walk_from(TsPair first) {
    Memo &memo = walk_memo_[block_num(first)];
    if (!memo.known) {
      memo.end = walk_chain(image_, first, [](TsPair, unsigned char *) { return true; });
      memo.known = true;
    }
    return memo.end;
  }

  // Stamps every block of the chain from `first` as the file's. A block the
  // file's chains passed already leads on exactly as before, so the stamping
  // stops there: each file pays once per block it owns.
  void own_chain(TsPair first, int token) {
    TsPair ts = first;
    while (ts.track != 0 && di_ts_is_valid(image_->type, ts)) {
      const int n = block_num(ts);
      if (walked_by_[n] == token) return;
      walked_by_[n] = token;
      add_owner(ts, token);
      ts = next_ts_in_chain(image_, ts);
    }
  }

  void report_walk(int file, int part, int record, TsPair first, bool follow_links) {
    DiProblem p = blank_problem(DI_PROBLEM_ILLEGAL_FIRST, file);
    p.part = part;
    p.record = record;
    if (!di_ts_is_valid(image_->type, first)) {
      p.link = first;
      out_.problem_list.push_back(p);
      return;
    }
    if (!follow_links) return;
    const ChainEnd &end = walk_from(first);
    if (end.stop == ChainStop::kBadLink) {
      p.kind = DI_PROBLEM_BAD_LINK;
      p.block = end.last;
      p.link = end.link;
    } else if (end.stop == ChainStop::kLoop) {
      p.kind = DI_PROBLEM_LOOP;
      p.block = end.link;
    } else {
      return;
    }
    out_.problem_list.push_back(p);
  }

  // One walk of a file: its problems (when reported) and its blocks.
  void walk_part(int file, int part, int record, TsPair first, bool follow_links, bool report) {
    if (first.track == 0) return;
    if (report) report_walk(file, part, record, first, follow_links);
    if (!di_ts_is_valid(image_->type, first)) return;
    const int token = file + kFirstFileToken;
    if (follow_links) {
      own_chain(first, token);
    } else {
      add_owner(first, token);
    }
  }

  void check_file(int f) {
    const FileEntry &slot = out_.file_list[f].slot;
    const auto *bytes = reinterpret_cast<const unsigned char *>(&slot);
    const int type = slot.type & kTypeMask;
    if (!(slot.type & kClosed)) out_.problem_list.push_back(blank_problem(DI_PROBLEM_UNCLOSED, f));

    const bool geos = type >= 1 && type <= 3 && bytes[kSlotGeosType] != 0;
    const bool vlir = geos && bytes[kSlotGeosStructure] == kGeosVlir;
    const TsPair extra = make_ts(bytes[kSlotSideSectors], bytes[kSlotSideSectors + 1]);

    walk_part(f, DI_PART_DATA, -1, slot.first_ts, !vlir, true);
    if (vlir && di_ts_is_valid(image_->type, slot.first_ts)) {
      // A record list shared with an earlier file has told its problems there.
      const bool report = vlir_lists_.insert(block_num(slot.first_ts));
      const unsigned char *list = di_get_ts_addr(image_, slot.first_ts) + kDataStart;
      for (int r = 0; r < kRecordPairs; ++r) {
        const TsPair start = make_ts(list[2 * r], list[2 * r + 1]);
        if (start.track == 0 && start.sector == 0) break;
        walk_part(f, DI_PART_RECORD, r, start, true, report);
      }
    }
    if (type == kRelType) walk_part(f, DI_PART_SIDE_SECTORS, -1, extra, true, true);
    if (geos) walk_part(f, DI_PART_INFO, -1, extra, false, true);

    const int stated = slot.blocks[0] | slot.blocks[1] << 8;
    if (stated != out_.file_block_list[f]) {
      DiProblem p = blank_problem(DI_PROBLEM_COUNT_MISMATCH, f);
      p.stated = stated;
      p.counted = out_.file_block_list[f];
      out_.problem_list.push_back(p);
    }
  }

  void check_blocks() {
    for (const DiBlockState &b : out_.block_list) {
      // The file concerned: the first file among the owners named.
      const int file = b.owner >= 0 ? b.owner : b.second_owner >= 0 ? b.second_owner : -1;
      if (b.owner_count >= 2) {
        DiProblem p = blank_problem(DI_PROBLEM_SHARED, file);
        p.block = b.ts;
        p.owner = b.owner;
        p.second_owner = b.second_owner;
        p.owner_count = b.owner_count;
        out_.problem_list.push_back(p);
      }
      if (b.owner_count > 0 && !b.in_use) {
        DiProblem p = blank_problem(DI_PROBLEM_USED_BUT_FREE, file);
        p.block = b.ts;
        p.owner = b.owner;
        out_.problem_list.push_back(p);
      }
      if (b.owner_count == 0 && b.in_use && !b.reserved) {
        DiProblem p = blank_problem(DI_PROBLEM_ALLOCATED_UNUSED, -1);
        p.block = b.ts;
        out_.problem_list.push_back(p);
      }
      if (b.owner_count > 0 && b.error != 1) {
        DiProblem p = blank_problem(DI_PROBLEM_DAMAGED, file);
        p.block = b.ts;
        p.owner = b.owner;
        p.error = b.error;
        out_.problem_list.push_back(p);
      }
    }
  }

  void check_bam_counts() {
    for (int t = 1; t <= kind_.tracks; ++t) {
      const int stored = di_track_blocks_free(image_, t);
      const int counted = bam_bits_set(image_, t);
      if (stored == counted) continue;
      DiProblem p = blank_problem(DI_PROBLEM_BAM_COUNT, -1);
      p.block = make_ts(t, 0);
      p.stated = stored;
      p.counted = counted;
      out_.problem_list.push_back(p);
    }
  }

  // Blocks already seen as a VLIR record list.
  struct BlockSet {
    std::vector<bool> seen;
    bool insert(int n) {
      if (seen[static_cast<size_t>(n)]) return false;
      seen[static_cast<size_t>(n)] = true;
      return true;
    }
  };

  DiImage *image_;
  CheckStorage &out_;
  const KindInfo &kind_;
  std::vector<int> owned_by_;   // the last owner token stamped on each block
  std::vector<int> walked_by_;  // the last file token whose chain passed each block
  std::vector<Memo> walk_memo_;
  BlockSet vlir_lists_{std::vector<bool>(static_cast<size_t>(kind_.blocks))};
};

}  // namespace
}  // namespace diskimage

using namespace diskimage;

extern "C" {

DiCheck *di_check(DiImage *image) {
  if (!kind_info(image->type)) return nullptr;
  // The check reads through the library's own handles, which set the status;
  // the caller's status is put back as it was.
  const int status = image->status;
  const TsPair status_ts = image->status_ts;
  CheckStorage *check = nullptr;
  try {
    check = new CheckStorage{};
    Checker(image, *check).run();
  } catch (const std::bad_alloc &) {
    delete check;
    check = nullptr;
  }
  image->status = status;
  image->status_ts = status_ts;
  if (!check) return nullptr;
  check->file_count = static_cast<int>(check->file_list.size());
  check->files = check->file_list.data();
  check->file_blocks = check->file_block_list.data();
  check->block_count = static_cast<int>(check->block_list.size());
  check->blocks = check->block_list.data();
  check->problem_count = static_cast<int>(check->problem_list.size());
  check->problems = check->problem_list.data();
  return check;
}

void di_check_free(DiCheck *check) {
  delete static_cast<CheckStorage *>(check);
}

}  // extern "C"
