// Reading a file's data whole: every way a read stops, is cut or reads blocks
// as they lie says where and what was lost, and VLIR records come back in
// list order. (Round trips of whole files run through kestrix -extract.)
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "test_images.h"

namespace {

using namespace testing_images;
using Bytes = std::vector<unsigned char>;

struct DataDeleter {
  void operator()(DiFileData *data) const { di_file_data_free(data); }
};
using DataPtr = std::unique_ptr<DiFileData, DataDeleter>;

std::string status_of(DiImage *image, DiStatus status) {
  char text[DI_STATUS_SIZE];
  if (status.code == 0) return "";
  di_status_text(image->type, status.code, status.ts, text);
  return text;
}

std::string blocks_of(const TsPair *ts, int count) {
  std::string text;
  for (int i = 0; i < count; ++i)
    text += (i ? " " : "") + std::to_string(ts[i].track) + "/" + std::to_string(ts[i].sector);
  return text;
}

// Reads the file of slot 0 of 18/1, and holds that this changed nothing in
// the image, its status included.
DataPtr read_first(DiImage *image, long limit) {
  const Bytes before(image->blocks, image->blocks + image->size);
  image->status = 0;
  DataPtr data(di_file_data(image, reinterpret_cast<FileEntry *>(block(image, 18, 1)), limit));
  EXPECT_EQ(image->status, 0);
  EXPECT_EQ(std::memcmp(before.data(), image->blocks, before.size()), 0);
  return data;
}

struct Row {
  const char *what;
  std::function<void(DiImage *)> damage;
  long limit;
  long bytes;
  const char *status, *stop, *lost;
  bool cut;
};

// A D64 with error information and a three-block file at 17/0, 17/1, 17/2
// (254, 254 and 100 bytes of 'a', 'b', 'c'), changed by each row.
void expect_rows(const std::vector<Row> &rows, int type = 0x82) {
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ImagePtr image = formatted_image(kD64ErrSize);
    DiImage *img = image.get();
    for (int s = 0; s < 3; ++s) {
      put(block(img, 17, s), {s < 2 ? 17 : 0, s < 2 ? s + 1 : 101});
      std::memset(block(img, 17, s) + 2, 'a' + s, 254);
    }
    set_slot(img, 18, 1, 0, type, raw("A"), 17, 0, 3);
    row.damage(img);
    const DataPtr data = read_first(img, row.limit);
    EXPECT_EQ(data->size, row.bytes);
    EXPECT_EQ(status_of(img, data->status), row.status);
    EXPECT_EQ(data->stop.track ? blocks_of(&data->stop, 1) : "", row.stop);
    EXPECT_EQ(blocks_of(data->lost, data->lost_count), row.lost);
    EXPECT_EQ(data->cut != 0, row.cut);
    EXPECT_EQ(data->complete != 0, !row.cut && !*row.status);
    if (type == 0x82 && row.bytes > 254) {
      EXPECT_EQ(data->data[254], 'b');
    }
  }
}

TEST(FileData, EveryStopNamesItsBlockAndWhatIsLost) {
  const long all = 1L << 20;
  expect_rows({
      {"read to its end", [](DiImage *) {}, all, 608, "", "", "", false},
      {"a damaged block is not read", [](DiImage *i) { set_error(i, 17, 1, 5); }, all, 254,
       "23,read error (crc error in data block),17,01", "17/1", "17/1", false},
      {"a block linking to no block is not read", [](DiImage *i) { set_link(i, 17, 1, 36, 0); },
       all, 254, "66,illegal track or sector,36,00", "17/1", "17/1", false},
      {"back to a block passed: read once, nothing lost",
       [](DiImage *i) { set_link(i, 17, 2, 17, 0); }, all, 762, "52,file too large,17,00", "17/0",
       "", false},
      {"an empty last block", [](DiImage *i) { set_link(i, 17, 2, 0, 0); }, all, 508,
       "-1,unknown error,17,02", "17/2", "17/2", false},
      {"a first block that is no block",
       [](DiImage *i) {
         put(block(i, 18, 1) + 3, {36, 1});
       },
       all, 0, "66,illegal track or sector,36,01", "", "", false},
      {"from the header on, reading steps to the directory whatever its link",
       [](DiImage *i) {
         set_link(i, 17, 2, 18, 0);
         set_link(i, 18, 0, 17, 0);
       },
       all, 5 * 254, "", "", "", false},
      {"the limit cuts in front of a block", [](DiImage *) {}, 600, 508, "", "", "17/2", true},
      {"nothing fits", [](DiImage *) {}, 0, 0, "", "", "17/0", true},
  });
}

