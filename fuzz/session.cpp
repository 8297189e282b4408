// The library session: decoding operations and carrying them out with the
// invariants checked after each.
#include "fuzz/session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace kestrix_fuzz {

namespace {

constexpr bool layouts_in_order() {
  for (int i = 0; i < kOpCount; ++i)
    if (kOpLayouts[i].op != i) return false;
  return true;
}
static_assert(layouts_in_order(), "kOpLayouts is indexed by operation");

// A read length's first byte with bit 7 set stands for the listing's scan size.
constexpr uint8_t kReadScanSize = 0x80;
// A write length with bit 15 set counts in units of eight bytes.
constexpr unsigned kWriteLong = 0x8000;
constexpr int kMaxRawName = DI_NAME_SIZE + 1;

// Names the operations use: those of the sample files, wildcard patterns, and
// odd cases. Any other name comes from the input itself.
constexpr const char *kNames[] = {
    "FILE 0", "FILE 1", "FILE 2", "FILE 3", "*",       "FILE ?", "F*",
    "?",      "NEW",    "NEW*",   "",       "FILE 10", "N?W",    "FILE 0*",
};
constexpr int kNameCount = sizeof kNames / sizeof kNames[0];

Name read_name(Input &in) {
  Name name{in.byte(), {}};
  if (name.selector >= kRawNameBase) {
    const std::span<const uint8_t> chars = in.view((name.selector - kRawNameBase) % kMaxRawName);
    name.chars.assign(chars.begin(), chars.end());
  }
  return name;
}

void write_name(const Name &name, std::vector<uint8_t> &out) {
  out.push_back(name.selector);
  out.insert(out.end(), name.chars.begin(), name.chars.end());
}

int total_blocks(ImageType type) {
  int blocks = 0;
  for (int t = 1; t <= di_tracks(type); ++t) blocks += di_sectors_per_track(type, t);
  return blocks;
}

// Buffers as large as any length an operation asks for, shared by all
// sessions: an allocation of their size per session costs more than most
// sessions.
std::vector<uint8_t> &read_buffer() {
  static std::vector<uint8_t> buffer(std::max<int>(DI_SCAN_SIZE, 0x7FFF));
  return buffer;
}
std::vector<uint8_t> &write_buffer() {
  static std::vector<uint8_t> buffer(0x7FFF * 8);
  return buffer;
}

// The last len bytes of a buffer, so that the library reading or writing a
// byte past len runs off the allocation, where the address sanitizer sees it.
uint8_t *tail_of(std::vector<uint8_t> &buffer, int len) {
  return buffer.data() + buffer.size() - static_cast<size_t>(len);
}

// Carries operations out on one image, checking after each what must hold on
// any image, and on images whose BAM is known to be consistent also that the
// free count agrees with the BAM and that every file written and closed reads
// back exactly.
class LibrarySession {
 public:
  LibrarySession(const Invariants &invariants, DiImage *image, bool trusted, std::string sync_path)
      : inv_(invariants),
        image_(image),
        trusted_(trusted),
        counts_agree_(trusted),
        sync_path_(std::move(sync_path)) {}

  SessionStats run(Input &ops) {
    check_image();
    while (!ops.empty()) {
      OpArgs args;
      const Op op = read_op(ops, args);
      step(op, args);
      ++stats_.ops;
      check_image();
    }
    for (int h = 0; h < kHandles; ++h) close_handle(h);
    KESTRIX_FUZZ_EXPECT(inv_, image_->open_files == 0);
    check_image();
    return stats_;
  }

 private:
  struct Handle {
    DiFile *file = nullptr;
    bool writing = false;
    bool clean = false;  // a consistent BAM all the while it was open
    bool all_taken = true;
    RawName name{};
    int type = 0;
    std::vector<uint8_t> written;
  };

