// Raw GCR dumps: the container's track table, then every track as a circular
// bit stream, decoded sector by sector as a 1541 or 1571 reads it.
#include "diskimage/gcr.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "diskimage/internal.h"

namespace diskimage {
namespace {

// ---- The container ----------------------------------------------------------
//
//   0-7    signature           8      version
//   9      track entries N     10-11  largest track size (only a hint)
//   12     N offsets, 32 bits each, low byte first; N speed zones follow
// At a track's offset (0: no track) its length, 16 bits low byte first, then
// that many bytes.
constexpr int kSignatureSize = 8;
constexpr char kG64Signature[] = "GCR-1541";
constexpr char kG71Signature[] = "GCR-1571";
constexpr int kEntryCount = 9;
constexpr int kTable = 12;
constexpr int kOffsetSize = 4;
constexpr int kLengthSize = 2;
constexpr int kG64MaxEntries = 84;
constexpr int kG71MaxEntries = 168;
constexpr int kSide1Tracks = 35;
constexpr int kSide2Entry = 84;  // a G71's track 36
constexpr int kDirTrack = 18;

int max_entries(int format) {
  return format == DI_FORMAT_G71 ? kG71MaxEntries : kG64MaxEntries;
}

std::uint32_t le32(const unsigned char *p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

int le16(const unsigned char *p) {
  return p[0] | p[1] << 8;
}

// Odd entries are half-tracks, which no drive reads as a track.
int entry_of_track(int format, int track) {
  if (format == DI_FORMAT_G71 && track > kSide1Tracks)
    return kSide2Entry + 2 * (track - kSide1Tracks - 1);
  return 2 * (track - 1);
}

struct TrackBytes {
  const unsigned char *data = nullptr;
  int length = 0;  // 0 also for a track without an entry
};

// Only for a dump that passed check_raw, which bounds every entry.
TrackBytes track_bytes(const unsigned char *bytes, const RawCheck &check, int track) {
  const int entry = entry_of_track(check.format, track);
  if (entry >= check.entries) return {};
  const std::uint32_t offset = le32(bytes + kTable + kOffsetSize * entry);
  if (offset == 0) return {};
  return {bytes + offset + kLengthSize, le16(bytes + offset)};
}

// ---- GCR ----------------------------------------------------------------------

// The five-bit code of each nybble.
constexpr std::array<std::uint8_t, 16> kCodes = {0x0A, 0x0B, 0x12, 0x13, 0x0E, 0x0F, 0x16, 0x17,
                                                 0x09, 0x19, 0x1A, 0x1B, 0x0D, 0x1D, 0x1E, 0x15};
constexpr std::uint16_t kInvalid = 0x100;

// Two codes, ten bits with the high nybble's first, to their byte, with
// kInvalid added when either is no code; such a code reads as nybble 0. One
// lookup a byte keeps a 42-track dump well inside its time.
constexpr std::array<std::uint16_t, 1024> make_byte_of_codes() {
  std::array<std::uint16_t, 32> nybble{};
  nybble.fill(kInvalid);
  for (int n = 0; n < 16; ++n)
    nybble[kCodes[static_cast<size_t>(n)]] = static_cast<std::uint16_t>(n);
  std::array<std::uint16_t, 1024> table{};
  for (size_t v = 0; v < table.size(); ++v) {
    const std::uint16_t high = nybble[v >> 5], low = nybble[v & 31];
    table[v] =
        static_cast<std::uint16_t>((high & 0xF) << 4 | (low & 0xF) | ((high | low) & kInvalid));
  }
  return table;
}
constexpr std::array<std::uint16_t, 1024> kByteOfCodes = make_byte_of_codes();

// ---- Blocks on a track ------------------------------------------------------------

constexpr int kSyncOnes = 10;
constexpr int kGroupBits = 40;  // five GCR bytes, four bytes
constexpr int kHeaderMark = 0x08;
constexpr int kDataMark = 0x07;
constexpr int kHeaderGroups = 2;  // 8 bytes from 10 GCR bytes
constexpr int kHeaderBits = kHeaderGroups * kGroupBits;
constexpr int kDataGroups = 65;  // 260 bytes from 325 GCR bytes
constexpr int kDataBytes = kDataGroups * 4;
// Header block: 0x08, checksum, sector, track, second and first ID byte,
// 0x0F, 0x0F. Data block: 0x07, 256 bytes, their XOR, two more bytes.
enum { kHeaderChecksum = 1, kHeaderSector, kHeaderTrack, kHeaderId2, kHeaderId1 };
constexpr int kDataChecksum = 1 + kBlockSize;
// How far past a block's first byte decoding it reads: its GCR bytes and the
// overhang of the last eight-byte window.
constexpr int kReadAhead = kDataGroups * 5 + 8;
constexpr int kMaxTrackSectors = 21;

// Error-information bytes, as a D64 keeps them.
constexpr unsigned char kNoError = 1;
constexpr unsigned char kNoHeader = 2;
constexpr unsigned char kNoSync = 3;
constexpr unsigned char kNoData = 4;
constexpr unsigned char kBadDataChecksum = 5;
constexpr unsigned char kBadHeaderChecksum = 9;
constexpr unsigned char kIdMismatch = 11;

// Eight bytes as one number, the first in the top bits.
std::uint64_t big_endian(const unsigned char *p) {
  std::uint64_t bits;
  std::memcpy(&bits, p, sizeof bits);
  if constexpr (std::endian::native == std::endian::little) {
#if defined(__GNUC__) || defined(__clang__)
    bits = __builtin_bswap64(bits);
#else
    bits = 0;
    for (int i = 0; i < 8; ++i) bits = bits << 8 | p[i];
#endif
  }
  return bits;
}

// The 64 bits from bit `at` on, the first in the top bit. `ring` holds the
// track and its first kReadAhead bytes again, so a block that wraps over the
// end of the track reads straight on.
std::uint64_t window(const unsigned char *ring, int at) {
  return big_endian(ring + (at >> 3)) << (at & 7);
}

// Whether the bits hold ten one-bits in a row: each step doubles (at the
// last, adds two to) the length of the runs a set bit stands for.
bool has_sync(std::uint64_t bits) {
  std::uint64_t runs = bits & bits << 1;
  runs &= runs << 2;
  runs &= runs << 4;
  runs &= runs << 2;
  return runs != 0;
}

// Decodes `groups` (at most kDataGroups) of five GCR bytes from bit `at`
// into four bytes each; true when any code was invalid. The bytes and the
// flags part in a second pass, which the compiler can do many at a time.
bool decode_gcr(const unsigned char *ring, int at, unsigned char *out, int groups) {
  std::uint16_t decoded[4 * kDataGroups];
  for (int g = 0; g < groups; ++g, at += kGroupBits) {
    const std::uint64_t bits = window(ring, at);
    for (int k = 0; k < 4; ++k) decoded[4 * g + k] = kByteOfCodes[(bits >> (54 - 10 * k)) & 0x3FF];
  }
  std::uint16_t invalid = 0;
  for (int i = 0; i < 4 * groups; ++i) {
    out[i] = static_cast<unsigned char>(decoded[i]);
    invalid |= decoded[i];
  }
  return (invalid & kInvalid) != 0;
}

struct DiskId {
  bool found = false;
  unsigned char first = 0, second = 0;
};

struct Header {
  int at = 0;  // its first bit
  unsigned char bytes[kHeaderGroups * 4] = {};
};

// Decodes tracks one at a time in buffers sized once for the longest.
class TrackDecoder {
 public:
  TrackDecoder() = default;
  TrackDecoder(const TrackDecoder &) = delete;
  TrackDecoder &operator=(const TrackDecoder &) = delete;
  ~TrackDecoder() {
    std::free(ring_);
    std::free(starts_);
  }

  bool reserve(int longest) {
    ring_ = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(longest) + kReadAhead));
    // At most one block starts in each byte: see find_starts.
    starts_ = static_cast<int *>(std::malloc(sizeof(int) * (static_cast<size_t>(longest) + 1)));
    return ring_ && starts_;
  }

