// -check: the integrity check's problems in words, one line each, with runs
// of neighbouring blocks that share a problem and an owner on one line.
#include <cstdio>
#include <string>

#include "scanner/names.h"
#include "scanner/output.h"
#include "scanner/reports.h"

namespace {

using output::append_int;
using output::append_ts;

class CheckText {
 public:
  explicit CheckText(facts::ImageFacts &image)
      : image_(image), check_(image.check()), names_(image.file_names()) {}

  std::string render() {
    const int count = check_.problem_count;
    for (int i = 0; i < count;) {
      const int run = run_length(i);
      line(check_.problems[i], check_.problems[i + run - 1], run);
      i += run;
    }
    if (count == 0) {
      text_ += "no problems found\n";
    } else {
      append_int(text_, count);
      text_ += count == 1 ? " problem found\n" : " problems found\n";
    }
    return std::move(text_);
  }

 private:
  static bool is_block_problem(int kind) {
    return kind == DI_PROBLEM_SHARED || kind == DI_PROBLEM_USED_BUT_FREE ||
           kind == DI_PROBLEM_ALLOCATED_UNUSED || kind == DI_PROBLEM_DAMAGED;
  }

  // How many problems from i on differ only in their block, the blocks being
  // consecutive sectors of one track.
  int run_length(int i) const {
    const DiProblem &first = check_.problems[i];
    if (!is_block_problem(first.kind)) return 1;
    int n = 1;
    while (i + n < check_.problem_count) {
      const DiProblem &prev = check_.problems[i + n - 1];
      const DiProblem &p = check_.problems[i + n];
      // Other kinds of the same block sit between a block's problems, so a
      // run only continues straight on to the next problem.
      if (p.kind != first.kind || p.owner != first.owner || p.second_owner != first.second_owner ||
          p.owner_count != first.owner_count || p.error != first.error ||
          p.block.track != prev.block.track || p.block.sector != prev.block.sector + 1)
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
    text_ += names_[static_cast<size_t>(file)];
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
        append_int(text_, last.block.sector);
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
      case DI_PROBLEM_DIRECTORY: {
        char status[DI_STATUS_SIZE];
        di_status_text(image_.type(), p.status, p.block, status);
        text_ += "directory ends early: ";
        text_ += status;
        break;
      }
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
  const std::vector<std::string> &names_;
  std::string text_;
};

}  // namespace

int print_check(facts::ImageFacts &image, FILE *out) {
  output::write(CheckText(image).render(), out);
  return image.check().problem_count;
}
