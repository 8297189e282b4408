// -check: the integrity check's problems in words, one line each, the losses
// first, then the risks, then the notes; runs of neighbouring blocks that
// share a problem and an owner go on one line. The last line is the verdict.
#include <cstdio>
#include <string>

#include "scanner/names.h"
#include "scanner/output.h"
#include "scanner/reports.h"

namespace {

using output::append_int;
using output::append_status;
using output::append_ts;

class CheckText {
 public:
  explicit CheckText(facts::ImageFacts &image) : image_(image), check_(image.check()) {}

  std::string render() {
    std::vector<const DiProblem *> order;
    order.reserve(static_cast<size_t>(check_.problem_count));
    for (int severity : {DI_SEVERITY_LOSS, DI_SEVERITY_RISK, DI_SEVERITY_NOTE})
      for (int i = 0; i < check_.problem_count; ++i)
        if (check_.problems[i].severity == severity) order.push_back(&check_.problems[i]);
    for (size_t i = 0; i < order.size();) {
      const size_t run = run_length(order, i);
      text_ += names::severity(order[i]->severity);
      text_ += ": ";
      line(*order[i], *order[i + run - 1], static_cast<int>(run));
      i += run;
    }
    // "damaged: 5 loss, 0 risk, 3 notes"
    text_ += names::verdict(check_.verdict);
    text_ += ": ";
    text_ += names::severity_counts(check_);
    text_ += '\n';
    return std::move(text_);
  }

 private:
  static bool is_block_problem(int kind) {
    return kind == DI_PROBLEM_SHARED || kind == DI_PROBLEM_USED_BUT_FREE ||
           kind == DI_PROBLEM_ALLOCATED_UNUSED || kind == DI_PROBLEM_DAMAGED;
  }

  // Whether `b` is the block after `a`: the next sector of its track or, for
  // blocks no one uses, which a loader or another file system may read in
  // any run, also the first sector of the next track.
  bool follows(const DiProblem &a, const DiProblem &b) const {
    if (b.block.track == a.block.track) return b.block.sector == a.block.sector + 1;
    return a.kind == DI_PROBLEM_ALLOCATED_UNUSED && b.block.track == a.block.track + 1 &&
           b.block.sector == 0 &&
           a.block.sector + 1 == di_sectors_per_track(image_.type(), a.block.track);
  }

  // How many problems from i on differ only in their block, each block
  // following the one before.
  size_t run_length(const std::vector<const DiProblem *> &order, size_t i) const {
    const DiProblem &first = *order[i];
    if (!is_block_problem(first.kind)) return 1;
    size_t n = 1;
    while (i + n < order.size()) {
      const DiProblem &p = *order[i + n];
      // Other kinds of the same block sit between a block's problems, so a
      // run only continues straight on to the next problem.
      if (p.kind != first.kind || p.owner != first.owner || p.second_owner != first.second_owner ||
          p.owner_count != first.owner_count || p.error != first.error ||
          !follows(*order[i + n - 1], p))
        break;
      ++n;
    }
    return n;
  }

  void file_name(int file) {
    if (file < 0 || file >= check_.file_count) {
      text_ += '?';
      return;
    }
    text_ += '"';
    text_ += image_.file_name(file);
    text_ += "\" ";
    text_ += names::file_type(check_.files[file].slot.type);
  }

  void owner_name(int owner) {
    if (const names::OwnerWords *words = names::owner(owner)) {
      text_ += words->check;
    } else {
      file_name(owner);
    }
  }

  void part_name(const DiProblem &p) {
    text_ += names::part_words(p.part);
    if (p.part == DI_PART_RECORD) {
      text_ += ' ';
      append_int(text_, p.record);
    }
  }

  // "(N blocks)" after a run's line.
  void blocks(int run) {
    if (run < 2) return;
    text_ += " (";
    append_int(text_, run);
    text_ += " blocks)";
  }