// A partition is its slot's count of blocks in block order, as they lie.
TEST(FileData, PartitionsAreTheirBlocksAsTheyLie) {
  expect_rows(
      {
          {"a damaged block is read and lost", [](DiImage *i) { set_error(i, 17, 1, 2); }, 1L << 20,
           768, "20,read error (block header not found),17,01", "17/1", "17/1", false},
          {"on across a track's end to the disk's end",
           [](DiImage *i) {
             put(block(i, 18, 1) + 3, {35, 15});
           },
           1L << 20, 512, "66,illegal track or sector,36,00", "", "", false},
      },
      0x85);
}

// "V" is made a GEOS VLIR file: a one-block file whose data is the record
// list of the chains of the files "R0" and "R2" (record 1 is empty), and the
// one-block file "I" its info block. Only "V" stays listed.
TEST(FileData, VlirRecordsComeBackInListOrderWithTheirInfoBlock) {
  ImagePtr image = formatted_image(kD64Size);
  DiImage *img = image.get();
  const Bytes r0(300, 'x'), r2(1000, 'z');
  Bytes list(254, 0);
  const auto first_of = [&](const char *name, const Bytes &data) {
    write_file(img, name, DI_FT_SEQ, data);
    FileEntry *slot = diskimage::find_file_entry(img, raw(name).data(), DI_FT_SEQ);
    slot->type = 0;
    return slot->first_ts;
  };
  const TsPair a = first_of("R0", r0), c = first_of("R2", r2), info = first_of("I", Bytes(254, 1));
  put(list.data(), {a.track, a.sector, 0, 0xFF, c.track, c.sector});
  write_file(img, "V", DI_FT_USR, list);
  FileEntry *vlir = diskimage::find_file_entry(img, raw("V").data(), DI_FT_USR);
  put(vlir->unused, {info.track, info.sector, diskimage::kGeosVlir, 6});

  const DataPtr data(di_file_data(img, vlir, 1L << 20));
  EXPECT_EQ(data->shape, DI_DATA_VLIR);
  EXPECT_EQ(std::string(data->data, data->data + data->size),
            std::string(300, 'x') + std::string(1000, 'z'));
  ASSERT_EQ(data->record_count, 3);
  EXPECT_EQ(data->records[1].offset, 300);
  EXPECT_EQ(data->records[1].size, 0);
  EXPECT_EQ(data->records[2].size, 1000);
  EXPECT_TRUE(data->complete);
  ASSERT_TRUE(data->info_read);
  EXPECT_EQ(std::memcmp(data->info, block(img, info.track, info.sector), DI_INFO_SIZE), 0);

  // Cut in the last record's second block: that block and the info block
  // are lost, and the data stops where the cut came.
  const DataPtr cut(di_file_data(img, vlir, 300 + 254 + 100));
  EXPECT_EQ(cut->size, 300 + 254);
  EXPECT_TRUE(cut->cut);
  EXPECT_FALSE(cut->info_read);
  const unsigned char *second = block(img, c.track, c.sector);
  const TsPair lost[] = {{second[0], second[1]}, info};
  EXPECT_EQ(blocks_of(cut->lost, cut->lost_count), blocks_of(lost, 2));

  // A record pointer to no block stops the read at the list that holds it.
  unsigned char *pairs = block(img, vlir->first_ts.track, vlir->first_ts.sector) + 2;
  put(pairs + 4, {85, 85});
  const DataPtr bad(di_file_data(img, vlir, 1L << 20));
  EXPECT_EQ(bad->size, 300);
  EXPECT_EQ(status_of(img, bad->status), "66,illegal track or sector,85,85");
  EXPECT_EQ(blocks_of(&bad->stop, 1), blocks_of(&vlir->first_ts, 1));
}

}  // namespace
