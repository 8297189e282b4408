// The BAM of each kind: where counts and bits lie, and what the queries
// and changes answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/test_images.h"

namespace {

using namespace testing_images;
using diskimage::make_ts;

bool same(TsPair a, TsPair b) {
  return a.track == b.track && a.sector == b.sector;
}

TEST(Bam, ZeroCountOverridesBitmapOnlyOnD64) {
  ImagePtr d64 = blank_image(kD64Size);
  ImagePtr d71 = blank_image(kD71Size);
  for (DiImage *image : {d64.get(), d71.get()})
    put(block(image, 18, 0) + 4 * 5, {0, 0xF7, 0xFF, 0x1F});  // track 5: count 0, sector 3 used
  for (int s = 0; s < 21; ++s) {
    EXPECT_EQ(di_is_ts_free(d64.get(), make_ts(5, s)), 0) << s;
    EXPECT_EQ(di_is_ts_free(d71.get(), make_ts(5, s)), s == 3 ? 0 : 1) << s;
  }
  block(d64.get(), 18, 0)[4 * 5] = 1;
  for (int s = 0; s < 21; ++s) EXPECT_EQ(di_is_ts_free(d64.get(), make_ts(5, s)), s == 3 ? 0 : 1);
}

TEST(Bam, FreeCountsLieWhereEachKindKeepsThem) {
  struct Case {
    long long size;
    int track;
    int bam_track, bam_sector, offset;
  };
  const Case cases[] = {
      {kD64Size, 1, 18, 0, 4},    {kD64Size, 35, 18, 0, 140}, {kD71Size, 1, 18, 0, 4},
      {kD71Size, 35, 18, 0, 140}, {kD71Size, 36, 18, 0, 221}, {kD71Size, 53, 18, 0, 238},
      {kD71Size, 70, 18, 0, 255}, {kD81Size, 1, 40, 1, 16},   {kD81Size, 40, 40, 1, 250},
      {kD81Size, 41, 40, 2, 16},  {kD81Size, 80, 40, 2, 250},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " track " << c.track);
    ImagePtr image = blank_image(c.size);
    block(image.get(), c.bam_track, c.bam_sector)[c.offset] = 199;  // read unsigned
    for (int t = 1; t <= di_tracks(image->type); ++t)
      EXPECT_EQ(di_track_blocks_free(image.get(), t), t == c.track ? 199 : 0) << t;
  }
}

// Sets a single bitmap bit and checks that exactly the expected block, and no
// other on the whole disk, reads as free.
TEST(Bam, BitmapBitsLieWhereEachKindKeepsThem) {
  struct Case {
    long long size;
    int track, sector;
    int bam_track, bam_sector, byte, bit;
  };
  const Case cases[] = {
      {kD64Size, 1, 0, 18, 0, 5, 0},     {kD64Size, 17, 20, 18, 0, 71, 4},
      {kD64Size, 35, 16, 18, 0, 143, 0}, {kD71Size, 18, 9, 18, 0, 74, 1},
      {kD71Size, 36, 9, 53, 0, 1, 1},    {kD71Size, 70, 16, 53, 0, 104, 0},
      {kD81Size, 1, 0, 40, 1, 17, 0},    {kD81Size, 40, 39, 40, 1, 255, 7},
      {kD81Size, 41, 9, 40, 2, 18, 1},   {kD81Size, 80, 39, 40, 2, 255, 7},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " " << c.track << "/" << c.sector);
    ImagePtr image = blank_image(c.size);
    // D64 needs a nonzero count for the bitmap to be consulted at all.
    if (image->type == D64) block(image.get(), 18, 0)[4 * c.track] = 1;
    block(image.get(), c.bam_track, c.bam_sector)[c.byte] = static_cast<unsigned char>(1 << c.bit);
    int free_found = 0;
    for (int t = 1; t <= di_tracks(image->type); ++t) {
      for (int s = 0; s < di_sectors_per_track(image->type, t); ++s) {
        if (!di_is_ts_free(image.get(), make_ts(t, s))) continue;
        ++free_found;
        EXPECT_TRUE(t == c.track && s == c.sector) << "also free: " << t << "/" << s;
      }
    }
    EXPECT_EQ(free_found, 1);
  }
}

