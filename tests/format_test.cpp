// Whole-disk operations: full and quick format, scratching and renaming.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "test_images.h"

namespace {

using namespace testing_images;
using diskimage::make_ts;
using Block = std::vector<unsigned char>;

const unsigned char kId[] = {'0', '1'};

Block copy_block(DiImage *image, int t, int s) {
  unsigned char *b = block(image, t, s);
  return {b, b + 256};
}

std::vector<unsigned char> bytes_of(DiImage *image) {
  return {image->blocks, image->blocks + image->size};
}

std::string status_of(DiImage *image) {
  char text[DI_STATUS_SIZE];
  di_status(image, text);
  return text;
}

// A fully free track entry: the count, then one bit per sector.
void put_free_track(unsigned char *count, unsigned char *bitmap, int sectors) {
  *count = static_cast<unsigned char>(sectors);
  for (int s = 0; s < sectors; ++s) bitmap[s >> 3] |= static_cast<unsigned char>(1 << (s & 7));
}

void put_title(unsigned char *at, const char *name, const char *dos_type) {
  std::vector<unsigned char> n = raw(name);
  std::copy(n.begin(), n.end(), at);
  put(at + 16, {0xA0, 0xA0, kId[0], kId[1], 0xA0, dos_type[0], dos_type[1]});
}

Block empty_dir_block() {
  Block b(256, 0);
  b[1] = 255;
  return b;
}

// The system blocks of a freshly full-formatted image, built from the layouts.
std::vector<std::pair<std::pair<int, int>, Block>> expected_system_blocks(ImageType type) {
  if (type == D81) {
    Block header(256, 0), bam1(256, 0), bam2(256, 0);
    put(header.data(), {40, 3});
    put_title(header.data() + 4, "TEST DISK", "3D");
    put(header.data() + 27, {0xA0, 0xA0});
    put(bam1.data(), {40, 2, 68, 187, kId[0], kId[1], 192});
    put(bam2.data(), {0, 255, 68, 187, kId[0], kId[1], 192});
    for (int t = 1; t <= 80; ++t) {
      unsigned char *entry = (t <= 40 ? bam1 : bam2).data() + 16 + 6 * ((t - 1) % 40);
      put_free_track(entry, entry + 1, 40);
    }
    put(bam1.data() + 16 + 6 * 39, {36, 240, 255, 255, 255, 255});
    return {{{40, 0}, header}, {{40, 1}, bam1}, {{40, 2}, bam2}, {{40, 3}, empty_dir_block()}};
  }
  Block bam(256, 0), bam2(256, 0);
  put(bam.data(), {18, 1, 65, type == D71 ? 128 : 0});
  for (int t = 1; t <= di_tracks(type); ++t) {
    int n = di_sectors_per_track(type, t);
    if (t == 53) continue;  // wholly used: count 0, no bit
    if (t <= 35)
      put_free_track(bam.data() + 4 * t, bam.data() + 4 * t + 1, n);
    else
      put_free_track(bam.data() + 185 + t, bam2.data() + 3 * (t - 36), n);
  }
  put(bam.data() + 72, {17, 252, 255, 7});
  put_title(bam.data() + 144, "TEST DISK", "2A");
  put(bam.data() + 167, {0xA0, 0xA0, 0xA0, 0xA0});
  if (type == D64) return {{{18, 0}, bam}, {{18, 1}, empty_dir_block()}};
  return {{{18, 0}, bam}, {{18, 1}, empty_dir_block()}, {{53, 0}, bam2}};
}

TEST(Format, FullFormatBuildsTheFileSystemAndClearsEverythingElse) {
  const struct {
    long long size;
    int free_blocks;
    std::pair<int, int> dir;
  } cases[] = {
      {kD64Size, 664, {18, 1}},    {kD71Size, 1328, {18, 1}},    {kD81Size, 3160, {40, 3}},
      {kD64ErrSize, 664, {18, 1}}, {kD71ErrSize, 1328, {18, 1}}, {kD81ErrSize, 3160, {40, 3}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.size);
    ImagePtr image = blank_image(c.size);
    std::memset(image->blocks, 0x5A, image->size);
    EXPECT_EQ(di_format(image.get(), raw("TEST DISK").data(), kId), 0);
    EXPECT_EQ(status_of(image.get()), "00,ok,00,00");
    EXPECT_EQ(image->dirty, 1);
    EXPECT_EQ(image->free_blocks, c.free_blocks);
    TsPair dir = di_get_dir_ts(image.get());
    EXPECT_EQ(std::make_pair(int(dir.track), int(dir.sector)), c.dir);

    std::vector<bool> system(image->size, false);
    for (const auto &[ts, expected] : expected_system_blocks(image->type)) {
      SCOPED_TRACE(testing::Message() << ts.first << "/" << ts.second);
      EXPECT_EQ(copy_block(image.get(), ts.first, ts.second), expected);
      long long at = block(image.get(), ts.first, ts.second) - image->blocks;
      std::fill(system.begin() + at, system.begin() + at + 256, true);
    }
    long long table = image->error_info ? image->error_info - image->blocks : image->size;
    int stray = 0;
    for (long long i = 0; i < image->size; ++i)
      if (!system[i]) stray += image->blocks[i] != (i < table ? 0 : 1);
    EXPECT_EQ(stray, 0) << "bytes outside the system blocks not cleared (error table: 1)";
  }
}

TEST(Format, QuickFormatKeepsIdDataErrorsAndEmptiesTheDirectory) {
  const struct {
    long long size;
    std::vector<std::pair<std::pair<int, int>, int>> id;  // where the id is kept
    int free_blocks;
  } cases[] = {{kD64ErrSize, {{{18, 0}, 162}}, 664},
               {kD71ErrSize, {{{18, 0}, 162}}, 1328},
               {kD81ErrSize, {{{40, 0}, 22}, {{40, 1}, 4}, {{40, 2}, 4}}, 3160}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.size);
    ImagePtr image = formatted_image(c.size);
    // Enough files for a second directory block, and some recorded errors.
    for (int i = 0; i < 10; ++i)
      ASSERT_EQ(write_file(image.get(), ("F" + std::to_string(i)).c_str(), 2,
                           std::vector<unsigned char>(600, static_cast<unsigned char>(i + 1))),
                600);
    for (const auto &[ts, offset] : c.id)
      put(block(image.get(), ts.first, ts.second) + offset, {'X', 'Y'});
    for (int i = 0; i < 40; i += 3) image->error_info[i] = 23;
    auto before = bytes_of(image.get());

    EXPECT_EQ(di_format(image.get(), raw("QUICK").data(), nullptr), 0);
    EXPECT_EQ(image->free_blocks, c.free_blocks);
    for (const auto &[ts, offset] : c.id) {
      unsigned char *at = block(image.get(), ts.first, ts.second) + offset;
      EXPECT_EQ(at[0], 'X');
      EXPECT_EQ(at[1], 'Y');
    }
    EXPECT_EQ(std::memcmp(di_title(image.get()), raw("QUICK").data(), 16), 0);
    TsPair dir = di_get_dir_ts(image.get());
    EXPECT_EQ(copy_block(image.get(), dir.track, dir.sector), empty_dir_block());
    // Everything but the rewritten blocks is byte for byte what it was,
    // including the old second directory block and the error table.
    auto after = bytes_of(image.get());
    for (const auto &[ts, rewritten] : expected_system_blocks(image->type)) {
      long long at = block(image.get(), ts.first, ts.second) - image->blocks;
      std::fill(after.begin() + at, after.begin() + at + 256, 0);
      std::fill(before.begin() + at, before.begin() + at + 256, 0);
    }
    EXPECT_TRUE(after == before);
  }
}

