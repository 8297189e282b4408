#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>
#include "tests/test_images.h"

namespace {

using namespace testing_images;
using diskimage::make_ts;

struct PairCase {
  ImageType type;
  int track, sector;
  int block;  // -1: not a valid pair
};

TEST(Geometry, ValidityBlockNumbersAndAddresses) {
  const PairCase cases[] = {
      {D64, 1, 0, 0},
      {D64, 17, 20, 356},
      {D64, 17, 21, -1},
      {D64, 18, 0, 357},
      {D64, 18, 18, 375},
      {D64, 18, 19, -1},
      {D64, 24, 18, 489},
      {D64, 25, 0, 490},
      {D64, 30, 17, 597},
      {D64, 30, 18, -1},
      {D64, 31, 0, 598},
      {D64, 35, 16, 682},
      {D64, 35, 17, -1},
      {D64, 36, 0, -1},
      {D64, 0, 0, -1},
      {D64, 0, 5, -1},
      {D64, 1, 255, -1},
      {D64, 255, 0, -1},
      {D71, 35, 16, 682},
      {D71, 36, 0, 683},
      {D71, 52, 20, 1039},
      {D71, 53, 0, 1040},
      {D71, 53, 18, 1058},
      {D71, 53, 19, -1},
      {D71, 70, 16, 1365},
      {D71, 70, 17, -1},
      {D71, 71, 0, -1},
      {D71, 0, 0, -1},
      {D81, 1, 0, 0},
      {D81, 1, 39, 39},
      {D81, 2, 0, 40},
      {D81, 40, 0, 1560},
      {D81, 80, 39, 3199},
      {D81, 80, 40, -1},
      {D81, 81, 0, -1},
      {D81, 0, 0, -1},
      {0, 1, 0, -1},
      {6, 1, 0, -1},
      {7, 18, 0, -1},
      {-1, 1, 0, -1},
      // D64s of 40 and 42 tracks: 17 sectors a track on, after track 35.
      {D64_40, 35, 16, 682},
      {D64_40, 36, 0, 683},
      {D64_40, 40, 16, 767},
      {D64_40, 40, 17, -1},
      {D64_40, 41, 0, -1},
      {D64_42, 41, 0, 768},
      {D64_42, 42, 16, 801},
      {D64_42, 43, 0, -1},
  };
  ImagePtr images[] = {blank_image(kD64Size), blank_image(kD71Size), blank_image(kD81Size),
                       blank_image(DI_D64_40_SIZE), blank_image(DI_D64_42_SIZE)};
  for (const PairCase &c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << c.type << " " << c.track << "/" << c.sector);
    TsPair ts = make_ts(c.track, c.sector);
    EXPECT_EQ(di_ts_is_valid(c.type, ts), c.block >= 0 ? 1 : 0);
    if (c.block < 0) continue;
    EXPECT_EQ(diskimage::get_block_num(c.type, ts), c.block);
    DiImage *image = images[c.type - 1].get();
    EXPECT_EQ(di_get_ts_addr(image, ts), image->blocks + 256 * c.block);
  }
}

TEST(Geometry, TracksSectorsAndInterleave) {
  struct SectorCase {
    ImageType type;
    int track, sectors;
  };
  // No range test on the track: out-of-range tracks fall into the nearest zone.
  const SectorCase cases[] = {
      {D64, -5, 21}, {D64, 0, 21},  {D64, 17, 21},    {D64, 18, 19},    {D64, 24, 19},
      {D64, 25, 18}, {D64, 30, 18}, {D64, 31, 17},    {D64, 35, 17},    {D64, 40, 17},
      {D71, 17, 21}, {D71, 35, 17}, {D71, 36, 21},    {D71, 52, 21},    {D71, 53, 19},
      {D71, 59, 19}, {D71, 60, 18}, {D71, 65, 18},    {D71, 66, 17},    {D71, 70, 17},
      {D71, 71, 17}, {D81, 0, 40},  {D81, 80, 40},    {D81, 999, 40},   {0, 1, 0},
      {6, 18, 0},    {7, 1, 0},     {D64_40, 40, 17}, {D64_42, 42, 17},
  };
  for (const SectorCase &c : cases)
    EXPECT_EQ(di_sectors_per_track(c.type, c.track), c.sectors)
        << "kind " << c.type << " track " << c.track;

  struct KindCase {
    ImageType type;
    int tracks, interleave;
  };
  for (KindCase c :
       {KindCase{D64, 35, 10}, KindCase{D71, 70, 6}, KindCase{D81, 80, 1}, KindCase{D64_40, 40, 10},
        KindCase{D64_42, 42, 10}, KindCase{0, 0, 1}, KindCase{6, 0, 1}}) {
    EXPECT_EQ(di_tracks(c.type), c.tracks) << "kind " << c.type;
    EXPECT_EQ(diskimage::interleave(c.type), c.interleave) << "kind " << c.type;
  }
}

