// Writing files: creating the slot, gathering bytes into blocks, closing, and
// the ways a full disk or directory stops it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_images.h"

namespace {

using namespace testing_images;
using diskimage::make_ts;
using Bytes = std::vector<unsigned char>;
using Ts = std::pair<int, int>;

Bytes random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto &c : b) c = static_cast<unsigned char>(rng());
  return b;
}

Bytes bytes_of(DiImage *image) {
  return {image->blocks, image->blocks + image->size};
}

std::string status_of(DiImage *image) {
  char text[DI_STATUS_SIZE];
  di_status(image, text);
  return text;
}

FileEntry *slot(DiImage *image, int t, int s, int index) {
  return reinterpret_cast<FileEntry *>(block(image, t, s) + 32 * index);
}

int block_count(const FileEntry *e) {
  return e->blocks[0] + 256 * e->blocks[1];
}

Bytes read_back(DiImage *image, const char *name, int type) {
  DiFile *file = di_open(image, raw(name).data(), type, "rb");
  if (!file) return {};
  Bytes out(200000);
  out.resize(static_cast<size_t>(di_read(file, out.data(), static_cast<int>(out.size()))));
  di_close(file);
  return out;
}

// A formatted D64 whose data blocks still hold the bytes of an earlier life,
// so that nothing a test finds there can be a leftover zero.
ImagePtr used_d64() {
  ImagePtr image = blank_image(kD64Size);
  std::memset(image->blocks, 0xEE, image->size);
  di_format(image.get(), raw("USED").data(), nullptr);
  image->dirty = 0;
  return image;
}

TEST(Write, LaysOutBlocksAndLastBlockLength) {
  const struct {
    int len, blocks, last_link;
  } cases[] = {{1, 1, 2},    {253, 1, 254}, {254, 1, 255}, {255, 2, 2},
               {300, 2, 47}, {508, 2, 255}, {509, 3, 2},   {256 * 254, 256, 255}};
  const std::vector<Ts> order = {{1, 10}, {1, 20}, {1, 9}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.len);
    ImagePtr image = used_d64();
    Bytes data = random_bytes(c.len, c.len);
    ASSERT_EQ(write_file(image.get(), "FILE", 2, data), c.len);
    EXPECT_EQ(status_of(image.get()), "00,ok,00,00");
    FileEntry *e = slot(image.get(), 18, 1, 0);
    EXPECT_EQ(e->type, 0x82);
    EXPECT_EQ(block_count(e), c.blocks);
    TsPair ts = e->first_ts;
    for (int i = 0; i < c.blocks; ++i) {
      SCOPED_TRACE(i);
      if (i < 3) {
        ASSERT_EQ(Ts(ts.track, ts.sector), order[i]);
      }
      unsigned char *b = block(image.get(), ts.track, ts.sector);
      int n = std::min(254, c.len - 254 * i);
      EXPECT_TRUE(std::equal(b + 2, b + 2 + n, data.begin() + 254 * i));
      if (i + 1 < c.blocks) {
        ts = make_ts(b[0], b[1]);
        continue;
      }
      EXPECT_EQ(b[0], 0);
      EXPECT_EQ(b[1], c.last_link);
      EXPECT_EQ(std::count(b + 2 + n, b + 256, 0), 254 - n) << "tail of the last block not zero";
    }
    EXPECT_EQ(read_back(image.get(), "FILE", 2), data);
    EXPECT_EQ(image->free_blocks, 664 - c.blocks);
    EXPECT_EQ(image->free_blocks, diskimage::blocks_free(image.get()));
  }
}

