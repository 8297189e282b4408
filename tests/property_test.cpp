// Random workloads on every kind: fill the disk with files of random sizes,
// read them all back, scratch some, fill again, scratch everything, and check
// that the bookkeeping agrees with the data at every step.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_images.h"

namespace {

using namespace testing_images;
using Bytes = std::vector<unsigned char>;

struct Written {
  std::string name;
  int type;
  Bytes data;
};

// Writes files until the disk or its directory is full. Most are small, a few
// are large, and the last takes exactly the blocks that are left.
void fill_disk(DiImage *image, std::mt19937 &rng, int &serial, std::vector<Written> &files) {
  for (;;) {
    int size =
        rng() % 10 == 0 ? 10000 + static_cast<int>(rng() % 50000) : static_cast<int>(rng() % 4000);
    bool last = (size + 253) / 254 > image->free_blocks;
    if (last) size = image->free_blocks * 254;
    Written w{"F" + std::to_string(serial++), 1 + static_cast<int>(rng() % 3), Bytes(size)};
    for (auto &b : w.data) b = static_cast<unsigned char>(rng());
    DiFile *file = di_open(image, raw(w.name.c_str()).data(), w.type, "wb");
    if (!file) {
      ASSERT_EQ(image->status, 72) << "only a full directory may refuse a new name";
      return;
    }
    ASSERT_EQ(di_write(file, w.data.data(), size), size);
    di_close(file);
    ASSERT_EQ(image->status, 0) << w.name;
    ASSERT_EQ(image->free_blocks, diskimage::blocks_free(image)) << w.name;
    files.push_back(std::move(w));
    if (last) return;
  }
}

void check_files(DiImage *image, const std::vector<Written> &files, int formatted_free) {
  int blocks = 0;
  for (const Written &w : files) {
    SCOPED_TRACE(w.name);
    FileEntry *e = diskimage::find_file_entry(image, raw(w.name.c_str()).data(), w.type);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->type, 0x80 | w.type);
    int count = e->blocks[0] + 256 * e->blocks[1];
    EXPECT_EQ(count, static_cast<int>((w.data.size() + 253) / 254));
    blocks += count;
    if (w.data.empty()) {
      EXPECT_EQ(e->first_ts.track, 0);
      continue;
    }
    DiFile *file = di_open(image, raw(w.name.c_str()).data(), w.type, "rb");
    ASSERT_NE(file, nullptr);
    Bytes got(w.data.size() + 1);
    got.resize(static_cast<size_t>(di_read(file, got.data(), static_cast<int>(got.size()))));
    di_close(file);
    EXPECT_EQ(image->status, 0);
    EXPECT_TRUE(got == w.data) << "read back " << got.size() << " of " << w.data.size();
  }
  EXPECT_EQ(blocks, formatted_free - image->free_blocks) << "blocks used twice or lost";
}

std::vector<TsPair> bam_blocks(DiImage *image) {
  if (image->type == D64) return {image->bam_ts};
  return {image->bam_ts, image->bam2_ts};
}

Bytes bam_bytes(DiImage *image) {
  Bytes out;
  for (TsPair ts : bam_blocks(image)) {
    unsigned char *b = di_get_ts_addr(image, ts);
    out.insert(out.end(), b, b + 256);
  }
  return out;
}

TEST(Property, RandomFilesReadBackAndScratchingRestoresTheBam) {
  for (long long size : {kD64Size, kD71Size, kD81Size}) {
    SCOPED_TRACE(size);
    ImagePtr image = formatted_image(size);
    const int formatted_free = image->free_blocks;
    std::mt19937 rng(static_cast<unsigned>(size));
    int serial = 0;
    std::vector<Written> files;

    fill_disk(image.get(), rng, serial, files);
    ASSERT_GT(files.size(), 10u);
    check_files(image.get(), files, formatted_free);

    // Scratch every other file by its own name, then fill the holes again.
    std::vector<Written> kept;
    for (size_t i = 0; i < files.size(); ++i) {
      if (i % 2 == 0) {
        kept.push_back(std::move(files[i]));
        continue;
      }
      ASSERT_EQ(di_delete(image.get(), raw(files[i].name.c_str()).data(), files[i].type), 1);
      ASSERT_EQ(image->free_blocks, diskimage::blocks_free(image.get()));
    }
    fill_disk(image.get(), rng, serial, kept);
    check_files(image.get(), kept, formatted_free);

    for (int type = 1; type <= 3; ++type) di_delete(image.get(), raw("*").data(), type);
    EXPECT_EQ(image->free_blocks, formatted_free);
    // Scratching does not shrink the directory, so its extra blocks stay in
    // use; apart from them the BAM is back to its formatted bytes.
    ImagePtr fresh = formatted_image(size);
    TsPair dir = di_get_dir_ts(image.get());
    TsPair ts = diskimage::next_ts_in_chain(image.get(), dir);
    for (int n = 0; ts.track != 0 && n < 40; ++n) {
      di_alloc_ts(fresh.get(), ts);
      ts = diskimage::next_ts_in_chain(image.get(), ts);
    }
    EXPECT_EQ(bam_bytes(image.get()), bam_bytes(fresh.get()));
  }
}

}  // namespace
