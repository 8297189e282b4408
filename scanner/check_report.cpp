// -check: the integrity check's problems in words, one line each, with runs
// of neighbouring blocks that share a problem and an owner on one line.
#include <cstdio>
#include <memory>
#include <string>

#include "scanner/image_facts.h"
#include "scanner/reports.h"

namespace {

class CheckText {
 public:
  CheckText(DiImage *image, const DiCheck &check, FILE *out)
      : image_(image), check_(check), out_(out) {}

  void render() {
    const int count = check_.problem_count;
    for (int i = 0; i < count;) {
      const int run = run_length(i);
      line(check_.problems[i], run > 1 ? &check_.problems[i + run - 1] : nullptr, run);
      i += run;
    }
    if (count == 0) {
      std::fputs("no problems found\n", out_);
    } else {
      std::fprintf(out_, "%d problem%s found\n", count, count == 1 ? "" : "s");
    }
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

  std::string file_name(int file) const {
    if (file < 0 || file >= check_.file_count) return "?";
    const FileEntry &slot = check_.files[file].slot;
    // Appended piece by piece: GCC 12 warns falsely of "text" + string.
    std::string name = "\"";
    name += facts::display_name(slot);
    name += "\" ";
    name += ftype[slot.type & DI_TYPE_MASK];
    return name;
  }

  std::string owner_name(int owner) const {
    if (owner == DI_OWNER_SYSTEM) return "the BAM/header";
    if (owner == DI_OWNER_DIRECTORY) return "the directory";
    return file_name(owner);
  }

  static std::string part_name(const DiProblem &p) {
    switch (p.part) {
      case DI_PART_RECORD:
        return "record " + std::to_string(p.record);
      case DI_PART_SIDE_SECTORS:
        return "side-sector chain";
      case DI_PART_INFO:
        return "info block";
      default:
        return "data chain";
    }
  }

  static std::string ts(TsPair at) {
    return std::to_string(at.track) + "/" + std::to_string(at.sector);
  }

  void line(const DiProblem &p, const DiProblem *last, int run) {
    std::string where;
    if (is_block_problem(p.kind)) {
      where = last ? "blocks " + ts(p.block) + "-" + std::to_string(last->block.sector)
                   : "block " + ts(p.block);
    }
    const std::string blocks = run > 1 ? " (" + std::to_string(run) + " blocks)" : "";
    std::string text;
    switch (p.kind) {
      case DI_PROBLEM_DIR_LINK:
        text = "BAM block links to " + ts(p.link) + ", not to the directory at " + ts(p.expected);
        break;
      case DI_PROBLEM_DIRECTORY:
        text = std::string("directory ends early: ") + check_.dir_status_text;
        break;
      case DI_PROBLEM_UNCLOSED:
        text = file_name(p.file) + ": not closed";
        break;
      case DI_PROBLEM_ILLEGAL_FIRST:
        text = file_name(p.file) + ": " + part_name(p) + " starts at " + ts(p.link) +
               ", which is no block";
        break;
      case DI_PROBLEM_BAD_LINK:
        text = file_name(p.file) + ": " + part_name(p) + ": block " + ts(p.block) + " links to " +
               ts(p.link) + ", which is no block";
        break;
      case DI_PROBLEM_LOOP:
        text = file_name(p.file) + ": " + part_name(p) + " runs in a loop back to block " +
               ts(p.block);
        break;
      case DI_PROBLEM_COUNT_MISMATCH:
        text = file_name(p.file) + ": the directory says " + std::to_string(p.stated) +
               " blocks, the file has " + std::to_string(p.counted);
        break;
      case DI_PROBLEM_SHARED:
        text = where + ": used by " + owner_name(p.owner) + " and " + owner_name(p.second_owner) +
               (p.owner_count > 2 ? " and " + std::to_string(p.owner_count - 2) + " more" : "") +
               blocks;
        break;
      case DI_PROBLEM_USED_BUT_FREE:
        text = where + ": used by " + owner_name(p.owner) +
               " but free in the BAM, so the next save may overwrite it" + blocks;
        break;
      case DI_PROBLEM_ALLOCATED_UNUSED:
        text = where + ": allocated in the BAM but used by no file" + blocks;
        break;
      case DI_PROBLEM_DAMAGED:
        text =
            where + ": used by " + owner_name(p.owner) + ", damaged (" + damage(p) + ")" + blocks;
        break;
      case DI_PROBLEM_BAM_COUNT:
        text = "track " + std::to_string(p.block.track) + ": the BAM counts " +
               std::to_string(p.stated) + " free blocks, its bitmap shows " +
               std::to_string(p.counted);
        break;
      default:
        text = "unknown problem";
        break;
    }
    std::fprintf(out_, "%s\n", text.c_str());
  }

  // The drive's word for a block's error byte.
  std::string damage(const DiProblem &p) const {
    const int code = di_get_ts_err(image_, p.block);
    if (code < 0) return "error byte " + std::to_string(p.error) + ", no known error";
    return "error " + std::to_string(code) + ", " + di_status_message(code);
  }

  DiImage *image_;
  const DiCheck &check_;
  FILE *out_;
};

}  // namespace

int print_check(DiImage *image, FILE *out) {
  const facts::CheckPtr check = facts::check_image(image);
  if (!check) {
    std::fputs("check failed: out of memory\n", out);
    return -1;
  }
  CheckText(image, *check, out).render();
  return check->problem_count;
}