FileEntry *slot(DiImage *image, int index) {
  TsPair dir = di_get_dir_ts(image);
  return reinterpret_cast<FileEntry *>(block(image, dir.track, dir.sector) + 32 * index);
}

// Every track's free count equals the number of its set bits (D64 layout).
void expect_bam_consistent(DiImage *image) {
  for (int t = 1; t <= 35; ++t) {
    unsigned char *entry = block(image, 18, 0) + 4 * t;
    int bits = 0;
    for (int s = 0; s < di_sectors_per_track(D64, t); ++s)
      bits += (entry[1 + (s >> 3)] >> (s & 7)) & 1;
    EXPECT_EQ(entry[0], bits) << "track " << t;
  }
}

TEST(Delete, ScratchesEveryMatchOfTheTypeAndKeepsTheSlots) {
  ImagePtr image = formatted_image(kD64Size);
  const struct {
    const char *name;
    int type, size;
  } files[] = {{"APPLE", 2, 300},
               {"BANANA", 2, 500},
               {"APRICOT", 2, 600},
               {"ALMOND", 1, 100},
               {"AVOCADO", 2, 10}};
  for (const auto &f : files)
    ASSERT_EQ(write_file(image.get(), f.name, f.type, std::vector<unsigned char>(f.size, 7)),
              f.size);
  std::vector<FileEntry> slots_before;
  for (int i = 0; i < 5; ++i) slots_before.push_back(*slot(image.get(), i));
  image->dirty = 0;

  EXPECT_EQ(di_delete(image.get(), raw("A*").data(), 2), 1);
  EXPECT_EQ(status_of(image.get()), "01,files scratched,03,00");
  EXPECT_EQ(image->dirty, 1);
  for (int i = 0; i < 5; ++i) {
    FileEntry *e = slot(image.get(), i);
    bool scratched = i == 0 || i == 2 || i == 4;
    EXPECT_EQ(e->type, scratched ? 0 : slots_before[i].type) << i;
    // Only the type byte of a scratched slot changes.
    e->type = slots_before[i].type;
    EXPECT_EQ(std::memcmp(e, &slots_before[i], 32), 0) << i;
  }
  EXPECT_EQ(image->free_blocks, 664 - 2 - 1);  // BANANA and ALMOND remain
  EXPECT_EQ(image->free_blocks, diskimage::blocks_free(image.get()));
  expect_bam_consistent(image.get());
}

