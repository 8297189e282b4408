// The names tables.
#include "scanner/names.h"

#include <iterator>

namespace names {
namespace {

struct Kind {
  ImageType type;
  const char *name;
  const char *label;
};
// D64s of 40 and 42 tracks are D64s to users; their tracks tell them apart.
constexpr Kind kKinds[] = {{D64, "d64", "D64"},
                           {D71, "d71", "D71"},
                           {D81, "d81", "D81"},
                           {D64_40, "d64", "D64"},
                           {D64_42, "d64", "D64"}};

// By DI_FORMAT_* value.
constexpr const char *kFormats[] = {"", "d64", "d71", "d81", "g64", "g71"};

constexpr OwnerWords kSystem{"system", "the BAM/header", "system (BAM and header)"};
constexpr OwnerWords kDirectory{"directory", "the directory", "directory"};

constexpr const char *kProblems[DI_PROBLEM_KIND_COUNT] = {
    "dir-link", "directory",      "unclosed", "illegal-first", "bad-link",
    "loop",     "count-mismatch", "shared",   "used-but-free", "allocated-unused",
    "damaged",  "bam-count",      "alias"};

constexpr const char *kSeverities[] = {"note", "risk", "loss"};
constexpr const char *kVerdicts[] = {"intact", "at risk", "damaged"};

constexpr const char *kParts[] = {"", "data", "record", "side-sectors", "info"};
constexpr const char *kPartWords[] = {"data chain", "data chain", "record", "side-sector chain",
                                      "info block"};

constexpr const char *kBlockStates[DI_BLOCK_STATE_COUNT] = {
    "free", "file", "directory", "system", "unused", "reserved", "used-but-free", "outside"};

constexpr const char *kBamLayouts[] = {"standard", "speeddos", "dolphindos", "none"};

}  // namespace

const char *kind(ImageType type) {
  for (const Kind &k : kKinds)
    if (k.type == type) return k.name;
  return "";
}

const char *kind_label(ImageType type) {
  for (const Kind &k : kKinds)
    if (k.type == type) return k.label;
  return "";
}

const char *format(int format) {
  return format > 0 && format < static_cast<int>(std::size(kFormats)) ? kFormats[format] : "";
}

const OwnerWords *owner(int owner) {
  if (owner == DI_OWNER_SYSTEM) return &kSystem;
  if (owner == DI_OWNER_DIRECTORY) return &kDirectory;
  return nullptr;
}

const char *problem(int kind) {
  return kind >= 0 && kind < DI_PROBLEM_KIND_COUNT ? kProblems[kind] : "unknown";
}

const char *severity(int severity) {
  return severity >= DI_SEVERITY_NOTE && severity <= DI_SEVERITY_LOSS ? kSeverities[severity] : "";
}

const char *verdict(int verdict) {
  return verdict >= DI_VERDICT_INTACT && verdict <= DI_VERDICT_DAMAGED ? kVerdicts[verdict] : "";
}

std::string severity_counts(const DiCheck &check) {
  return std::to_string(check.loss_count) + " loss, " + std::to_string(check.risk_count) +
         " risk, " + std::to_string(check.note_count) + " notes";
}

const char *part(int part) {
  return part >= DI_PART_NONE && part <= DI_PART_INFO ? kParts[part] : "";
}

const char *part_words(int part) {
  return part >= DI_PART_NONE && part <= DI_PART_INFO ? kPartWords[part] : "data chain";
}

const char *bam_layout(int layout) {
  return layout >= DI_BAM_STANDARD && layout <= DI_BAM_NONE ? kBamLayouts[layout] : "";
}

const char *block_state(int state) {
  return state >= 0 && state < DI_BLOCK_STATE_COUNT ? kBlockStates[state] : "";
}

}  // namespace names
