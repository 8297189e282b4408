// Raw GCR dumps: decoding, the drive's error codes, the container's checks,
// hostile tracks and files, and the write side's rules for them.
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <random>

#include <gtest/gtest.h>
#include "tests/gcr_writer.h"
#include "tests/test_images.h"

namespace {

using namespace testing_images;
using gcr_writer::Bytes;
namespace fs = std::filesystem;

// A formatted disk with error information and two files; every free block
// holds bytes of its own, so that a sector decoded into the wrong place shows.
ImagePtr disk(long long size) {
  ImagePtr image = formatted_image(size, "RAW DISK", "RD");
  write_file(image.get(), "ONE", DI_FT_PRG, std::vector<unsigned char>(3000, 0x11));
  for (int t = 1; t <= di_tracks(image->type); ++t) {
    for (int s = 0; s < di_sectors_per_track(image->type, t); ++s) {
      if (t > 35 || di_is_ts_free(image.get(), diskimage::make_ts(t, s)))
        for (int i = 0; i < 256; ++i)
          block(image.get(), t, s)[i] = static_cast<unsigned char>(t * 31 + s * 7 + i);
    }
  }
  return image;
}

ImagePtr decode(const Bytes &bytes) {
  return ImagePtr(
      di_load_image_from_memory("disk.g64", bytes.data(), static_cast<long>(bytes.size())));
}

// Checks that `decoded` holds the blocks and error table of `image`, except
// that a sector whose error byte is neither 1 nor 5 reads as zeros.
void expect_decodes_to(const ImagePtr &decoded, DiImage *image) {
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->type, image->type);
  for (int t = 1; t <= di_tracks(image->type); ++t) {
    for (int s = 0; s < di_sectors_per_track(image->type, t); ++s) {
      const TsPair ts = diskimage::make_ts(t, s);
      const int error = get_ts_doserr(image, ts);
      Bytes expected(block(image, t, s), block(image, t, s) + 256);
      if (error != 1 && error != 5) expected.assign(256, 0);
      EXPECT_EQ(get_ts_doserr(decoded.get(), ts), error) << t << "/" << s;
      EXPECT_EQ(Bytes(block(decoded.get(), t, s), block(decoded.get(), t, s) + 256), expected)
          << t << "/" << s;
    }
  }
}

TEST(RawDump, DecodesToTheImageItWasMadeFrom) {
  for (long long size :
       {kD64ErrSize, 1LL * DI_D64_40_ERR_SIZE, 1LL * DI_D64_42_ERR_SIZE, kD71ErrSize}) {
    SCOPED_TRACE(size);
    ImagePtr image = disk(size);
    const Bytes dump = gcr_writer::dump_of(image.get());
    ImagePtr decoded = decode(dump);
    expect_decodes_to(decoded, image.get());
    EXPECT_EQ(di_image_format(decoded.get()), size == kD71ErrSize ? DI_FORMAT_G71 : DI_FORMAT_G64);
    EXPECT_EQ(di_file_size(decoded.get()), static_cast<long>(dump.size()));
    EXPECT_TRUE(di_image_read_only(decoded.get()));
    // The digests of a dump are those of the dump file, not of what it decodes to.
    long bytes_size = 0;
    const unsigned char *bytes = di_image_bytes(decoded.get(), &bytes_size);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(Bytes(bytes, bytes + bytes_size), dump);
  }
}

// Error bytes as the writer turns them into damage: {track, sector or -1 for
// all, byte}.
TEST(RawDump, EachDamageGivesTheDrivesErrorCode) {
  const struct {
    long long size;
    std::vector<std::array<int, 3>> errors;
  } cases[] = {
      {kD64ErrSize,
       {{1, 3, 2}, {2, 5, 4}, {3, 7, 5}, {5, 0, 9}, {6, 1, 11}, {7, -1, 3}, {35, 16, 5}}},
      {kD71ErrSize, {{36, 0, 2}, {53, 4, 5}, {70, 16, 11}, {52, -1, 3}}},
      // Without a header for 18/0 there is no disk ID, so no ID is wrong.
      {kD64ErrSize, {{18, 0, 2}, {6, 1, 11}}},
  };
  for (const auto &c : cases) {
    ImagePtr image = disk(c.size);
    for (const auto &[t, s, error] : c.errors)
      for (int sector = 0; sector < di_sectors_per_track(image->type, t); ++sector)
        if (s < 0 || s == sector) set_error(image.get(), t, sector, error);
    ImagePtr decoded = decode(gcr_writer::dump_of(image.get()));
    if (get_ts_doserr(image.get(), diskimage::make_ts(18, 0)) == 2) set_error(image.get(), 6, 1, 1);
    expect_decodes_to(decoded, image.get());
  }
}