  // Fills the track's blocks (zeroed by the caller) and error bytes. Returns
  // whether a header with this track's number was found on it.
  bool decode(TrackBytes track_bytes, int track, int sectors, DiskId *id, bool learn_id,
              unsigned char *blocks, unsigned char *errors) {
    std::fill(errors, errors + sectors, kNoSync);
    const int length = track_bytes.length;
    if (length == 0) return false;
    // Doubling copies: the ring so far is whole rounds of the track.
    std::memcpy(ring_, track_bytes.data, static_cast<size_t>(length));
    for (int filled = length; filled < length + kReadAhead;) {
      const int n = std::min(filled, length + kReadAhead - filled);
      std::memcpy(ring_ + filled, ring_, static_cast<size_t>(n));
      filled += n;
    }
    count_ = find_starts(track_bytes.data, length);
    bits_ = 8 * length;
    if (count_ == 0) return false;

    std::array<Header, kMaxTrackSectors> first{};
    std::array<bool, kMaxTrackSectors> found{};
    bool own = false;
    for (int i = 0; i < count_; ++i) {
      const int at = starts_[i];
      if ((kByteOfCodes[window(ring_, at) >> 54] & 0xFF) != kHeaderMark) continue;
      Header header{at, {}};
      decode_gcr(ring_, at, header.bytes, kHeaderGroups);
      if (header.bytes[kHeaderTrack] != track) continue;
      own = true;
      const int sector = header.bytes[kHeaderSector];
      if (sector < sectors && !found[static_cast<size_t>(sector)]) {
        found[static_cast<size_t>(sector)] = true;
        first[static_cast<size_t>(sector)] = header;
      }
    }
    // The drive learns the ID when it reads the directory, whatever the
    // checksum of the header it reads it from.
    if (learn_id && found[0]) *id = {true, first[0].bytes[kHeaderId1], first[0].bytes[kHeaderId2]};
    for (int s = 0; s < sectors; ++s) {
      errors[s] = found[static_cast<size_t>(s)]
                      ? read_sector(first[static_cast<size_t>(s)], *id, blocks + kBlockSize * s)
                      : kNoHeader;
    }
    return own;
  }

