#include <map>
#include <string>

#include <gtest/gtest.h>
#include "tests/test_images.h"

namespace {

using namespace testing_images;
using diskimage::make_ts;
using diskimage::set_status;

std::string status_text(DiImage *image, int *code = nullptr) {
  char buffer[48];
  int got = di_status(image, buffer);
  if (code) *code = got;
  return buffer;
}

// The rows that are easy to get wrong: the first and last, two codes that share
// a message, and codes the table has no row for.
TEST(Status, CodesReadOutWithTheirMessage) {
  const std::pair<int, const char *> rows[] = {
      {0, "ok"},
      {31, "syntax error (invalid command)"},
      {39, "syntax error (invalid command)"},
      {77, "selected partition illegal"},
      {3, "unknown error"},
      {28, "unknown error"},
      {29, "unknown error"},
      {78, "unknown error"},
  };
  ImagePtr image = blank_image(kD64Size);
  for (auto [code, message] : rows) {
    EXPECT_EQ(set_status(image.get(), code, 12, 7), code);
    int returned = 0;
    std::string want = (code < 10 ? "0" : "") + std::to_string(code) + "," + message + ",12,07";
    EXPECT_EQ(status_text(image.get(), &returned), want);
    EXPECT_EQ(returned, code);
    EXPECT_STREQ(di_status_message(code), message);
  }
  EXPECT_STREQ(di_status_message(-1), "unknown error");
  EXPECT_STREQ(di_status_message(254), "unknown error");
}

TEST(Status, FormatsNumbersAndKeepsLowBitsOfTrackAndSector) {
  struct Case {
    int code, track, sector;
    const char *text;
    int ts_track, ts_sector;
  };
  const Case cases[] = {
      {0, 0, 0, "00,ok,00,00", 0, 0},
      {-1, 17, 3, "-1,unknown error,17,03", 17, 3},
      {255, 0, 0, "255,unknown error,00,00", 0, 0},
      {1, 3, 0, "01,files scratched,03,00", 3, 0},
      {1, 256, 0, "01,files scratched,00,00", 0, 0},
      {66, 200, 255, "66,illegal track or sector,200,255", 200, 255},
      {28, 18, 1, "28,unknown error,18,01", 18, 1},
      {52, 259, -1, "52,file too large,03,255", 3, 255},
      {23, 255, 255, "23,read error (crc error in data block),255,255", 255, 255},
  };
  ImagePtr image = blank_image(kD81Size);
  for (const Case &c : cases) {
    set_status(image.get(), c.code, c.track, c.sector);
    EXPECT_EQ(image->status_ts.track, c.ts_track) << c.text;
    EXPECT_EQ(image->status_ts.sector, c.ts_sector) << c.text;
    char buffer[64];
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(di_status(image.get(), buffer), c.code);
    EXPECT_STREQ(buffer, c.text);
    EXPECT_EQ(buffer[48], 'X') << "wrote past the 48 bytes it may use";
    EXPECT_EQ(image->status, c.code);  // reading changes nothing
  }
}

TEST(Status, FreshImageAnswersWithPowerOnMessage) {
  struct Case {
    long long size;
    const char *text;
  };
  for (Case c : {Case{kD64Size, "73,cbm dos v2.6 1541,00,00"},
                 Case{kD64ErrSize, "73,cbm dos v2.6 1541,00,00"},
                 Case{kD71Size, "73,cbm dos v3.0 1571,00,00"},
                 Case{kD71ErrSize, "73,cbm dos v3.0 1571,00,00"},
                 Case{kD81Size, "73,copyright cbm dos v10 1581,00,00"},
                 Case{kD81ErrSize, "73,copyright cbm dos v10 1581,00,00"}}) {
    ImagePtr image = blank_image(c.size);
    int code = 0;
    EXPECT_EQ(status_text(image.get(), &code), c.text);
    EXPECT_EQ(code, 73);
    set_status(image.get(), 254, 9, 9);  // the track and sector are not shown
    EXPECT_EQ(status_text(image.get(), &code), c.text);
    EXPECT_EQ(code, 73);
    EXPECT_EQ(image->status, 254);
  }
}

// Each kind has its table at a different offset; one block per kind is
// tested through every byte value, with its neighbours left at "no error".
TEST(Status, ErrorInformationBytesMapToDriveCodes) {
  const std::map<int, int> known = {{1, 0},  {2, 20}, {3, 21}, {4, 22},  {5, 23},  {6, 24},
                                    {7, 25}, {8, 26}, {9, 27}, {10, 28}, {11, 29}, {15, 74}};
  struct Case {
    long long size;
    long long table;
    int track, sector, block;
  };
  for (Case c : {Case{kD64ErrSize, 174848, 18, 1, 358}, Case{kD64ErrSize, 174848, 35, 16, 682},
                 Case{kD71ErrSize, 349696, 53, 5, 1045}, Case{kD81ErrSize, 819200, 80, 39, 3199}}) {
    SCOPED_TRACE(c.block);
    ImagePtr image = blank_image(c.size);
    ASSERT_EQ(image->error_info, image->blocks + c.table);
    std::memset(image->error_info, 1, static_cast<size_t>(c.size - c.table));
    TsPair ts = make_ts(c.track, c.sector);
    TsPair before = make_ts(c.track, c.sector - 1);  // block - 1
    for (int byte = 0; byte <= 255; ++byte) {
      image->error_info[c.block] = static_cast<unsigned char>(byte);
      auto row = known.find(byte);
      EXPECT_EQ(get_ts_doserr(image.get(), ts), byte);
      EXPECT_EQ(di_get_ts_err(image.get(), ts), row == known.end() ? -1 : row->second) << byte;
      ASSERT_EQ(di_get_ts_err(image.get(), before), 0) << byte;
    }
  }
}

TEST(Status, NoErrorInformationMeansNoErrorAnywhere) {
  for (long long size : {kD64Size, kD71Size, kD81Size}) {
    ImagePtr image = blank_image(size);
    std::memset(image->blocks, 0x0B, static_cast<size_t>(size));  // nothing is read as a table
    int blocks = 0;
    for (int t = 1; t <= di_tracks(image->type); ++t) {
      for (int s = 0; s < di_sectors_per_track(image->type, t); ++s, ++blocks) {
        ASSERT_EQ(get_ts_doserr(image.get(), make_ts(t, s)), 1) << t << "/" << s;
        ASSERT_EQ(di_get_ts_err(image.get(), make_ts(t, s)), 0) << t << "/" << s;
      }
    }
    EXPECT_EQ(blocks, size / 256);
  }
}

}  // namespace
