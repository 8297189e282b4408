// The status channel and the error-information tables.
#include <cstdio>

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

constexpr int kFreshImage = 254;
constexpr int kStatusSize = 48;

}  // namespace

int set_status(DiImage *image, int code, int track, int sector) {
  image->status = code;
  image->status_ts = make_ts(track & 0xFF, sector & 0xFF);
  return code;
}

int get_ts_doserr(DiImage *image, TsPair ts) {
  int block = get_block_num(image->type, ts);
  return image->error_info ? image->error_info[block] : 1;
}

}  // namespace diskimage

using namespace diskimage;

extern "C" {

int di_status(DiImage *image, char *buffer) {
  if (image->status == kFreshImage) {
    const KindInfo *kind = kind_info(image->type);
    std::snprintf(buffer, kStatusSize, "%s", kind ? kind->power_on : "");
    return 73;
  }
  const char *text = "unknown error";
  for (const ErrorMessage *row = error_msg; row->code >= 0; ++row) {
    if (row->code == image->status) {
      text = row->text;
      break;
    }
  }
  std::snprintf(buffer, kStatusSize, "%02d,%s,%02d,%02d", image->status, text,
                image->status_ts.track, image->status_ts.sector);
  return image->status;
}

int di_get_ts_err(DiImage *image, TsPair ts) {
  int byte = get_ts_doserr(image, ts);
  for (const DosError *row = dos_error; row->byte >= 0; ++row)
    if (row->byte == byte) return row->code;
  return -1;
}

}  // extern "C"
