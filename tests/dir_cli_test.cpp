// The -dir listing as the user sees it: images saved to files, the built
// kestrix run on them, standard output compared byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cli_runner.h"
#include "test_images.h"

using namespace testing_images;

namespace {

using Bytes = std::vector<unsigned char>;

const std::string kHeader = "0 \"test disk       \" 01 2a\n";
const std::string kFree = "664 blocks free\n";

std::string list(DiImage *image) {
  TempDir dir;
  const std::string path = dir.file("disk.img");
  save(path, image);
  testing_cli::Result result = testing_cli::run_kestrix({path, "-dir"});
  EXPECT_EQ(result.status, 0);
  return result.out;
}

TEST(DirListing, ExampleImage) {
  ImagePtr image = formatted_image(kD64Size, "DEMO DISK", "01");
  ASSERT_EQ(write_file(image.get(), "HELLO", 2, Bytes(600, 0x42)), 600);  // three blocks
  EXPECT_EQ(list(image.get()),
            "0 \"demo disk       \" 01 2a\n"
            "3      \"hello\"             prg \n"
            "661 blocks free\n");
}

TEST(DirListing, EmptyDirectory) {
  ImagePtr image = formatted_image(kD64Size);
  EXPECT_EQ(list(image.get()), kHeader + kFree);
}

TEST(DirListing, EntryColumnsAndTypeBits) {
  ImagePtr image = formatted_image(kD64Size);
  DiImage *img = image.get();
  put(block(img, 17, 0), {0, 2});  // one-byte file that every slot points to
  struct Row {
    int type, blocks;
    const char *name, *line;
  };
  const Row rows[] = {
      {0x82, 1, "PLAIN", "1      \"plain\"             prg \n"},
      {0x02, 2, "OPEN", "2      \"open\"             *prg \n"},
      {0xC2, 3, "LOCKED", "3      \"locked\"            prg<\n"},
      {0x42, 4, "BOTH", "4      \"both\"             *prg<\n"},
      {0x80, 0, "GONE", "0      \"gone\"              del \n"},
      {0x8A, 12345, "ODD", "12345  \"odd\"               prg \n"},
      {0x00, 9, "HIDDEN", ""},  // a free slot, whatever it holds
      {0xFF, 65535, "ABCDEFGHIJKLMNOP", "65535  \"abcdefghijklmnop\"  \?\?\?<\n"},
  };
  std::string expected = kHeader;
  for (int i = 0; i < 8; ++i) {
    set_slot(img, 18, 1, i, rows[i].type, raw(rows[i].name), 17, 0, rows[i].blocks);
    expected += rows[i].line;
  }
  EXPECT_EQ(list(img), expected + kFree);
}

TEST(DirListing, ScanResultsOnEachLine) {
  ImagePtr image = formatted_image(kD64ErrSize);
  DiImage *img = image.get();
  put(block(img, 17, 0), {0, 2});
  put(block(img, 17, 1), {17, 2});
  put(block(img, 17, 2), {0, 255});
  set_error(img, 17, 2, 5);
  put(block(img, 17, 3), {17, 4});
  put(block(img, 17, 4), {17, 3});
  put(block(img, 17, 5), {17, 6});
  put(block(img, 17, 6), {99, 1});
  put(block(img, 17, 7), {0, 0});
  set_slot(img, 18, 1, 0, 0x82, raw("GOOD"), 17, 0);
  set_slot(img, 18, 1, 1, 0x82, raw("BADBLOCK"), 17, 1);
  set_slot(img, 18, 1, 2, 0x82, raw("NOBLOCK"), 36, 5);
  set_slot(img, 18, 1, 3, 0x82, raw("EMPTY"), 0, 0);
  set_slot(img, 18, 1, 4, 0x82, raw("LOOP"), 17, 3);
  set_slot(img, 18, 1, 5, 0x82, raw("BADLINK"), 17, 5);
  set_slot(img, 18, 1, 6, 0x82, raw("ZEROLINK"), 17, 7);
  set_slot(img, 18, 1, 7, 0x82, raw("AFTER"), 17, 0);  // nothing carried over
  EXPECT_EQ(list(img),
            kHeader +
                "1      \"good\"              prg \n"
                "1      \"badblock\"          prg    23,read error (crc error in data "
                "block),17,02\n"
                "1      \"noblock\"           prg    [could not open]   66,illegal track or "
                "sector,36,05\n"
                "1      \"empty\"             prg    [could not open]   66,illegal track or "
                "sector,00,00\n"
                "1      \"loop\"              prg    52,file too large,17,04\n"
                "1      \"badlink\"           prg    66,illegal track or sector,99,01\n"
                "1      \"zerolink\"          prg    [could not open]   -1,unknown error,17,07\n"
                "1      \"after\"             prg \n" +
                kFree);
}

TEST(DirListing, NamesAsShownAndAsOpened) {
  ImagePtr image = formatted_image(kD64ErrSize);
  DiImage *img = image.get();
  put(block(img, 17, 0), {0, 2});
  put(block(img, 17, 1), {17, 2});
  put(block(img, 17, 2), {0, 255});
  set_error(img, 17, 2, 5);
  put(block(img, 17, 3), {17, 4});
  put(block(img, 17, 4), {17, 3});
  Bytes control = raw("A B");
  control[1] = 0x01;
  Bytes zero = raw("X YZ");
  zero[1] = 0x00;  // the display ends here; the open still uses all 16 bytes
  Bytes cases = raw("ab");
  cases[2] = 0xC1;  // shifted letter
  set_slot(img, 18, 1, 0, 0x82, raw("TWIN"), 17, 1);
  set_slot(img, 18, 1, 1, 0x82, raw("TWIN"), 17, 0);  // shows the scan of the first TWIN
  set_slot(img, 18, 1, 2, 0x81, raw("TWIN"), 17, 0);  // another type: its own scan
  set_slot(img, 18, 1, 3, 0x82, raw("QUIT"), 17, 3);
  set_slot(img, 18, 1, 4, 0x82, raw("Q*"), 17, 0);  // opened as a pattern, finds QUIT
  set_slot(img, 18, 1, 5, 0x82, control, 17, 0);
  set_slot(img, 18, 1, 6, 0x82, zero, 17, 0);
  set_slot(img, 18, 1, 7, 0x82, cases, 17, 0);
  const std::string crc = "   23,read error (crc error in data block),17,02\n";
  EXPECT_EQ(list(img), kHeader + "1      \"twin\"              prg " + crc +
                           "1      \"twin\"              prg " + crc +
                           "1      \"twin\"              seq \n"
                           "1      \"quit\"              prg    52,file too large,17,04\n"
                           "1      \"q*\"                prg    52,file too large,17,04\n"
                           "1      \"a.b\"               prg \n"
                           "1      \"x\"                 prg \n"
                           "1      \"ABa\"               prg \n" +
                           kFree);
}

TEST(DirListing, ShortDirectoryBlockShowsOnlyItsOwnBytes) {
  ImagePtr image = formatted_image(kD64Size);
  DiImage *img = image.get();
  put(block(img, 17, 0), {0, 2});
  // Link 0/91: 90 data bytes, ending inside slot 2 just before its block count.
  set_link(img, 18, 1, 0, 91);
  set_slot(img, 18, 1, 0, 0x82, raw("ONE"), 17, 0, 1);
  set_slot(img, 18, 1, 1, 0x82, raw("TWO"), 17, 0, 2);
  set_slot(img, 18, 1, 2, 0x82, raw("THREE"), 17, 0, 3);
  set_slot(img, 18, 1, 3, 0x82, raw("FOUR"), 17, 0, 4);
  EXPECT_EQ(list(img), kHeader +
                           "1      \"one\"               prg \n"
                           "2      \"two\"               prg \n"
                           "0      \"three\"             prg \n" +
                           kFree);
}

TEST(DirListing, DirectoryChainProblems) {
  ImagePtr image = formatted_image(kD64Size);
  DiImage *img = image.get();
  put(block(img, 17, 0), {0, 2});
  set_slot(img, 18, 1, 0, 0x82, raw("A"), 17, 0);
  set_slot(img, 18, 4, 0, 0x82, raw("B"), 17, 0);
  const std::string a = "1      \"a\"                 prg \n";
  const std::string b = "1      \"b\"                 prg \n";

  set_link(img, 18, 1, 18, 4);
  set_link(img, 18, 4, 18, 1);
  EXPECT_EQ(list(img),
            kHeader + a + b + "DIR: 52,file too large,18,01 (cyclic Track/Sector link)\n" + kFree);

  // The broken link line comes first and the listing goes on from 18/1.
  set_link(img, 18, 4, 0, 255);
  set_link(img, 18, 0, 18, 4);
  EXPECT_EQ(list(img),
            "DIR: BAM to DIR link is broken (should be 18/1, is 18/4)\n" + kHeader + a + b + kFree);
}

// Where reading the directory stops, the listing says why, once, and ends
// as usual; an ordinary end of the chain adds nothing.
TEST(DirListing, DirectoryStops) {
  const std::string a = "1      \"a\"                 prg \n";
  const std::string b = "1      \"b\"                 prg \n";
  struct Row {
    const char *what;
    std::function<void(DiImage *)> damage;
    std::string listing;
  };
  const Row rows[] = {
      {"error byte on the first directory block", [](DiImage *img) { set_error(img, 18, 1, 4); },
       kHeader + "DIR: 22,read error (data block not found),18,01 \n" + kFree},
      {"error byte on the second directory block", [](DiImage *img) { set_error(img, 18, 4, 4); },
       kHeader + a + "DIR: 22,read error (data block not found),18,04 \n" + kFree},
      {"illegal link in the first directory block",
       [](DiImage *img) { set_link(img, 18, 1, 99, 221); },
       kHeader + "DIR: 66,illegal track or sector,99,221 \n" + kFree},
      {"illegal link in the second directory block",
       [](DiImage *img) { set_link(img, 18, 4, 18, 19); },
       kHeader + a + "DIR: 66,illegal track or sector,18,19 \n" + kFree},
      {"first directory block linked 0/0", [](DiImage *img) { set_link(img, 18, 1, 0, 0); },
       kHeader + "DIR: -1,unknown error,18,01 \n" + kFree},
      {"second directory block linked 0/0", [](DiImage *img) { set_link(img, 18, 4, 0, 0); },
       kHeader + a + "DIR: -1,unknown error,18,04 \n" + kFree},
      // The header line shows the status; the loop's read stops at the same
      // block and must not show it again.
      {"error byte on the header block", [](DiImage *img) { set_error(img, 18, 0, 2); },
       "0 \"test disk       \" 01 2a   [BAM read failed]   20,read error (block header not "
       "found),18,00\n" +
           kFree},
      {"a last block of 254 bytes", [](DiImage *) {}, kHeader + a + b + kFree},
      {"a last block without data bytes", [](DiImage *img) { set_link(img, 18, 4, 0, 1); },
       kHeader + a + kFree},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ImagePtr image = formatted_image(kD64ErrSize);
    DiImage *img = image.get();
    put(block(img, 17, 0), {0, 2});
    set_slot(img, 18, 1, 0, 0x82, raw("A"), 17, 0);
    set_slot(img, 18, 4, 0, 0x82, raw("B"), 17, 0);
    set_link(img, 18, 1, 18, 4);
    set_link(img, 18, 4, 0, 255);
    row.damage(img);
    EXPECT_EQ(list(img), row.listing);
  }
}

TEST(DirListing, D81HasNoLinkCheckAndNeedsAValidHeaderLink) {
  ImagePtr image = formatted_image(kD81Size);
  DiImage *img = image.get();
  ASSERT_EQ(write_file(img, "FILE", 1, Bytes(300, 1)), 300);
  EXPECT_EQ(list(img),
            "0 \"test disk       \" 01 3d\n"
            "2      \"file\"              seq \n"
            "3158 blocks free\n");

  set_link(img, 40, 0, 0, 0);
  EXPECT_EQ(list(img), "    Couldn't open directory   66,illegal track or sector,00,00\n");
}

TEST(DirListing, ManyFilesOnOneShortCyclicChain) {
  // 36 directory blocks (40/3 to 40/38) of 8 files each; every file starts
  // somewhere in one chain of 500 blocks (tracks 1 to 13) that closes on
  // itself, so each scan fills the whole scan buffer: 670 blocks.
  ImagePtr image = formatted_image(kD81Size);
  DiImage *img = image.get();
  constexpr int kCycle = 500;
  auto ts_of = [](int k) { return std::pair<int, int>{1 + k / 40, k % 40}; };
  for (int k = 0; k < kCycle; ++k) {
    auto [next_t, next_s] = ts_of((k + 1) % kCycle);
    auto [t, s] = ts_of(k);
    set_link(img, t, s, next_t, next_s);
  }
  std::string expected = "0 \"test disk       \" 01 3d\n";
  for (int b = 0; b < 36; ++b) {
    set_link(img, 40, 3 + b, b == 35 ? 0 : 40, b == 35 ? 255 : 4 + b);
    for (int i = 0; i < 8; ++i) {
      const int n = b * 8 + i;
      const std::string digits = std::to_string(1000 + n).substr(1);
      auto [t, s] = ts_of(n * 7 % kCycle);
      set_slot(img, 40, 3 + b, i, 0x82, raw(("F" + digits).c_str()), t, s);
      // The last bytes come from the 670th block entered, already passed once.
      auto [last_t, last_s] = ts_of((n * 7 + 669) % kCycle);
      char status[48];
      std::snprintf(status, sizeof status, "52,file too large,%02d,%02d", last_t, last_s);
      expected += "1      \"f" + digits + "\"              prg    " + status + "\n";
    }
  }
  expected += "3160 blocks free\n";
  const std::string out = list(img);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 36 * 8 + 2);
  EXPECT_EQ(out, expected);
}

}  // namespace
