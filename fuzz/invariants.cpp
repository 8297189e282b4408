// The invariants and the reference rules they compare the library with.
#include "fuzz/invariants.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/wellformed.h"

namespace kestrix_fuzz {

namespace {

// The slot's type byte and name, as FileEntry lays them out; a GEOS record
// list holds a track/sector pair for every two bytes after its link.
constexpr int kSlotType = offsetof(FileEntry, type);
constexpr int kSlotName = offsetof(FileEntry, rawname);
constexpr int kRecordPairs = (DI_BLOCK_SIZE - DI_DATA_START) / 2;
constexpr int kMaxTracks = 80;

bool known_status(int code) {
  switch (code) {
    case DI_STATUS_UNKNOWN:
    case DI_STATUS_OK:
    case DI_STATUS_FILES_SCRATCHED:
    case DI_STATUS_FILE_TOO_LARGE:
    case DI_STATUS_FILE_NOT_FOUND:
    case DI_STATUS_FILE_EXISTS:
    case DI_STATUS_TYPE_MISMATCH:
    case DI_STATUS_ILLEGAL_TS:
    case DI_STATUS_DISK_FULL:
    case DI_STATUS_DRIVE_NOT_READY:
    case DI_STATUS_FRESH:
    case DI_STATUS_FAILED:
      return true;
    default:  // error information: read errors
      return code >= DI_STATUS_HEADER_NOT_FOUND && code <= DI_STATUS_ID_MISMATCH;
  }
}

}  // namespace

void ImageState::take(const DiImage *image) {
  bytes.assign(image->blocks, image->blocks + image->size);
  free_blocks = image->free_blocks;
  open_files = image->open_files;
  dirty = image->dirty;
}

Invariants Invariants::aborting() {
  return Invariants([](const Violation &v) {
    std::fprintf(stderr, "%s:%d: invariant violated: %s\n", v.file, v.line, v.what);
    std::abort();
  });
}

void Invariants::status(const DiImage *image) const {
  KESTRIX_FUZZ_EXPECT(*this, known_status(image->status));
  char text[DI_STATUS_SIZE + 16];
  std::memset(text, 0x55, sizeof text);
  const int code = di_status(image, text);
  KESTRIX_FUZZ_EXPECT(
      *this, code == (image->status == DI_STATUS_FRESH ? DI_STATUS_DOS_MISMATCH : image->status));
  KESTRIX_FUZZ_EXPECT(*this, std::memchr(text, '\0', DI_STATUS_SIZE) != nullptr);
  KESTRIX_FUZZ_EXPECT(*this, text[DI_STATUS_SIZE] == 0x55);
}

// di_open() looks a name up along the directory's links as stored, stopping
// only at a link that names no block or at a block met again; the reader
// stops besides at a block whose error information reports an error and at
// an empty last block. So the two are compared only where the reader reaches
// the directory's end without a stop: then both pass the same blocks in the
// same order. Within those the reader delivers every slot with a type byte
// but those in the undelivered tail of a short last block, which come after
// all the others. Hence, for each file type 1-7 that a delivered slot has
// (type 0 would also find the free slots the reader skips): when a delivered
// slot of the type matches by the reference rule, di_open() finds the first
// of them; when none does, di_open() finds no delivered slot. When the open
// fails after the lookup (a bad first block), which slot it found is unknown
// and only the not-found status is compared.
void Invariants::matching(DiImage *image, const RawName &pattern) const {
  if (pattern[0] == '$' && pattern[1] == '\0') return;  // the directory itself
  std::vector<const unsigned char *> slots;
  bool whole = false;
  DiDirReader reader;
  if (di_dir_open(image, &reader)) {
    if (di_dir_read_header(&reader)) {
      DiDirEntry entry;
      while (di_dir_next(&reader, &entry))
        slots.push_back(di_get_ts_addr(image, entry.block) + DI_SLOT_SIZE * entry.index);
      whole = reader.stop == 0;
    }
    di_dir_close(&reader);
  }
  if (!whole) return;
  unsigned types = 0;
  for (const unsigned char *slot : slots) types |= 1u << (slot[kSlotType] & DI_TYPE_MASK);
  for (int type = 1; type <= DI_TYPE_MASK; ++type) {
    if (!(types & 1u << type)) continue;
    const unsigned char *first = nullptr;
    for (const unsigned char *slot : slots) {
      if ((slot[kSlotType] & DI_TYPE_MASK) == type &&
          reference_match(pattern.data(), slot + kSlotName)) {
        first = slot;
        break;
      }
    }
    DiFile *file = di_open(image, pattern.data(), type, "rb");
    if (file) {
      const auto *found = reinterpret_cast<const unsigned char *>(file->entry);
      di_close(file);
      KESTRIX_FUZZ_EXPECT(*this, first
                                     ? found == first
                                     : std::find(slots.begin(), slots.end(), found) == slots.end());
    } else if (image->status == DI_STATUS_FILE_NOT_FOUND) {
      KESTRIX_FUZZ_EXPECT(*this, first == nullptr);
    }
  }
}

void Invariants::unchanged(const ImageState &before, const DiImage *image) const {
  KESTRIX_FUZZ_EXPECT(*this, image->open_files == before.open_files);
  KESTRIX_FUZZ_EXPECT(*this, image->dirty == before.dirty);
  KESTRIX_FUZZ_EXPECT(*this, image->free_blocks == before.free_blocks);
  KESTRIX_FUZZ_EXPECT(*this, before.bytes.size() == static_cast<size_t>(image->size) &&
                                 std::memcmp(before.bytes.data(), image->blocks, image->size) == 0);
}

// A few per slot (how its walks end, unclosed, its count), a few per block
// (shared, used but free, allocated but unused, damaged) and a record's walk
// for each pair a record list can hold; per track a BAM count; and the
// directory's link and stop.
void Invariants::problem_bound(const DiCheck &check) const {
  const long long bound =
      6LL * check.file_count + (4LL + kRecordPairs) * check.block_count + kMaxTracks + 2;
  KESTRIX_FUZZ_EXPECT(*this, check.problem_count >= 0 && check.problem_count <= bound);
}

void Invariants::json_report(std::string_view text) const {
  KESTRIX_FUZZ_EXPECT(*this, !text.empty() && text.find('\n') == text.size() - 1);
  KESTRIX_FUZZ_EXPECT(*this, json_well_formed(text));
}

// The picture draws each block once with a hover text naming at most two
// owners, and outlines it once more for its marks; each of those texts is at
// most 16 name bytes, every one of which escaping may make six ("&quot;"),
// so a block needs well under 1 KiB. The legend gives each file a line of
// the same kind, the header shows the image's name twice, and the rest (the
// style, the colour keys, eight error lines) is a few KiB whatever the image.
// Anything larger repeats what it should not.
size_t Invariants::svg_size_limit(const DiCheck &check, size_t image_arg_size) {
  constexpr size_t kPerBlock = 1024, kPerFile = 512, kEscaped = 6, kFixed = 16384;
  return kPerBlock * static_cast<size_t>(check.block_count) +
         kPerFile * static_cast<size_t>(check.file_count) + 2 * kEscaped * image_arg_size + kFixed;
}

void Invariants::svg_report(std::string_view text, size_t limit) const {
  KESTRIX_FUZZ_EXPECT(*this, text.size() <= limit);
  KESTRIX_FUZZ_EXPECT(*this, xml_well_formed(text));
}

bool reference_match(const uint8_t *pattern, const uint8_t *name) {
  for (int i = 0; i < DI_NAME_SIZE; ++i) {
    if (pattern[i] == '*') return true;
    if (name[i] == DI_NAME_PAD) return pattern[i] == DI_NAME_PAD;
    if (pattern[i] != '?' && pattern[i] != name[i]) return false;
  }
  return true;
}

int bam_free_count(DiImage *image) {
  int total = 0;
  for (int t = 1; t <= di_tracks(image->type); ++t)
    if (t != image->header_ts.track) total += di_track_blocks_free(image, t);
  return total;
}

void Invariants::file_data(DiImage *image) const {
  DiListing *listing = di_listing(image, 0);
  KESTRIX_FUZZ_EXPECT(*this, listing != nullptr);
  if (!listing) return;
  long left = 16L * image->size;
  for (int i = 0; i < listing->file_count; ++i) {
    DiFileData *data = di_file_data(image, &listing->files[i].dir.slot, left);
    KESTRIX_FUZZ_EXPECT(*this, data != nullptr);
    if (!data) break;
    const long taken = data->size + (data->info_read ? DI_INFO_SIZE : 0);
    KESTRIX_FUZZ_EXPECT(*this, taken >= 0 && taken <= left);
    KESTRIX_FUZZ_EXPECT(*this, (data->size == 0) == (data->data == nullptr));
    KESTRIX_FUZZ_EXPECT(
        *this, data->blocks_read >= 0 && data->size <= data->blocks_read * long{DI_BLOCK_SIZE});
    KESTRIX_FUZZ_EXPECT(*this, data->lost_count <= std::max(130, data->blocks_read + 1));
    KESTRIX_FUZZ_EXPECT(
        *this, !data->complete || (data->status.code == 0 && !data->cut && data->lost_count == 0));
    KESTRIX_FUZZ_EXPECT(*this, data->record_count <= kRecordPairs);
    long at = 0;
    for (int r = 0; r < data->record_count; ++r) {
      KESTRIX_FUZZ_EXPECT(*this, data->records[r].offset == at && data->records[r].size >= 0);
      at += data->records[r].size;
    }
    KESTRIX_FUZZ_EXPECT(*this, data->record_count == 0 || at == data->size);
    left -= taken;
    di_file_data_free(data);
  }
  di_listing_free(listing);
}

}  // namespace kestrix_fuzz
