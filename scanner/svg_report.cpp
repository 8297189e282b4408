// The disk picture: one SVG document, one ring segment per block, coloured by
// the block's owner as the integrity check found it.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "scanner/image_facts.h"
#include "scanner/reports.h"

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
  return {1, 35, 300, 72, 2};
}

// ---- Block states ------------------------------------------------------------

// What a block is, one state each; damage, shared owners and errors on free
// blocks are marks drawn over the state.
enum State { kFree, kFile, kDirectory, kSystem, kUnused, kReserved, kUsedButFree, kStateCount };
constexpr const char *kStateName[kStateCount] = {"free",   "file",     "directory",    "system",
                                                 "unused", "reserved", "used-but-free"};

State state_of(const DiBlockState &b) {
  if (b.owner_count > 0) {
    if (!b.in_use) return kUsedButFree;
    if (b.owner == DI_OWNER_SYSTEM) return kSystem;
    if (b.owner == DI_OWNER_DIRECTORY) return kDirectory;
    return kFile;
  }
  if (!b.in_use) return kFree;
  return b.reserved ? kReserved : kUnused;
}

enum Mark { kDamaged, kQuietError, kShared, kBamFree, kMarkCount };
constexpr const char *kMarkClass[kMarkCount] = {"damaged", "error", "shared", "bamfree"};
constexpr const char *kMarkLabel[kMarkCount] = {
    "damaged: error byte on an owned block", "error byte on a block no one owns",
    "shared by two or more owners", "owned, but free in the BAM"};

bool has_mark(const DiBlockState &b, int mark) {
  switch (mark) {
    case kDamaged:
      return b.owner_count > 0 && b.error != 1;
    case kQuietError:
      return b.owner_count == 0 && b.error != 1;
    case kShared:
      return b.owner_count >= 2;
    default:
      return b.owner_count > 0 && !b.in_use;
  }
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
    ".free{fill:#ebebeb}.unused{fill:#8a8a8a}.reserved{fill:#ddd3c0}"
    ".directory{fill:#4c6272}.system{fill:#1a1a1a}"
    ".key{stroke:#888;stroke-width:.5}"
    // A block's marks share one outline; damage comes last and wins.
    ".bamfree{fill:url(#stripes)}"
    ".shared{stroke:#000;stroke-width:1.1}"
    ".error{stroke:#d40000;stroke-width:.9;stroke-dasharray:2 1.2}"
    ".damaged{fill:url(#hatch);stroke:#d40000;stroke-width:1.5;stroke-linejoin:round}";

constexpr const char *kDefs =
    "<pattern id=\"hatch\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\" "
    "patternTransform=\"rotate(45)\"><rect width=\"1.1\" height=\"4\" fill=\"#d40000\"/>"
    "</pattern>\n"
    "<pattern id=\"stripes\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\" "
    "patternTransform=\"rotate(-45)\"><rect width=\"1.5\" height=\"4\" fill=\"#fff\"/>"
    "</pattern>\n";

// ---- Text ----------------------------------------------------------------------

// Length of the well-formed UTF-8 sequence at `at` that XML allows, or 0.
// Names from the disk are printable ASCII already; the image argument is
// whatever the shell passed.
size_t xml_char_length(const std::string &text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(at);
  if (lead < 0x80) return lead >= 0x20 && lead != 0x7F ? 1 : 0;
  const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || at + length > text.size()) return 0;
  unsigned code = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(at + i) & 0x3F);
  }
  const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < least[length] || code > 0x10FFFF) return 0;
  if ((code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE || code == 0xFFFF) return 0;
  return length;
}

// Appends text escaped for XML content and attribute values; what XML cannot
// hold (control bytes, broken UTF-8) shows as '?'. Runs of plain ASCII, most
// of every text, are copied at once.
void append_escaped(std::string &out, const std::string &text) {
  const auto plain = [](unsigned char c) {
    return c >= 0x20 && c < 0x7F && c != '<' && c != '>' && c != '&' && c != '"' && c != '\'';
  };
  for (size_t i = 0; i < text.size();) {
    size_t run = i;
    while (run < text.size() && plain(static_cast<unsigned char>(text[run]))) ++run;
    out.append(text, i, run - i);
    if (run == text.size()) break;
    i = run;
    const size_t length = xml_char_length(text, i);
    if (length == 0) {
      out += '?';
      ++i;
      continue;
    }
    switch (text[i]) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out.append(text, i, length);
    }
    i += length;
  }
}

