// PETSCII display conversion and the BAM message report.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "diskimage/internal.h"
#include "scanner/reports.h"

void ptoa(unsigned char *text) {
  // The end is tested before conversion, so 0x80 does not end the text.
  for (; *text != 0; ++text) {
    unsigned char c = *text & 0x7F;
    if (c >= 0x41 && c <= 0x5A) {
      c += 0x20;
    } else if (c >= 0x61 && c <= 0x7A) {
      c -= 0x20;
    } else if (c == 0x7F) {
      c = '?';
    }
    // The program never changes the locale, so this leaves 0x20 to 0x7E.
    if (!std::isprint(c)) c = '.';
    *text = c;
  }
}

void print_bammessage(DiImage *image) {
  using namespace diskimage::cbm1541;
  lastoutput = 0;
  // On a D81 these bytes of the first BAM block are track bitmaps, not a
  // message area, so there is no message to show.
  if (image->type == D81) return;
  unsigned char text[257] = {};
  std::memcpy(text, di_get_ts_addr(image, image->bam_ts) + kMessageArea,
              kMessageEnd - kMessageArea);
  ptoa(text);
  const char *shown = reinterpret_cast<const char *>(text);
  if (shown[std::strspn(shown, " ")] == '\0') return;  // empty, or nothing but spaces
  std::printf("BAM Message: %s\n", shown);
  lastoutput = 1;
}