// Every valid pair, taken in track/sector order, numbers the blocks 0, 1, 2, ...
// without gaps, up to the kind's block count.
TEST(Geometry, ValidPairsNumberEveryBlockOnceInOrder) {
  for (auto [type, blocks] : {std::pair{D64, 683}, std::pair{D71, 1366}, std::pair{D81, 3200},
                              std::pair{D64_40, 768}, std::pair{D64_42, 802}}) {
    int next = 0;
    for (int t = 0; t <= 255; ++t) {
      for (int s = 0; s <= 255; ++s) {
        TsPair ts = make_ts(t, s);
        if (!di_ts_is_valid(type, ts)) continue;
        ASSERT_EQ(diskimage::get_block_num(type, ts), next)
            << "kind " << type << " " << t << "/" << s;
        ++next;
      }
    }
    EXPECT_EQ(next, blocks) << "kind " << type;
  }
}

struct Captured {
  int status;  // exit status, or -1 when the child did not exit normally
  std::string out;
};

// Runs fn in a child process with standard output caught in a pipe.
Captured run_captured(const std::function<void()> &fn) {
  int fds[2];
  if (pipe(fds) != 0) return {-1, ""};
  std::fflush(stdout);  // or the child would repeat whatever gtest has buffered
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    fn();
    std::fflush(stdout);
    _exit(0);
  }
  close(fds[1]);
  Captured result{-1, ""};
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) result.out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  return result;
}

// One line ending in ":get_block_num:<line> internal error, track/sector out of range".
bool is_range_error_line(const std::string &out) {
  const std::string tail = " internal error, track/sector out of range\n";
  const std::string where = ":get_block_num:";
  if (out.size() < tail.size() || out.compare(out.size() - tail.size(), tail.size(), tail) != 0)
    return false;
  if (out.find('\n') != out.size() - 1) return false;
  size_t digits_end = out.size() - tail.size();
  size_t digits = out.find_last_not_of("0123456789", digits_end - 1) + 1;
  return digits < digits_end && digits >= where.size() &&
         out.compare(digits - where.size(), where.size(), where) == 0;
}

TEST(Geometry, InvalidPairEndsProcessWithOneLineOnStdout) {
  ImagePtr d64 = blank_image(kD64ErrSize);
  ImagePtr d71 = blank_image(kD71ErrSize);
  ImagePtr d81 = blank_image(kD81Size);
  struct DeathCase {
    const char *what;
    std::function<void()> call;
  };
  const DeathCase cases[] = {
      {"addr D64 18/19", [&] { di_get_ts_addr(d64.get(), make_ts(18, 19)); }},
      {"addr D81 0/0", [&] { di_get_ts_addr(d81.get(), make_ts(0, 0)); }},
      {"block kind 7", [] { diskimage::get_block_num(7, make_ts(1, 0)); }},
      {"block kind 0", [] { diskimage::get_block_num(0, make_ts(18, 0)); }},
  };
  for (const DeathCase &c : cases) {
    Captured got = run_captured(c.call);
    EXPECT_EQ(got.status, 255) << c.what;
    EXPECT_TRUE(is_range_error_line(got.out)) << c.what << ": " << got.out;
  }
}

}  // namespace
