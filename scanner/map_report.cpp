// The BAM and error map report.
#include <algorithm>
#include <cstdio>

#include "diskimage/internal.h"
#include "scanner/reports.h"

namespace {

// The map fields are 23 columns, room for 21 sectors and two spaces. Tracks of
// more sectors (40 on a D81) widen every field so that each keeps two spaces
// after it and the header words stay over their fields.
constexpr int kFieldWidth = 23;
constexpr int kFieldGap = 2;

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
  for (int t = 1; t <= tracks; ++t) {
    const int sectors = di_sectors_per_track(image->type, t);
    const int used = sectors - di_track_blocks_free(image, t);
    std::printf("%3d: %2d/%d ", t, used, sectors);
    for (int s = 0; s < sectors; ++s)
      std::putchar(di_is_ts_free(image, diskimage::make_ts(t, s)) ? '.' : '*');
    print_spaces(field - sectors);
    for (int s = 0; s < sectors; ++s) {
      const int error = diskimage::get_ts_doserr(image, diskimage::make_ts(t, s));
      if (error == 1) {
        std::putchar('.');
      } else {
        std::printf("%x", error);
        ++error_total;
      }
    }
    print_spaces(field - sectors);
    for (int s = 0; s < sectors; ++s) {
      const TsPair ts = diskimage::make_ts(t, s);
      const bool bad = !di_is_ts_free(image, ts) && diskimage::get_ts_doserr(image, ts) != 1;
      used_with_error += bad;
      std::putchar(bad ? '*' : '.');
    }
    std::putchar('\n');
    used_total += used;
  }
  // The totals sit at the right edge of the widest track's fields.
  std::printf("Total:%4d", used_total);
  print_spaces(field + widest - 3);
  std::printf("%4d", error_total);
  print_spaces(field - 3);
  std::printf("%4d\n", used_with_error);
}
