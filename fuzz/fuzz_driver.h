// Turns arbitrary bytes into disk images and into sequences of library calls,
// and checks what must hold whatever the bytes are. Shared by the libFuzzer
// targets (clang) and by the regression tests (the normal build), so that
// every input a fuzzer ever found replays in the ordinary test suite.
//
// Image description (the scanner target's whole input):
//   byte 0, flags:
//     bits 0-1  kind: 0 D64, 1 D71, 2 D81, 3 D64
//     bit 2     the image carries error information (every byte 1, "no error")
//     bit 3     full-format the image first
//     bit 4     with bit 3: write sample files; the next two bytes give their
//               number (0-7) and a seed for their sizes
//     bit 5     raw: the rest of the input is copied over the image from the
//               header block on, so that short inputs land in the directory
//   then, unless raw, records until the input ends (a truncated record simply
//   ends early):
//     r%4 == 0  block bytes: track, sector, offset, length - 1, bytes
//     r%4 == 1  system block bytes: which (see system_block), offset,
//               length - 1, bytes
//     r%4 == 2  link: track, sector, then the two link bytes, stored as given
//     r%4 == 3  error information: block number (two bytes, low first), value
//   Track and sector bytes are reduced into the geometry (track 1 + t % tracks,
//   sector s % sectors), so records always land inside the image; the bytes
//   they store are never checked, which is the point.
//
// Library session (the library target's input): two bytes (low first) giving
// the length of an image description, the description, then operations; see
// LibrarySession for their encoding.
#ifndef KESTRIX_FUZZ_FUZZ_DRIVER_H
#define KESTRIX_FUZZ_FUZZ_DRIVER_H

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "diskimage/internal.h"
#include "fuzz/json_check.h"
#include "scanner/reports.h"