// Track 1 as the writer lays it out: 362 bytes a sector, its header's sync at
// 0, the header at 5, the data block's sync at 24, the data at 29.
constexpr long kSector = 362;

// Moves the track's bits `bits` places towards its start, round the end.
void rotate(Bytes &t, long bits) {
  const Bytes old = t;
  const long total = 8 * static_cast<long>(t.size());
  for (long i = 0; i < total; ++i) {
    const long from = (i + bits) % total;
    const auto mask = static_cast<unsigned char>(0x80 >> i % 8);
    t[i / 8] = (old[from / 8] >> (7 - from % 8) & 1) ? t[i / 8] | mask : t[i / 8] & ~mask;
  }
}

// A second header of sector 4 with a wrong checksum, put in at `at`.
void bad_copy(Bytes &t, long at) {
  gcr_writer::Bits bits;
  bits.block(gcr_writer::header(1, 4, reinterpret_cast<const unsigned char *>("RD"), 9));
  t.insert(t.begin() + at, bits.bytes.begin(), bits.bytes.end());
}

TEST(RawDump, CraftedTracks) {
  const gcr_writer::Tracks clean = gcr_writer::tracks(disk(kD64ErrSize).get());
  const struct {
    const char *what;
    std::function<void(Bytes &)> change;
    int sector, error;  // the sector of track 1 that reads `error` (-1: all); others read 1
  } cases[] = {
      {"killer track", [](Bytes &t) { t.assign(t.size(), 0xFF); }, -1, 3},
      {"zero-bits", [](Bytes &t) { t.assign(t.size(), 0); }, -1, 3},
      {"no bytes", [](Bytes &t) { t.clear(); }, -1, 3},
      {"another track's headers", [&clean](Bytes &t) { t = *clean.by_number[2]; }, -1, 2},
      {"header ends the track", [](Bytes &t) { rotate(t, 8 * 15); }, -1, 1},
      {"gap across the end", [](Bytes &t) { rotate(t, 8 * 17); }, -1, 1},
      {"sync across the end", [](Bytes &t) { rotate(t, 8 * 4 + 3); }, -1, 1},
      // Sector 3's header after exactly ten one-bits, then after nine.
      {"ten one-bits sync", [](Bytes &t) { t[3 * kSector + 3] = 0x53; }, -1, 1},
      {"nine do not", [](Bytes &t) { t[3 * kSector + 3] = 0x51; }, 3, 2},
      // The last two codes of sector 2's data made invalid: they read as the
      // zeros they stood for, so only the codes are wrong.
      {"invalid codes", [](Bytes &t) { t[2 * kSector + 29 + 324] = 0; }, 2, 5},
      {"bad copy first", [](Bytes &t) { bad_copy(t, 0); }, 4, 9},
      {"bad copy later", [](Bytes &t) { bad_copy(t, 7692 - 40); }, 4, 1},
      {"data block lost",
       [](Bytes &t) { t.erase(t.begin() + 9 * kSector + 24, t.begin() + 9 * kSector + 354); }, 9,
       4},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    gcr_writer::Tracks dump = clean;
    c.change(*dump.by_number[1]);
    ImagePtr expected = disk(kD64ErrSize);
    for (int s = 0; s < 21; ++s)
      if (c.sector < 0 || s == c.sector) set_error(expected.get(), 1, s, c.error);
    expect_decodes_to(decode(gcr_writer::container(dump)), expected.get());
  }
}