void append_int(std::string &out, long value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

// Appends a coordinate rounded to one decimal, without a trailing ".0".
void append_number(std::string &out, double value) {
  const long tenths = std::lround(value * 10);
  char text[24];
  char *end = std::to_chars(text, text + sizeof text, tenths / 10).ptr;
  const long tenth = std::labs(tenths % 10);
  if (tenths < 0 && tenths > -10) {
    // -0.5 and the like: the whole part lost its sign.
    out += '-';
  }
  if (tenth != 0) {
    *end++ = '.';
    *end++ = static_cast<char>('0' + tenth);
  }
  out.append(text, end);
}

// The fill class of a block: its first owner's colour, or its state's.
void append_fill_class(std::string &out, const DiBlockState &b, State state) {
  if (b.owner >= 0) {
    out += 'f';
    append_int(out, b.owner % kPaletteSize);
  } else if (b.owner == DI_OWNER_SYSTEM) {
    out += "system";
  } else if (b.owner == DI_OWNER_DIRECTORY) {
    out += "directory";
  } else {
    out += kStateName[state];
  }
}

std::string count_text(int count, const char *one, const char *many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// ---- The picture ------------------------------------------------------------

// Builds the whole document in one string, written with one call. Every
// piece is appended in place: with a few thousand blocks, temporary strings
// were most of the time.
class Picture {
 public:
  Picture(DiImage *image, const char *image_arg, const DiCheck &check,
          const facts::Listing &listing)
      : image_(image), image_arg_(image_arg), check_(check), layout_(layout_for(image->type)) {
    const size_t files = static_cast<size_t>(check.file_count);
    file_texts_.resize(files);
    for (size_t f = 0; f < files; ++f) {
      const FileEntry &slot = check.files[f].slot;
      std::string name;
      if (f < listing.entries.size()) {
        name = listing.entries[f].name;
      } else {
        char raw[17];
        const int len = di_name_from_rawname(raw, slot.rawname);
        name = facts::display_text(reinterpret_cast<const unsigned char *>(raw), len);
      }
      file_texts_[f] = std::string(ftype[slot.type & DI_TYPE_MASK]) + " \"" + name + "\"";
    }
    file_blocks_.assign(files, 0);
    file_damaged_.assign(files, 0);
    for (int i = 0; i < check.block_count; ++i) {
      const DiBlockState &b = check.blocks[i];
      ++fill_count_[fill_key(b)];
      for (int m = 0; m < kMarkCount; ++m) mark_count_[m] += has_mark(b, m);
      if (b.owner >= 0 && b.owner < check.file_count) {
        ++file_blocks_[static_cast<size_t>(b.owner)];
        file_damaged_[static_cast<size_t>(b.owner)] += has_mark(b, kDamaged);
      }
    }
    if (listing.opened) {
      summary_ = "disk \"" + listing.disk_name + "\" id " + listing.disk_id + ", ";
    } else {
      summary_ = "directory unreadable, ";
    }
    free_blocks_ = listing.opened ? listing.free_blocks : image->free_blocks;
  }

  std::string render() {
    width_ = 2 * kMargin + layout_.sides * 2 * layout_.outer + (layout_.sides - 1) * kSideGap;
    const double legend_top = kMargin + kHeaderHeight + 2 * layout_.outer + kLegendGap;
    std::string legend;
    const double legend_height = render_legend(legend, legend_top);
    const double height = legend_top + legend_height + kMargin;

    out_.reserve(static_cast<size_t>(check_.block_count) * 240 + legend.size() + 4096);
    out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out_ += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"";
    append_number(out_, width_);
    out_ += "\" height=\"";
    append_number(out_, height);
    out_ += "\" viewBox=\"0 0 ";
    append_number(out_, width_);
    out_ += ' ';
    append_number(out_, height);
    out_ += "\">\n<title>";
    append_escaped(out_, image_arg_);
    out_ += "</title>\n<defs>\n<style type=\"text/css\">";
    out_ += kStyle;
    for (int i = 0; i < kPaletteSize; ++i) {
      out_ += ".f";
      append_int(out_, i);
      out_ += "{fill:";
      out_ += kPalette[i];
      out_ += '}';
    }
    out_ += "</style>\n";
    out_ += kDefs;
    out_ += "</defs>\n<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
    render_header();
    render_disks();
    out_ += legend;
    out_ += "</svg>\n";
    return std::move(out_);
  }

 private:
  // Fill keys: the states without an owner colour, then the owner colours.
  static constexpr int kFillSystem = kStateCount;
  static constexpr int kFillDirectory = kStateCount + 1;
  static int fill_key(const DiBlockState &b) {
    if (b.owner == DI_OWNER_SYSTEM) return kFillSystem;
    if (b.owner == DI_OWNER_DIRECTORY) return kFillDirectory;
    return b.owner >= 0 ? kFile : state_of(b);
  }

  void append_owner(std::string &text, int owner) const {
    if (owner == DI_OWNER_SYSTEM) {
      text += "system (BAM and header)";
    } else if (owner == DI_OWNER_DIRECTORY) {
      text += "directory";
    } else if (owner >= 0 && owner < check_.file_count) {
      text += file_texts_[static_cast<size_t>(owner)];
    } else {
      text += '?';
    }
  }

  // The hover text of a block: what it is, who owns it, what is wrong.
  void append_block_text(std::string &text, const DiBlockState &b) const {
    text += "track ";
    append_int(text, b.ts.track);
    text += " sector ";
    append_int(text, b.ts.sector);
    text += ": ";
    const State state = state_of(b);
    if (state == kFree) {
      text += "free";
    } else if (state == kUnused) {
      text += "allocated in the BAM, used by no file";
    } else if (state == kReserved) {
      text += "reserved by the drive";
    } else {
      append_owner(text, b.owner);
      if (b.owner_count >= 2) {
        text += ", also ";
        append_owner(text, b.second_owner);
        if (b.owner_count > 2) {
          text += " and ";
          append_int(text, b.owner_count - 2);
          text += " more";
        }
      }
      if (state == kUsedButFree) text += ", free in the BAM";
    }
    if (b.error != 1) {
      const int code = di_get_ts_err(image_, b.ts);
      if (code < 0) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "$%02x", static_cast<unsigned>(b.error) & 0xFF);
        text += ", unknown error byte ";
        text += hex;
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
    summary += image_->type == D64 ? "D64" : image_->type == D71 ? "D71" : "D81";
    if (image_->error_info) summary += " with error information";
    summary += ", " + count_text(free_blocks_, "block free", "blocks free");
    summary += ", " + (check_.problem_count == 0
                           ? std::string("no problems found")
                           : count_text(check_.problem_count, "problem found", "problems found"));
    append_text(out_, kMargin, kMargin + 16, 16, image_arg_, " font-weight=\"bold\"");
    append_text(out_, kMargin, kMargin + 36, 12, summary);
    append_text(out_, kMargin, kMargin + 54, 11,
                "Rings are tracks, track 1 outermost; sectors run clockwise from the top.",
                " fill=\"#555\"");
  }

  static void append_text(std::string &out, double x, double y, int size, const std::string &text,
                          const char *extra = "") {
    out += "<text x=\"";
    append_number(out, x);
    out += "\" y=\"";
    append_number(out, y);
    out += "\" font-size=\"";
    append_int(out, size);
    out += '"';
    out += extra;
    out += '>';
    append_escaped(out, text);
    out += "</text>\n";
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
    const double inner = outer - ring;
    const double cx = centre_x(side);
    const double cy = centre_y();
    const int sectors = di_sectors_per_track(image_->type, ts.track);
    const double a0 = 2 * std::numbers::pi * ts.sector / sectors;
    const double a1 = 2 * std::numbers::pi * (ts.sector + 1) / sectors;
    const auto point = [&](double r, double a) {
      append_number(d, cx + r * std::sin(a));
      d += ' ';
      append_number(d, cy - r * std::cos(a));
    };
    const auto arc = [&](double r, const char *flags) {
      d += 'A';
      append_number(d, r);
      d += ' ';
      append_number(d, r);
      d += flags;
    };
    d += 'M';
    point(outer, a0);
    arc(outer, " 0 0 1 ");
    point(outer, a1);
    d += 'L';
    point(inner, a1);
    arc(inner, " 0 0 0 ");
    point(inner, a0);
    d += 'Z';
  }

  void render_disks() {
    std::string title;
    out_ += "<g stroke=\"#fff\" stroke-width=\".35\">\n";
    for (int i = 0; i < check_.block_count; ++i) {
      const DiBlockState &b = check_.blocks[i];
      const State state = state_of(b);
      out_ += "<path class=\"";
      append_fill_class(out_, b, state);
      out_ += "\" data-track=\"";
      append_int(out_, b.ts.track);
      out_ += "\" data-sector=\"";
      append_int(out_, b.ts.sector);
      out_ += "\" data-state=\"";
      out_ += kStateName[state];
      out_ += '"';
      if (b.error != 1) {
        out_ += " data-error=\"";
        append_int(out_, di_get_ts_err(image_, b.ts));
        out_ += '"';
      }
      if (b.owner_count >= 2) {
        out_ += " data-owners=\"";
        append_int(out_, b.owner_count);
        out_ += '"';
      }
      out_ += " d=\"";
      append_segment_path(out_, b.ts);
      out_ += "\"><title>";
      title.clear();
      append_block_text(title, b);
      append_escaped(out_, title);
      out_ += "</title></path>\n";
    }
    out_ += "</g>\n";
    // Drawn over all blocks, so that no neighbour covers an outline; they
    // take no pointer events, so hovering still finds the block below.
    out_ += "<g fill=\"none\" pointer-events=\"none\">\n";
    for (int i = 0; i < check_.block_count; ++i) {
      const DiBlockState &b = check_.blocks[i];
      const char *separator = "<path class=\"";
      for (int m = 0; m < kMarkCount; ++m) {
        if (!has_mark(b, m)) continue;
        out_ += separator;
        out_ += kMarkClass[m];
        separator = " ";
      }
      if (*separator == '<') continue;
      out_ += "\" d=\"";
      append_segment_path(out_, b.ts);
      out_ += "\"/>\n";
    }
    out_ += "</g>\n";
    for (int side = 0; side < layout_.sides; ++side) {
      const int first = side * layout_.tracks_per_side + 1;
      std::string name = layout_.sides == 2 ? "side " : image_->type == D81 ? "D81" : "D64";
      if (layout_.sides == 2) append_int(name, side + 1);
      std::string tracks = "tracks ";
      append_int(tracks, first);
      tracks += '-';
      append_int(tracks, first + layout_.tracks_per_side - 1);
      const char *centred = " text-anchor=\"middle\"";
      append_text(out_, centre_x(side), centre_y() - 2, 12, name, centred);
      append_text(out_, centre_x(side), centre_y() + 13, 10, tracks, centred);
    }
  }

  struct Key {
    std::string fill;  // swatch class
    const char *mark;  // overlay class, or null
    std::string label;
  };

  static void append_swatch(std::string &out, double x, double y, const char *prefix,
                            const std::string &classes) {
    out += "<rect class=\"";
    out += prefix;
    out += classes;
    out += "\" fill=\"none\" x=\"";
    append_number(out, x);
    out += "\" y=\"";
    append_number(out, y);
    out += "\" width=\"";
    append_number(out, kSwatch);
    out += "\" height=\"";
    append_number(out, kSwatch);
    out += "\"/>\n";
  }

  // Lays keys out in columns, down first; returns the rows used.
  int render_keys(std::string &out, const std::vector<Key> &keys, double top) const {
    const int columns = layout_.legend_columns;
    const int rows = (static_cast<int>(keys.size()) + columns - 1) / columns;
    const double column_width = (width_ - 2 * kMargin) / columns;
    for (size_t k = 0; k < keys.size(); ++k) {
      const double x = kMargin + static_cast<int>(k) / rows * column_width;
      const double y = top + static_cast<int>(k) % rows * kRowHeight;
      append_swatch(out, x, y, "key ", keys[k].fill);
      if (keys[k].mark) append_swatch(out, x, y, "", keys[k].mark);
      append_text(out, x + kSwatch + 5, y + kSwatch - 1, 11, keys[k].label);
    }
    return rows;
  }

  // The legend: every colour and mark with its count, each file with its
  // blocks, and the first blocks with an error byte spelled out, so that a
  // printed picture tells what the hover texts tell. Returns its height.
  double render_legend(std::string &out, double top) const {
    std::vector<Key> keys;
    const auto add = [&](const std::string &fill, const char *mark, const std::string &label,
                         int count) {
      keys.push_back({fill, mark, label + ": " + std::to_string(count)});
    };
    add("free", nullptr, "free", fill_count_[kFree]);
    add("directory", nullptr, "directory", fill_count_[kFillDirectory]);
    add("system", nullptr, "system (BAM and header)", fill_count_[kFillSystem]);
    add("unused", nullptr, "allocated, used by no file", fill_count_[kUnused]);
    if (image_->type == D71 || fill_count_[kReserved] != 0)
      add("reserved", nullptr, "reserved by the drive", fill_count_[kReserved]);
    // Marks of owned blocks are shown over a file's colour, as they appear.
    for (int m = 0; m < kMarkCount; ++m)
      add(m == kQuietError ? "free" : "f0", kMarkClass[m], kMarkLabel[m], mark_count_[m]);
    double y = top;
    y += render_keys(out, keys, y) * kRowHeight + kRowHeight / 2;

    keys.clear();
    for (size_t f = 0; f < file_texts_.size(); ++f) {
      std::string label = file_texts_[f] + ": " + count_text(file_blocks_[f], "block", "blocks");
      if (file_damaged_[f] != 0) label += ", " + std::to_string(file_damaged_[f]) + " damaged";
      std::string colour = "f";
      append_int(colour, static_cast<long>(f % kPaletteSize));
      keys.push_back({colour, nullptr, label});
    }
    if (!keys.empty()) y += render_keys(out, keys, y) * kRowHeight + kRowHeight / 2;

    const int errors = mark_count_[kDamaged] + mark_count_[kQuietError];
    if (errors == 0) return y - top;
    constexpr int kListed = 8;
    const int listed = std::min(errors, kListed);
    std::string heading = "Blocks with an error byte";
    if (errors > listed) heading += " (the first " + std::to_string(listed) + ")";
    append_text(out, kMargin, y + kSwatch - 1, 11, heading + ":", " font-weight=\"bold\"");
    std::string text;
    for (int i = 0, shown = 0; i < check_.block_count && shown < listed; ++i) {
      const DiBlockState &b = check_.blocks[i];
      if (b.error == 1) continue;
      ++shown;
      text.clear();
      append_block_text(text, b);
      append_text(out, kMargin, y + kSwatch - 1 + shown * kRowHeight, 11, text);
    }
    return y + (listed + 1) * kRowHeight - top;
  }

  DiImage *image_;
  std::string image_arg_;
  const DiCheck &check_;
  Layout layout_;
  std::vector<std::string> file_texts_;  // type and quoted display name
  std::vector<int> file_blocks_;         // blocks whose first owner each file is
  std::vector<int> file_damaged_;
  std::string summary_;  // the disk's name and id, as the listing read them
  int free_blocks_ = 0;
  double width_ = 0;
  int fill_count_[kStateCount + 2] = {};
  int mark_count_[kMarkCount] = {};
  std::string out_;
};

}  // namespace

void print_svg(DiImage *image, const char *image_arg, FILE *out) {
  const facts::Listing listing = facts::collect_listing(image);
  const facts::CheckPtr check = facts::check_image(image);
  if (!check) {
    // Only a lack of memory gets here; the document stays well-formed.
    std::fputs(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
        "version=\"1.1\" width=\"300\" height=\"40\"><text x=\"10\" y=\"25\">out of "
        "memory</text></svg>\n",
        out);
    return;
  }
  const std::string svg = Picture(image, image_arg, *check, listing).render();
  std::fwrite(svg.data(), 1, svg.size(), out);
}
