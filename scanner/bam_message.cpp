// PETSCII display conversion and the BAM message report.
#include <cctype>
#include <cstdio>
#include <string>

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

void print_bammessage(facts::ImageFacts &image, FILE *out) {
  lastoutput = 0;
  const std::optional<std::string> &text = image.bam_message();
  if (!text) return;
  std::fprintf(out, "BAM Message: %s\n", text->c_str());
  lastoutput = 1;
}
