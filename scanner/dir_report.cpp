// The directory listing and file scan.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "diskimage/internal.h"
#include "scanner/line_buffer.h"
#include "scanner/reports.h"

namespace {

using namespace diskimage;
using namespace line_buffer;

// 664 blocks of 256 bytes: more than any D64 file can hold, so every D64 file
// is read to its end; longer files are scanned over their first part.
constexpr int kScanSize = 169984;
constexpr int kStatusSize = 48;
// An entry line's 31 columns, or its end: "   [could not open]", three spaces,
// a status string and the newline.
constexpr int kEntrySize = 19 + 3 + kStatusSize + 1;
const auto *const kDirectoryName = reinterpret_cast<const unsigned char *>("$");

// Where a slot's fields lie in the 254 delivered bytes of a directory block:
// slot i starts at 32 * i - 2, its link bytes falling before the data.
constexpr int kFirstSlotStart = -2;
constexpr int kSlotType = 2;
constexpr int kSlotName = 5;
constexpr int kSlotBlocks = 30;

void print_link_check(DiImage *image) {
  // On a D81 the directory is found through the header's link, while the BAM
  // block links to the second BAM block; comparing them would flag every good
  // disk. An unusable header link shows when "$" fails to open.
  if (image->type == D81) return;
  const unsigned char *bam = di_get_ts_addr(image, image->bam_ts);
  const TsPair dir = di_get_dir_ts(image);
  if (bam[kLinkTrack] != dir.track || bam[kLinkSector] != dir.sector)
    std::printf("DIR: BAM to DIR link is broken (should be %d/%d, is %d/%d)\n", dir.track,
                dir.sector, bam[kLinkTrack], bam[kLinkSector]);
}

// Returns whether the header block was read.
bool print_header(DiImage *image, DiFile *dir, unsigned char *block) {
  const unsigned char *title = di_title(image);
  char name[kNameSize + 1];
  di_name_from_rawname(name, title);
  ptoa(reinterpret_cast<unsigned char *>(name));
  unsigned char id[kTitleIdSize + 1] = {};
  std::memcpy(id, title + kTitleIdOffset, kTitleIdSize);
  ptoa(id);
  std::printf("0 \"%-16s\" %s", name, reinterpret_cast<const char *>(id));
  const bool read = di_read(dir, block, kDataSize) == kDataSize;
  if (!read) {
    std::fputs("   [BAM read failed]", stdout);
    char status[kStatusSize];
    if (di_status(image, status) != 0) std::printf("   %s", status);
  }
  std::putchar('\n');
  return read;
}

// The first 31 columns of an entry line, as "%-5d  %-19s%c%s%c" gives them.
// Formatted by hand: with one line per file, printf was most of the listing.
int format_entry(char *line, int blocks, const char *name, unsigned char type_byte,
                 const char *type_name) {
  int len = pad_to(line, append_int(line, 0, blocks, 0), 5);
  len = append_text(line, len, "  \"");
  len = append_text(line, len, name);
  line[len++] = '"';
  len = pad_to(line, len, 26);
  line[len++] = type_byte & kClosed ? ' ' : '*';
  len = append_text(line, len, type_name);
  line[len++] = type_byte & kLocked ? '<' : ' ';
  return len;
}

// One used slot: its line, then the result of reading the file to its end (or
// to the end of the scratch buffer).
void print_entry(DiImage *image, const unsigned char *block, int start, unsigned char *scratch) {
  const unsigned char type_byte = block[start + kSlotType];
  unsigned char raw[kNameSize];
  std::memcpy(raw, block + start + kSlotName, kNameSize);
  const int type = type_byte & kTypeMask;
  const int blocks = block[start + kSlotBlocks] | block[start + kSlotBlocks + 1] << 8;
  char name[kNameSize + 1];
  di_name_from_rawname(name, raw);
  ptoa(reinterpret_cast<unsigned char *>(name));
  // Written before the scan, so that nothing the library might print could
  // come before it.
  char line[kEntrySize];
  std::fwrite(line, 1, format_entry(line, blocks, name, type_byte, ftype[type]), stdout);

  char status[kStatusSize];
  int code;
  bool opened = true;
  DiFile *file = di_open(image, raw, type, "rb");
  if (!file) {
    code = di_status(image, status);
    opened = false;
  } else {
    code = di_status(image, status);
    if (code == 0) {
      di_read(file, scratch, kScanSize);
      code = di_status(image, status);
    }
    di_close(file);
  }
  int len = 0;
  if (!opened) len = append_text(line, len, "   [could not open]");
  if (code != 0) len = append_text(line, append_text(line, len, "   "), status);
  // One file's result must never show on the next file's line.
  image->status = 0;
  line[len++] = '\n';
  std::fwrite(line, 1, len, stdout);
}

}  // namespace

void print_dir(DiImage *image) {
  print_link_check(image);
  char status[kStatusSize];
  DiFile *dir = di_open(image, kDirectoryName, 2, "rb");
  std::unique_ptr<unsigned char[]> scratch(dir ? new (std::nothrow) unsigned char[kScanSize]
                                               : nullptr);
  if (!dir || !scratch) {
    std::fputs("    Couldn't open directory", stdout);
    if (di_status(image, status) != 0) std::printf("   %s", status);
    std::putchar('\n');
    if (dir) di_close(dir);
    return;
  }
  unsigned char block[kDataSize];
  const bool header_read = print_header(image, dir, block);
  for (;;) {
    // Cleared, so a short last block never shows the previous block's slots.
    std::memset(block, 0, sizeof block);
    const int got = di_read(dir, block, kDataSize);
    const int code = di_status(image, status);
    // Nothing delivered and no status is the chain's end. After a failed
    // header read every read stops there again, with the status that the
    // header line has shown already.
    if (got <= 0 && (code == 0 || !header_read)) break;
    if (code != 0) {
      std::printf("DIR: %s ", status);
      if (code == 52) std::fputs("(cyclic Track/Sector link)", stdout);
      std::putchar('\n');
      break;
    }
    for (int start = kFirstSlotStart; start < got; start += kSlotSize)
      if (block[start + kSlotType] != 0) print_entry(image, block, start, scratch.get());
  }
  std::printf("%d blocks free\n", image->free_blocks);
  di_close(dir);
}