TEST(Write, EmptyFileIsClosedWithoutABlock) {
  ImagePtr image = formatted_image(kD64Size);
  Bytes bam(block(image.get(), 18, 0), block(image.get(), 18, 0) + 256);
  image->status = 99;
  DiFile *file = di_open(image.get(), raw("NOTHING").data(), 1, "wb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(image->status, 0);
  EXPECT_EQ(image->open_files, 1);
  EXPECT_EQ(image->dirty, 1);
  FileEntry *e = slot(image.get(), 18, 1, 0);
  EXPECT_EQ(e->type, 0x01);  // not closed while open
  di_close(file);
  EXPECT_EQ(image->open_files, 0);
  EXPECT_EQ(e->type, 0x81);
  EXPECT_EQ(e->first_ts.track, 0);
  EXPECT_EQ(e->first_ts.sector, 0);
  EXPECT_EQ(block_count(e), 0);
  EXPECT_EQ(image->free_blocks, 664);
  EXPECT_EQ(Bytes(block(image.get(), 18, 0), block(image.get(), 18, 0) + 256), bam);
}

// Closing sets the closed bit, which a write-back since the open has not seen.
TEST(Write, ClosingAnEmptyFileAfterASyncIsWrittenBack) {
  TempDir dir;
  const std::string path = dir.file("empty.d64");
  DiImage *image = di_create_image(path.c_str(), kD64Size);
  ASSERT_NE(image, nullptr);
  di_format(image, raw("EMPTY").data(), reinterpret_cast<const unsigned char *>("01"));
  DiFile *file = di_open(image, raw("NOTHING").data(), 2, "wb");
  ASSERT_NE(file, nullptr);
  di_sync(image);
  di_close(file);
  di_free_image(image);

  ImagePtr loaded(di_load_image(path.c_str()));
  ASSERT_TRUE(loaded);
  EXPECT_EQ(slot(loaded.get(), 18, 1, 0)->type, 0x82);
}

TEST(Write, PiecesOfAnySizeGiveTheSameImage) {
  Bytes data = random_bytes(3000, 1);
  ImagePtr whole = used_d64();
  ASSERT_EQ(write_file(whole.get(), "DATA", 2, data), 3000);
  std::mt19937 rng(2);
  for (int max_piece : {1, 2, 253, 254, 255, 700}) {
    SCOPED_TRACE(max_piece);
    ImagePtr image = used_d64();
    DiFile *file = di_open(image.get(), raw("DATA").data(), 2, "wb");
    ASSERT_NE(file, nullptr);
    size_t at = 0;
    while (at < data.size()) {
      int n = std::min<int>(static_cast<int>(data.size() - at), rng() % (max_piece + 1));
      ASSERT_EQ(di_write(file, data.data() + at, n), n);
      at += n;
    }
    di_close(file);
    EXPECT_TRUE(bytes_of(image.get()) == bytes_of(whole.get()));
  }
}

TEST(Write, StopsWhenTheCountSaysTheDiskIsFull) {
  Bytes data = random_bytes(300, 3);
  {
    SCOPED_TRACE("one block left: all bytes taken, the last 46 dropped at close");
    ImagePtr image = formatted_image(kD64Size);
    image->free_blocks = 1;
    DiFile *file = di_open(image.get(), raw("BIG").data(), 2, "wb");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(di_write(file, data.data(), 300), 300);
    EXPECT_EQ(image->free_blocks, 0);
    EXPECT_EQ(image->status, 0);
    di_close(file);
    EXPECT_EQ(status_of(image.get()), "72,disk full,00,00");
    EXPECT_EQ(image->open_files, 0);
    FileEntry *e = slot(image.get(), 18, 1, 0);
    EXPECT_EQ(e->type, 0x02);  // left unclosed
    EXPECT_EQ(block_count(e), 1);
    unsigned char *b = block(image.get(), e->first_ts.track, e->first_ts.sector);
    EXPECT_EQ(b[0], 0);
    EXPECT_EQ(b[1], 255);
    EXPECT_TRUE(std::equal(b + 2, b + 256, data.begin()));
  }
  {
    SCOPED_TRACE("no block left: the buffer fills and stays full");
    ImagePtr image = formatted_image(kD64Size);
    image->free_blocks = 0;
    Bytes bam(block(image.get(), 18, 0), block(image.get(), 18, 0) + 256);
    DiFile *file = di_open(image.get(), raw("BIG").data(), 2, "wb");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(di_write(file, data.data(), 300), 254);
    EXPECT_EQ(status_of(image.get()), "72,disk full,00,00");
    image->status = 0;
    EXPECT_EQ(di_write(file, data.data() + 254, 46), 0);
    EXPECT_EQ(image->status, 72);
    di_close(file);
    FileEntry *e = slot(image.get(), 18, 1, 0);
    EXPECT_EQ(e->type, 0x02);
    EXPECT_EQ(e->first_ts.track, 0);
    EXPECT_EQ(Bytes(block(image.get(), 18, 0), block(image.get(), 18, 0) + 256), bam);
  }
}

TEST(Write, ExistingNameOfAnyTypeRefusesTheOpen) {
  ImagePtr image = formatted_image(kD64Size);
  ASSERT_EQ(write_file(image.get(), "FOO", 2, {1, 2, 3}), 3);
  // A file left unclosed still bears its name.
  DiFile *open = di_open(image.get(), raw("BAR").data(), 1, "wb");
  ASSERT_NE(open, nullptr);
  image->dirty = 0;
  Bytes before = bytes_of(image.get());
  for (const char *name : {"FOO", "BAR"}) {
    for (int type : {0, 1, 2, 3, 4, 0x82}) {
      SCOPED_TRACE(testing::Message() << name << " type " << type);
      EXPECT_EQ(di_open(image.get(), raw(name).data(), type, "wb"), nullptr);
      EXPECT_EQ(status_of(image.get()), "63,file exists,00,00");
      EXPECT_TRUE(bytes_of(image.get()) == before);
      EXPECT_EQ(image->open_files, 1);
    }
  }
  EXPECT_EQ(image->dirty, 0);
  di_close(open);
}

TEST(Write, ReusesTheFirstFreeSlotOnly) {
  ImagePtr image = formatted_image(kD64Size);
  for (const char *name : {"A", "B", "C", "D"}) ASSERT_EQ(write_file(image.get(), name, 2, {9}), 1);
  slot(image.get(), 18, 1, 0)->type = 0x80;  // a closed "del" file: in use
  ASSERT_EQ(di_delete(image.get(), raw("B").data(), 2), 1);
  ASSERT_EQ(di_delete(image.get(), raw("D").data(), 2), 1);
  ASSERT_EQ(write_file(image.get(), "NEW", 1, {1}), 1);
  FileEntry *reused = slot(image.get(), 18, 1, 1);
  EXPECT_EQ(reused->type, 0x81);
  EXPECT_EQ(std::memcmp(reused->rawname, raw("NEW").data(), 16), 0);
  EXPECT_EQ(std::memcmp(slot(image.get(), 18, 1, 0)->rawname, raw("A").data(), 16), 0);
  EXPECT_EQ(slot(image.get(), 18, 1, 3)->type, 0);
  EXPECT_EQ(read_back(image.get(), "NEW", 1), Bytes{1});
}

TEST(Write, FullDirectoryBlockGetsASuccessorUntilTheTrackIsFull) {
  ImagePtr image = formatted_image(kD64Size);
  for (int i = 0; i < 8; ++i)
    ASSERT_EQ(write_file(image.get(), std::to_string(i).c_str(), 2, {}), 0);
  ASSERT_EQ(write_file(image.get(), "NINTH", 2, {5}), 1);
  EXPECT_EQ(block(image.get(), 18, 1)[0], 18);
  EXPECT_EQ(block(image.get(), 18, 1)[1], 4);
  FileEntry *ninth = slot(image.get(), 18, 4, 0);
  EXPECT_EQ(ninth->link[0], 0);
  EXPECT_EQ(ninth->link[1], 255);
  EXPECT_EQ(ninth->type, 0x82);
  EXPECT_EQ(std::memcmp(ninth->rawname, raw("NINTH").data(), 16), 0);
  EXPECT_EQ(image->free_blocks, 663);  // the directory block is not a data block

  // 18 directory blocks hold 144 slots; the 145th file finds the track full.
  for (int i = 9; i < 144; ++i)
    ASSERT_EQ(write_file(image.get(), ("F" + std::to_string(i)).c_str(), 2, {}), 0) << i;
  EXPECT_EQ(di_track_blocks_free(image.get(), 18), 0);
  image->dirty = 0;
  Bytes before = bytes_of(image.get());
  EXPECT_EQ(di_open(image.get(), raw("TOO MANY").data(), 2, "wb"), nullptr);
  EXPECT_EQ(status_of(image.get()), "72,disk full,00,00");
  EXPECT_TRUE(bytes_of(image.get()) == before);
  EXPECT_EQ(image->dirty, 0);
  EXPECT_EQ(image->open_files, 0);
}

TEST(Write, BamWithCountsButNoBitsStopsAsForAFullDisk) {
  // Every bit cleared but 1/10; the counts still claim a free disk.
  ImagePtr image = formatted_image(kD64Size);
  for (int t = 1; t <= 35; ++t) put(block(image.get(), 18, 0) + 4 * t + 1, {0, 0, 0});
  block(image.get(), 18, 0)[5 + 1] = 0x04;  // 1/10
  ASSERT_EQ(image->free_blocks, 664);
  Bytes data = random_bytes(600, 6);
  DiFile *file = di_open(image.get(), raw("F").data(), 2, "wb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(di_write(file, data.data(), 600), 508);
  EXPECT_EQ(status_of(image.get()), "72,disk full,00,00");
  di_close(file);
  EXPECT_EQ(image->status, 72);
  FileEntry *e = slot(image.get(), 18, 1, 0);
  EXPECT_EQ(e->type, 0x02);
  EXPECT_EQ(Ts(e->first_ts.track, e->first_ts.sector), Ts(1, 10));
  EXPECT_EQ(block_count(e), 1);
  unsigned char *b = block(image.get(), 1, 10);
  EXPECT_EQ(b[0], 0);  // never linked to a block of track 0
  EXPECT_EQ(b[1], 255);
  EXPECT_EQ(image->free_blocks, 663);
}

}  // namespace