TEST(Delete, RefusesOtherTypesAndReportsNoMatch) {
  ImagePtr image = formatted_image(kD64Size);
  ASSERT_EQ(write_file(image.get(), "REL", 4, {1, 2, 3}), 3);
  ASSERT_EQ(write_file(image.get(), "PRG", 2, {1, 2, 3}), 3);
  image->dirty = 0;
  auto before = bytes_of(image.get());
  const struct {
    const char *pattern;
    int type, code;
  } cases[] = {{"*", 4, 64},  {"*", 0, 64},   {"*", 7, 64}, {"*", -1, 64},
               {"Q*", 2, 62}, {"PRG", 1, 62}, {"PR", 2, 62}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.pattern << " type " << c.type);
    EXPECT_EQ(di_delete(image.get(), raw(c.pattern).data(), c.type), c.code);
    EXPECT_EQ(status_of(image.get()),
              c.code == 64 ? "64,file type mismatch,00,00" : "62,file not found,00,00");
    EXPECT_EQ(bytes_of(image.get()), before);
    EXPECT_EQ(image->dirty, 0);
  }
}

TEST(Delete, FileWithoutBlocksIsStillScratched) {
  ImagePtr image = formatted_image(kD64Size);
  ASSERT_EQ(write_file(image.get(), "EMPTY", 2, {}), 0);
  ASSERT_EQ(slot(image.get(), 0)->first_ts.track, 0);
  Block bam = copy_block(image.get(), 18, 0);
  image->dirty = 0;
  EXPECT_EQ(di_delete(image.get(), raw("EMPTY").data(), 2), 1);
  EXPECT_EQ(status_of(image.get()), "01,files scratched,01,00");
  EXPECT_EQ(slot(image.get(), 0)->type, 0);
  EXPECT_EQ(image->dirty, 1);
  EXPECT_EQ(copy_block(image.get(), 18, 0), bam);
}

TEST(Delete, DamagedOrSharedChainsLeaveCountsEqualToBits) {
  const struct {
    const char *what;
    bool twin;         // a second slot names the same chain
    int end_t, end_s;  // link of the chain's last block
  } cases[] = {{"two slots share one chain", true, 0, 2},
               {"last block links back to the first", false, 1, 10},
               {"chain runs into a block outside the disk", false, 40, 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ImagePtr image = formatted_image(kD64Size);
    // 1/10, 1/20, 1/9, 1/19 on an empty D64, then 1/7 as a fifth block.
    ASSERT_EQ(write_file(image.get(), "ONE", 2, std::vector<unsigned char>(1000, 1)), 1000);
    di_alloc_ts(image.get(), make_ts(1, 7));
    put(block(image.get(), 1, 19), {1, 7});
    put(block(image.get(), 1, 7), {c.end_t, c.end_s});
    if (c.twin) {
      *slot(image.get(), 1) = *slot(image.get(), 0);
      std::memcpy(slot(image.get(), 1)->rawname, raw("TWIN").data(), 16);
    }
    EXPECT_EQ(di_delete(image.get(), raw("*").data(), 2), 1);
    EXPECT_EQ(image->status_ts.track, c.twin ? 2 : 1);
    expect_bam_consistent(image.get());
    EXPECT_EQ(image->free_blocks, 664);
  }
}

TEST(Rename, RenamesOnlyTheFirstMatch) {
  ImagePtr image = formatted_image(kD64Size);
  ASSERT_EQ(write_file(image.get(), "AB", 2, {1}), 1);
  ASSERT_EQ(write_file(image.get(), "AC", 2, {2}), 1);
  ASSERT_EQ(write_file(image.get(), "AD", 1, {3}), 1);
  FileEntry first = *slot(image.get(), 0);
  image->dirty = 0;
  EXPECT_EQ(di_rename(image.get(), raw("A*").data(), raw("NEW").data(), 1), 0);
  EXPECT_EQ(status_of(image.get()), "00,ok,00,00");
  EXPECT_EQ(image->dirty, 1);
  EXPECT_EQ(std::memcmp(slot(image.get(), 2)->rawname, raw("NEW").data(), 16), 0);
  EXPECT_EQ(di_rename(image.get(), raw("A*").data(), raw("ZED").data(), 2), 0);
  EXPECT_EQ(std::memcmp(slot(image.get(), 0)->rawname, raw("ZED").data(), 16), 0);
  EXPECT_EQ(std::memcmp(slot(image.get(), 1)->rawname, raw("AC").data(), 16), 0);
  std::memcpy(first.rawname, raw("ZED").data(), 16);
  EXPECT_EQ(std::memcmp(slot(image.get(), 0), &first, 32), 0);

  image->dirty = 0;
  auto before = bytes_of(image.get());
  EXPECT_EQ(di_rename(image.get(), raw("Q*").data(), raw("X").data(), 2), 62);
  EXPECT_EQ(di_rename(image.get(), raw("AC").data(), raw("X").data(), 1), 62);
  EXPECT_EQ(status_of(image.get()), "62,file not found,00,00");
  EXPECT_EQ(bytes_of(image.get()), before);
  EXPECT_EQ(image->dirty, 0);
}

}  // namespace