 private:
  // The bit of every block start on the track, in order: the first zero-bit
  // after 10 or more one-bits. Only a byte's first zero-bit can be one, since
  // fewer than eight one-bits follow it inside the byte; so one pass over the
  // bytes walks the track once, and the second round of the walk finds the
  // same starts again.
  int find_starts(const unsigned char *data, int length) {
    // The one-bits at the end of the track run on into its start.
    int ones = 0;
    for (int i = length - 1; i >= 0 && ones < kSyncOnes; --i) {
      ones += std::countr_one(data[i]);
      if (data[i] != 0xFF) break;
    }
    int count = 0;
    for (int i = 0; i < length;) {
      // Eight bytes at once where they hold no sync and the one-bits before
      // them make none with their first bits: a sync that ends in them lies
      // wholly in them, or runs on from before them.
      if (ones < kSyncOnes && i + 8 <= length) {
        const std::uint64_t bits = big_endian(data + i);
        if (ones + std::countl_one(bits) < kSyncOnes && !has_sync(bits)) {
          ones = std::countr_one(bits);
          i += 8;
          continue;
        }
      }
      const unsigned char byte = data[i++];
      if (byte == 0xFF) {
        ones += 8;
        continue;
      }
      const int lead = std::countl_one(byte);
      if (ones + lead >= kSyncOnes) starts_[count++] = 8 * (i - 1) + lead;
      ones = std::countr_one(byte);
    }
    return count;
  }

  // Where the data block of the header at bit `header_at` starts: at the first
  // block start after the header's bits, met at the latest in the walk's
  // second round; -1 when there is none.
  int data_start(int header_at) const {
    const int *begin = starts_, *end = starts_ + count_;
    const int after = header_at + kHeaderBits;
    if (after < bits_) {
      const int *next = std::lower_bound(begin, end, after);
      return next != end ? *next : *begin;
    }
    const int *next = std::lower_bound(begin, end, after - bits_);
    return next != end ? *next : -1;
  }

  unsigned char read_sector(const Header &header, const DiskId &id, unsigned char *block) const {
    const unsigned char *h = header.bytes;
    if (h[kHeaderChecksum] != (h[kHeaderSector] ^ h[kHeaderTrack] ^ h[kHeaderId2] ^ h[kHeaderId1]))
      return kBadHeaderChecksum;
    if (id.found && (h[kHeaderId1] != id.first || h[kHeaderId2] != id.second)) return kIdMismatch;
    const int at = data_start(header.at);
    if (at < 0) return kNoData;
    unsigned char data[kDataBytes];
    const bool invalid = decode_gcr(ring_, at, data, kDataGroups);
    if (data[0] != kDataMark) return kNoData;
    unsigned char sum = 0;
    for (int i = 1; i <= kBlockSize; ++i) sum ^= data[i];
    std::memcpy(block, data + 1, kBlockSize);
    return invalid || sum != data[kDataChecksum] ? kBadDataChecksum : kNoError;
  }

  unsigned char *ring_ = nullptr;
  int *starts_ = nullptr;
  int count_ = 0;
  int bits_ = 0;
};

}  // namespace

int raw_format(const unsigned char *bytes, long long size) {
  if (size < kSignatureSize) return 0;
  if (std::memcmp(bytes, kG64Signature, kSignatureSize) == 0) return DI_FORMAT_G64;
  if (std::memcmp(bytes, kG71Signature, kSignatureSize) == 0) return DI_FORMAT_G71;
  return 0;
}

RawCheck check_raw(const unsigned char *bytes, long long size) {
  RawCheck check;
  check.format = raw_format(bytes, size);
  if (check.format == 0) return check;
  if (size > DI_RAW_MAX_SIZE) {
    check.fault = RawFault::kTooLarge;
  } else if (size < kTable) {
    check.fault = RawFault::kHeaderShort;
  } else if ((check.entries = bytes[kEntryCount]) > max_entries(check.format)) {
    check.fault = RawFault::kTooManyEntries;
  } else if (kTable + kOffsetSize * check.entries > size) {
    check.fault = RawFault::kTableShort;
  } else {
    for (int e = 0; e < check.entries; ++e) {
      const long long offset = le32(bytes + kTable + kOffsetSize * e);
      if (offset == 0) continue;
      if (offset + kLengthSize > size || offset + kLengthSize + le16(bytes + offset) > size) {
        check.fault = RawFault::kTrackPastEnd;
        check.entry = e;
        break;
      }
    }
  }
  return check;
}

