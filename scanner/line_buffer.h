// Building report lines in a local buffer, to be written with one call: per
// character and per field stdio calls were most of the reports' time. Each
// helper appends at `len` and returns the new length; the caller sizes the
// buffer for the longest line.
#ifndef KESTRIX_SCANNER_LINE_BUFFER_H
#define KESTRIX_SCANNER_LINE_BUFFER_H

namespace line_buffer {

inline int append_text(char *line, int len, const char *text) {
  while (*text != '\0') line[len++] = *text++;
  return len;
}

// Spaces up to column `to` (none when the line is there already).
inline int pad_to(char *line, int len, int to) {
  while (len < to) line[len++] = ' ';
  return len;
}

// As "%*d" prints it with `width`: right-justified, a minus sign for negatives.
inline int append_int(char *line, int len, int value, int width) {
  char digits[11];
  int n = 0;
  unsigned magnitude = value < 0 ? 0U - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits[n++] = '-';
  len = pad_to(line, len, len + width - n);
  while (n > 0) line[len++] = digits[--n];
  return len;
}

// As "%x" prints it: lower case, no leading zeros.
inline int append_hex(char *line, int len, unsigned value) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (n > 0) line[len++] = digits[--n];
  return len;
}

}  // namespace line_buffer

#endif  // KESTRIX_SCANNER_LINE_BUFFER_H
