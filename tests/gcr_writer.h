// Writes raw GCR dumps (G64, G71) of disk images as a drive lays the sectors
// down, for the tests and the benchmark. A sector's error byte becomes the
// damage a drive reports it for (2 no header, 4 no data mark, 5 and 9 a wrong
// checksum, 11 another ID; a track whose every byte is 3 gets no entry), so a
// dump decodes back to the image's own error table. Public header only.
#ifndef KESTRIX_TESTS_GCR_WRITER_H
#define KESTRIX_TESTS_GCR_WRITER_H

#include <algorithm>
#include <optional>
#include <vector>

#include "diskimage/diskimage.h"

namespace gcr_writer {

using Bytes = std::vector<unsigned char>;

// A bit stream, most significant bit first.
struct Bits {
  Bytes bytes;
  long used = 0;
  void put(unsigned value, int count) {
    for (int i = count - 1; i >= 0; --i, ++used) {
      if (used % 8 == 0) bytes.push_back(0);
      if ((value >> i) & 1) bytes.back() |= static_cast<unsigned char>(0x80 >> (used % 8));
    }
  }
  void repeat(unsigned byte, int count) {
    for (int i = 0; i < count; ++i) put(byte, 8);
  }
  // A sync of five 0xFF bytes, then each byte as two five-bit codes.
  void block(const Bytes &data) {
    static constexpr unsigned kCodes[16] = {0x0A, 0x0B, 0x12, 0x13, 0x0E, 0x0F, 0x16, 0x17,
                                            0x09, 0x19, 0x1A, 0x1B, 0x0D, 0x1D, 0x1E, 0x15};
    repeat(0xFF, 5);
    for (unsigned char b : data) put(kCodes[b >> 4] << 5 | kCodes[b & 15], 10);
  }
};

inline Bytes header(int track, int sector, const unsigned char id[2], int error) {
  const auto id2 = static_cast<unsigned char>(id[1] ^ (error == 11));
  const auto sum =
      static_cast<unsigned char>(sector ^ track ^ id[0] ^ id2 ^ (error == 9 ? 0xFF : 0));
  return {
      8,  sum, static_cast<unsigned char>(sector), static_cast<unsigned char>(track), id2, id[0],
      15, 15};
}

// One track: header, gap, data block, gap for each sector, then filled to the
// length a track of its zone has.
inline Bytes track(DiImage *image, int t) {
  const unsigned char *id = di_get_ts_addr(image, image->bam_ts) + 162;
  Bits bits;
  for (int s = 0; s < di_sectors_per_track(image->type, t); ++s) {
    const TsPair ts{static_cast<unsigned char>(t), static_cast<unsigned char>(s)};
    const int error = get_ts_doserr(image, ts);
    if (error != 2) bits.block(header(t, s, id, error));
    bits.repeat(0x55, 9);
    const unsigned char *b = di_get_ts_addr(image, ts);
    Bytes data{static_cast<unsigned char>(error == 4 ? 0 : 7)};
    data.insert(data.end(), b, b + 256);
    unsigned char sum = error == 5 ? 0xFF : 0;
    for (int i = 0; i < 256; ++i) sum ^= b[i];
    data.insert(data.end(), {sum, 0, 0});
    bits.block(data);
    bits.repeat(0x55, 8);
  }
  const int zone = (t - 1) % 35 + 1;
  bits.bytes.resize(zone <= 17 ? 7692 : zone <= 24 ? 7142 : zone <= 30 ? 6666 : 6250, 0x55);
  return bits.bytes;
}

// A dump's tracks by number (index 0 unused); no bytes, no entry.
struct Tracks {
  int format = DI_FORMAT_G64;
  std::vector<std::optional<Bytes>> by_number;
};

inline Tracks tracks(DiImage *image) {
  Tracks dump{image->type == D71 ? DI_FORMAT_G71 : DI_FORMAT_G64, {std::nullopt}};
  for (int t = 1; t <= di_tracks(image->type); ++t) {
    bool no_sync = true;
    for (int s = 0; s < di_sectors_per_track(image->type, t); ++s)
      no_sync = no_sync && get_ts_doserr(image, {static_cast<unsigned char>(t),
                                                 static_cast<unsigned char>(s)}) == 3;
    dump.by_number.push_back(no_sync ? std::nullopt : std::optional<Bytes>(track(image, t)));
  }
  return dump;
}

// The container's numbers: the track entries of a G64 and a G71, the bytes
// before the offsets, and the largest track size the header states.
constexpr size_t kG64Entries = 84, kG71Entries = 168, kHeaderSize = 12, kMaxTrackSize = 7928;

inline const char *signature(bool g71) {
  return g71 ? "GCR-1571" : "GCR-1541";
}

// The entry of track t: whole tracks are the even entries, side 2 of a G71
// from entry 84 on.
inline size_t entry_of(bool g71, size_t t) {
  return g71 && t > 35 ? kG64Entries + 2 * (t - 36) : 2 * (t - 1);
}

// The file: signature, version, entries, largest track size, offsets, speed
// zones (all 0 here, which nothing reads), then each track's length and bytes.
inline Bytes container(const Tracks &dump) {
  const bool g71 = dump.format == DI_FORMAT_G71;
  const size_t entries = g71 ? kG71Entries : kG64Entries;
  Bytes file(kHeaderSize + 8 * entries);
  std::copy(signature(g71), signature(g71) + 8, file.begin());
  file[9] = static_cast<unsigned char>(entries);
  file[10] = kMaxTrackSize & 0xFF;
  file[11] = kMaxTrackSize >> 8;
  for (size_t t = 1; t < dump.by_number.size(); ++t) {
    if (!dump.by_number[t]) continue;
    const size_t entry = entry_of(g71, t);
    for (size_t i = 0; i < 4; ++i)
      file[kHeaderSize + 4 * entry + i] = (file.size() >> (8 * i)) & 0xFF;
    const Bytes &bytes = *dump.by_number[t];
    file.insert(file.end(), {static_cast<unsigned char>(bytes.size()),
                             static_cast<unsigned char>(bytes.size() >> 8)});
    file.insert(file.end(), bytes.begin(), bytes.end());
  }
  return file;
}

inline Bytes dump_of(DiImage *image) {
  return container(tracks(image));
}

}  // namespace gcr_writer

#endif  // KESTRIX_TESTS_GCR_WRITER_H