void describe_raw_fault(const RawCheck &check, long long size, char *reason) {
  const int max = max_entries(check.format);
  const char *format = check.format == DI_FORMAT_G71 ? "G71" : "G64";
  int entry = check.entry, first_track = 1;
  if (check.format == DI_FORMAT_G71 && entry >= kSide2Entry) {
    entry -= kSide2Entry;
    first_track = kSide1Tracks + 1;
  }
  switch (check.fault) {
    case RawFault::kNone:
      reason[0] = '\0';
      break;
    case RawFault::kTooLarge:
      std::snprintf(reason, DI_REASON_SIZE, "%lld bytes, more than the 2 MiB a raw image may have",
                    size);
      break;
    case RawFault::kHeaderShort:
      std::snprintf(reason, DI_REASON_SIZE, "the header is cut short");
      break;
    case RawFault::kTooManyEntries:
      std::snprintf(reason, DI_REASON_SIZE, "%d track entries, more than the %d of a %s",
                    check.entries, max, format);
      break;
    case RawFault::kTableShort:
      std::snprintf(reason, DI_REASON_SIZE, "the table of %d track entries is cut short",
                    check.entries);
      break;
    case RawFault::kTrackPastEnd:
      std::snprintf(reason, DI_REASON_SIZE, "%strack %d%s lies past the end of the file",
                    entry % 2 ? "half-" : "", first_track + entry / 2, entry % 2 ? ".5" : "");
      break;
  }
}

DiImage *image_from_raw(const char *path, unsigned char *bytes, long long size) {
  std::unique_ptr<unsigned char, decltype(&std::free)> file_bytes(bytes, &std::free);
  const RawCheck check = check_raw(bytes, size);
  if (check.format == 0 || check.fault != RawFault::kNone) {
    errno = EINVAL;
    return nullptr;
  }
  // Decoded as the widest kind the format may turn out to be; a G64's extra
  // tracks are dropped afterwards unless their own headers are found on them.
  const KindInfo &widest = *kind_info(check.format == DI_FORMAT_G71 ? D71 : D64_42);
  int longest = 0;
  for (int t = 1; t <= widest.tracks; ++t)
    longest = std::max(longest, track_bytes(bytes, check, t).length);
  TrackDecoder decoder;
  const auto widest_size = static_cast<size_t>(widest.image_size + widest.blocks);
  auto *out = static_cast<unsigned char *>(std::calloc(widest_size, 1));
  if (!out || !decoder.reserve(longest)) {
    std::free(out);
    errno = ENOMEM;
    return nullptr;
  }
  std::array<unsigned char, DI_D71_ERR_SIZE - DI_D71_SIZE> errors{};
  DiskId id;
  const auto decode = [&](int t, bool learn_id) {
    const int first = widest.first_block[static_cast<size_t>(t)];
    return decoder.decode(track_bytes(bytes, check, t), t, widest.sectors[static_cast<size_t>(t)],
                          &id, learn_id, out + kBlockSize * first, errors.data() + first);
  };
  // Every sector's ID is compared with the disk's, which 18/0 gives.
  decode(kDirTrack, true);
  int extended = kSide1Tracks;
  for (int t = 1; t <= widest.tracks; ++t) {
    if (t == kDirTrack) continue;
    const bool own = decode(t, false);
    if (own && check.format == DI_FORMAT_G64 && t > kSide1Tracks)
      extended = std::max(extended, t > 40 ? 42 : 40);
  }
  ImageType type = D71;
  if (check.format == DI_FORMAT_G64) type = extended == 42 ? D64_42 : extended == 40 ? D64_40 : D64;
  const KindInfo &kind = *kind_info(type);
  std::memcpy(out + kind.image_size, errors.data(), static_cast<size_t>(kind.blocks));
  const long long decoded = kind.image_size + kind.blocks;
  if (auto *smaller = static_cast<unsigned char *>(std::realloc(out, static_cast<size_t>(decoded))))
    out = smaller;
  DiImage *image = image_from_buffer(path, out, decoded);
  if (!image) return nullptr;
  ImageRecord &record = record_of(image);
  record.format = check.format;
  record.file_size = size;
  record.read_only = true;
  record.file_bytes = file_bytes.release();
  return image;
}

}  // namespace diskimage
