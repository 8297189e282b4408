// Reading a file's data whole: files the library wrote come back byte for
// byte, and every way a read stops, is cut or reads blocks as they lie says
// where and what was lost.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "test_images.h"

namespace {

using namespace testing_images;
using diskimage::make_ts;
using Bytes = std::vector<unsigned char>;

struct DataDeleter {
  void operator()(DiFileData *data) const { di_file_data_free(data); }
};
using DataPtr = std::unique_ptr<DiFileData, DataDeleter>;

Bytes random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto &c : b) c = static_cast<unsigned char>(rng());
  return b;
}

FileEntry *entry(DiImage *image, const char *name, int type) {
  return diskimage::find_file_entry(image, raw(name).data(), type);
}

std::string status_of(DiImage *image, DiStatus status) {
  char text[DI_STATUS_SIZE];
  di_status_text(image->type, status.code, status.ts, text);
  return text;
}

std::string blocks_of(const TsPair *ts, int count) {
  std::string text;
  for (int i = 0; i < count; ++i)
    text += (i ? " " : "") + std::to_string(ts[i].track) + "/" + std::to_string(ts[i].sector);
  return text;
}

// Reads a file's data and holds that the read changed nothing in the image.
DataPtr read_data(DiImage *image, const FileEntry *slot, long limit = 1L << 30) {
  const Bytes before(image->blocks, image->blocks + image->size);
  image->status = 0;
  DataPtr data(di_file_data(image, slot, limit));
  EXPECT_NE(data, nullptr);
  EXPECT_EQ(image->status, 0);
  EXPECT_EQ(std::memcmp(before.data(), image->blocks, before.size()), 0);
  return data;
}

Bytes bytes_of(const DiFileData &data) {
  return data.size ? Bytes(data.data, data.data + data.size) : Bytes();
}

// Makes the file "VLIR" a GEOS VLIR file of these records (an empty one has
// no chain) with an info block of 0x1F bytes: the records, the record list
// and the info block are written as files through the library, and their own
// slots are then freed, leaving their blocks in use.
FileEntry *make_vlir(DiImage *image, const std::vector<Bytes> &records) {
  Bytes list(254, 0);
  for (size_t r = 0; r < records.size(); ++r) {
    list[2 * r + 1] = 0xFF;
    if (records[r].empty()) continue;
    const std::string name = "R" + std::to_string(r);
    write_file(image, name.c_str(), DI_FT_SEQ, records[r]);
    FileEntry *record = entry(image, name.c_str(), DI_FT_SEQ);
    list[2 * r] = record->first_ts.track;
    list[2 * r + 1] = record->first_ts.sector;
    record->type = 0;
  }
  write_file(image, "INFO", DI_FT_SEQ, Bytes(254, 0x1F));
  FileEntry *info_slot = entry(image, "INFO", DI_FT_SEQ);
  const TsPair info = info_slot->first_ts;
  info_slot->type = 0;
  write_file(image, "VLIR", DI_FT_USR, list);
  FileEntry *vlir = entry(image, "VLIR", DI_FT_USR);
  auto *bytes = reinterpret_cast<unsigned char *>(vlir);
  put(bytes + diskimage::kSlotGeosInfo, {info.track, info.sector});
  bytes[diskimage::kSlotGeosStructure] = diskimage::kGeosVlir;
  bytes[diskimage::kSlotGeosType] = 6;
  return vlir;
}

TEST(FileData, FilesTheLibraryWroteComeBackByteForByte) {
  struct Row {
    const char *what;
    long long size;
    int type;
    Bytes data;
    std::function<void(DiImage *, FileEntry *)> make;
    int shape;
  };
  const Row rows[] = {
      {"a program file", kD64Size, DI_FT_PRG, random_bytes(700, 1), nullptr, DI_DATA_CHAIN},
      {"a full last block", kD64Size, DI_FT_PRG, random_bytes(508, 2), nullptr, DI_DATA_CHAIN},
      {"a REL file: its records, and their length", kD64Size, DI_FT_REL, random_bytes(64 * 30, 3),
       [](DiImage *, FileEntry *slot) { slot->unused[2] = 64; }, DI_DATA_REL},
      {"a file longer than the listing scans, on a D81", kD81Size, DI_FT_PRG,
       random_bytes(700000, 4), nullptr, DI_DATA_CHAIN},
      {"a file across both sides of a D71", kD71Size, DI_FT_SEQ, random_bytes(300000, 5), nullptr,
       DI_DATA_CHAIN},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ImagePtr image = formatted_image(row.size);
    ASSERT_EQ(write_file(image.get(), "FILE", row.type, row.data),
              static_cast<int>(row.data.size()));
    FileEntry *slot = entry(image.get(), "FILE", row.type);
    if (row.make) row.make(image.get(), slot);
    const DataPtr data = read_data(image.get(), slot);
    EXPECT_EQ(bytes_of(*data), row.data);
    EXPECT_EQ(data->shape, row.shape);
    EXPECT_EQ(data->blocks_read, diskimage::slot_blocks(*slot));
    EXPECT_TRUE(data->complete);
    EXPECT_EQ(data->status.code, 0);
    EXPECT_EQ(data->lost_count, 0);
    EXPECT_EQ(data->record_length, row.shape == DI_DATA_REL ? 64 : 0);
  }
}

