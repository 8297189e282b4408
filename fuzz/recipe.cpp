// The image recipe's decoder and writers.
#include "fuzz/recipe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kestrix_fuzz {

namespace {

constexpr bool layouts_in_order() {
  for (int i = 0; i < kRecordKinds; ++i)
    if (kRecordLayouts[i].kind != i) return false;
  return true;
}
static_assert(layouts_in_order(), "kRecordLayouts is indexed by record kind");

TsPair make_ts(int track, int sector) {
  return TsPair{static_cast<unsigned char>(track), static_cast<unsigned char>(sector)};
}

TsPair system_block(DiImage *image, uint8_t which) {
  if (which & kHeaderTrack) {
    const int t = image->header_ts.track;
    return make_ts(t, (which & 0x7F) % di_sectors_per_track(image->type, t));
  }
  switch (which % 4) {
    case kBam:
      return image->bam_ts;
    case kHeader:
      return image->header_ts;
    case kFirstDir: {
      const TsPair dir = di_get_dir_ts(image);
      return di_ts_is_valid(image->type, dir) ? dir : image->header_ts;
    }
    default:
      // The second BAM block, or on a kind with one BAM block the first
      // directory block the format makes.
      return image->bam2_ts.track != 0 ? image->bam2_ts : make_ts(18, 1);
  }
}

void apply(DiImage *image, const Record &record) {
  switch (record.kind) {
    case kBlockBytes:
    case kSystemBytes: {
      const TsPair ts = record.kind == kBlockBytes
                            ? pick_block(image->type, record.track, record.sector)
                            : system_block(image, record.system);
      if (!record.run.empty())
        std::memcpy(di_get_ts_addr(image, ts) + record.offset, record.run.data(),
                    record.run.size());
      break;
    }
    case kLink: {
      unsigned char *block =
          di_get_ts_addr(image, pick_block(image->type, record.track, record.sector));
      block[DI_LINK_TRACK] = record.link[0];
      block[DI_LINK_SECTOR] = record.link[1];
      break;
    }
    default:
      if (image->error_info)
        image->error_info[record.block_number % error_info_size(image)] = record.value;
      break;
  }
}

// Up to seven small files of assorted lengths (empty, one byte, exactly one
// block, one byte over, ...), so that the directory and the BAM hold
// something for the records to damage.
void write_sample_files(DiImage *image, int count, unsigned seed) {
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

}  // namespace

Record read_record(Input &in) {
  Record record;
  record.kind = static_cast<RecordKind>(in.byte() % kRecordKinds);
  for (const Field field : kRecordLayouts[record.kind].fields) {
    switch (field) {
      case Field::kEnd:
        return record;
      case Field::kBlock:
        record.track = in.byte();
        record.sector = in.byte();
        break;
      case Field::kSystemBlock:
        record.system = in.byte();
        break;
      case Field::kOffset:
        record.offset = in.byte();
        break;
      case Field::kRun: {
        const int len = std::min(in.byte() + 1, DI_BLOCK_SIZE - record.offset);
        record.run = in.view(static_cast<size_t>(len));
        break;
      }
      case Field::kLinkBytes:
        record.link[0] = in.byte();
        record.link[1] = in.byte();
        break;
      case Field::kBlockNumber:
        record.block_number = static_cast<uint16_t>(in.u16());
        break;
      case Field::kValue:
        record.value = in.byte();
        break;
    }
  }
  return record;
}

void write_record(const Record &record, std::vector<uint8_t> &out) {
  out.push_back(record.kind);
  for (const Field field : kRecordLayouts[record.kind].fields) {
    switch (field) {
      case Field::kEnd:
        return;
      case Field::kBlock:
        out.insert(out.end(), {record.track, record.sector});
        break;
      case Field::kSystemBlock:
        out.push_back(record.system);
        break;
      case Field::kOffset:
        out.push_back(record.offset);
        break;
      case Field::kRun:
        out.push_back(static_cast<uint8_t>(record.run.size() - 1));
        out.insert(out.end(), record.run.begin(), record.run.end());
        break;
      case Field::kLinkBytes:
        out.insert(out.end(), {record.link[0], record.link[1]});
        break;
      case Field::kBlockNumber:
        out.insert(out.end(), {static_cast<uint8_t>(record.block_number & 0xFF),
                               static_cast<uint8_t>(record.block_number >> 8)});
        break;
      case Field::kValue:
        out.push_back(record.value);
        break;
    }
  }
}

void ImageDeleter::operator()(DiImage *image) const {
  if (image) image->dirty = 0;
  di_free_image(image);
}

RawName raw_name(const char *text) {
  RawName raw{};
  di_rawname_from_name(raw.data(), text);
  return raw;
}

TsPair pick_block(ImageType type, uint8_t track, uint8_t sector) {
  const int t = 1 + track % di_tracks(type);
  return make_ts(t, sector % di_sectors_per_track(type, t));
}

void fill_pattern(uint8_t *data, size_t len, unsigned seed) {
  for (size_t i = 0; i < len; ++i)
    data[i] = static_cast<uint8_t>(seed * 131 + i * 7 + (i >> 8) * 3);
}

int error_info_size(const DiImage *image) {
  return image->error_info ? static_cast<int>(image->blocks + image->size - image->error_info) : 0;
}

bool error_info_clean(const DiImage *image) {
  const int size = error_info_size(image);
  for (int i = 0; i < size; ++i)
    if (image->error_info[i] != 1) return false;
  return true;
}

namespace {

// An image as its recipe's head (flags, file count, seed) makes it, before
// any record.
struct Base {
  std::array<uint8_t, 3> head{};
  ImagePtr image;
  bool trusted = false;
};

// An all-zero image of the size, loaded as a file of it would be: the
// library makes only 35-track D64s, but reads longer ones.
ImagePtr blank_of_size(long size) {
  const std::vector<uint8_t> zeros(static_cast<size_t>(size));
  return ImagePtr(di_load_image_from_memory("recipe.img", zeros.data(), size));
}

Base make_base(const std::array<uint8_t, 3> &head) {
  const ImageKind &kind = image_kind(head[0]);
  const long size = head[0] & kErrorInfo ? kind.size_with_errors : kind.size;
  Base base{head, blank_of_size(size), false};
  DiImage *image = base.image.get();
  if (!image) return base;
  if (image->error_info) std::memset(image->error_info, 1, error_info_size(image));
  if (head[0] & kFormat) {
    const uint8_t id[2] = {'F', 'Z'};
    di_format(image, raw_name("KESTRIX FUZZ").data(), id);
    if (head[0] & kFiles) write_sample_files(image, head[1] % 8, head[2]);
    base.trusted = error_info_clean(image);
  }
  return base;
}

// Formatting and writing the sample files cost more than most inputs'
// records, and inputs share a few heads, so the last few bases are kept.
const Base &base_for(const std::array<uint8_t, 3> &head) {
  static std::array<Base, 16> kept;
  static size_t next = 0;
  for (const Base &base : kept)
    if (base.image && base.head == head) return base;
  Base &slot = kept[next++ % kept.size()];
  slot = make_base(head);
  return slot;
}

// An image of the size to apply records to, kept between inputs; only its
// bytes and its geometry are used.
DiImage *scratch_of_size(int size) {
  static std::vector<ImagePtr> scratch;
  for (const ImagePtr &image : scratch)
    if (image->size == size) return image.get();
  scratch.push_back(blank_of_size(size));
  return scratch.back().get();
}

}  // namespace

BuiltImage build_image(Input &in, const char *path) {
  const uint8_t flags = in.byte();
  std::array<uint8_t, 3> head{
      static_cast<uint8_t>(flags & (kKindMask | kFortyTracks | kErrorInfo | kFormat | kFiles)), 0,
      0};
  if ((flags & kFormat) && (flags & kFiles)) {
    head[1] = in.byte();
    head[2] = in.byte();
  }
  const Base &base = base_for(head);
  if (!base.image) return {};
  // The records go into a copy, which is then loaded afresh from its bytes,
  // so that nothing the making left behind (counts, status, the modified
  // flag) carries over.
  DiImage *image = scratch_of_size(base.image->size);
  if (!image) return {};
  std::memcpy(image->blocks, base.image->blocks, static_cast<size_t>(image->size));
  bool trusted = base.trusted;
  if (flags & kRaw) {
    unsigned char *from = di_get_ts_addr(image, image->header_ts);
    if (in.take(from, static_cast<size_t>(image->blocks + image->size - from)) > 0) trusted = false;
  } else {
    while (!in.empty()) {
      trusted = false;
      apply(image, read_record(in));
    }
  }
  return {ImagePtr(di_load_image_from_memory(path, image->blocks, image->size)), trusted};
}

// ---- Writing recipes ------------------------------------------------------------

RecipeWriter &RecipeWriter::files(int count, int seed) {
  bytes_.push_back(static_cast<uint8_t>(count));
  bytes_.push_back(static_cast<uint8_t>(seed));
  return *this;
}

RecipeWriter &RecipeWriter::runs(Record record, int offset, const std::vector<uint8_t> &data) {
  for (size_t done = 0; done < data.size();) {
    const size_t n = std::min(data.size() - done, static_cast<size_t>(DI_BLOCK_SIZE - offset));
    record.offset = static_cast<uint8_t>(offset);
    record.run = std::span<const uint8_t>(data.data() + done, n);
    write_record(record, bytes_);
    done += n;
    offset = 0;
  }
  return *this;
}

RecipeWriter &RecipeWriter::block_bytes(int track, int sector, int offset,
                                        const std::vector<uint8_t> &data) {
  Record record;
  record.kind = kBlockBytes;
  record.track = static_cast<uint8_t>(track - 1);
  record.sector = static_cast<uint8_t>(sector);
  return runs(record, offset, data);
}

RecipeWriter &RecipeWriter::system_bytes(uint8_t which, int offset,
                                         const std::vector<uint8_t> &data) {
  Record record;
  record.kind = kSystemBytes;
  record.system = which;
  return runs(record, offset, data);
}

RecipeWriter &RecipeWriter::link(int track, int sector, int link_track, int link_sector) {
  Record record;
  record.kind = kLink;
  record.track = static_cast<uint8_t>(track - 1);
  record.sector = static_cast<uint8_t>(sector);
  record.link[0] = static_cast<uint8_t>(link_track);
  record.link[1] = static_cast<uint8_t>(link_sector);
  write_record(record, bytes_);
  return *this;
}

RecipeWriter &RecipeWriter::error(int block, int value) {
  Record record;
  record.kind = kErrorByte;
  record.block_number = static_cast<uint16_t>(block);
  record.value = static_cast<uint8_t>(value);
  write_record(record, bytes_);
  return *this;
}

RecipeWriter &RecipeWriter::raw(const std::vector<uint8_t> &data) {
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return *this;
}

std::vector<uint8_t> describe_image(DiImage *image) {
  uint8_t flags = 0;
  while (flags < kKindMask && kImageKinds[flags].type != image->type) ++flags;
  if (image->type == D64_40) flags = 3 | kFortyTracks;
  if (image->error_info) flags |= kErrorInfo;
  RecipeWriter recipe(flags);
  auto is_system = [image](TsPair ts) {
    return ts.track == image->header_ts.track ||
           (image->type == D71 && ts.track == image->bam2_ts.track && ts.sector == 0);
  };
  for (int pass = 0; pass < 2; ++pass) {
    for (int t = 1; t <= di_tracks(image->type); ++t) {
      for (int s = 0; s < di_sectors_per_track(image->type, t); ++s) {
        const TsPair ts = make_ts(t, s);
        const unsigned char *block = di_get_ts_addr(image, ts);
        int used = DI_BLOCK_SIZE;
        while (used > 0 && block[used - 1] == 0) --used;
        if (used == 0 || is_system(ts) != (pass == 0)) continue;
        if (pass == 0) {
          recipe.block_bytes(t, s, 0, std::vector<uint8_t>(block, block + used));
        } else if (block[DI_LINK_TRACK] != 0 || block[DI_LINK_SECTOR] != 0) {
          recipe.link(t, s, block[DI_LINK_TRACK], block[DI_LINK_SECTOR]);
        }
      }
    }
  }
  const int errors = error_info_size(image);
  for (int i = 0; i < errors; ++i)
    if (image->error_info[i] != 1) recipe.error(i, image->error_info[i]);
  return recipe.bytes();
}

}  // namespace kestrix_fuzz