TEST(Bam, BlocksFreeLeavesOutOnlyTheHeaderTrack) {
  TempDir dir;
  struct Case {
    long long size;
    int fresh;
    int header_track, other_track;
  };
  for (Case c : {Case{kD64Size, 664, 18, 19}, Case{kD64ErrSize, 664, 18, 1},
                 Case{kD71Size, 1328, 18, 54}, Case{kD71ErrSize, 1328, 18, 70},
                 Case{kD81Size, 3160, 40, 41}, Case{kD81ErrSize, 3160, 40, 39}}) {
    SCOPED_TRACE(c.size);
    ImagePtr image = formatted_image(c.size);
    EXPECT_EQ(diskimage::blocks_free(image.get()), c.fresh);
    std::string path = dir.file("fresh");
    save(path, image.get());
    ImagePtr loaded(di_load_image(path.c_str()));
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->free_blocks, c.fresh);

    // A block taken on the header track does not count; one anywhere else does.
    di_alloc_ts(image.get(), make_ts(c.header_track, 10));
    EXPECT_EQ(diskimage::blocks_free(image.get()), c.fresh);
    di_alloc_ts(image.get(), make_ts(c.other_track, 10));
    EXPECT_EQ(diskimage::blocks_free(image.get()), c.fresh - 1);
  }
  // D71 track 53 counts whatever it holds, unlike track 18.
  ImagePtr d71 = formatted_image(kD71Size);
  EXPECT_EQ(di_track_blocks_free(d71.get(), 53), 0);
  block(d71.get(), 18, 0)[185 + 53] = 5;
  EXPECT_EQ(diskimage::blocks_free(d71.get()), 1333);
  // Counts are summed as stored, each 0-255, with no check against the bitmaps.
  ImagePtr d64 = blank_image(kD64Size);
  for (int t = 1; t <= 35; ++t) block(d64.get(), 18, 0)[4 * t] = 255;
  EXPECT_EQ(diskimage::blocks_free(d64.get()), 34 * 255);
}

TEST(Bam, LinksAndDirectoryStartAreTakenAsStored) {
  ImagePtr d64 = blank_image(kD64Size);
  put(block(d64.get(), 3, 4), {0, 0x37});
  EXPECT_TRUE(same(diskimage::next_ts_in_chain(d64.get(), make_ts(3, 4)), make_ts(0, 0x37)));
  put(block(d64.get(), 35, 16), {200, 250});
  EXPECT_TRUE(same(diskimage::next_ts_in_chain(d64.get(), make_ts(35, 16)), make_ts(200, 250)));

  struct Case {
    long long size;
    int link_track, link_sector;
    TsPair dir;
  };
  for (Case c : {Case{kD64Size, 18, 4, {18, 1}}, Case{kD64Size, 0, 0, {18, 1}},
                 Case{kD71Size, 53, 2, {18, 1}}, Case{kD81Size, 40, 3, {40, 3}},
                 Case{kD81Size, 0, 0, {0, 0}}, Case{kD81Size, 77, 200, {77, 200}}}) {
    ImagePtr image = blank_image(c.size);
    put(block(image.get(), image->header_ts.track, image->header_ts.sector),
        {c.link_track, c.link_sector});
    TsPair got = di_get_dir_ts(image.get());
    EXPECT_TRUE(same(got, c.dir)) << c.size << " link " << c.link_track << "/" << c.link_sector
                                  << " gave " << int(got.track) << "/" << int(got.sector);
  }
}

TEST(Bam, TitleAddressesTheDiskName) {
  struct Case {
    long long size;
    int track, sector, offset;
    const char *dos_type;
  };
  for (Case c : {Case{kD64Size, 18, 0, 144, "2A"}, Case{kD71ErrSize, 18, 0, 144, "2A"},
                 Case{kD81Size, 40, 0, 4, "3D"}}) {
    ImagePtr image = formatted_image(c.size, "GAMES", "XY");
    unsigned char *title = di_title(image.get());
    EXPECT_EQ(title, block(image.get(), c.track, c.sector) + c.offset);
    EXPECT_EQ(std::memcmp(title, raw("GAMES").data(), 16), 0);
    const unsigned char tail[] = {'X', 'Y', 0xA0, static_cast<unsigned char>(c.dos_type[0]),
                                  static_cast<unsigned char>(c.dos_type[1])};
    EXPECT_EQ(std::memcmp(title + diskimage::kTitleIdOffset, tail, sizeof tail), 0);
  }
}

}  // namespace

namespace {

// A track or block that does not exist: every BAM call and the error-byte
// lookups refuse it with status 66 naming it, and touch nothing, not even
// `dirty`.
TEST(Bam, BlocksThatDoNotExistAreRefused) {
  const struct {
    long long size;
    int track, sector;
  } cases[] = {
      {kD64Size, 0, 0},  {kD64Size, 36, 0},  {kD64Size, 18, 19}, {kD64Size, 255, 255},
      {kD71Size, 71, 0}, {kD71Size, 53, 19}, {kD81Size, 81, 0},  {kD81Size, 80, 40},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " " << c.track << "/" << c.sector);
    ImagePtr image = formatted_image(c.size);
    DiImage *img = image.get();
    const std::vector<unsigned char> before(img->blocks, img->blocks + img->size);
    const TsPair ts = make_ts(c.track, c.sector);
    const auto refused = [&] {
      EXPECT_EQ(img->status, DI_STATUS_ILLEGAL_TS);
      EXPECT_TRUE(same(img->status_ts, ts));
      img->status = 0;
    };
    EXPECT_EQ(di_is_ts_free(img, ts), 0);
    refused();
    EXPECT_EQ(get_ts_doserr(img, ts), -1);  // no byte
    refused();
    EXPECT_EQ(di_get_ts_err(img, ts), DI_STATUS_ILLEGAL_TS);
    refused();
    di_alloc_ts(img, ts);
    refused();
    di_free_ts(img, ts);
    refused();
    if (c.sector == 0) {
      EXPECT_EQ(di_track_blocks_free(img, c.track), 0);
      refused();
    }
    EXPECT_TRUE(std::equal(before.begin(), before.end(), img->blocks));
    EXPECT_EQ(img->dirty, 0);
  }
  ImagePtr image = formatted_image(kD64Size);
  for (int track : {-1, 256, 1 << 20}) {
    EXPECT_EQ(di_track_blocks_free(image.get(), track), 0) << track;
    EXPECT_EQ(image->status, DI_STATUS_ILLEGAL_TS) << track;
  }
}

}  // namespace