TEST(FileData, VlirRecordsComeBackInListOrderWithTheirInfoBlock) {
  ImagePtr image = formatted_image(kD64Size);
  const std::vector<Bytes> records = {
      random_bytes(300, 6), {}, random_bytes(1000, 7), random_bytes(254, 8)};
  FileEntry *vlir = make_vlir(image.get(), records);
  const DataPtr data = read_data(image.get(), vlir);
  EXPECT_EQ(data->shape, DI_DATA_VLIR);
  Bytes joined;
  for (const Bytes &r : records) joined.insert(joined.end(), r.begin(), r.end());
  EXPECT_EQ(bytes_of(*data), joined);
  ASSERT_EQ(data->record_count, 4);
  const long offsets[] = {0, 300, 300, 1300}, sizes[] = {300, 0, 1000, 254};
  for (int r = 0; r < 4; ++r) {
    EXPECT_EQ(data->records[r].offset, offsets[r]) << r;
    EXPECT_EQ(data->records[r].size, sizes[r]) << r;
  }
  EXPECT_TRUE(data->complete);
  ASSERT_TRUE(data->info_read);
  const unsigned char *info = block(image.get(), data->info_ts.track, data->info_ts.sector);
  EXPECT_EQ(std::memcmp(data->info, info, DI_INFO_SIZE), 0);
  EXPECT_EQ(data->info[2], 0x1F);

  // Cut in the third record: it loses its second block, the fourth its
  // first, and the info block is not read.
  const DataPtr cut = read_data(image.get(), vlir, 300 + 254 + 100);
  EXPECT_EQ(cut->size, 300 + 254);
  EXPECT_TRUE(cut->cut);
  EXPECT_FALSE(cut->complete);
  EXPECT_FALSE(cut->info_read);
  EXPECT_EQ(cut->status.code, 0);
  const unsigned char *list = block(image.get(), vlir->first_ts.track, vlir->first_ts.sector) + 2;
  const unsigned char *third = block(image.get(), list[4], list[5]);
  const TsPair lost[] = {{third[0], third[1]}, {list[6], list[7]}, data->info_ts};
  EXPECT_EQ(blocks_of(cut->lost, cut->lost_count), blocks_of(lost, 3));
  EXPECT_EQ(cut->records[3].size, 0);
}

