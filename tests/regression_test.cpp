// Hostile images and operation sequences, replayed through the same drivers
// as the fuzz targets: the seed corpus, every input a fuzzer has found a fault
// with, and damage too large for a fuzzer to build within its input limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_driver.h"
#include "fuzz/seeds.h"
#include "report_text.h"
#include "test_images.h"

namespace {

using namespace kestrix_fuzz;

// While alive, an invariant the drivers check turns into a test failure at the
// check instead of an abort.
class ViolationsFail {
 public:
  ViolationsFail() : previous_(violation_handler) {
    violation_handler = [](const char *what, const char *file, int line) {
      ADD_FAILURE_AT(file, line) << "invariant violated: " << what;
    };
  }
  ~ViolationsFail() { violation_handler = previous_; }

 private:
  ViolationHandler previous_;
};

// What `run` prints on standard output.
std::string capture_stdout(const std::function<void()> &run) {
  std::fflush(stdout);
  FILE *sink = std::tmpfile();
  const int saved = dup(1);
  dup2(fileno(sink), 1);
  run();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string out;
  std::rewind(sink);
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, sink)) > 0) out.append(chunk, n);
  std::fclose(sink);
  return out;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

BuiltImage build(const std::vector<uint8_t> &recipe) {
  Input in(recipe.data(), recipe.size());
  return build_image(in, "regression.img");
}

// The listing's shape, whatever the image: either the one line saying the
// directory could not be opened, or a header line, entry and "DIR:" lines, and
// the free-block line last.
void expect_listing_shape(const std::string &listing) {
  const std::vector<std::string> lines = lines_of(listing);
  ASSERT_FALSE(lines.empty());
  if (lines.back().rfind("    Couldn't open directory", 0) == 0) return;
  const std::string &last = lines.back();
  const size_t digits = last.find_first_not_of("0123456789", last[0] == '-' ? 1 : 0);
  EXPECT_TRUE(digits > (last[0] == '-' ? 1u : 0u) && digits != std::string::npos &&
              last.substr(digits) == " blocks free")
      << last;
  size_t first = lines[0].rfind("DIR: BAM to DIR link is broken", 0) == 0 ? 1 : 0;
  ASSERT_LT(first, lines.size());
  EXPECT_EQ(lines[first].rfind("0 \"", 0), 0u) << lines[first];
}

TEST(ScannerRegression, SeedImagesListTheSameTwiceAndKeepEveryInvariant) {
  ViolationsFail fail;
  for (const Seed &seed : scanner_seeds()) {
    SCOPED_TRACE(seed.name);
    BuiltImage built = build(seed.bytes);
    ASSERT_NE(built.image, nullptr);
    DiImage *image = built.image.get();
    const std::string first = testing_reports::report_text(image, print_dir);
    const std::string second = testing_reports::report_text(image, print_dir);
    EXPECT_EQ(first, second) << "a listing must not depend on what an earlier one left";
    expect_listing_shape(first);
    const std::string map = testing_reports::report_text(image, print_map);
    EXPECT_EQ(lines_of(map).size(), static_cast<size_t>(di_tracks(image->type) + 2));
    capture_stdout([&] { run_reports(image); });
  }
}

TEST(LibraryRegression, SeedSessionsKeepEveryInvariant) {
  ViolationsFail fail;
  testing_images::TempDir dir;
  for (const Seed &seed : library_seeds()) {
    SCOPED_TRACE(seed.name);
    const SessionStats stats =
        run_library_input(seed.bytes.data(), seed.bytes.size(), dir.file("session.img"));
    EXPECT_GT(stats.ops, 0);
    // The sessions that write on a freshly formatted image read every
    // non-empty file back: the check must not be skipped by accident.
    if (seed.name.rfind("write-read-", 0) == 0) {
      EXPECT_EQ(stats.files_verified, 6);
      EXPECT_EQ(stats.bytes_verified, 1 + 253 + 254 + 255 + 508 + 5000);
      EXPECT_EQ(stats.syncs_verified, 1);
    }
    if (seed.name == "directory-full-d64") {
      EXPECT_EQ(stats.files_verified, 1);
    }
    if (seed.name == "dir-track-full-d81") {
      EXPECT_EQ(stats.files_verified, 8);
    }
  }
}