  // Every name an operation takes is also a pattern to check the library's
  // lookup with.
  RawName name_of(const Name &name) {
    const RawName raw = name.resolve();
    inv_.matching(image_, raw);
    return raw;
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

  void check_image() {
    KESTRIX_FUZZ_EXPECT(inv_, image_->open_files == open_handles());
    KESTRIX_FUZZ_EXPECT(inv_, image_->free_blocks >= 0);
    KESTRIX_FUZZ_EXPECT(inv_, image_->free_blocks <= 255 * di_tracks(image_->type));
    if (counts_agree_) {
      KESTRIX_FUZZ_EXPECT(inv_, image_->free_blocks == bam_free_count(image_));
      KESTRIX_FUZZ_EXPECT(inv_, image_->free_blocks <= total_blocks(image_->type));
    }
    inv_.status(image_);
  }

  void step(Op op, const OpArgs &args) {
    Handle &handle = handles_[args.slot % kHandles];
    const auto signed_type = static_cast<int8_t>(args.type);
    switch (op) {
      case kOpenDir:
      case kOpenRead: {
        close_handle(args.slot % kHandles);
        static const uint8_t kDirectory[DI_NAME_SIZE] = {'$', 0};
        const RawName name = op == kOpenDir ? RawName{} : name_of(args.name);
        const int type = signed_type % 9;  // -8 to 8: a few outside 0-7
        DiFile *file = di_open(image_, op == kOpenDir ? kDirectory : name.data(), type, "rb");
        KESTRIX_FUZZ_EXPECT(inv_, file ? image_->status == 0 : image_->status != 0);
        handle = Handle{};
        handle.file = file;
        break;
      }
      case kRead: {
        if (!handle.file || handle.writing) break;
        const int got = di_read(handle.file, tail_of(read_buffer(), args.length), args.length);
        KESTRIX_FUZZ_EXPECT(inv_, got >= 0 && got <= args.length);
        break;
      }
      case kOpenWrite: {
        close_handle(args.slot % kHandles);
        const RawName name = name_of(args.name);
        // A slot of type byte 0 counts as free, so this creation may take the
        // very slot that an open writer of such a type is filling.
        bool shared = false;
        for (Handle &other : handles_) {
          if (other.file && other.writing && other.type == 0) {
            other.clean = false;
            shared = true;
          }
        }
        DiFile *file = di_open(image_, name.data(), args.type, "wb");
        KESTRIX_FUZZ_EXPECT(inv_, file ? image_->status == 0 : image_->status != 0);
        handle = Handle{};
        handle.file = file;
        handle.writing = true;
        handle.clean = trusted_ && !shared;
        handle.name = name;
        handle.type = args.type;
        break;
      }
      case kWrite: {
        if (!handle.file || !handle.writing) break;
        uint8_t *src = tail_of(write_buffer(), args.length);
        fill_pattern(src, static_cast<size_t>(args.length), args.seed);
        const int taken = di_write(handle.file, src, args.length);
        KESTRIX_FUZZ_EXPECT(inv_, taken >= 0 && taken <= args.length);
        if (taken < args.length) {
          KESTRIX_FUZZ_EXPECT(inv_, image_->status == DI_STATUS_DISK_FULL);
          handle.all_taken = false;
        }
        if (taken > 0) handle.written.insert(handle.written.end(), src, src + taken);
        break;
      }
      case kClose:
        close_handle(args.slot % kHandles);
        break;
      case kFormatImage: {
        const RawName name = name_of(args.name);
        // A format rewrites the whole BAM, which costs more than most whole
        // sessions; past the first few it finds nothing new.
        if (++formats_ > kMaxFormats) break;
        const bool writers = writers_open();
        KESTRIX_FUZZ_EXPECT(
            inv_, di_format(image_, name.data(), args.full ? args.id.data() : nullptr) == 0);
        KESTRIX_FUZZ_EXPECT(inv_, image_->status == 0 && image_->dirty == 1);
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
        const RawName pattern = name_of(args.name);
        const int type = signed_type % 6;  // -5 to 5
        const int code = di_delete(image_, pattern.data(), type);
        KESTRIX_FUZZ_EXPECT(inv_, code == image_->status);
        KESTRIX_FUZZ_EXPECT(inv_, type >= 1 && type <= 3 ? code == 1 || code == 62 : code == 64);
        if (writers_open()) distrust();
        break;
      }
      case kRename: {
        const RawName pattern = name_of(args.name);
        const RawName name = name_of(args.new_name);
        const int code = di_rename(image_, pattern.data(), name.data(), signed_type % 9);
        KESTRIX_FUZZ_EXPECT(inv_, code == image_->status && (code == 0 || code == 62));
        break;
      }
      case kAllocBlock:
      case kFreeBlock: {
        const TsPair ts = pick_block(image_->type, args.track, args.sector);
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
        const TsPair ts = pick_block(image_->type, args.track, args.sector);
        di_get_ts_addr(image_, ts)[args.offset] = args.value;
        image_->dirty = 1;  // as whoever writes into a block must
        distrust();
        break;
      }
      default:
        image_->status = 0;
        break;
    }
  }

  // Writes the image to its file and compares the file with the buffer.
  // Writing costs a file system round trip, so a session does it once at most.
  void sync_once() {
    if (synced_ || sync_path_.empty()) return;
    synced_ = true;
    di_sync(image_);
    KESTRIX_FUZZ_EXPECT(inv_, image_->dirty == 0);
    FILE *f = std::fopen(sync_path_.c_str(), "rb");
    KESTRIX_FUZZ_EXPECT(inv_, f != nullptr);
    if (!f) return;
    std::vector<uint8_t> back(static_cast<size_t>(image_->size) + 1);
    const size_t n = std::fread(back.data(), 1, back.size(), f);
    std::fclose(f);
    KESTRIX_FUZZ_EXPECT(inv_, n == static_cast<size_t>(image_->size));
    KESTRIX_FUZZ_EXPECT(inv_, std::memcmp(back.data(), image_->blocks, image_->size) == 0);
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
    const FileEntry *entry = h.file->entry;
    image_->status = 0;
    di_close(h.file);
    h.file = nullptr;
    KESTRIX_FUZZ_EXPECT(inv_, image_->status == 0 || image_->status == DI_STATUS_DISK_FULL);
    if (h.clean && h.all_taken && image_->status == 0) verify_written(h, entry);
    h = Handle{};
  }

  // Reads a file just written and closed back through a fresh handle.
  void verify_written(const Handle &h, const FileEntry *entry) {
    // A name that is "$" opens the directory.
    if (h.name[0] == '$' && h.name[1] == 0) return;
    const int size = static_cast<int>(h.written.size());
    const int blocks = (size + DI_DATA_SIZE - 1) / DI_DATA_SIZE;
    KESTRIX_FUZZ_EXPECT(inv_, entry->type & DI_CLOSED);
    KESTRIX_FUZZ_EXPECT(inv_, entry->blocks[0] + 256 * entry->blocks[1] == (blocks & 0xFFFF));
    DiFile *file = di_open(image_, h.name.data(), h.type & DI_TYPE_MASK, "rb");
    if (size == 0) {
      // No block at all: the first block reads as 0/0, which is no block, so
      // no handle can be this file's.
      KESTRIX_FUZZ_EXPECT(inv_, !file || file->entry != entry);
      di_close(file);
      return;
    }
    // The name may be a pattern that finds an earlier slot, or the slot may
    // have been renamed since; only a lookup that leads back to this very
    // slot can be compared.
    if (!file || file->entry != entry) {
      di_close(file);
      return;
    }
    std::unique_ptr<uint8_t[]> back(new uint8_t[size + 1]);
    const int got = di_read(file, back.get(), size + 1);
    KESTRIX_FUZZ_EXPECT(inv_, image_->status == 0);
    KESTRIX_FUZZ_EXPECT(inv_, got == size);
    KESTRIX_FUZZ_EXPECT(inv_, got == size && std::memcmp(back.get(), h.written.data(), size) == 0);
    di_close(file);
    ++stats_.files_verified;
    stats_.bytes_verified += size;
  }

  const Invariants &inv_;
  DiImage *image_;
  bool trusted_;
  bool counts_agree_;
  std::string sync_path_;
  bool synced_ = false;
  static constexpr int kMaxFormats = 2;
  int formats_ = 0;
  std::array<Handle, kHandles> handles_{};
  SessionStats stats_;
};

}  // namespace

Name Name::raw(const std::vector<uint8_t> &chars) {
  return {static_cast<uint8_t>(kRawNameBase + chars.size()), chars};
}

Name Name::text(const char *chars) {
  return raw(std::vector<uint8_t>(chars, chars + std::strlen(chars)));
}

RawName Name::resolve() const {
  if (selector < kRawNameBase) return raw_name(kNames[selector % kNameCount]);
  RawName raw;
  raw.fill(DI_NAME_PAD);
  std::copy(chars.begin(), chars.end(), raw.begin());
  return raw;
}

Op read_op(Input &in, OpArgs &args) {
  const auto op = static_cast<Op>(in.byte() % kOpCount);
  for (const Arg arg : kOpLayouts[op].args) {
    switch (arg) {
      case Arg::kEnd:
        return op;
      case Arg::kSlot:
        args.slot = in.byte();
        break;
      case Arg::kName:
        args.name = read_name(in);
        break;
      case Arg::kNewName:
        args.new_name = read_name(in);
        break;
      case Arg::kType:
        args.type = in.byte();
        break;
      case Arg::kReadLength: {
        const uint8_t high = in.byte();
        args.length = high & kReadScanSize ? DI_SCAN_SIZE : high << 8 | in.byte();
        break;
      }
      case Arg::kWriteLength: {
        const unsigned code = in.u16();
        args.length = static_cast<int>(code & kWriteLong ? (code & ~kWriteLong) * 8 : code);
        break;
      }
      case Arg::kSeed:
        args.seed = in.byte();
        break;
      case Arg::kFull:
        args.full = in.byte() & 1;
        break;
      case Arg::kId:
        args.id[0] = in.byte();
        args.id[1] = in.byte();
        break;
      case Arg::kBlock:
        args.track = in.byte();
        args.sector = in.byte();
        break;
      case Arg::kOffset:
        args.offset = in.byte();
        break;
      case Arg::kValue:
        args.value = in.byte();
        break;
    }
  }
  return op;
}

void write_op(Op op, const OpArgs &args, std::vector<uint8_t> &out) {
  const auto u8 = [](unsigned v) { return static_cast<uint8_t>(v); };
  out.push_back(op);
  for (const Arg arg : kOpLayouts[op].args) {
    switch (arg) {
      case Arg::kEnd:
        return;
      case Arg::kSlot:
        out.push_back(args.slot);
        break;
      case Arg::kName:
        write_name(args.name, out);
        break;
      case Arg::kNewName:
        write_name(args.new_name, out);
        break;
      case Arg::kType:
        out.push_back(args.type);
        break;
      case Arg::kReadLength:
        if (args.length == DI_SCAN_SIZE) {
          out.push_back(kReadScanSize);
        } else {
          out.insert(out.end(), {u8(args.length >> 8 & 0x7F), u8(args.length)});
        }
        break;
      case Arg::kWriteLength: {
        const unsigned len = static_cast<unsigned>(args.length);
        const unsigned code = len < kWriteLong ? len : kWriteLong | len / 8;
        out.insert(out.end(), {u8(code), u8(code >> 8)});
        break;
      }
      case Arg::kSeed:
        out.push_back(args.seed);
        break;
      case Arg::kFull:
        out.push_back(args.full);
        break;
      case Arg::kId:
        out.insert(out.end(), args.id.begin(), args.id.end());
        break;
      case Arg::kBlock:
        out.insert(out.end(), {args.track, args.sector});
        break;
      case Arg::kOffset:
        out.push_back(args.offset);
        break;
      case Arg::kValue:
        out.push_back(args.value);
        break;
    }
  }
}

std::vector<uint8_t> library_input(const std::vector<uint8_t> &recipe,
                                   const std::vector<uint8_t> &ops) {
  std::vector<uint8_t> input{static_cast<uint8_t>(recipe.size() & 0xFF),
                             static_cast<uint8_t>(recipe.size() >> 8)};
  input.insert(input.end(), recipe.begin(), recipe.end());
  input.insert(input.end(), ops.begin(), ops.end());
  return input;
}

SessionStats run_library_input(const Invariants &invariants, const uint8_t *data, size_t size,
                               const std::string &sync_path) {
  Input in(data, size);
  Input recipe = in.split(in.u16());
  BuiltImage built = build_image(recipe, sync_path.empty() ? "fuzz.img" : sync_path.c_str());
  KESTRIX_FUZZ_EXPECT(invariants, built.image != nullptr);
  if (!built.image) return {};
  return LibrarySession(invariants, built.image.get(), built.trusted, sync_path).run(in);
}

}  // namespace kestrix_fuzz
