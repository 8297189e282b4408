// The status channel and the error-information tables.
#include <algorithm>
#include <array>
#include <cstring>

#include "diskimage/internal.h"

namespace diskimage {
namespace {

struct ErrorMessage {
  int code;
  const char *text;
};

// Drive status messages; searched in order up to the row with a negative code.
constexpr ErrorMessage error_msg[] = {
    {0, "ok"},
    {1, "files scratched"},
    {2, "partition selected"},
    {20, "read error (block header not found)"},
    {21, "read error (drive not ready)"},
    {22, "read error (data block not found)"},
    {23, "read error (crc error in data block)"},
    {24, "read error (byte sector header)"},
    {25, "write error (write-verify error)"},
    {26, "write protect on"},
    {27, "read error (crc error in header)"},
    {30, "syntax error (general syntax)"},
    {31, "syntax error (invalid command)"},
    {32, "syntax error (long line)"},
    {33, "syntax error (invalid file name)"},
    {34, "syntax error (no file given)"},
    {39, "syntax error (invalid command)"},
    {50, "record not present"},
    {51, "overflow in record"},
    {52, "file too large"},
    {60, "write file open"},
    {61, "file not open"},
    {62, "file not found"},
    {63, "file exists"},
    {64, "file type mismatch"},
    {65, "no block"},
    {66, "illegal track or sector"},
    {67, "illegal system t or s"},
    {70, "no channel"},
    {71, "directory error"},
    {72, "disk full"},
    {73, "dos mismatch"},
    {74, "drive not ready"},
    {75, "format error"},
    {76, "controller error"},
    {77, "selected partition illegal"},
    {-1, nullptr},
};

struct DosError {
  int byte;
  int code;
  const char *description;  // for reference only; nothing prints it
};

// What an error-information byte stands for.
constexpr DosError dos_error[] = {
    {1, 0, "ok"},
    {2, 20, "Header descriptor byte not found (Seek)"},
    {3, 21, "No SYNC sequence found (Seek)"},
    {4, 22, "Data descriptor byte not found (Read)"},
    {5, 23, "Checksum error in data block (Read)"},
    {6, 24, "Write verify (Write)"},
    {7, 25, "Write verify error (Write)"},
    {8, 26, "Write protect on (Write)"},
    {9, 27, "Checksum error in header block (Seek)"},
    {10, 28, "Write error (Write)"},
    {11, 29, "Disk sector ID mismatch (Seek)"},
    {15, 74, "Drive Not Ready (Read)"},
    {-1, -1, nullptr},
};

constexpr int kStatusSize = DI_STATUS_SIZE;

// The status code of every error-information byte, so that a read's check of
// each block it passes is one lookup; the first row for a byte counts.
constexpr std::array<int, 256> make_code_of_byte() {
  std::array<int, 256> codes{};
  codes.fill(-1);
  int rows = 0;
  while (dos_error[rows].byte >= 0) ++rows;
  for (int row = rows - 1; row >= 0; --row) codes[dos_error[row].byte] = dos_error[row].code;
  return codes;
}
constexpr std::array<int, 256> kCodeOfByte = make_code_of_byte();

// Appends value as "%02d" prints it.
char *put_two_digits(char *out, int value) {
  unsigned magnitude = value < 0 ? 0U - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) {
    *out++ = '-';
  } else if (n < 2) {
    *out++ = '0';
  }
  while (n > 0) *out++ = digits[--n];
  return out;
}

char *put_text(char *out, const char *text) {
  while (*text != '\0') *out++ = *text++;
  return out;
}

// Copies the text into the caller's buffer as snprintf would: cut to fit,
// always terminated.
void finish(char *buffer, const char *text, const char *end) {
  const size_t len = std::min(static_cast<size_t>(end - text), size_t{kStatusSize - 1});
  std::memcpy(buffer, text, len);
  buffer[len] = '\0';
}

}  // namespace

int set_status(DiImage *image, int code, int track, int sector) {
  image->status = code;
  image->status_ts = make_ts(track & 0xFF, sector & 0xFF);
  return code;
}

int block_error_code(const DiImage *image, int block) {
  return image->error_info ? kCodeOfByte[image->error_info[block]] : 0;
}

}  // namespace diskimage

using namespace diskimage;

extern "C" {

const char *di_status_message(int code) {
  for (const ErrorMessage *row = error_msg; row->code >= 0; ++row)
    if (row->code == code) return row->text;
  return "unknown error";
}

int di_status_text(ImageType type, int code, TsPair ts, char *buffer) {
  // Formatted by hand: the listing takes the status of every file, and
  // snprintf was a good part of its time.
  char text[128];
  if (code == DI_STATUS_FRESH) {
    const KindInfo *kind = kind_info(type);
    finish(buffer, text, put_text(text, kind ? kind->power_on : ""));
    return DI_STATUS_DOS_MISMATCH;
  }
  char *out = put_two_digits(text, code);
  *out++ = ',';
  out = put_text(out, di_status_message(code));
  *out++ = ',';
  out = put_two_digits(out, ts.track);
  *out++ = ',';
  out = put_two_digits(out, ts.sector);
  finish(buffer, text, out);
  return code;
}

int di_status(const DiImage *image, char *buffer) {
  return di_status_text(image->type, image->status, image->status_ts, buffer);
}

int get_ts_doserr(DiImage *image, TsPair ts) {
  const KindInfo *kind = kind_info(image->type);
  if (!kind || !kind->valid(ts)) {
    set_status(image, DI_STATUS_ILLEGAL_TS, ts);
    return -1;
  }
  return image->error_info ? image->error_info[kind->block_num(ts)] : 1;
}

int di_get_ts_err(DiImage *image, TsPair ts) {
  const int byte = get_ts_doserr(image, ts);
  return byte < 0 ? DI_STATUS_ILLEGAL_TS : di_error_code(byte);
}

int di_error_code(int error_byte) {
  return error_byte >= 0 && error_byte <= 0xFF ? kCodeOfByte[static_cast<size_t>(error_byte)] : -1;
}

}  // extern "C"
