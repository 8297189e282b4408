// Block allocation: marking single blocks, the data-block search with each
// drive's interleave, extending the directory and releasing chains.
#include <gtest/gtest.h>

#include <array>
#include <set>
#include <utility>
#include <vector>

#include "test_images.h"

namespace {

using namespace testing_images;
using diskimage::alloc_next_dir_ts;
using diskimage::alloc_next_ts;
using diskimage::free_chain;
using diskimage::make_ts;
using Ts = std::pair<int, int>;

Ts pair_of(TsPair ts) {
  return {ts.track, ts.sector};
}

// Free count and bitmap of a track, located from the BAM layouts here rather
// than through the library, so that a wrong offset there shows up.
unsigned char *count_at(DiImage *image, int track) {
  if (image->type == D81)
    return track <= 40 ? block(image, 40, 1) + 16 + 6 * (track - 1)
                       : block(image, 40, 2) + 16 + 6 * (track - 41);
  return track <= 35 ? block(image, 18, 0) + 4 * track : block(image, 18, 0) + 185 + track;
}

unsigned char *bitmap_at(DiImage *image, int track) {
  if (image->type == D71 && track > 35) return block(image, 53, 0) + 3 * (track - 36);
  return count_at(image, track) + 1;
}

int bits_set(DiImage *image, int track) {
  int n = 0;
  for (int s = 0; s < di_sectors_per_track(image->type, track); ++s)
    n += (bitmap_at(image, track)[s >> 3] >> (s & 7)) & 1;
  return n;
}

std::vector<unsigned char> bytes_of(DiImage *image) {
  return {image->blocks, image->blocks + image->size};
}

std::vector<Ts> d81_order() {
  std::vector<Ts> order;
  for (int s = 1; s < 40; ++s) order.push_back({1, s});
  order.push_back({1, 0});
  order.push_back({2, 1});
  return order;
}

TEST(AllocNextTs, FollowsEachDrivesInterleaveFromAnEmptyDisk) {
  const struct {
    long long size;
    std::vector<Ts> order;
  } cases[] = {
      {kD64Size, {{1, 10}, {1, 20}, {1, 9}, {1, 19}, {1, 8}, {1, 18}, {1, 7}, {1, 17},
                  {1, 6},  {1, 16}, {1, 5}, {1, 15}, {1, 4}, {1, 14}, {1, 3}, {1, 13},
                  {1, 2},  {1, 12}, {1, 1}, {1, 11}, {1, 0}, {2, 10}}},
      {kD71Size, {{1, 6},  {1, 12}, {1, 18}, {1, 3},  {1, 9},  {1, 15}, {1, 0}, {1, 7},
                  {1, 13}, {1, 19}, {1, 4},  {1, 10}, {1, 16}, {1, 1},  {1, 8}, {1, 14},
                  {1, 20}, {1, 5},  {1, 11}, {1, 17}, {1, 2},  {2, 8}}},
      {kD81Size, d81_order()},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.size);
    ImagePtr image = formatted_image(c.size);
    std::vector<Ts> got;
    TsPair prev{0, 0};
    for (size_t i = 0; i < c.order.size(); ++i) {
      prev = alloc_next_ts(image.get(), prev);
      got.push_back(pair_of(prev));
    }
    EXPECT_EQ(got, c.order);
    EXPECT_EQ(*count_at(image.get(), 1), 0);
    EXPECT_EQ(bits_set(image.get(), 1), 0);
    EXPECT_EQ(image->dirty, 1);
  }
}

TEST(AllocNextTs, TakesEveryDataBlockTrackByTrackThenNothing) {
  const struct {
    long long size;
    int total;
    std::set<int> never;
  } cases[] = {
      {kD64Size, 664, {18}},
      {kD71Size, 1328, {18, 53}},
      {kD81Size, 3160, {40}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.size);
    ImagePtr image = formatted_image(c.size);
    std::set<Ts> taken;
    int last_track = 0;
    TsPair prev{0, 0};
    for (int i = 0; i <= c.total; ++i) {
      TsPair ts = alloc_next_ts(image.get(), prev);
      if (ts.track == 0) break;
      // A search always starts again at track 1, so tracks never go down: on
      // D71 side 1 is full before side 2 is touched.
      ASSERT_GE(ts.track, last_track);
      ASSERT_FALSE(c.never.count(ts.track)) << int(ts.track);
      ASSERT_TRUE(taken.insert(pair_of(ts)).second) << "given twice";
      last_track = ts.track;
      prev = ts;
    }
    EXPECT_EQ(static_cast<int>(taken.size()), c.total);
    EXPECT_EQ(image->free_blocks, c.total);  // the cached count is the caller's

    image->dirty = 0;
    auto before = bytes_of(image.get());
    EXPECT_EQ(pair_of(alloc_next_ts(image.get(), prev)), Ts(0, 0));
    EXPECT_EQ(bytes_of(image.get()), before);
    EXPECT_EQ(image->dirty, 0);
  }
}