  void line(const DiProblem &p, const DiProblem &last, int run) {
    if (is_block_problem(p.kind)) {
      text_ += run > 1 ? "blocks " : "block ";
      append_ts(text_, p.block);
      if (run > 1) {
        text_ += '-';
        if (last.block.track != p.block.track) {
          append_ts(text_, last.block);
        } else {
          append_int(text_, last.block.sector);
        }
      }
      text_ += ": ";
    }
    switch (p.kind) {
      case DI_PROBLEM_DIR_LINK:
        text_ += "BAM block links to ";
        append_ts(text_, p.link);
        text_ += ", not to the directory at ";
        append_ts(text_, p.expected);
        break;
      case DI_PROBLEM_DIRECTORY:
        text_ += "directory ends early: ";
        append_status(text_, image_.type(), p.status, p.block);
        break;
      case DI_PROBLEM_UNCLOSED:
        file_name(p.file);
        text_ += ": not closed";
        break;
      case DI_PROBLEM_ILLEGAL_FIRST:
        file_name(p.file);
        text_ += ": ";
        part_name(p);
        text_ += " starts at ";
        append_ts(text_, p.link);
        text_ += ", which is no block";
        break;
      case DI_PROBLEM_BAD_LINK:
        file_name(p.file);
        text_ += ": ";
        part_name(p);
        text_ += ": block ";
        append_ts(text_, p.block);
        text_ += " links to ";
        append_ts(text_, p.link);
        text_ += ", which is no block";
        break;
      case DI_PROBLEM_LOOP:
        file_name(p.file);
        text_ += ": ";
        part_name(p);
        text_ += " runs in a loop back to block ";
        append_ts(text_, p.block);
        break;
      case DI_PROBLEM_COUNT_MISMATCH:
        file_name(p.file);
        text_ += ": the directory says ";
        append_int(text_, p.stated);
        text_ += " blocks, the file has ";
        append_int(text_, p.counted);
        break;
      case DI_PROBLEM_SHARED:
        text_ += "used by ";
        owner_name(p.owner);
        text_ += " and ";
        owner_name(p.second_owner);
        if (p.owner_count > 2) {
          text_ += " and ";
          append_int(text_, p.owner_count - 2);
          text_ += " more";
        }
        blocks(run);
        break;
      case DI_PROBLEM_USED_BUT_FREE:
        text_ += "used by ";
        owner_name(p.owner);
        text_ += " but free in the BAM, so the next save may overwrite it";
        blocks(run);
        break;
      case DI_PROBLEM_ALLOCATED_UNUSED:
        text_ += "allocated in the BAM but used by no file";
        blocks(run);
        break;
      case DI_PROBLEM_DAMAGED:
        text_ += "used by ";
        owner_name(p.owner);
        text_ += ", damaged (";
        damage(p.error);
        text_ += ')';
        blocks(run);
        break;
      case DI_PROBLEM_ALIAS:
        file_name(p.file);
        text_ += ": ";
        append_int(text_, p.owner_count - 1);
        text_ += p.owner_count == 2 ? " other entry starts" : " other entries start";
        text_ += " at its first block ";
        append_ts(text_, p.block);
        text_ += " (aliases)";
        break;
      case DI_PROBLEM_BAM_COUNT:
        text_ += "track ";
        append_int(text_, p.block.track);
        text_ += ": the BAM counts ";
        append_int(text_, p.stated);
        text_ += " free blocks, its bitmap shows ";
        append_int(text_, p.counted);
        break;
      default:
        text_ += "unknown problem";
        break;
    }
    text_ += '\n';
  }

  // The drive's word for a block's error byte.
  void damage(int error_byte) {
    const int code = di_error_code(error_byte);
    if (code < 0) {
      text_ += "error byte ";
      append_int(text_, error_byte);
      text_ += ", no known error";
      return;
    }
    text_ += "error ";
    append_int(text_, code);
    text_ += ", ";
    text_ += di_status_message(code);
  }

  facts::ImageFacts &image_;
  const DiCheck &check_;
  std::string text_;
};

}  // namespace

int print_check(facts::ImageFacts &image, FILE *out) {
  output::write(CheckText(image).render(), out);
  return image.check().verdict;
}
