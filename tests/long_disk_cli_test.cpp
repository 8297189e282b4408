// D64s of 40 and 42 tracks as kestrix shows them: the extra tracks kept by an
// extended DOS's BAM layout like any other, or outside the BAM.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli_runner.h"
#include "tests/test_images.h"

namespace {

using namespace testing_images;
using testing_cli::Result;
using testing_cli::run_kestrix;

// A formatted D64 of `size` bytes; with `speeddos`, its BAM keeps tracks
// 36-40 in that layout, all free. With 42 tracks and error information, a
// file runs 17/0 -> 36/0 -> 41/2, and the error information marks 41/2 (its
// last block), 40/3 and 42/1.
ImagePtr long_disk(long long size, bool speeddos) {
  ImagePtr image = formatted_image(size, "LONG DISK", "42");
  DiImage *d = image.get();
  if (speeddos)
    for (int t = 36; t <= 40; ++t) put(block(d, 18, 0) + 0xC0 + 4 * (t - 36), {17, 0xFF, 0xFF, 1});
  if (di_tracks(d->type) < 42 || !d->error_info) return image;
  set_slot(d, 18, 1, 0, 0x82, raw("LONG"), 17, 0, 3);
  set_link(d, 17, 0, 36, 0);
  set_link(d, 36, 0, 41, 2);
  set_link(d, 41, 2, 0, 0x10);
  di_alloc_ts(d, diskimage::make_ts(17, 0));
  di_alloc_ts(d, diskimage::make_ts(36, 0));
  set_error(d, 41, 2, 5);
  set_error(d, 40, 3, 5);
  set_error(d, 42, 1, 9);
  return image;
}

TEST(LongDisks, SpeedDosTracksCountAndOthersLieOutsideTheBam) {
  TempDir dir;
  const std::string path = dir.file("long.d64");
  save(path, long_disk(DI_D64_42_ERR_SIZE, true).get());

  EXPECT_EQ(run_kestrix({path, "-dir"}).out,
            "0 \"long disk       \" 42 2a\n"
            "3      \"long\"              prg    23,read error (crc error in data block),41,02\n"
            "747 blocks free\n");  // 663 on tracks 1-35, and 84 the SpeedDOS entries keep
  const std::vector<std::string> map = lines_of(run_kestrix({path, "-map"}).out);
  ASSERT_EQ(map.size(), 44u);
  EXPECT_EQ(map[36], " 36:  1/17 *................      .................      .................");
  EXPECT_EQ(map[40], " 40:  0/17 .................      ...5.............      .................");
  EXPECT_EQ(map[41], " 41:  -/17 -----------------      ..5..............      .................");
  EXPECT_EQ(map[42], " 42:  -/17 -----------------      .9...............      .................");
  EXPECT_EQ(map[43],
            "Total:   4                                            3                       0");

  // The file's block outside the BAM is damaged, but never free or unused.
  const Result check = run_kestrix({path, "-check"});
  EXPECT_EQ(check.out,
            "loss: block 41/2: used by \"long\" prg, damaged (error 23, read error (crc error in "
            "data block))\n"
            "damaged: 1 loss, 0 risk, 0 notes\n");
  EXPECT_EQ(check.status, 1);

  const std::string json = run_kestrix({path, "-json"}).out;
  EXPECT_NE(json.find("\"kind\":\"d64\",\"format\":\"d64\",\"size\":206114,\"crc32\":"),
            std::string::npos);
  EXPECT_NE(json.find("\",\"error_info\":true,\"tracks_bam\":\"speeddos\""), std::string::npos);
  EXPECT_NE(json.find("{\"track\":41,\"sectors\":17,\"free\":null,\"map\":\"-----------------\""),
            std::string::npos);
  EXPECT_NE(json.find("{\"track\":40,\"sectors\":17,\"free\":17,"), std::string::npos);
}

TEST(LongDisks, WithoutALayoutTheExtraTracksAreOutside) {
  TempDir dir;
  for (long long size : {DI_D64_40_SIZE, DI_D64_42_SIZE}) {
    SCOPED_TRACE(size);
    const std::string path = dir.file("plain.d64");
    save(path, long_disk(size, false).get());
    const std::vector<std::string> map = lines_of(run_kestrix({path, "-map"}).out);
    ASSERT_EQ(map.size(), size == DI_D64_40_SIZE ? 42u : 44u);
    EXPECT_EQ(map[36],
              " 36:  -/17 -----------------      .................      .................");
    EXPECT_EQ(map.back(),
              "Total:   2                                            0                       0");
    EXPECT_EQ(run_kestrix({path, "-dir"}).out, "0 \"long disk       \" 42 2a\n664 blocks free\n");
    EXPECT_EQ(run_kestrix({path, "-check"}).out, "intact: 0 loss, 0 risk, 0 notes\n");
    EXPECT_NE(run_kestrix({path, "-json"}).out.find("\"tracks_bam\":\"none\""), std::string::npos);
    const std::string svg = run_kestrix({path, "-svg"}).out;
    EXPECT_NE(svg.find("<path id=\"b" + std::to_string(size == DI_D64_40_SIZE ? 40 : 42) + "-16\""),
              std::string::npos);
    EXPECT_NE(svg.find(size == DI_D64_40_SIZE ? "outside the BAM: 85" : "outside the BAM: 119"),
              std::string::npos);
  }
}

}  // namespace
