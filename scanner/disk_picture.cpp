// -svg, the disk picture: one SVG document, one ring segment per block,
// coloured by the block's owner and state as the integrity check found them.
#include <algorithm>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "scanner/names.h"
#include "scanner/output.h"
#include "scanner/reports.h"
#include "scanner/svg_writer.h"

namespace {

// ---- Layout, in SVG user units ---------------------------------------------

constexpr double kMargin = 20;
constexpr double kHeaderHeight = 76;  // title, summary line, how to read it
constexpr double kSideGap = 40;       // between the two sides of a D71
constexpr double kLegendGap = 24;     // between the disks and the legend
constexpr double kRowHeight = 16;
constexpr double kSwatch = 11;

// A drawing of one disk side per kind: tracks 1 to `tracks` of each side as
// rings from `outer` down to the hub. D81 rings are thinner but the picture
// is larger, so that a ring stays wide enough to point at.
struct Layout {
  int sides;
  int tracks_per_side;
  double outer;
  double hub;
  int legend_columns;
};

Layout layout_for(ImageType type) {
  if (type == D71) return {2, 35, 250, 60, 3};
  if (type == D81) return {1, 80, 340, 60, 2};
  // A D64 of 35, 40 or 42 tracks.
  return {1, di_tracks(type), 300, 72, 2};
}

// ---- Block states and marks -------------------------------------------------

// A block's marks (DI_MARK_* bits, in this order) share one outline drawn
// over its colour; damage comes last and wins. The classes are short: every
// marked block names them once more.
constexpr const char *kMarkClass[DI_MARK_COUNT] = {"md", "me", "ms", "mb"};
constexpr const char *kMarkLabel[DI_MARK_COUNT] = {
    "damaged: error byte on an owned block", "error byte on a block no one owns",
    "shared by two or more owners", "owned, but free in the BAM"};
constexpr int kDamaged = 0;
constexpr int kQuietError = 1;

bool has_mark(const DiBlockState &b, int mark) {
  return (b.marks & (1 << mark)) != 0;
}

// Files take their colour from their place in the listing. No red (damage)
// and no grey (free and system blocks); dark and light tones alternate so
// that files listed next to each other, which usually lie next to each
// other, never look alike.
constexpr const char *kPalette[] = {"#1f77b4", "#ffbb78", "#2ca02c", "#c5b0d5",
                                    "#17becf", "#8c564b", "#aec7e8", "#ff7f0e",
                                    "#98df8a", "#9467bd", "#e377c2", "#bcbd22"};
constexpr int kPaletteSize = sizeof kPalette / sizeof kPalette[0];

constexpr const char *kStyle =
    "text{font-family:sans-serif;fill:#222}"
    ".free{fill:#ebebeb}.unused{fill:#8a8a8a}.reserved{fill:#ddd3c0}.outside{fill:#c9d6df}"
    ".directory{fill:#4c6272}.system{fill:#1a1a1a}"
    ".key{stroke:#888;stroke-width:.5}"
    // A block's marks share one outline; damage comes last and wins.
    ".mb{fill:url(#stripes)}"
    ".ms{stroke:#000;stroke-width:1.1}"
    ".me{stroke:#d40000;stroke-width:.9;stroke-dasharray:2 1.2}"
    ".md{fill:url(#hatch);stroke:#d40000;stroke-width:1.5;stroke-linejoin:round}";

constexpr const char *kDefs =
    "<pattern id=\"hatch\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\" "
    "patternTransform=\"rotate(45)\"><rect width=\"1.1\" height=\"4\" fill=\"#d40000\"/>"
    "</pattern>\n"
    "<pattern id=\"stripes\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\" "
    "patternTransform=\"rotate(-45)\"><rect width=\"1.5\" height=\"4\" fill=\"#fff\"/>"
    "</pattern>\n";

// The legend names at most this many files; the rest share one line.
constexpr int kLegendFiles = 32;

// ---- Text -------------------------------------------------------------------

using output::append_int;

// What the hover texts and the legend call a block no one owns, by its
// state; null for an owned block.
const char *unowned_words(int state) {
  switch (state) {
    case DI_BLOCK_FREE:
      return "free";
    case DI_BLOCK_UNUSED:
      return "allocated, used by no file";
    case DI_BLOCK_RESERVED:
      return "reserved by the drive";
    case DI_BLOCK_OUTSIDE_BAM:
      return "outside the BAM";
    default:
      return nullptr;
  }
}

std::string count_text(int count, const char *one, const char *many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The fill classes, as keys into the picture's tables: the states of blocks
// no one owns, then the system, the directory and the palette's colours.
constexpr int kFillSystem = DI_BLOCK_STATE_COUNT;
constexpr int kFillDirectory = DI_BLOCK_STATE_COUNT + 1;
constexpr int kFillFile = DI_BLOCK_STATE_COUNT + 2;  // + palette index
constexpr int kFillCount = kFillFile + kPaletteSize;

int fill_key(const DiBlockState &b) {
  if (b.owner == DI_OWNER_SYSTEM) return kFillSystem;
  if (b.owner == DI_OWNER_DIRECTORY) return kFillDirectory;
  return b.owner >= 0 ? kFillFile + b.owner % kPaletteSize : b.state;
}

std::string fill_class(int key) {
  if (key == kFillSystem) return "system";
  if (key == kFillDirectory) return "directory";
  if (key >= kFillFile) {
    std::string name = "f";
    append_int(name, key - kFillFile);
    return name;
  }
  return names::block_state(key);
}

// ---- The picture ------------------------------------------------------------

// Builds the whole document in one string, written with one call. Every
// piece is appended in place: with a few thousand blocks, temporary strings
// were most of the time. What every block repeats is kept short (its title
// names it, its owner and its error; its marks are a <use> of its outline),
// so that the picture stays small on any image.
class Picture {
 public:
  explicit Picture(facts::ImageFacts &image)
      : image_(image),
        check_(image.check()),
        type_(image.type()),
        layout_(layout_for(image.type())) {
    const size_t files = static_cast<size_t>(check_.file_count);
    file_blocks_.assign(files, 0);
    file_damaged_.assign(files, 0);
    aliases_.assign(files, 0);
    for (size_t f = 0; f < files; ++f) {
      const auto head = static_cast<size_t>(check_.alias_of[f]);
      if (head != f) ++aliases_[head];
    }
    for (int i = 0; i < check_.block_count; ++i) {
      const DiBlockState &b = check_.blocks[i];
      ++fill_count_[fill_key(b)];
      for (int m = 0; m < DI_MARK_COUNT; ++m) mark_count_[m] += has_mark(b, m);
      if (b.owner >= 0 && b.owner < check_.file_count) {
        ++file_blocks_[static_cast<size_t>(b.owner)];
        file_damaged_[static_cast<size_t>(b.owner)] += has_mark(b, kDamaged);
      }
    }
    const DiListing &listing = image.listing();
    if (listing.opened) {
      summary_ = "disk \"" + image.disk_name() + "\" id " + image.disk_id() + ", ";
    } else {
      summary_ = "directory unreadable, ";
    }
    free_blocks_ = listing.free_blocks;
    title_ = image.image_arg() + ": " + names::verdict(check_.verdict);
  }

  std::string render() {
    width_ = 2 * kMargin + layout_.sides * 2 * layout_.outer + (layout_.sides - 1) * kSideGap;
    const double legend_top = kMargin + kHeaderHeight + 2 * layout_.outer + kLegendGap;
    std::string legend;
    const double legend_height = render_legend(legend, legend_top);
    const double height = legend_top + legend_height + kMargin;

    std::string style = kStyle;
    for (int i = 0; i < kPaletteSize; ++i) {
      style += ".f";
      append_int(style, i);
      style += "{fill:";
      style += kPalette[i];
      style += '}';
    }
    out_.reserve(static_cast<size_t>(check_.block_count) * 200 + legend.size() + 4096);
    svg::begin_document(out_, width_, height, title_, style, kDefs);
    render_header();
    render_disks();
    out_ += legend;
    svg::end_document(out_);
    return std::move(out_);
  }

 private:
  // prg "name"
  void append_file(std::string &text, int file) const {
    text += names::file_type(check_.files[file].slot.type);
    text += " \"";
    text += image_.file_name(file);
    text += '"';
  }

  void append_owner(std::string &text, int owner) const {
    if (const names::OwnerWords *words = names::owner(owner)) {
      text += words->picture;
    } else if (owner >= 0 && owner < check_.file_count) {
      append_file(text, owner);
    } else {
      text += '?';
    }
  }

  // The hover text of a block: where it is, what it is or who owns it (and
  // how many own it), and its error. A BAM that calls it free shows as its
  // mark.
  void append_block_text(std::string &text, const DiBlockState &b) const {
    output::append_ts(text, b.ts);
    text += ": ";
    if (const char *words = unowned_words(b.state)) {
      text += words;
    } else {
      append_owner(text, b.owner);
      // Who else reads the block is the legend's to say; that others do is
      // what makes it a loss.
      if (b.owner_count >= 2) {
        text += ", ";
        append_int(text, b.owner_count);
        text += " owners";
      }
    }
    if (b.error != 1) {
      const int code = di_error_code(b.error);
      if (code < 0) {
        text += ", unknown error byte $";
        const auto byte = static_cast<unsigned char>(b.error);
        output::append_hex_bytes(text, &byte, 1);
      } else {
        text += ", error ";
        append_int(text, code);
        text += ", ";
        text += di_status_message(code);
      }
    }
  }

  void render_header() {
    std::string summary = summary_;
    summary += names::kind_label(type_);
    if (image_.has_error_info()) summary += " with error information";
    summary += ", " + count_text(free_blocks_, "block free", "blocks free");
    summary += ", " + names::severity_counts(check_);
    svg::append_text(out_, kMargin, kMargin + 16, 16, title_, " font-weight=\"bold\"");
    svg::append_text(out_, kMargin, kMargin + 36, 12, summary);
    svg::append_text(out_, kMargin, kMargin + 54, 11,
                     "Rings are tracks, track 1 outermost; sectors run clockwise from the top.",
                     " fill=\"#555\"");
  }

  double centre_x(int side) const {
    return kMargin + layout_.outer + side * (2 * layout_.outer + kSideGap);
  }
  double centre_y() const { return kMargin + kHeaderHeight + layout_.outer; }

  // The outline of a block: its ring, between its sector's two angles.
  void append_segment_path(std::string &d, TsPair ts) const {
    const double ring = (layout_.outer - layout_.hub) / layout_.tracks_per_side;
    const int side = (ts.track - 1) / layout_.tracks_per_side;
    const double outer = layout_.outer - (ts.track - 1) % layout_.tracks_per_side * ring;
    const int sectors = di_sectors_per_track(type_, ts.track);
    svg::append_ring_segment(d, centre_x(side), centre_y(), outer, outer - ring,
                             2 * std::numbers::pi * ts.sector / sectors,
                             2 * std::numbers::pi * (ts.sector + 1) / sectors);
  }

  // id="b12-3"
  static void append_block_id(std::string &out, TsPair ts) {
    out += 'b';
    append_int(out, ts.track);
    out += '-';
    append_int(out, ts.sector);
  }

  void render_disks() {
    // Blocks are drawn a fill class at a time, each class a group whose
    // blocks take its colour; the marks drawn later reuse a block's outline,
    // so the outline itself must not carry a fill of its own.
    std::vector<std::vector<int>> by_fill(kFillCount);
    for (int i = 0; i < check_.block_count; ++i) by_fill[fill_key(check_.blocks[i])].push_back(i);
    std::string title;
    out_ += "<g stroke=\"#fff\" stroke-width=\".35\">\n";
    for (int key = 0; key < kFillCount; ++key) {
      if (by_fill[static_cast<size_t>(key)].empty()) continue;
      out_ += "<g class=\"";
      out_ += fill_class(key);
      out_ += "\">\n";
      for (int i : by_fill[static_cast<size_t>(key)]) {
        const DiBlockState &b = check_.blocks[i];
        out_ += "<path id=\"";
        append_block_id(out_, b.ts);
        out_ += "\" d=\"";
        append_segment_path(out_, b.ts);
        out_ += "\"><title>";
        title.clear();
        append_block_text(title, b);
        output::append_xml_text(out_, title);
        out_ += "</title></path>\n";
      }
      out_ += "</g>\n";
    }
    out_ += "</g>\n";
    // Drawn over all blocks, so that no neighbour covers an outline; they
    // take no pointer events, so hovering still finds the block below.
    out_ += "<g fill=\"none\" pointer-events=\"none\">\n";
    for (int i = 0; i < check_.block_count; ++i) {
      const DiBlockState &b = check_.blocks[i];
      if (b.marks == 0) continue;
      out_ += "<use xlink:href=\"#";
      append_block_id(out_, b.ts);
      const char *separator = "\" class=\"";
      for (int m = 0; m < DI_MARK_COUNT; ++m) {
        if (!has_mark(b, m)) continue;
        out_ += separator;
        out_ += kMarkClass[m];
        separator = " ";
      }
      out_ += "\"/>\n";
    }
    out_ += "</g>\n";
    for (int side = 0; side < layout_.sides; ++side) {
      const int first = side * layout_.tracks_per_side + 1;
      std::string name = layout_.sides == 2 ? "side " : names::kind_label(type_);
      if (layout_.sides == 2) append_int(name, side + 1);
      std::string tracks = "tracks ";
      append_int(tracks, first);
      tracks += '-';
      append_int(tracks, first + layout_.tracks_per_side - 1);
      const char *centred = " text-anchor=\"middle\"";
      svg::append_text(out_, centre_x(side), centre_y() - 2, 12, name, centred);
      svg::append_text(out_, centre_x(side), centre_y() + 13, 10, tracks, centred);
    }
  }

  struct Key {
    std::string fill;  // swatch class
    const char *mark;  // overlay class, or null
    std::string label;
  };

  // Lays keys out in columns, down first; returns the rows used.
  int render_keys(std::string &out, const std::vector<Key> &keys, double top) const {
    const int columns = layout_.legend_columns;
    const int rows = (static_cast<int>(keys.size()) + columns - 1) / columns;
    const double column_width = (width_ - 2 * kMargin) / columns;
    for (size_t k = 0; k < keys.size(); ++k) {
      const double x = kMargin + static_cast<int>(k) / rows * column_width;
      const double y = top + static_cast<int>(k) % rows * kRowHeight;
      svg::append_swatch(out, x, y, kSwatch, "key " + keys[k].fill);
      if (keys[k].mark) svg::append_swatch(out, x, y, kSwatch, keys[k].mark);
      svg::append_text(out, x + kSwatch + 5, y + kSwatch - 1, 11, keys[k].label);
    }
    return rows;
  }

  // The files in the legend: each alias group once, under its head, the
  // first kLegendFiles of them; the rest summed up in one line.
  std::vector<Key> file_keys() const {
    std::vector<Key> keys;
    int more_files = 0, more_blocks = 0;
    for (size_t f = 0; f < file_blocks_.size(); ++f) {
      if (check_.alias_of[f] != static_cast<int>(f)) continue;
      const int members = 1 + aliases_[f];
      if (static_cast<int>(keys.size()) == kLegendFiles) {
        more_files += members;
        more_blocks += file_blocks_[f];
        continue;
      }
      std::string label;
      append_file(label, static_cast<int>(f));
      if (aliases_[f] > 0) label += " and " + count_text(aliases_[f], "alias", "aliases");
      label += ": " + count_text(file_blocks_[f], "block", "blocks");
      if (file_damaged_[f] != 0) label += ", " + std::to_string(file_damaged_[f]) + " damaged";
      keys.push_back({fill_class(kFillFile + static_cast<int>(f % kPaletteSize)), nullptr, label});
    }
    if (more_files > 0)
      keys.push_back({"free", nullptr,
                      "and " + std::to_string(more_files) + " more files, " +
                          count_text(more_blocks, "block", "blocks")});
    return keys;
  }

  // The legend: every colour and mark with its count, the files with their
  // blocks, and the first blocks with an error byte spelled out, so that a
  // printed picture tells what the hover texts tell. Returns its height.
  double render_legend(std::string &out, double top) const {
    std::vector<Key> keys;
    const auto add = [&](const std::string &fill, const char *mark, const std::string &label,
                         int count) {
      keys.push_back({fill, mark, label + ": " + std::to_string(count)});
    };
    const auto add_unowned = [&](int state) {
      add(fill_class(state), nullptr, unowned_words(state), fill_count_[state]);
    };
    add_unowned(DI_BLOCK_FREE);
    add("directory", nullptr, "directory", fill_count_[kFillDirectory]);
    add("system", nullptr, names::owner(DI_OWNER_SYSTEM)->picture, fill_count_[kFillSystem]);
    add_unowned(DI_BLOCK_UNUSED);
    if (type_ == D71 || fill_count_[DI_BLOCK_RESERVED] != 0) add_unowned(DI_BLOCK_RESERVED);
    if (fill_count_[DI_BLOCK_OUTSIDE_BAM] != 0) add_unowned(DI_BLOCK_OUTSIDE_BAM);
    // Marks of owned blocks are shown over a file's colour, as they appear.
    for (int m = 0; m < DI_MARK_COUNT; ++m)
      add(m == kQuietError ? "free" : "f0", kMarkClass[m], kMarkLabel[m], mark_count_[m]);
    double y = top;
    y += render_keys(out, keys, y) * kRowHeight + kRowHeight / 2;

    keys = file_keys();
    if (!keys.empty()) y += render_keys(out, keys, y) * kRowHeight + kRowHeight / 2;

    const int errors = mark_count_[kDamaged] + mark_count_[kQuietError];
    if (errors == 0) return y - top;
    constexpr int kListed = 8;
    const int listed = std::min(errors, kListed);
    std::string heading = "Blocks with an error byte";
    if (errors > listed) heading += " (the first " + std::to_string(listed) + ")";
    svg::append_text(out, kMargin, y + kSwatch - 1, 11, heading + ":", " font-weight=\"bold\"");
    std::string text;
    for (int i = 0, shown = 0; i < check_.block_count && shown < listed; ++i) {
      const DiBlockState &b = check_.blocks[i];
      if (b.error == 1) continue;
      ++shown;
      text.clear();
      append_block_text(text, b);
      svg::append_text(out, kMargin, y + kSwatch - 1 + shown * kRowHeight, 11, text);
    }
    return y + (listed + 1) * kRowHeight - top;
  }

  facts::ImageFacts &image_;
  const DiCheck &check_;
  ImageType type_;
  Layout layout_;
  std::vector<int> file_blocks_;  // blocks whose first owner each file is
  std::vector<int> file_damaged_;
  std::vector<int> aliases_;  // per alias group head: its other members
  std::string summary_;       // the disk's name and id, as the listing read them
  std::string title_;         // the image as typed and its verdict
  int free_blocks_ = 0;
  double width_ = 0;
  int fill_count_[kFillCount] = {};
  int mark_count_[DI_MARK_COUNT] = {};
  std::string out_;
};

}  // namespace

void print_svg(facts::ImageFacts &image, FILE *out) {
  output::write(Picture(image).render(), out);
}