namespace {

// A formatted D64 of 40 or 42 tracks whose BAM block holds `bytes` at `at`.
ImagePtr long_d64(long long size, int at = 0, std::vector<int> bytes = {}) {
  ImagePtr image = formatted_image(size, "LONG", "40");
  for (size_t i = 0; i < bytes.size(); ++i)
    block(image.get(), 18, 0)[at + static_cast<int>(i)] = static_cast<unsigned char>(bytes[i]);
  image->dirty = 0;
  return image;
}

// Where tracks 36-40 are kept: the SpeedDOS layout wins over the DolphinDOS
// one, which a GEOS disk's own text rules out; tracks 41-42, and a 35-track
// disk's bytes there, are never BAM.
TEST(Bam, ExtendedLayoutsOfLongDisks) {
  const std::vector<int> entry = {17, 0xFF, 0xFF, 0x01};  // track 36: all 17 free
  std::vector<int> geos(entry);
  for (char c : std::string("GEOS format")) geos.push_back(c);
  const struct {
    const char *what;
    long long size;
    int at;
    std::vector<int> bytes;
    int layout, free_36, in_bam_41;
  } cases[] = {
      {"speeddos", DI_D64_40_SIZE, 0xC0, entry, DI_BAM_SPEEDDOS, 17, -1},
      {"dolphindos", DI_D64_42_SIZE, 0xAC, entry, DI_BAM_DOLPHINDOS, 17, 0},
      {"a geos disk", DI_D64_40_SIZE, 0xA9, geos, DI_BAM_NONE, 0, -1},
      {"all zero", DI_D64_42_SIZE, 0xC0, {0, 0, 0, 0}, DI_BAM_NONE, 0, 0},
      {"a 35-track disk", kD64Size, 0xC0, entry, DI_BAM_STANDARD, 0, -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ImagePtr image = long_d64(c.size, c.at, c.bytes);
    DiImage *d = image.get();
    EXPECT_EQ(di_bam_layout(d), c.layout);
    if (c.size == kD64Size) continue;
    const bool kept = c.layout != DI_BAM_NONE;
    EXPECT_EQ(di_track_in_bam(d, 36), kept);
    EXPECT_EQ(di_track_blocks_free(d, 36), c.free_36);
    EXPECT_EQ(di_is_ts_free(d, make_ts(36, 16)), kept);
    if (c.in_bam_41 >= 0) {
      EXPECT_EQ(di_track_in_bam(d, 41), c.in_bam_41);
    }
    EXPECT_EQ(d->status, DI_STATUS_OK) << "a track outside the BAM is no error";
    // Allocating changes the extended entry where there is one, else nothing.
    const std::vector<unsigned char> before(d->blocks, d->blocks + d->size);
    di_alloc_ts(d, make_ts(36, 0));
    EXPECT_EQ(di_track_blocks_free(d, 36), kept ? 16 : 0);
    EXPECT_EQ(d->dirty, kept);
    di_free_ts(d, make_ts(36, 0));
    EXPECT_TRUE(std::equal(before.begin(), before.end(), d->blocks));
    // The allocator never gives a file a block on an extra track, nor the
    // directory one when its chain has run onto one.
    for (TsPair ts = di_get_dir_ts(d); ts.track != 0; ts = diskimage::alloc_next_ts(d, ts))
      EXPECT_LE(ts.track, 35);
    set_link(d, 18, 1, 38, 0);
    set_link(d, 38, 0, 0, 0xFF);
    const std::vector<unsigned char> bam(block(d, 18, 0), block(d, 18, 0) + 256);
    EXPECT_EQ(diskimage::alloc_next_dir_ts(d).track, 0);
    EXPECT_TRUE(std::equal(bam.begin(), bam.end(), block(d, 18, 0)));
    EXPECT_EQ(di_track_blocks_free(d, 36), c.free_36);
  }
}

}  // namespace
