// The image recipe: how a fuzz input describes a disk image, and the other
// direction, for seeds and regression cases written as readable calls.
//
//   byte 0, flags:
//     bits 0-1  kind, a row of kImageKinds: 0 D64, 1 D71, 2 D81, 3 D64 of 42
//               tracks, or with bit 6 of 40 tracks
//     bit 2     the image carries error information (every byte 1, "no error")
//     bit 3     full-format the image first
//     bit 4     with bit 3: write sample files; the next two bytes give their
//               number (0-7) and a seed for their sizes
//     bit 5     raw: the rest of the input is copied over the image from the
//               header block on, so that short inputs land in the directory
//     bit 6     with kind 3: 40 tracks rather than 42
//   then, unless raw, records until the input ends (a truncated record simply
//   ends early): a kind byte (taken modulo 4) and the fields kRecordLayouts
//   gives for that kind.
//
// Track and sector bytes are reduced into the geometry (track 1 + t % tracks,
// sector s % sectors), so records always land inside the image; the bytes
// they store are never checked, which is the point. The bytes made are then
// loaded as a file of them would be.
#ifndef KESTRIX_FUZZ_RECIPE_H
#define KESTRIX_FUZZ_RECIPE_H

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "diskimage/diskimage.h"
#include "fuzz/input.h"

namespace kestrix_fuzz {

// A raw name, 16 bytes padded with 0xA0.
using RawName = std::array<uint8_t, DI_NAME_SIZE>;

enum ImageFlags : uint8_t {
  kKindMask = 0x03,
  kErrorInfo = 0x04,
  kFormat = 0x08,
  kFiles = 0x10,
  kRaw = 0x20,
  kFortyTracks = 0x40,
};

// What the kind bits select. The sizes live here, with the kind, so that a
// format of another size is one more row rather than a case in every switch.
struct ImageKind {
  ImageType type;
  long size;
  long size_with_errors;
};
inline constexpr ImageKind kImageKinds[5] = {
    {D64, DI_D64_SIZE, DI_D64_ERR_SIZE},          {D71, DI_D71_SIZE, DI_D71_ERR_SIZE},
    {D81, DI_D81_SIZE, DI_D81_ERR_SIZE},          {D64_42, DI_D64_42_SIZE, DI_D64_42_ERR_SIZE},
    {D64_40, DI_D64_40_SIZE, DI_D64_40_ERR_SIZE},
};
// The row the flags select.
inline const ImageKind &image_kind(uint8_t flags) {
  const int row = flags & kKindMask;
  return kImageKinds[row == 3 && (flags & kFortyTracks) ? 4 : row];
}

// ---- Records ------------------------------------------------------------------

enum RecordKind : uint8_t { kBlockBytes, kSystemBytes, kLink, kErrorByte, kRecordKinds };

// The fields a record may have, each with one byte encoding.
enum class Field : uint8_t {
  kEnd,          // ends a layout
  kBlock,        // track byte, sector byte: reduced into the geometry
  kSystemBlock,  // one byte, see SystemBlock
  kOffset,       // one byte: where in the block
  kRun,          // length - 1, then that many bytes, cut at the block's end
  kLinkBytes,    // two bytes stored as given
  kBlockNumber,  // two bytes, low first: an error-information index
  kValue,        // one byte
};

// Selectors of a system block below 0x80; 0x80 + n is sector n of the header track.
enum SystemBlock : uint8_t { kBam = 0, kHeader = 1, kFirstDir = 2, kBam2 = 3, kHeaderTrack = 0x80 };

// One table for the decoder and the writer, so that the two read and write
// the same bytes.
struct RecordLayout {
  RecordKind kind;
  std::array<Field, 4> fields;
};
inline constexpr RecordLayout kRecordLayouts[kRecordKinds] = {
    {kBlockBytes, {Field::kBlock, Field::kOffset, Field::kRun}},
    {kSystemBytes, {Field::kSystemBlock, Field::kOffset, Field::kRun}},
    {kLink, {Field::kBlock, Field::kLinkBytes}},
    {kErrorByte, {Field::kBlockNumber, Field::kValue}},
};

// A record's fields as encoded; those its layout lacks stay as they are.
struct Record {
  RecordKind kind = kBlockBytes;
  uint8_t track = 0;  // as stored: the writer's track - 1
  uint8_t sector = 0;
  uint8_t system = 0;
  uint8_t offset = 0;
  std::span<const uint8_t> run;
  uint8_t link[2] = {0, 0};
  uint16_t block_number = 0;
  uint8_t value = 0;
};

// Reads one record's fields as its kind's layout says.
Record read_record(Input &in);
// Appends a record as its kind's layout says; a run must fit its block.
void write_record(const Record &record, std::vector<uint8_t> &out);

// ---- Images ---------------------------------------------------------------------

// Every image the fuzz code makes is released without being written back.
struct ImageDeleter {
  void operator()(DiImage *image) const;
};
using ImagePtr = std::unique_ptr<DiImage, ImageDeleter>;

struct BuiltImage {
  ImagePtr image;
  // The BAM is known to be consistent: formatted by the library and changed
  // only through it since, with no error recorded for any block.
  bool trusted = false;
};

// Builds the image an input describes and loads it from those bytes, as a
// file of them would load. Null only when memory ran out.
BuiltImage build_image(Input &in, const char *path);

RawName raw_name(const char *text);
// The block a track and a sector byte stand for.
TsPair pick_block(ImageType type, uint8_t track, uint8_t sector);
// Deterministic filler for file contents.
void fill_pattern(uint8_t *data, size_t len, unsigned seed);
// No block of the image reports a read error.
bool error_info_clean(const DiImage *image);
int error_info_size(const DiImage *image);

// ---- Writing recipes ------------------------------------------------------------

class RecipeWriter {
 public:
  explicit RecipeWriter(uint8_t flags) { bytes_.push_back(flags); }

  // Only directly after the flags, and only with kFormat | kFiles.
  RecipeWriter &files(int count, int seed);
  // Long runs go on at the start of the same block.
  RecipeWriter &block_bytes(int track, int sector, int offset, const std::vector<uint8_t> &data);
  RecipeWriter &system_bytes(uint8_t which, int offset, const std::vector<uint8_t> &data);
  RecipeWriter &link(int track, int sector, int link_track, int link_sector);
  RecipeWriter &error(int block, int value);
  // In raw mode: bytes copied from the header block on.
  RecipeWriter &raw(const std::vector<uint8_t> &data);
  const std::vector<uint8_t> &bytes() const { return bytes_; }

 private:
  RecipeWriter &runs(Record record, int offset, const std::vector<uint8_t> &data);
  std::vector<uint8_t> bytes_;
};

// Describes an existing image compactly: every block of the header track (and
// the second BAM block) in full, of every other block only its link, and every
// error-information byte that reports an error. The file data itself does not
// matter to the code under test, the links do; a description cut short by the
// fuzzer's length limit still holds the directory, which comes first.
std::vector<uint8_t> describe_image(DiImage *image);

}  // namespace kestrix_fuzz

#endif  // KESTRIX_FUZZ_RECIPE_H
