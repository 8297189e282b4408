// The BAM and error map report.
#include <algorithm>
#include <cstdio>

#include "diskimage/internal.h"
#include "scanner/line_buffer.h"
#include "scanner/reports.h"

using namespace line_buffer;

namespace {

// The map fields are 23 columns, room for 21 sectors and two spaces. Tracks of
// more sectors (40 on a D81) widen every field so that each keeps two spaces
// after it and the header words stay over their fields.
constexpr int kFieldWidth = 23;
constexpr int kFieldGap = 2;

// A track line: the prefix (at most 16 characters, even with a negative used
// figure), three fields of at most 40 sectors with up to eight hexadecimal
// digits per error byte, their fills and the newline.
constexpr int kMaxSectors = 40;
constexpr int kLineSize = 16 + kMaxSectors * (1 + 8 + 1) + 2 * (kMaxSectors + kFieldGap) + 1;

}  // namespace

void print_spaces(int count) {
  for (int i = 0; i < count; ++i) std::putchar(' ');
}

void print_map(DiImage *image) {
  const int tracks = di_tracks(image->type);
  int widest = 0;
  for (int t = 1; t <= tracks; ++t) widest = std::max(widest, di_sectors_per_track(image->type, t));
  const int field = std::max(kFieldWidth, widest + kFieldGap);

  std::fputs("Track Used Allocation Map", stdout);
  print_spaces(field - 14);
  std::fputs("Error Map", stdout);
  print_spaces(field - 9);
  std::puts("Allocated with Error");

  int used_total = 0;
  int error_total = 0;
  int used_with_error = 0;
  // Each track line is built in full and written with one call: per-character
  // stdio calls were most of the report's time.
  char line[kLineSize];
  for (int t = 1; t <= tracks; ++t) {
    const int sectors = di_sectors_per_track(image->type, t);
    const int used = sectors - di_track_blocks_free(image, t);
    // "%3d: %2d/%d "
    int len = append_int(line, 0, t, 3);
    line[len++] = ':';
    line[len++] = ' ';
    len = append_int(line, len, used, 2);
    line[len++] = '/';
    len = append_int(line, len, sectors, 0);
    line[len++] = ' ';
    // The BAM bit and error byte of every block, each asked once; the third
    // field is made from both.
    bool in_use[kMaxSectors];
    int errors[kMaxSectors];
    for (int s = 0; s < sectors; ++s) {
      const TsPair ts = diskimage::make_ts(t, s);
      in_use[s] = !di_is_ts_free(image, ts);
      errors[s] = diskimage::get_ts_doserr(image, ts);
      line[len++] = in_use[s] ? '*' : '.';
    }
    len = pad_to(line, len, len + field - sectors);
    for (int s = 0; s < sectors; ++s) {
      if (errors[s] == 1) {
        line[len++] = '.';
      } else {
        len = append_hex(line, len, static_cast<unsigned>(errors[s]));
        ++error_total;
      }
    }
    len = pad_to(line, len, len + field - sectors);
    for (int s = 0; s < sectors; ++s) {
      const bool bad = in_use[s] && errors[s] != 1;
      used_with_error += bad;
      line[len++] = bad ? '*' : '.';
    }
    line[len++] = '\n';
    std::fwrite(line, 1, static_cast<size_t>(len), stdout);
    used_total += used;
  }
  // The totals sit at the right edge of the widest track's fields.
  std::printf("Total:%4d", used_total);
  print_spaces(field + widest - 3);
  std::printf("%4d", error_total);
  print_spaces(field - 3);
  std::printf("%4d\n", used_with_error);
}
