// The BAM and error map report, rendered from the gathered tracks.
#include <algorithm>
#include <cstdio>
#include <string>

#include "scanner/output.h"
#include "scanner/reports.h"

namespace {

using namespace output;

// The map fields are 23 columns, room for 21 sectors and two spaces. Tracks of
// more sectors (40 on a D81) widen every field so that each keeps two spaces
// after it and the header words stay over their fields; so no fill is ever
// negative, and a fill of 0 or less prints nothing.
constexpr int kFieldWidth = 23;
constexpr int kFieldGap = 2;

}  // namespace

void print_map(facts::ImageFacts &image, FILE *out) {
  const std::vector<facts::Track> &tracks = image.tracks();
  int widest = 0;
  for (const facts::Track &t : tracks) widest = std::max(widest, t.sectors);
  const int field = std::max(kFieldWidth, widest + kFieldGap);

  std::string text;
  // Room for every line at once: a map is written in one piece.
  text.reserve(tracks.size() * static_cast<size_t>(16 + 2 * field + 3 * widest) + 200);
  text += "Track Used Allocation Map";
  append_spaces(text, field - 14);
  text += "Error Map";
  append_spaces(text, field - 9);
  text += "Allocated with Error\n";

  int used_total = 0;
  int error_total = 0;
  int used_with_error = 0;
  for (const facts::Track &t : tracks) {
    // A track outside the BAM is neither free nor in use: " -" for its Used
    // figure, and it counts in no Used total.
    const int used = t.in_bam ? t.sectors - t.free : 0;
    // "%3d: %2d/%d "
    append_int(text, t.track, 3);
    text += ": ";
    if (t.in_bam) {
      append_int(text, used, 2);
    } else {
      text += " -";
    }
    text += '/';
    append_int(text, t.sectors);
    text += ' ';
    text += t.map;
    append_spaces(text, field - t.sectors);
    for (int e : t.errors) {
      if (e == 1) {
        text += '.';
      } else {
        append_hex(text, static_cast<unsigned>(e));
        ++error_total;
      }
    }
    append_spaces(text, field - t.sectors);
    for (int s = 0; s < t.sectors; ++s) {
      const bool bad =
          t.map[static_cast<size_t>(s)] == '*' && t.errors[static_cast<size_t>(s)] != 1;
      used_with_error += bad;
      text += bad ? '*' : '.';
    }
    text += '\n';
    used_total += used;
  }
  // The totals sit at the right edge of the widest track's fields.
  text += "Total:";
  append_int(text, used_total, 4);
  append_spaces(text, field + widest - 3);
  append_int(text, error_total, 4);
  append_spaces(text, field - 3);
  append_int(text, used_with_error, 4);
  text += '\n';
  write(text, out);
}