TEST(AllocNextTs, TrustsTheCountsButSearchesATrackOnlyOnce) {
  // 0: a zero count hides track 1's bits; 1: a count without bits yields
  // nothing after one round of track 1; 2: with every count zero no block.
  for (long long size : {kD64Size, kD71Size, kD81Size}) {
    for (int damage = 0; damage < 3; ++damage) {
      SCOPED_TRACE(testing::Message() << size << " damage " << damage);
      ImagePtr image = formatted_image(size);
      if (damage == 1) std::memset(bitmap_at(image.get(), 1), 0, size == kD81Size ? 5 : 3);
      for (int t = 1; damage != 1 && t <= (damage == 2 ? di_tracks(image->type) : 1); ++t)
        *count_at(image.get(), t) = 0;
      auto before = bytes_of(image.get());
      TsPair ts = alloc_next_ts(image.get(), make_ts(0, 0));
      EXPECT_EQ(pair_of(ts), damage == 2 ? Ts(0, 0) : Ts(2, image->interleave));
      EXPECT_EQ(image->dirty, damage == 2 ? 0 : 1);
      if (ts.track != 0) di_free_ts(image.get(), ts);  // undo, to compare the rest
      EXPECT_TRUE(bytes_of(image.get()) == before);
    }
  }
}

std::vector<int> d81_dir_order() {
  std::vector<int> order;
  for (int start : {6, 4, 5})
    for (int s = start; s < 40; s += 3) order.push_back(s);
  return order;
}

TEST(AllocNextDirTs, FillsTheDirectoryTrackInStepsOfThree) {
  const std::vector<int> d64 = {4, 7, 10, 13, 16, 2, 5, 8, 11, 14, 17, 3, 6, 9, 12, 15, 18};
  const struct {
    long long size;
    int track, first;
    std::vector<int> order;
  } cases[] = {
      {kD64Size, 18, 1, d64},
      {kD71Size, 18, 1, d64},
      {kD81Size, 40, 3, d81_dir_order()},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.size);
    ImagePtr image = formatted_image(c.size);
    // Stale bytes in the free blocks prove that each new block is cleared.
    for (int s = 0; s < di_sectors_per_track(image->type, c.track); ++s)
      if (di_is_ts_free(image.get(), make_ts(c.track, s)))
        std::memset(block(image.get(), c.track, s), 0xEE, 256);
    int prev = c.first;
    for (int sector : c.order) {
      ASSERT_EQ(pair_of(alloc_next_dir_ts(image.get())), Ts(c.track, sector));
      unsigned char *from = block(image.get(), c.track, prev);
      EXPECT_EQ(from[0], c.track);
      EXPECT_EQ(from[1], sector);
      std::vector<unsigned char> fresh(256, 0);
      fresh[1] = 255;
      unsigned char *b = block(image.get(), c.track, sector);
      EXPECT_EQ(std::vector<unsigned char>(b, b + 256), fresh);
      prev = sector;
    }
    EXPECT_EQ(di_track_blocks_free(image.get(), c.track), 0);
    image->dirty = 0;
    auto before = bytes_of(image.get());
    EXPECT_EQ(pair_of(alloc_next_dir_ts(image.get())), Ts(0, 0));
    EXPECT_EQ(bytes_of(image.get()), before);
    EXPECT_EQ(image->dirty, 0);
  }
}

TEST(AllocNextDirTs, FirstCandidatePastTheTrackIsNotWrapped) {
  // After 18/18 the first candidate is 21: not a sector, so the search goes
  // on at 22 mod 19 = 3 and passes over the free 18/2.
  ImagePtr image = formatted_image(kD64Size);
  di_alloc_ts(image.get(), make_ts(18, 18));
  put(block(image.get(), 18, 1), {18, 18});
  put(block(image.get(), 18, 18), {0, 255});
  ASSERT_TRUE(di_is_ts_free(image.get(), make_ts(18, 2)));
  EXPECT_EQ(pair_of(alloc_next_dir_ts(image.get())), Ts(18, 3));
  EXPECT_EQ(block(image.get(), 18, 18)[0], 18);
  EXPECT_EQ(block(image.get(), 18, 18)[1], 3);
}