TEST(RawDump, TrackCountFromTheHeadersFoundOnTheExtraTracks) {
  const struct {
    long long size;
    int first, last;  // tracks that get track 35's bytes, so none of their own headers
    ImageType type;
  } cases[] = {{DI_D64_40_ERR_SIZE, 36, 40, D64},
               {DI_D64_42_ERR_SIZE, 41, 42, D64_40},
               {DI_D64_42_ERR_SIZE, 36, 40, D64_42}};
  for (const auto &c : cases) {
    gcr_writer::Tracks dump = gcr_writer::tracks(disk(c.size).get());
    for (int t = c.first; t <= c.last; ++t)
      dump.by_number[static_cast<size_t>(t)] = dump.by_number[35];
    ImagePtr decoded = decode(gcr_writer::container(dump));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->type, c.type) << c.size << " " << c.first;
  }
}

void set32(Bytes &f, size_t at, size_t value) {
  for (size_t i = 0; i < 4; ++i) f[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

TEST(RawDump, ContainerChecks) {
  TempDir dir;
  const Bytes g64 = gcr_writer::dump_of(disk(kD64ErrSize).get());
  const Bytes g71 = gcr_writer::dump_of(disk(kD71ErrSize).get());
  const struct {
    const char *reason;  // "": it loads
    const Bytes &from;
    std::function<void(Bytes &)> change;
  } cases[] = {
      {"85 track entries, more than the 84 of a G64", g64, [](Bytes &f) { f[9] = 85; }},
      {"169 track entries, more than the 168 of a G71", g71, [](Bytes &f) { f[9] = 169; }},
      {"the header is cut short", g64, [](Bytes &f) { f.resize(11); }},
      {"the table of 84 track entries is cut short", g64,
       [](Bytes &f) { f.resize(12 + 4 * 84 - 1); }},
      {"track 5 lies past the end of the file", g64,
       [](Bytes &f) { set32(f, 12 + 4 * 8, f.size() - 1); }},
      {"half-track 1.5 lies past the end of the file", g64,
       [](Bytes &f) { set32(f, 16, f.size()); }},
      {"track 35 lies past the end of the file", g64, [](Bytes &f) { f.pop_back(); }},
      {"track 37 lies past the end of the file", g71,
       [](Bytes &f) { set32(f, 12 + 4 * 86, 1u << 31); }},
      {"2097153 bytes, more than the 2 MiB a raw image may have", g64,
       [](Bytes &f) { f.resize(DI_RAW_MAX_SIZE + 1); }},
      {"", g64, [](Bytes &f) { f.resize(DI_RAW_MAX_SIZE); }},
      // The stated largest track size is a hint, and tracks may overlap.
      {"", g64, [](Bytes &f) { f[10] = 100, f[11] = 0; }},
      {"", g64, [](Bytes &f) { std::copy_n(f.begin() + 12, 4, f.begin() + 20); }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.reason);
    Bytes file = c.from;
    c.change(file);
    const std::string path = dir.file("dump");
    save(path, file.data(), file.size());
    char reason[DI_REASON_SIZE];
    EXPECT_EQ(di_raw_problem(path.c_str(), reason),
              &c.from == &g71 ? DI_FORMAT_G71 : DI_FORMAT_G64);
    EXPECT_STREQ(reason, c.reason);
    errno = 0;
    const bool loaded = ImagePtr(di_load_image(path.c_str())) != nullptr;
    EXPECT_EQ(loaded, *c.reason == '\0');
    if (!loaded) {
      EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(decode(file) == nullptr, *c.reason != '\0');
  }
}

// A file of an image's size is that image, even when its first block starts
// with a dump's signature text, as a file's data may.
TEST(RawDump, AnImageSizedFileIsThatImage) {
  TempDir dir;
  for (long long size : {kD64Size, kD71ErrSize, kD81Size, static_cast<long long>(DI_D64_40_SIZE)}) {
    std::vector<unsigned char> bytes(static_cast<size_t>(size));
    std::memcpy(bytes.data(), "GCR-1541", 8);
    save(dir.file("x.img"), bytes.data(), bytes.size());
    ImagePtr image(di_load_image(dir.file("x.img").c_str()));
    ASSERT_NE(image, nullptr) << size;
    EXPECT_NE(di_image_format(image.get()), DI_FORMAT_G64) << size;
    EXPECT_EQ(std::memcmp(image->blocks, "GCR-1541", 8), 0) << size;
  }
}

// No byte of a dump may make the decoder read outside it or run on: a dump cut
// short anywhere, and tracks of random bytes among runs of one-bits, tracks a
// few bytes long, and bits flipped in good tracks. What loads holds only the
// error bytes a drive gives, and zeros where it read nothing.
TEST(RawDump, HostileBytesLoadOrFailCleanly) {
  const gcr_writer::Tracks clean = gcr_writer::tracks(disk(kD64ErrSize).get());
  const Bytes g64 = gcr_writer::container(clean);
  for (size_t size = 0; size < g64.size(); size += size < 700 ? 1 : 4099)
    EXPECT_FALSE(decode(Bytes(g64.begin(), g64.begin() + static_cast<long>(size)))) << size;
  std::mt19937 rng(1541);
  for (int round = 0; round < 60; ++round) {
    gcr_writer::Tracks dump = clean;
    for (size_t t = 1; t < dump.by_number.size(); ++t) {
      Bytes &track = *dump.by_number[t];
      const unsigned how = rng() % 4;
      if (how == 0) track.resize(rng() % 9000);
      if (how == 0)
        for (unsigned char &b : track) b = rng() % 3 ? static_cast<unsigned char>(rng()) : 0xFF;
      if (how == 1)
        for (int i = 0; i < 40; ++i)
          track[rng() % track.size()] ^= static_cast<unsigned char>(1 << rng() % 8);
      if (how == 2) track.resize(rng() % 12, 0xFF);
    }
    ImagePtr image = decode(gcr_writer::container(dump));
    ASSERT_TRUE(image);
    for (int b = 0; b < 683; ++b) {
      const int error = image->error_info[b];
      ASSERT_TRUE(error == 1 || error == 2 || error == 3 || error == 4 || error == 5 ||
                  error == 9 || error == 11)
          << error;
      if (error != 1 && error != 5) {
        ASSERT_EQ(Bytes(image->blocks + 256 * b, image->blocks + 256 * b + 256), Bytes(256, 0))
            << b;
      }
    }
  }
}

TEST(RawDump, WrittenOnlyToANewFile) {
  TempDir dir;
  const std::string path = dir.file("disk.g64"), saved = dir.file("saved.d64");
  const Bytes g64 = gcr_writer::dump_of(disk(kD64ErrSize).get());
  save(path, g64.data(), g64.size());
  DiImage *image = di_load_image(path.c_str());
  ASSERT_NE(image, nullptr);
  image->dirty = 1;
  di_sync(image);
  EXPECT_EQ(image->status, DI_STATUS_WRITE_PROTECT);
  EXPECT_EQ(image->dirty, 1);

  ASSERT_EQ(di_save_new(image, saved.c_str()), 0);
  EXPECT_EQ(slurp(saved), Bytes(image->blocks, image->blocks + image->size));
  ImagePtr reloaded(di_load_image(saved.c_str()));
  ASSERT_TRUE(reloaded);
  EXPECT_EQ(di_image_format(reloaded.get()), DI_FORMAT_D64);
  EXPECT_FALSE(di_image_read_only(reloaded.get()));

  fs::create_symlink(dir.file("nowhere"), dir.file("dangling"));
  for (const auto &[target, why] : {std::pair{saved, EEXIST},
                                    {dir.file("dangling"), EEXIST},
                                    {dir.file("no/such.d64"), ENOENT}}) {
    errno = 0;
    EXPECT_EQ(di_save_new(image, target.c_str()), -1) << target;
    EXPECT_EQ(errno, why) << target;
  }
  di_free_image(image);  // dirty, and never written back
  EXPECT_EQ(slurp(path), g64);
  EXPECT_EQ(slurp(saved).size(), static_cast<size_t>(kD64ErrSize));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 3);
}

}  // namespace