namespace kestrix_fuzz {

// ---- Invariant violations ---------------------------------------------------

// Fuzzers abort, so that libFuzzer keeps the input; tests install a handler
// that records a test failure and lets the run go on.
using ViolationHandler = void (*)(const char *what, const char *file, int line);

inline void abort_on_violation(const char *what, const char *file, int line) {
  std::fprintf(stderr, "%s:%d: invariant violated: %s\n", file, line, what);
  std::abort();
}

inline ViolationHandler violation_handler = abort_on_violation;

#define KESTRIX_FUZZ_EXPECT(cond) \
  ((cond) ? (void)0 : ::kestrix_fuzz::violation_handler(#cond, __FILE__, __LINE__))

// ---- Reading the input ------------------------------------------------------

// A cursor over the input; past its end every byte reads as 0.
class Input {
 public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  size_t remaining() const { return empty() ? 0 : size_ - pos_; }
  uint8_t byte() { return empty() ? 0 : data_[pos_++]; }
  unsigned u16() {
    unsigned low = byte();
    return low | static_cast<unsigned>(byte()) << 8;
  }
  // Copies up to n bytes; returns how many there were.
  size_t take(uint8_t *dst, size_t n) {
    n = std::min(n, remaining());
    if (n > 0) std::memcpy(dst, data_ + pos_, n);
    pos_ += n;
    return n;
  }
  // Splits off the next n bytes (fewer at the end) as an input of their own.
  Input split(size_t n) {
    n = std::min(n, remaining());
    Input part(data_ + pos_, n);
    pos_ += n;
    return part;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

// ---- Images -----------------------------------------------------------------

enum ImageFlags : uint8_t {
  kKindMask = 0x03,
  kErrorInfo = 0x04,
  kFormat = 0x08,
  kFiles = 0x10,
  kRaw = 0x20,
};

enum RecordKind : uint8_t { kBlockBytes = 0, kSystemBytes = 1, kLink = 2, kErrorByte = 3 };

// Selectors of system_block() below 0x80; 0x80 + n is sector n of the header track.
enum SystemBlock : uint8_t { kBam = 0, kHeader = 1, kFirstDir = 2, kBam2 = 3, kHeaderTrack = 0x80 };

inline constexpr ImageType kKinds[4] = {D64, D71, D81, D64};
inline constexpr int kScanSize = 169984;  // what the listing reads of each file
inline constexpr int kStatusSize = DI_STATUS_SIZE;

inline long long image_size(ImageType type, bool error_info) {
  switch (type) {
    case D71:
      return error_info ? DI_D71_ERR_SIZE : DI_D71_SIZE;
    case D81:
      return error_info ? DI_D81_ERR_SIZE : DI_D81_SIZE;
    default:
      return error_info ? DI_D64_ERR_SIZE : DI_D64_SIZE;
  }
}

inline int total_blocks(ImageType type) {
  int blocks = 0;
  for (int t = 1; t <= di_tracks(type); ++t) blocks += di_sectors_per_track(type, t);
  return blocks;
}

inline int error_info_size(const DiImage *image) {
  return image->error_info ? static_cast<int>(image->blocks + image->size - image->error_info) : 0;
}

// Every image the drivers make is released without being written back.
struct ImageDeleter {
  void operator()(DiImage *image) const {
    if (image) image->dirty = 0;
    di_free_image(image);
  }
};
using ImagePtr = std::unique_ptr<DiImage, ImageDeleter>;

inline TsPair pick_block(ImageType type, uint8_t track, uint8_t sector) {
  int t = 1 + track % di_tracks(type);
  return diskimage::make_ts(t, sector % di_sectors_per_track(type, t));
}

inline TsPair system_block(DiImage *image, uint8_t which) {
  if (which & kHeaderTrack) {
    int t = image->header_ts.track;
    return diskimage::make_ts(t, (which & 0x7F) % di_sectors_per_track(image->type, t));
  }
  switch (which % 4) {
    case kBam:
      return image->bam_ts;
    case kHeader:
      return image->header_ts;
    case kFirstDir: {
      TsPair dir = di_get_dir_ts(image);
      return di_ts_is_valid(image->type, dir) ? dir : image->header_ts;
    }
    default:
      return image->type == D64 ? diskimage::make_ts(18, 1) : image->bam2_ts;
  }
}

inline void fill_pattern(uint8_t *data, size_t len, unsigned seed) {
  for (size_t i = 0; i < len; ++i)
    data[i] = static_cast<uint8_t>(seed * 131 + i * 7 + (i >> 8) * 3);
}

inline std::array<uint8_t, 16> raw_name(const char *text) {
  std::array<uint8_t, 16> raw{};
  di_rawname_from_name(raw.data(), text);
  return raw;
}

// Writes up to seven small files of assorted lengths (empty, one byte, exactly
// one block, one byte over, ...), so that the directory and the BAM hold
// something for the records to damage.
inline void write_sample_files(DiImage *image, int count, unsigned seed) {
  static constexpr int kSizes[] = {0, 1, 254, 255, 508, 700, 3000, 9000};
  for (int i = 0; i < count; ++i) {
    char name[17];
    std::snprintf(name, sizeof name, "FILE %d", i);
    DiFile *file = di_open(image, raw_name(name).data(), i % 3 + 1, "wb");
    if (!file) continue;
    std::vector<uint8_t> data(kSizes[(seed + 3 * i) % 8]);
    fill_pattern(data.data(), data.size(), seed + i);
    di_write(file, data.data(), static_cast<int>(data.size()));
    di_close(file);
  }
}

// No block reports a read error, so every chain reads to its end.
inline bool error_info_clean(const DiImage *image) {
  for (int i = 0; i < error_info_size(image); ++i)
    if (image->error_info[i] != 1) return false;
  return true;
}

struct BuiltImage {
  ImagePtr image;
  // The BAM is known to be consistent: formatted by the library and changed
  // only through it since, with no error recorded for any block.
  bool trusted = false;
};

// Builds the image an input describes; it looks exactly as if it had just been
// loaded from a file of these bytes.
inline BuiltImage build_image(Input &in, const char *path) {
  const uint8_t flags = in.byte();
  const ImageType type = kKinds[flags & kKindMask];
  const long long size = image_size(type, (flags & kErrorInfo) != 0);
  auto *bytes = static_cast<unsigned char *>(std::calloc(static_cast<size_t>(size), 1));
  BuiltImage built{ImagePtr(diskimage::image_from_buffer(path, bytes, size)), false};
  DiImage *image = built.image.get();
  if (!image) return built;
  if (image->error_info) std::memset(image->error_info, 1, error_info_size(image));
  if (flags & kFormat) {
    const uint8_t id[2] = {'F', 'Z'};
    di_format(image, raw_name("KESTRIX FUZZ").data(), id);
    if (flags & kFiles) {
      const int count = in.byte() % 8;
      write_sample_files(image, count, in.byte());
    }
    built.trusted = error_info_clean(image);
  }
  if (flags & kRaw) {
    unsigned char *from = di_get_ts_addr(image, image->header_ts);
    if (in.take(from, image->blocks + image->size - from) > 0) built.trusted = false;
  } else {
    while (!in.empty()) {
      built.trusted = false;
      const uint8_t record = in.byte();
      switch (record % 4) {
        case kBlockBytes:
        case kSystemBytes: {
          TsPair ts;
          if (record % 4 == kBlockBytes) {
            const uint8_t track = in.byte();
            ts = pick_block(type, track, in.byte());
          } else {
            ts = system_block(image, in.byte());
          }
          const int offset = in.byte();
          const int len = std::min(in.byte() + 1, diskimage::kBlockSize - offset);
          in.take(di_get_ts_addr(image, ts) + offset, static_cast<size_t>(len));
          break;
        }
        case kLink: {
          const uint8_t track = in.byte();
          unsigned char *block = di_get_ts_addr(image, pick_block(type, track, in.byte()));
          block[diskimage::kLinkTrack] = in.byte();
          block[diskimage::kLinkSector] = in.byte();
          break;
        }
        default: {
          const unsigned index = in.u16();
          const uint8_t value = in.byte();
          if (image->error_info)
            image->error_info[index % static_cast<unsigned>(error_info_size(image))] = value;
          break;
        }
      }
    }
  }
  // As loading leaves it.
  image->open_files = 0;
  image->free_blocks = diskimage::blocks_free(image);
  image->dirty = 0;
  diskimage::set_status(image, 254, 0, 0);
  return built;
}

// ---- Checks shared by both drivers ------------------------------------------

inline bool known_status(int code) {
  switch (code) {
    case -1:   // a block problem the drives have no number for
    case 0:    // ok
    case 1:    // files scratched
    case 52:   // a chain passed a block twice
    case 62:   // file not found
    case 63:   // file exists
    case 64:   // file type mismatch
    case 66:   // illegal track or sector
    case 72:   // disk full
    case 74:   // error information: drive not ready
    case 254:  // fresh image
    case 255:  // open failed
      return true;
    default:
      return code >= 20 && code <= 29;  // error information: read errors
  }
}

inline void check_status(DiImage *image) {
  KESTRIX_FUZZ_EXPECT(known_status(image->status));
  char text[kStatusSize + 16];
  std::memset(text, 0x55, sizeof text);
  const int code = di_status(image, text);
  KESTRIX_FUZZ_EXPECT(code == (image->status == 254 ? 73 : image->status));
  KESTRIX_FUZZ_EXPECT(std::memchr(text, '\0', kStatusSize) != nullptr);
  KESTRIX_FUZZ_EXPECT(text[kStatusSize] == 0x55);
}

// The name-matching rule as it reads, byte by byte. The library's own is tuned
// for speed, and must give the same answer for every pair of names.
inline bool reference_match(const uint8_t *pattern, const uint8_t *name) {
  for (int i = 0; i < diskimage::kNameSize; ++i) {
    if (pattern[i] == '*') return true;
    if (name[i] == diskimage::kNamePad) return pattern[i] == diskimage::kNamePad;
    if (pattern[i] != '?' && pattern[i] != name[i]) return false;
  }
  return true;
}

// ---- The scanner ------------------------------------------------------------

// The check's problems stay within a few per block and per slot, and the
// JSON report is one well-formed line, whatever the image.
inline void check_reports(DiImage *image) {
  DiCheck *check = di_check(image);
  KESTRIX_FUZZ_EXPECT(check != nullptr);
  if (check) {
    const long long bound =
        6LL * check->file_count + (4LL + diskimage::kRecordPairs) * check->block_count + 80 + 2;
    KESTRIX_FUZZ_EXPECT(check->problem_count <= bound);
    di_check_free(check);
  }
  facts::ImageFacts image_facts(image, "fuzz \"image\".d64");
  print_check(image_facts, stdout);
  char *text = nullptr;
  size_t size = 0;
  FILE *memory = open_memstream(&text, &size);
  KESTRIX_FUZZ_EXPECT(memory != nullptr);
  if (!memory) return;
  print_json(image_facts, memory);
  std::fclose(memory);
  KESTRIX_FUZZ_EXPECT(size > 0 && text[size - 1] == '\n' &&
                      std::memchr(text, '\n', size) == text + size - 1);
  KESTRIX_FUZZ_EXPECT(JsonCheck(text, size).whole());
  std::free(text);
}

// Every listed file's data read whole as -extract reads it, within the
// extraction's limit shared out in listing order: what each read delivers
// stays within what it was given and what its record says of itself.
inline void check_file_data(DiImage *image) {
  DiListing *listing = di_listing(image, 0);
  KESTRIX_FUZZ_EXPECT(listing != nullptr);
  if (!listing) return;
  long left = 16L * image->size;
  for (int i = 0; i < listing->file_count; ++i) {
    DiFileData *data = di_file_data(image, &listing->files[i].dir.slot, left);
    KESTRIX_FUZZ_EXPECT(data != nullptr);
    if (!data) break;
    const long taken = data->size + (data->info_read ? DI_INFO_SIZE : 0);
    KESTRIX_FUZZ_EXPECT(taken >= 0 && taken <= left);
    KESTRIX_FUZZ_EXPECT((data->size == 0) == (data->data == nullptr));
    KESTRIX_FUZZ_EXPECT(data->blocks_read >= 0 && data->size <= data->blocks_read * 256L);
    KESTRIX_FUZZ_EXPECT(data->lost_count <= std::max(130, data->blocks_read + 1));
    KESTRIX_FUZZ_EXPECT(!data->complete ||
                        (data->status.code == 0 && !data->cut && data->lost_count == 0));
    KESTRIX_FUZZ_EXPECT(data->record_count <= diskimage::kRecordPairs);
    long at = 0;
    for (int r = 0; r < data->record_count; ++r) {
      KESTRIX_FUZZ_EXPECT(data->records[r].offset == at && data->records[r].size >= 0);
      at += data->records[r].size;
    }
    KESTRIX_FUZZ_EXPECT(data->record_count == 0 || at == data->size);
    left -= taken;
    di_file_data_free(data);
  }
  di_listing_free(listing);
}

// Runs the reports the way the command line would, and the listing again
// from facts gathered afresh. The reports only read the image: its bytes, its
// count of open files and its modified flag must come out as they went in.
inline void run_reports(DiImage *image) {
  // Kept between runs: a fresh image-sized allocation per run costs more than
  // the reports themselves.
  static std::vector<uint8_t> before;
  before.assign(image->blocks, image->blocks + image->size);
  const int free_blocks = image->free_blocks;
  {
    facts::ImageFacts image_facts(image, "fuzz<&\">.img");
    print_dir(image_facts, stdout);
    print_map(image_facts, stdout);
    print_bammessage(image_facts, stdout);
    print_svg(image_facts, stdout);
  }
  facts::ImageFacts again(image, "fuzz.img");
  print_dir(again, stdout);
  check_reports(image);
  check_file_data(image);
  KESTRIX_FUZZ_EXPECT(image->open_files == 0);
  KESTRIX_FUZZ_EXPECT(image->dirty == 0);
  KESTRIX_FUZZ_EXPECT(image->free_blocks == free_blocks);
  KESTRIX_FUZZ_EXPECT(std::memcmp(before.data(), image->blocks, before.size()) == 0);
  check_status(image);
}

inline void run_scanner_input(const uint8_t *data, size_t size) {
  Input in(data, size);
  BuiltImage built = build_image(in, "fuzz.img");
  KESTRIX_FUZZ_EXPECT(built.image != nullptr);
  if (built.image) run_reports(built.image.get());
}

// ---- The library ------------------------------------------------------------

enum Op : uint8_t {
  kOpenDir,      // slot, type
  kOpenRead,     // slot, name, type
  kRead,         // slot, length
  kOpenWrite,    // slot, name, type byte
  kWrite,        // slot, length (two bytes), seed
  kClose,        // slot
  kFormatImage,  // full (bit 0), name, id (two bytes); twice per session at most
  kDelete,       // name, type
  kRename,       // name, new name, type
  kAllocBlock,   // track, sector
  kFreeBlock,    // track, sector
  kSync,         // (at most once per session)
  kPoke,         // track, sector, offset, value
  kResetStatus,  //
  kOpCount
};

inline constexpr int kHandles = 4;
// A length byte with bit 7 set reads as the listing's scan size.
inline constexpr uint8_t kReadScanSize = 0x80;
// A write length with bit 15 set counts in units of eight bytes.
inline constexpr unsigned kWriteLong = 0x8000;
// Name selectors from this value on are followed by their raw bytes.
inline constexpr uint8_t kRawNameBase = 0xC0;

// Names the operations use: those of the sample files, wildcard patterns, and
// odd cases. Any other name comes from the input itself.
inline constexpr const char *kNames[] = {
    "FILE 0", "FILE 1", "FILE 2", "FILE 3", "*",       "FILE ?", "F*",
    "?",      "NEW",    "NEW*",   "",       "FILE 10", "N?W",    "FILE 0*",
};
inline constexpr int kNameCount = sizeof kNames / sizeof kNames[0];

struct SessionStats {
  int ops = 0;
  int files_verified = 0;  // files written, closed and read back intact
  long bytes_verified = 0;
  int syncs_verified = 0;
};

// Decodes operations and carries them out on one image, checking after each
// what must hold on any image, and on images whose BAM is known to be
// consistent also that the free count agrees with the BAM and that every file
// written and closed reads back exactly.
class LibrarySession {
 public:
  LibrarySession(DiImage *image, bool trusted, std::string sync_path)
      : image_(image),
        trusted_(trusted),
        counts_agree_(trusted),
        sync_path_(std::move(sync_path)) {}

  SessionStats run(Input &ops) {
    check_image();
    while (!ops.empty()) {
      step(ops);
      ++stats_.ops;
      check_image();
    }
    for (int h = 0; h < kHandles; ++h) close_handle(h);
    KESTRIX_FUZZ_EXPECT(image_->open_files == 0);
    check_image();
    return stats_;
  }

 private:
  struct Handle {
    DiFile *file = nullptr;
    bool writing = false;
    bool clean = false;  // a consistent BAM all the while it was open
    bool all_taken = true;
    std::array<uint8_t, 16> name{};
    int type = 0;
    std::vector<uint8_t> written;
  };

  std::array<uint8_t, 16> read_name(Input &in) {
    const uint8_t selector = in.byte();
    std::array<uint8_t, 16> raw;
    if (selector < kRawNameBase) {
      raw = raw_name(kNames[selector % kNameCount]);
    } else {
      raw.fill(diskimage::kNamePad);
      in.take(raw.data(), (selector - kRawNameBase) % 17);
    }
    check_matching(raw);
    return raw;
  }

  // The library's matching against the rule, for a name from the input taken
  // as a pattern: against itself, the table's names and every slot's name.
  void check_matching(const std::array<uint8_t, 16> &pattern) {
    auto agree = [&pattern](const uint8_t *name) {
      return (diskimage::match_pattern(pattern.data(), name) != 0) ==
             reference_match(pattern.data(), name);
    };
    KESTRIX_FUZZ_EXPECT(agree(pattern.data()));
    for (const char *text : kNames) KESTRIX_FUZZ_EXPECT(agree(raw_name(text).data()));
    diskimage::find_slot(image_, [&](FileEntry *slot) {
      KESTRIX_FUZZ_EXPECT(agree(slot->rawname));
      return false;
    });
  }

  int open_handles() const {
    int open = 0;
    for (const Handle &h : handles_) open += h.file != nullptr;
    return open;
  }

  bool writers_open() const {
    for (const Handle &h : handles_)
      if (h.file && h.writing) return true;
    return false;
  }

  void distrust() {
    trusted_ = false;
    counts_agree_ = false;
    for (Handle &h : handles_) h.clean = false;
  }

  // The last len bytes of a buffer as large as any length an operation asks
  // for, so that the library reading or writing a byte past len runs off the
  // allocation, where the address sanitizer sees it.
  static uint8_t *tail_of(std::vector<uint8_t> &buffer, int len) {
    return buffer.data() + buffer.size() - static_cast<size_t>(len);
  }

  void check_image() {
    KESTRIX_FUZZ_EXPECT(image_->open_files == open_handles());
    KESTRIX_FUZZ_EXPECT(image_->free_blocks >= 0);
    KESTRIX_FUZZ_EXPECT(image_->free_blocks <= 255 * di_tracks(image_->type));
    if (counts_agree_) {
      KESTRIX_FUZZ_EXPECT(image_->free_blocks == diskimage::blocks_free(image_));
      KESTRIX_FUZZ_EXPECT(image_->free_blocks <= total_blocks(image_->type));
    }
    check_status(image_);
  }

  void step(Input &in) {
    const uint8_t op = in.byte() % kOpCount;
    switch (op) {
      case kOpenDir:
      case kOpenRead: {
        const int h = in.byte() % kHandles;
        close_handle(h);
        static const uint8_t kDirectory[16] = {'$', 0};
        const std::array<uint8_t, 16> name =
            op == kOpenDir ? std::array<uint8_t, 16>{} : read_name(in);
        const int type = static_cast<int8_t>(in.byte()) % 9;  // -8 to 8: a few outside 0-7
        DiFile *file = di_open(image_, op == kOpenDir ? kDirectory : name.data(), type, "rb");
        KESTRIX_FUZZ_EXPECT(file ? image_->status == 0 : image_->status != 0);
        handles_[h] = Handle{};
        handles_[h].file = file;
        break;
      }
      case kRead: {
        Handle &h = handles_[in.byte() % kHandles];
        const uint8_t high = in.byte();
        const int len = high & kReadScanSize ? kScanSize : (high << 8 | in.byte());
        if (!h.file || h.writing) break;
        const int got = di_read(h.file, tail_of(read_buffer_, len), len);
        KESTRIX_FUZZ_EXPECT(got >= 0 && got <= len);
        break;
      }
      case kOpenWrite: {
        const int h = in.byte() % kHandles;
        close_handle(h);
        const std::array<uint8_t, 16> name = read_name(in);
        const int type = in.byte();
        // A slot of type byte 0 counts as free, so this creation may take the
        // very slot that an open writer of such a type is filling.
        bool shared = false;
        for (Handle &other : handles_) {
          if (other.file && other.writing && other.type == 0) {
            other.clean = false;
            shared = true;
          }
        }
        DiFile *file = di_open(image_, name.data(), type, "wb");
        KESTRIX_FUZZ_EXPECT(file ? image_->status == 0 : image_->status != 0);
        handles_[h] = Handle{};
        handles_[h].file = file;
        handles_[h].writing = true;
        handles_[h].clean = trusted_ && !shared;
        handles_[h].name = name;
        handles_[h].type = type;
        break;
      }
      case kWrite: {
        Handle &h = handles_[in.byte() % kHandles];
        const unsigned code = in.u16();
        const unsigned seed = in.byte();
        const int len = static_cast<int>(code & kWriteLong ? (code & ~kWriteLong) * 8 : code);
        if (!h.file || !h.writing) break;
        uint8_t *src = tail_of(write_buffer_, len);
        fill_pattern(src, static_cast<size_t>(len), seed);
        const int taken = di_write(h.file, src, len);
        KESTRIX_FUZZ_EXPECT(taken >= 0 && taken <= len);
        if (taken < len) {
          KESTRIX_FUZZ_EXPECT(image_->status == 72);
          h.all_taken = false;
        }
        if (taken > 0) h.written.insert(h.written.end(), src, src + taken);
        break;
      }
      case kClose:
        close_handle(in.byte() % kHandles);
        break;
      case kFormatImage: {
        const bool full = in.byte() & 1;
        const std::array<uint8_t, 16> name = read_name(in);
        uint8_t id[2];
        id[0] = in.byte();
        id[1] = in.byte();
        // A format rewrites the whole BAM, which costs more than most whole
        // sessions; past the first few it finds nothing new.
        if (++formats_ > kMaxFormats) break;
        const bool writers = writers_open();
        KESTRIX_FUZZ_EXPECT(di_format(image_, name.data(), full ? id : nullptr) == 0);
        KESTRIX_FUZZ_EXPECT(image_->status == 0 && image_->dirty == 1);
        // Writers still open hold slots and chains the format has just thrown
        // away; what they write next may land anywhere.
        if (writers) {
          distrust();
        } else {
          trusted_ = error_info_clean(image_);
          counts_agree_ = true;
        }
        break;
      }
      case kDelete: {
        const std::array<uint8_t, 16> pattern = read_name(in);
        const int type = static_cast<int8_t>(in.byte()) % 6;  // -5 to 5
        const int code = di_delete(image_, pattern.data(), type);
        KESTRIX_FUZZ_EXPECT(code == image_->status);
        KESTRIX_FUZZ_EXPECT(type >= 1 && type <= 3 ? code == 1 || code == 62 : code == 64);
        if (writers_open()) distrust();
        break;
      }
      case kRename: {
        const std::array<uint8_t, 16> pattern = read_name(in);
        const std::array<uint8_t, 16> name = read_name(in);
        const int type = static_cast<int8_t>(in.byte()) % 9;
        const int code = di_rename(image_, pattern.data(), name.data(), type);
        KESTRIX_FUZZ_EXPECT(code == image_->status && (code == 0 || code == 62));
        break;
      }
      case kAllocBlock:
      case kFreeBlock: {
        const uint8_t track = in.byte();
        const TsPair ts = pick_block(image_->type, track, in.byte());
        // Marking a used block free lets two files share it.
        if (op == kFreeBlock && !di_is_ts_free(image_, ts)) distrust();
        if (op == kAllocBlock) {
          di_alloc_ts(image_, ts);
        } else {
          di_free_ts(image_, ts);
        }
        counts_agree_ = false;
        break;
      }
      case kSync:
        sync_once();
        break;
      case kPoke: {
        const uint8_t track = in.byte();
        const TsPair ts = pick_block(image_->type, track, in.byte());
        const int offset = in.byte();
        di_get_ts_addr(image_, ts)[offset] = in.byte();
        image_->dirty = 1;
        distrust();
        break;
      }
      default:
        image_->status = 0;
        break;
    }
  }

  // Writes the image to its file (in a directory of its own) and compares the
  // file with the buffer. Writing costs a file system round trip, so a session
  // does it once at most.
  void sync_once() {
    if (synced_ || sync_path_.empty()) return;
    synced_ = true;
    image_->dirty = 1;
    di_sync(image_);
    KESTRIX_FUZZ_EXPECT(image_->dirty == 0);
    FILE *f = std::fopen(sync_path_.c_str(), "rb");
    KESTRIX_FUZZ_EXPECT(f != nullptr);
    if (!f) return;
    std::vector<uint8_t> back(static_cast<size_t>(image_->size) + 1);
    const size_t n = std::fread(back.data(), 1, back.size(), f);
    std::fclose(f);
    KESTRIX_FUZZ_EXPECT(n == static_cast<size_t>(image_->size));
    KESTRIX_FUZZ_EXPECT(std::memcmp(back.data(), image_->blocks, image_->size) == 0);
    ++stats_.syncs_verified;
  }

  void close_handle(int index) {
    Handle &h = handles_[index];
    if (!h.file) return;
    if (!h.writing) {
      di_close(h.file);
      h = Handle{};
      return;
    }
    FileEntry *entry = h.file->entry;
    image_->status = 0;
    di_close(h.file);
    h.file = nullptr;
    KESTRIX_FUZZ_EXPECT(image_->status == 0 || image_->status == 72);
    if (h.clean && h.all_taken && image_->status == 0) verify_written(h, entry);
    h = Handle{};
  }

  // Reads a file just written and closed back through a fresh handle.
  void verify_written(const Handle &h, FileEntry *entry) {
    const int type = h.type & DI_TYPE_MASK;
    // A name that is "$" opens the directory, and a pattern may find an earlier
    // slot; only a lookup that leads back to this very slot can be compared.
    if (h.name[0] == '$' && h.name[1] == 0) return;
    if (diskimage::find_file_entry(image_, h.name.data(), type) != entry) return;
    const int size = static_cast<int>(h.written.size());
    const int blocks = (size + diskimage::kDataSize - 1) / diskimage::kDataSize;
    KESTRIX_FUZZ_EXPECT(entry->type & DI_CLOSED);
    KESTRIX_FUZZ_EXPECT(entry->blocks[0] + 256 * entry->blocks[1] == (blocks & 0xFFFF));
    DiFile *file = di_open(image_, h.name.data(), type, "rb");
    if (size == 0) {
      // No block at all: the first block reads as 0/0, which is no block.
      KESTRIX_FUZZ_EXPECT(file == nullptr && image_->status == 66);
      if (file) di_close(file);
      return;
    }
    KESTRIX_FUZZ_EXPECT(file != nullptr);
    if (!file) return;
    std::unique_ptr<uint8_t[]> back(new uint8_t[size + 1]);
    const int got = di_read(file, back.get(), size + 1);
    KESTRIX_FUZZ_EXPECT(image_->status == 0);
    KESTRIX_FUZZ_EXPECT(got == size);
    KESTRIX_FUZZ_EXPECT(got == size && std::memcmp(back.get(), h.written.data(), size) == 0);
    di_close(file);
    ++stats_.files_verified;
    stats_.bytes_verified += size;
  }

  DiImage *image_;
  bool trusted_;
  bool counts_agree_;
  std::string sync_path_;
  bool synced_ = false;
  static constexpr int kMaxFormats = 2;
  int formats_ = 0;
  std::array<Handle, kHandles> handles_{};
  // Shared by all sessions, for the reason given at run_reports.
  static inline std::vector<uint8_t> read_buffer_ =
      std::vector<uint8_t>(std::max(kScanSize, 0x7FFF));
  static inline std::vector<uint8_t> write_buffer_ = std::vector<uint8_t>(0x7FFF * 8);
  SessionStats stats_;
};

// The library target's input: the length of the image description, the
// description, the operations.
inline SessionStats run_library_input(const uint8_t *data, size_t size,
                                      const std::string &sync_path) {
  Input in(data, size);
  const unsigned recipe_len = in.u16();
  Input recipe = in.split(recipe_len);
  BuiltImage built = build_image(recipe, sync_path.empty() ? "fuzz.img" : sync_path.c_str());
  KESTRIX_FUZZ_EXPECT(built.image != nullptr);
  if (!built.image) return {};
  return LibrarySession(built.image.get(), built.trusted, sync_path).run(in);
}

// ---- Writing inputs ---------------------------------------------------------
//
// The other direction, for the seed corpus and the regression tests: inputs
// built from readable calls instead of spelled out byte by byte.

class RecipeWriter {
 public:
  explicit RecipeWriter(uint8_t flags) { bytes_.push_back(flags); }

  // Only directly after the flags, and only with kFormat | kFiles.
  RecipeWriter &files(int count, int seed) {
    bytes_.push_back(static_cast<uint8_t>(count));
    bytes_.push_back(static_cast<uint8_t>(seed));
    return *this;
  }
  RecipeWriter &block_bytes(int track, int sector, int offset, const std::vector<uint8_t> &data) {
    return bytes_record(
        kBlockBytes, {static_cast<uint8_t>(track - 1), static_cast<uint8_t>(sector)}, offset, data);
  }
  RecipeWriter &system_bytes(uint8_t which, int offset, const std::vector<uint8_t> &data) {
    return bytes_record(kSystemBytes, {which}, offset, data);
  }
  RecipeWriter &link(int track, int sector, int link_track, int link_sector) {
    append({kLink, static_cast<uint8_t>(track - 1), static_cast<uint8_t>(sector),
            static_cast<uint8_t>(link_track), static_cast<uint8_t>(link_sector)});
    return *this;
  }
  RecipeWriter &error(int block, int value) {
    append({kErrorByte, static_cast<uint8_t>(block & 0xFF), static_cast<uint8_t>(block >> 8),
            static_cast<uint8_t>(value)});
    return *this;
  }
  // In raw mode: bytes copied from the header block on.
  RecipeWriter &raw(const std::vector<uint8_t> &data) {
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    return *this;
  }
  const std::vector<uint8_t> &bytes() const { return bytes_; }

 private:
  void append(std::initializer_list<uint8_t> list) { bytes_.insert(bytes_.end(), list); }
  RecipeWriter &bytes_record(uint8_t kind, std::initializer_list<uint8_t> where, int offset,
                             const std::vector<uint8_t> &data) {
    for (size_t done = 0; done < data.size();) {
      const size_t n = std::min(data.size() - done, static_cast<size_t>(256 - offset));
      bytes_.push_back(kind);
      bytes_.insert(bytes_.end(), where);
      bytes_.push_back(static_cast<uint8_t>(offset));
      bytes_.push_back(static_cast<uint8_t>(n - 1));
      bytes_.insert(bytes_.end(), data.begin() + done, data.begin() + done + n);
      done += n;
      offset = 0;  // a long run goes on at the start of the same block
    }
    return *this;
  }
  std::vector<uint8_t> bytes_;
};

// A name as the operations encode it: an index into kNames, or raw bytes.
struct Name {
  std::vector<uint8_t> bytes;
  static Name table(int index) { return {{static_cast<uint8_t>(index)}}; }
  static Name raw(const std::vector<uint8_t> &chars) {
    Name name{{static_cast<uint8_t>(kRawNameBase + chars.size())}};
    name.bytes.insert(name.bytes.end(), chars.begin(), chars.end());
    return name;
  }
  static Name text(const char *chars) {
    return raw(std::vector<uint8_t>(chars, chars + std::strlen(chars)));
  }
};

class OpsWriter {
 public:
  OpsWriter &open_dir(int slot) { return op(kOpenDir, {u8(slot), 0}); }
  OpsWriter &open_read(int slot, const Name &name, int type) {
    return op(kOpenRead, {u8(slot)}, name, {u8(type)});
  }
  // Lengths up to 32767, or the listing's scan size.
  OpsWriter &read(int slot, int len) {
    if (len == kScanSize) return op(kRead, {u8(slot), kReadScanSize});
    return op(kRead, {u8(slot), u8(len >> 8 & 0x7F), u8(len)});
  }
  OpsWriter &read_scan(int slot) { return read(slot, kScanSize); }
  OpsWriter &open_write(int slot, const Name &name, int type) {
    return op(kOpenWrite, {u8(slot)}, name, {u8(type)});
  }
  // Lengths below 32768, or multiples of eight up to 262136.
  OpsWriter &write(int slot, int len, int seed) {
    const unsigned code = len < 0x8000 ? static_cast<unsigned>(len) : kWriteLong | len / 8;
    return op(kWrite, {u8(slot), u8(code), u8(code >> 8), u8(seed)});
  }
  OpsWriter &close(int slot) { return op(kClose, {u8(slot)}); }
  OpsWriter &format(bool full, const Name &name, uint8_t id0 = 'I', uint8_t id1 = 'D') {
    return op(kFormatImage, {u8(full)}, name, {id0, id1});
  }
  OpsWriter &remove(const Name &pattern, int type) { return op(kDelete, {}, pattern, {u8(type)}); }
  OpsWriter &rename(const Name &pattern, const Name &name, int type) {
    bytes_.push_back(kRename);
    append(pattern.bytes);
    append(name.bytes);
    bytes_.push_back(u8(type));
    return *this;
  }
  OpsWriter &alloc_block(int track, int sector) {
    return op(kAllocBlock, {u8(track - 1), u8(sector)});
  }
  OpsWriter &free_block(int track, int sector) {
    return op(kFreeBlock, {u8(track - 1), u8(sector)});
  }
  OpsWriter &sync() { return op(kSync, {}); }
  OpsWriter &poke(int track, int sector, int offset, int value) {
    return op(kPoke, {u8(track - 1), u8(sector), u8(offset), u8(value)});
  }
  OpsWriter &reset_status() { return op(kResetStatus, {}); }
  const std::vector<uint8_t> &bytes() const { return bytes_; }

 private:
  static uint8_t u8(int v) { return static_cast<uint8_t>(v); }
  void append(const std::vector<uint8_t> &v) { bytes_.insert(bytes_.end(), v.begin(), v.end()); }
  OpsWriter &op(Op code, std::initializer_list<uint8_t> args) {
    bytes_.push_back(code);
    bytes_.insert(bytes_.end(), args);
    return *this;
  }
  OpsWriter &op(Op code, std::initializer_list<uint8_t> before, const Name &name,
                std::initializer_list<uint8_t> after) {
    op(code, before);
    append(name.bytes);
    bytes_.insert(bytes_.end(), after);
    return *this;
  }
  std::vector<uint8_t> bytes_;
};

inline std::vector<uint8_t> library_input(const std::vector<uint8_t> &recipe,
                                          const std::vector<uint8_t> &ops) {
  std::vector<uint8_t> input{static_cast<uint8_t>(recipe.size() & 0xFF),
                             static_cast<uint8_t>(recipe.size() >> 8)};
  input.insert(input.end(), recipe.begin(), recipe.end());
  input.insert(input.end(), ops.begin(), ops.end());
  return input;
}

// Describes an existing image compactly: every block of the header track (and
// the second BAM block) in full, of every other block only its link, and every
// error-information byte that reports an error. The file data itself does not
// matter to the code under test, the links do; a description cut short by the
// fuzzer's length limit still holds the directory, which comes first.
inline std::vector<uint8_t> describe_image(DiImage *image) {
  uint8_t flags = image->type == D71 ? 1 : image->type == D81 ? 2 : 0;
  if (image->error_info) flags |= kErrorInfo;
  RecipeWriter recipe(flags);
  auto is_system = [image](TsPair ts) {
    return ts.track == image->header_ts.track ||
           (image->type == D71 && ts.track == image->bam2_ts.track && ts.sector == 0);
  };
  for (int pass = 0; pass < 2; ++pass) {
    for (int t = 1; t <= di_tracks(image->type); ++t) {
      for (int s = 0; s < di_sectors_per_track(image->type, t); ++s) {
        const TsPair ts = diskimage::make_ts(t, s);
        const unsigned char *block = di_get_ts_addr(image, ts);
        int used = diskimage::kBlockSize;
        while (used > 0 && block[used - 1] == 0) --used;
        if (used == 0 || is_system(ts) != (pass == 0)) continue;
        if (pass == 0) {
          recipe.block_bytes(t, s, 0, std::vector<uint8_t>(block, block + used));
        } else if (block[0] != 0 || block[1] != 0) {
          recipe.link(t, s, block[0], block[1]);
        }
      }
    }
  }
  for (int i = 0; i < error_info_size(image); ++i)
    if (image->error_info[i] != 1) recipe.error(i, image->error_info[i]);
  return recipe.bytes();
}

}  // namespace kestrix_fuzz

#endif  // KESTRIX_FUZZ_FUZZ_DRIVER_H
