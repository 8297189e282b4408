// Read handles: opening files and "$", following chains, and every way a read
// stops or reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "test_images.h"

using namespace testing_images;

namespace {

using Bytes = std::vector<unsigned char>;

const auto *const kDir = reinterpret_cast<const unsigned char *>("$");

std::string status(DiImage *image) {
  char text[DI_STATUS_SIZE];
  di_status(image, text);
  return text;
}

// Slot 0 of 18/1 (D64) or 40/3 (D81): a closed prg file starting at t/s.
void add_file(DiImage *image, const char *name, int track, int sector) {
  unsigned char *dir = image->type == D81 ? block(image, 40, 3) : block(image, 18, 1);
  put(dir + 2, {0x82, track, sector});
  std::memcpy(dir + 5, raw(name).data(), 16);
}

// Block t/s links to lt/ls; its 254 data bytes are all `fill`.
void chain(DiImage *image, int track, int sector, int lt, int ls, int fill) {
  unsigned char *b = block(image, track, sector);
  put(b, {lt, ls});
  std::memset(b + 2, fill, 254);
}

DiFile *open(DiImage *image, const char *name) {
  return di_open(image, raw(name).data(), 2, "rb");
}

Bytes read_bytes(DiFile *file, int len) {
  Bytes out(len);
  out.resize(di_read(file, out.data(), len));
  return out;
}

Bytes data_of(DiImage *image, int track, int sector, int len = 254) {
  unsigned char *b = block(image, track, sector) + 2;
  return Bytes(b, b + len);
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(OpenForReading, FailuresLeaveTheirStatus) {
  struct Row {
    const char *what;
    int first_track, first_sector, link_track, link_sector;
    const char *name, *mode, *expected;
  };
  const Row rows[] = {
      {"bad mode", 17, 0, 0, 10, "F", "r", "255,unknown error,00,00"},
      {"bad mode", 17, 0, 0, 10, "F", "rb+", "255,unknown error,00,00"},
      {"no such file", 17, 0, 0, 10, "G", "rb", "62,file not found,00,00"},
      {"first track 0", 0, 0, 0, 10, "F", "rb", "66,illegal track or sector,00,00"},
      {"first track past 35", 36, 2, 0, 10, "F", "rb", "66,illegal track or sector,36,02"},
      {"first sector past 18", 18, 19, 0, 10, "F", "rb", "66,illegal track or sector,18,19"},
      {"first block links 0/0", 17, 0, 0, 0, "F", "rb", "-1,unknown error,17,00"},
      {"first block link invalid", 17, 0, 36, 1, "F", "rb", "66,illegal track or sector,36,01"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ImagePtr image = formatted_image(kD64Size);
    add_file(image.get(), "F", row.first_track, row.first_sector);
    chain(image.get(), 17, 0, row.link_track, row.link_sector, 0x11);
    EXPECT_EQ(di_open(image.get(), raw(row.name).data(), 2, row.mode), nullptr);
    EXPECT_EQ(status(image.get()), row.expected);
    EXPECT_EQ(image->open_files, 0);
  }
}

TEST(OpenForReading, SingleBlockLengthComesFromTheLink) {
  struct Row {
    int link_sector, length;
  };
  for (Row row : {Row{1, 0}, Row{2, 1}, Row{200, 199}, Row{255, 254}}) {
    ImagePtr image = formatted_image(kD64Size);
    add_file(image.get(), "F", 17, 0);
    chain(image.get(), 17, 0, 0, row.link_sector, 0x5A);
    DiFile *file = open(image.get(), "F");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(status(image.get()), "00,ok,00,00");
    EXPECT_EQ(read_bytes(file, 1000), data_of(image.get(), 17, 0, row.length));
    EXPECT_EQ(image->status, 0);
    di_close(file);
  }
}

TEST(ReadChain, ErrorOnTheFirstBlockShowsOnTheFirstRead) {
  ImagePtr image = formatted_image(kD64ErrSize);
  add_file(image.get(), "F", 17, 0);
  chain(image.get(), 17, 0, 0, 255, 0x11);
  set_error(image.get(), 17, 0, 2);
  DiFile *file = open(image.get(), "F");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(status(image.get()), "00,ok,00,00");
  EXPECT_EQ(read_bytes(file, 0).size(), 0u);  // a read of nothing looks at nothing
  EXPECT_EQ(image->status, 0);
  EXPECT_EQ(read_bytes(file, 1000).size(), 0u);
  EXPECT_EQ(status(image.get()), "20,read error (block header not found),17,00");
  di_close(file);
}

TEST(ReadChain, CycleIsReportedAndReadingGoesOn) {
  // A (17/0) links to B (17/1) or to itself; B links to A. The starting block
  // is not recorded, so in A, B, A, B, ... the first block entered twice is B,
  // and a block linking to itself is delivered twice before it is named.
  struct Row {
    int a_link, len;
    const char *expected;
  };
  const Row rows[] = {
      {1, 762, "00,ok,00,00"},
      {1, 763, "52,file too large,17,01"},
      {1, 1016, "52,file too large,17,01"},
      {1, 1017, "52,file too large,17,00"},   // names the block of the last bytes
      {1, 10000, "52,file too large,17,01"},  // byte 9999 lies in the 40th block
      {0, 508, "00,ok,00,00"},
      {0, 509, "52,file too large,17,00"},
  };
  for (const Row &row : rows) {
    ImagePtr image = formatted_image(kD64Size);
    add_file(image.get(), "F", 17, 0);
    chain(image.get(), 17, 0, 17, row.a_link, 0xAA);
    chain(image.get(), 17, 1, 17, 0, 0xBB);
    DiFile *file = open(image.get(), "F");
    Bytes got = read_bytes(file, row.len);
    ASSERT_EQ(got.size(), static_cast<size_t>(row.len));
    for (size_t i = 0; i < got.size(); i += 127)
      ASSERT_EQ(got[i], row.a_link == 1 && (i / 254) % 2 ? 0xBB : 0xAA) << "byte " << i;
    EXPECT_EQ(status(image.get()), row.expected) << row.len;
    di_close(file);
  }
}

// Reads `total` bytes in pieces of `piece`, stopping at the first short read.
Bytes read_in_pieces(DiFile *file, int piece, int total) {
  Bytes out;
  while (static_cast<int>(out.size()) < total) {
    int want = std::min(piece, total - static_cast<int>(out.size()));
    Bytes part = read_bytes(file, want);
    out.insert(out.end(), part.begin(), part.end());
    if (static_cast<int>(part.size()) < want) break;
  }
  return out;
}

TEST(ReadChain, HowAChainEndsWholeAndInPieces) {
  // 17/0 -> 17/5 -> 17/9; the link and error byte of 17/9 decide the end.
  struct Row {
    int link_track, link_sector, error_byte;
    size_t length;
    const char *expected;
    bool stopped;  // every later read stops again with the same status
  };
  const Row rows[] = {
      {0, 101, 1, 608, "00,ok,00,00", false},
      {0, 0, 1, 508, "-1,unknown error,17,09", false},
      {0, 255, 5, 508, "23,read error (crc error in data block),17,09", true},
      {40, 0, 1, 508, "66,illegal track or sector,40,00", true},
      {40, 0, 5, 508, "23,read error (crc error in data block),17,09", true},  // error first
      // 17/0, 17/5, 17/9, 17/5, ...: byte 2999 lies in the 12th block, 17/5.
      {17, 5, 1, 3000, "52,file too large,17,05", false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.expected);
    ImagePtr image = formatted_image(kD64ErrSize);
    add_file(image.get(), "F", 17, 0);
    chain(image.get(), 17, 0, 17, 5, 1);
    chain(image.get(), 17, 5, 17, 9, 2);
    chain(image.get(), 17, 9, row.link_track, row.link_sector, 3);
    set_error(image.get(), 17, 9, row.error_byte);
    DiFile *whole = open(image.get(), "F");
    const Bytes expected = read_bytes(whole, 3000);
    EXPECT_EQ(expected.size(), row.length);
    EXPECT_EQ(Bytes(expected.begin(), expected.begin() + 508),
              concat({Bytes(254, 1), Bytes(254, 2)}));
    EXPECT_EQ(status(image.get()), row.expected);
    if (row.length < 3000) {
      diskimage::set_status(image.get(), 0, 0, 0);
      EXPECT_EQ(read_bytes(whole, 3000).size(), 0u);
      EXPECT_EQ(status(image.get()), row.stopped ? row.expected : "00,ok,00,00");
    }
    di_close(whole);
    for (int piece : {1, 3, 100, 253, 254, 255, 508, 2999}) {
      SCOPED_TRACE(piece);
      DiFile *file = open(image.get(), "F");
      EXPECT_EQ(read_in_pieces(file, piece, 3000), expected);
      EXPECT_EQ(status(image.get()), row.expected);
      di_close(file);
    }
  }
}

TEST(ReadChain, D64ChainThroughTheHeaderBlockGoesOnAt18_1) {
  ImagePtr image = formatted_image(kD64Size);
  DiImage *img = image.get();
  add_file(img, "F", 17, 0);
  chain(img, 17, 0, 18, 0, 0x11);
  put(block(img, 18, 0), {18, 4});  // whatever 18/0 links to, 18/1 follows
  chain(img, 18, 4, 0, 255, 0x44);
  put(block(img, 18, 1), {0, 255});
  DiFile *file = open(img, "F");
  EXPECT_EQ(read_bytes(file, 2000),
            concat({data_of(img, 17, 0), data_of(img, 18, 0), data_of(img, 18, 1)}));
  EXPECT_EQ(img->status, 0);
  di_close(file);

  put(block(img, 18, 0), {0, 11});  // a link with track 0 ends the file there
  file = open(img, "F");
  EXPECT_EQ(read_bytes(file, 2000), concat({data_of(img, 17, 0), data_of(img, 18, 0, 10)}));
  di_close(file);
}

TEST(ReadChain, D81FileOnTrack80HasNoFalseCycle) {
  ImagePtr image = formatted_image(kD81Size);
  DiImage *img = image.get();
  add_file(img, "F", 80, 0);
  chain(img, 80, 0, 80, 39, 1);
  chain(img, 80, 39, 79, 39, 2);
  chain(img, 79, 39, 0, 11, 3);
  DiFile *file = open(img, "F");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(read_bytes(file, 1000),
            concat({Bytes(254, 1), Bytes(254, 2), data_of(img, 79, 39, 10)}));
  EXPECT_EQ(status(img), "00,ok,00,00");
  di_close(file);
}

TEST(ReadDirectory, D64HeaderThenEachDirectoryBlock) {
  ImagePtr image = formatted_image(kD64Size);
  DiImage *img = image.get();
  chain(img, 18, 1, 18, 4, 0x61);
  chain(img, 18, 4, 0, 101, 0x62);
  DiFile *dir = di_open(img, kDir, 2, "rb");
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(dir->entry, nullptr);
  EXPECT_EQ(read_bytes(dir, 254), data_of(img, 18, 0));
  EXPECT_EQ(read_bytes(dir, 254), data_of(img, 18, 1));
  EXPECT_EQ(read_bytes(dir, 254), data_of(img, 18, 4, 100));
  EXPECT_EQ(read_bytes(dir, 254).size(), 0u);
  EXPECT_EQ(img->status, 0);
  di_close(dir);

  // A header link 0/0 does not matter: the directory is read from 18/1.
  put(block(img, 18, 0), {0, 0});
  dir = di_open(img, kDir, 2, "rb");
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(read_bytes(dir, 1000),
            concat({data_of(img, 18, 0), data_of(img, 18, 1), data_of(img, 18, 4, 100)}));
  EXPECT_EQ(img->status, 0);
  di_close(dir);
}

TEST(ReadDirectory, D81HeaderLinkMustBeValid) {
  struct Row {
    int track, sector;
    const char *expected;
  };
  for (Row row : {Row{81, 0, "66,illegal track or sector,81,00"},
                  Row{40, 40, "66,illegal track or sector,40,40"},
                  Row{0, 0, "66,illegal track or sector,00,00"}}) {
    ImagePtr image = formatted_image(kD81Size);
    put(block(image.get(), 40, 0), {row.track, row.sector});
    EXPECT_EQ(di_open(image.get(), kDir, 2, "rb"), nullptr);
    EXPECT_EQ(status(image.get()), row.expected);
    EXPECT_EQ(image->open_files, 0);
  }
}

TEST(ReadHandles, CountingAndModeGuards) {
  ImagePtr image = formatted_image(kD64Size);
  DiImage *img = image.get();
  add_file(img, "F", 17, 0);
  chain(img, 17, 0, 0, 255, 0x11);
  DiFile *dir = di_open(img, kDir, 2, "rb");
  DiFile *reader = open(img, "F");
  EXPECT_EQ(img->open_files, 2);
  EXPECT_EQ(open(img, "MISSING"), nullptr);
  EXPECT_EQ(img->open_files, 2);
  const Bytes payload(300, 0xEE);
  EXPECT_EQ(di_write(reader, payload.data(), 300), 0);  // never into the image
  EXPECT_EQ(data_of(img, 17, 0), Bytes(254, 0x11));
  di_close(reader);
  EXPECT_EQ(img->open_files, 1);
  di_close(dir);
  EXPECT_EQ(img->open_files, 0);

  DiFile *writer = di_open(img, raw("NEW").data(), 2, "wb");
  ASSERT_NE(writer, nullptr);
  Bytes dst(10, 0);
  EXPECT_EQ(di_read(writer, dst.data(), 10), 0);
  di_close(writer);
}

}  // namespace