// A file created with type byte 0 leaves its slot looking free, so the next
// file created while it is open gets the same slot, and what either writes
// lands in both. Found by the library fuzzer, as a false alarm of the read-back
// check, which had only distrusted the older of the two writers.
TEST(LibraryRegression, WriterOfTypeByteZeroSharesItsSlotWithTheNextFile) {
  ViolationsFail fail;
  const std::vector<uint8_t> input = library_input(RecipeWriter(kFormat | kErrorInfo).bytes(),
                                                   OpsWriter()
                                                       .open_write(3, Name::table(0), 0)
                                                       .open_write(2, Name::table(13), 2)
                                                       .write(3, 2817, 0)
                                                       .bytes());
  run_library_input(input.data(), input.size(), "");

  testing_images::ImagePtr image = testing_images::formatted_image(testing_images::kD64Size);
  DiFile *first = di_open(image.get(), testing_images::raw("FIRST").data(), 0, "wb");
  DiFile *second = di_open(image.get(), testing_images::raw("SECOND").data(), 2, "wb");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->entry, second->entry);
  di_close(second);
  di_close(first);
}

// ---- Directories longer than any drive writes ---------------------------------

// A D64 directory chain through every block of the disk: from 18/1 on through
// all other blocks in order, eight files in each. Every file is the last
// directory block, which ends the chain with 254 data bytes.
testing_images::ImagePtr directory_everywhere() {
  using testing_images::block;
  testing_images::ImagePtr image = testing_images::blank_image(testing_images::kD64Size);
  DiImage *img = image.get();
  testing_images::put(block(img, 18, 0), {18, 1});  // the BAM links to the directory
  std::vector<TsPair> chain{diskimage::make_ts(18, 1)};
  for (int t = 1; t <= 35; ++t)
    for (int s = 0; s < di_sectors_per_track(D64, t); ++s)
      if (t != 18 || s > 1) chain.push_back(diskimage::make_ts(t, s));
  const TsPair last = chain.back();
  int number = 0;
  for (size_t i = 0; i < chain.size(); ++i) {
    unsigned char *dir = block(img, chain[i].track, chain[i].sector);
    const bool end = i + 1 == chain.size();
    dir[0] = end ? 0 : chain[i + 1].track;
    dir[1] = end ? 255 : chain[i + 1].sector;
    for (int k = 0; k < 8; ++k) {
      unsigned char *slot = dir + 32 * k;
      slot[2] = 0x82;
      slot[3] = last.track;
      slot[4] = last.sector;
      char name[17];
      std::snprintf(name, sizeof name, "E%05d", number++);
      di_rawname_from_name(slot + 5, name);
      slot[30] = 1;
    }
  }
  img->free_blocks = diskimage::blocks_free(img);
  return image;
}

constexpr int kEverywhereEntries = 8 * 682;

TEST(ScannerRegression, DirectoryThroughEveryBlockListsEachEntryOnce) {
  testing_images::ImagePtr image = directory_everywhere();
  const std::vector<std::string> lines =
      lines_of(testing_reports::report_text(image.get(), print_dir));
  ASSERT_EQ(lines.size(), static_cast<size_t>(2 + kEverywhereEntries));
  EXPECT_EQ(lines.front(), "0 \"                \" ");
  EXPECT_EQ(lines[1], "1      \"e00000\"            prg ");
  EXPECT_EQ(lines[kEverywhereEntries], "1      \"e05455\"            prg ");
  EXPECT_EQ(lines.back(), "0 blocks free");
  EXPECT_EQ(image->open_files, 0);
}

TEST(LibraryRegression, DirectoryThroughEveryBlockIsFullThenScratchedWhole) {
  testing_images::ImagePtr image = directory_everywhere();
  DiImage *img = image.get();
  // No free slot, and the directory track has no block to give.
  EXPECT_EQ(di_open(img, testing_images::raw("NEW").data(), 2, "wb"), nullptr);
  EXPECT_EQ(img->status, 72);

  EXPECT_EQ(di_delete(img, testing_images::raw("E*").data(), 2), 1);
  EXPECT_EQ(img->status_ts.track, kEverywhereEntries & 0xFF);
  EXPECT_EQ(diskimage::find_file_entry(img, testing_images::raw("*").data(), 2), nullptr);
  // Every slot is free again; the first one is taken first.
  DiFile *file = di_open(img, testing_images::raw("NEW").data(), 2, "wb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(reinterpret_cast<unsigned char *>(file->entry), testing_images::block(img, 18, 1));
  di_close(file);
  EXPECT_EQ(img->open_files, 0);
}

}  // namespace