// A D64 with error information and a three-block file A at 17/0, 17/1, 17/2
// (the last holding 100 bytes), broken in one way per row.
TEST(FileData, EveryStopNamesItsBlockAndWhatIsLost) {
  struct Row {
    const char *what;
    std::function<void(DiImage *)> damage;
    long limit;
    int bytes;
    const char *status;  // "" for none
    const char *stop;    // "" for none
    const char *lost;
    bool cut;
  };
  const Row rows[] = {
      {"read to its end", [](DiImage *) {}, 1L << 20, 608, "", "", "", false},
      {"a damaged block is not read", [](DiImage *i) { set_error(i, 17, 1, 5); }, 1L << 20, 254,
       "23,read error (crc error in data block),17,01", "17/1", "17/1", false},
      {"a link to no block: its block is not read", [](DiImage *i) { set_link(i, 17, 1, 36, 0); },
       1L << 20, 254, "66,illegal track or sector,36,00", "17/1", "17/1", false},
      {"back to a block passed: read once, nothing lost",
       [](DiImage *i) { set_link(i, 17, 2, 17, 0); }, 1L << 20, 762, "52,file too large,17,00",
       "17/0", "", false},
      {"an empty last block", [](DiImage *i) { set_link(i, 17, 2, 0, 0); }, 1L << 20, 508,
       "-1,unknown error,17,02", "17/2", "17/2", false},
      {"a first block that is no block",
       [](DiImage *i) {
         put(block(i, 18, 1) + 3, {36, 1});
       },
       1L << 20, 0, "66,illegal track or sector,36,01", "", "", false},
      {"from the header on, reading steps to the directory whatever its link",
       [](DiImage *i) {
         set_link(i, 17, 2, 18, 0);
         set_link(i, 18, 0, 17, 0);
       },
       1L << 20, 762 + 254 + 254, "", "", "", false},
      {"the limit cuts between blocks", [](DiImage *) {}, 600, 508, "", "", "17/2", true},
      {"nothing fits", [](DiImage *) {}, 0, 0, "", "", "17/0", true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ImagePtr image = formatted_image(kD64ErrSize);
    DiImage *img = image.get();
    for (int s = 0; s < 3; ++s) {
      put(block(img, 17, s), {s < 2 ? 17 : 0, s < 2 ? s + 1 : 101});
      std::memset(block(img, 17, s) + 2, 'a' + s, 254);
    }
    set_slot(img, 18, 1, 0, 0x82, raw("A"), 17, 0, 3);
    row.damage(img);
    const DataPtr data =
        read_data(img, reinterpret_cast<FileEntry *>(block(img, 18, 1)), row.limit);
    EXPECT_EQ(data->size, row.bytes);
    EXPECT_EQ(data->status.code != 0 ? status_of(img, data->status) : "", row.status);
    EXPECT_EQ(data->stop.track ? blocks_of(&data->stop, 1) : "", row.stop);
    EXPECT_EQ(blocks_of(data->lost, data->lost_count), row.lost);
    EXPECT_EQ(data->cut != 0, row.cut);
    EXPECT_EQ(data->complete != 0, !row.cut && !*row.status);
    if (row.bytes >= 254) {
      EXPECT_EQ(data->data[0], 'a');
    }
  }
}

TEST(FileData, PartitionsAreTheirBlocksAsTheyLie) {
  struct Row {
    const char *what;
    int track, sector, count, bytes;
    const char *status, *lost;
  };
  const Row rows[] = {
      {"three blocks, one damaged, all read", 20, 0, 3, 768,
       "20,read error (block header not found),20,01", "20/1"},
      {"on across the end of a track", 20, 18, 2, 512, "", ""},
      {"past the disk's end", 35, 15, 4, 512, "66,illegal track or sector,36,00", ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ImagePtr image = formatted_image(kD64ErrSize);
    DiImage *img = image.get();
    set_error(img, 20, 1, 2);
    put(block(img, 21, 0), {0xAB});
    set_slot(img, 18, 1, 0, 0x85, raw("PART"), row.track, row.sector, row.count);
    const DataPtr data = read_data(img, reinterpret_cast<FileEntry *>(block(img, 18, 1)));
    EXPECT_EQ(data->shape, DI_DATA_PARTITION);
    ASSERT_EQ(data->size, row.bytes);
    EXPECT_EQ(std::memcmp(data->data, block(img, row.track, row.sector), 256), 0);
    if (row.sector == 18) {
      EXPECT_EQ(data->data[256], 0xAB);
    }
    EXPECT_EQ(data->status.code != 0 ? status_of(img, data->status) : "", row.status);
    EXPECT_EQ(blocks_of(data->lost, data->lost_count), row.lost);
    EXPECT_EQ(data->complete != 0, !*row.status);
  }
}

TEST(ImageBytes, AreTheFileUntilTheImageChanges) {
  TempDir dir;
  ImagePtr made = formatted_image(kD71ErrSize);
  save(dir.file("a.d71"), made.get());
  ImagePtr image(di_load_image(dir.file("a.d71").c_str()));
  ASSERT_NE(image, nullptr);
  long size = -1;
  const unsigned char *bytes = di_image_bytes(image.get(), &size);
  ASSERT_EQ(size, kD71ErrSize);
  EXPECT_EQ(Bytes(bytes, bytes + size), slurp(dir.file("a.d71")));
  write_file(image.get(), "NEW", DI_FT_PRG, Bytes(10, 1));
  EXPECT_EQ(di_image_bytes(image.get(), &size), nullptr);
  EXPECT_EQ(size, 0);
}

}  // namespace