TEST(AllocNextDirTs, DamagedDirectoryGivesNothingAndChangesNothing) {
  const struct {
    const char *what;
    long long size;
    std::vector<std::array<int, 4>> links;  // from t/s, to t/s
  } cases[] = {
      {"links to itself", kD64Size, {{18, 1, 18, 1}}},
      {"two-block loop", kD64Size, {{18, 1, 18, 4}, {18, 4, 18, 1}}},
      {"sector past the track", kD64Size, {{18, 1, 18, 19}}},
      {"track past the disk", kD64Size, {{18, 1, 36, 0}}},
      {"past side 2", kD71Size, {{18, 1, 71, 0}}},
      {"D81 loop", kD81Size, {{40, 3, 40, 3}}},
      {"D81 header link invalid", kD81Size, {{40, 0, 40, 40}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ImagePtr image = formatted_image(c.size);
    for (const auto &l : c.links) put(block(image.get(), l[0], l[1]), {l[2], l[3]});
    auto before = bytes_of(image.get());
    EXPECT_EQ(pair_of(alloc_next_dir_ts(image.get())), Ts(0, 0));
    EXPECT_EQ(bytes_of(image.get()), before);
    EXPECT_EQ(image->dirty, 0);
  }
  // A count without bits: one round of the directory track finds nothing.
  ImagePtr image = formatted_image(kD64Size);
  put(block(image.get(), 18, 0) + 73, {0, 0, 0});
  EXPECT_EQ(pair_of(alloc_next_dir_ts(image.get())), Ts(0, 0));
  EXPECT_EQ(block(image.get(), 18, 1)[0], 0);
}

TEST(FreeChain, FreesEachUsedBlockOnceAndNothingForTrackZero) {
  // Blocks 1/0, 1/1 and 1/2 are in use and chained in that order; the last
  // link varies. 1/5 is free and ends its own chain.
  const struct {
    const char *what;
    int end_track, end_sector;
  } cases[] = {
      {"proper end", 0, 255},   {"loop to the start", 1, 0}, {"invalid sector", 1, 21},
      {"invalid track", 99, 0}, {"into a free block", 1, 5},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ImagePtr image = formatted_image(kD64Size);
    for (int s = 0; s < 3; ++s) di_alloc_ts(image.get(), make_ts(1, s));
    put(block(image.get(), 1, 0), {1, 1});
    put(block(image.get(), 1, 1), {1, 2});
    put(block(image.get(), 1, 2), {c.end_track, c.end_sector});
    put(block(image.get(), 1, 5), {0, 10});
    auto chain_bytes =
        std::vector<unsigned char>(block(image.get(), 1, 0), block(image.get(), 1, 6));
    free_chain(image.get(), make_ts(1, 0));
    EXPECT_EQ(*count_at(image.get(), 1), 21);
    EXPECT_EQ(bits_set(image.get(), 1), 21);
    EXPECT_EQ(std::vector<unsigned char>(block(image.get(), 1, 0), block(image.get(), 1, 6)),
              chain_bytes);
  }
  ImagePtr image = formatted_image(kD64Size);
  auto before = bytes_of(image.get());
  free_chain(image.get(), make_ts(0, 0));
  free_chain(image.get(), make_ts(0, 7));
  EXPECT_EQ(bytes_of(image.get()), before);
  EXPECT_EQ(image->dirty, 0);
}

TEST(AllocAndFreeTs, MarkWithoutTestingInEveryBamRegion) {
  const struct {
    long long size;
    int track, sector;
    int count;  // the track's free count when formatted
  } cases[] = {
      {kD64Size, 35, 16, 17},
      {kD71Size, 40, 5, 21},
      {kD81Size, 1, 39, 40},
      {kD81Size, 41, 9, 40},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " " << c.track << "/" << c.sector);
    ImagePtr image = formatted_image(c.size);
    TsPair ts = make_ts(c.track, c.sector);
    auto bit = [&] {
      return (bitmap_at(image.get(), c.track)[c.sector >> 3] >> (c.sector & 7)) & 1;
    };
    di_free_ts(image.get(), ts);  // already free: the count rises regardless
    EXPECT_EQ(*count_at(image.get(), c.track), c.count + 1);
    EXPECT_EQ(bit(), 1);
    EXPECT_EQ(image->dirty, 1);
    di_alloc_ts(image.get(), ts);
    di_alloc_ts(image.get(), ts);  // already used: the count falls regardless
    EXPECT_EQ(*count_at(image.get(), c.track), c.count - 1);
    EXPECT_EQ(bit(), 0);
    EXPECT_EQ(di_track_blocks_free(image.get(), c.track), c.count - 1);
    *count_at(image.get(), c.track) = 0;
    di_alloc_ts(image.get(), ts);
    EXPECT_EQ(*count_at(image.get(), c.track), 255);
    di_free_ts(image.get(), ts);
    EXPECT_EQ(*count_at(image.get(), c.track), 0);
  }
}

}  // namespace
