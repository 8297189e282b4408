// Raw dumps through the built kestrix: the reports of a dump against those of
// the image it was made from, -save, and why a dump that does not load fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli_runner.h"
#include "tests/gcr_writer.h"
#include "tests/test_images.h"

namespace {

using namespace testing_images;
using gcr_writer::Bytes;
using testing_cli::Result;
using testing_cli::run_kestrix;

// A formatted disk with two files, the first linking to a block the disk
// lacks, so that every report has something to say.
ImagePtr disk(long long size) {
  ImagePtr image = formatted_image(size, "RAW DISK", "RD");
  write_file(image.get(), "ONE", DI_FT_PRG, std::vector<unsigned char>(3000, 0x11));
  write_file(image.get(), "TWO", DI_FT_SEQ, std::vector<unsigned char>(600, 0xEE));
  const unsigned char *first = slot_at(image.get(), 18, 1, 0) + 3;
  set_link(image.get(), first[0], first[1], 90, 0);
  return image;
}

std::string store(const TempDir &dir, const std::string &name, const Bytes &bytes) {
  save(dir.file(name), bytes.data(), bytes.size());
  return dir.file(name);
}

// The listing, map and check of a dump are those of the plain image, and its
// JSON that of the image with an error table of ones but for the file's
// format, size and digests.
TEST(RawCli, ReportsAsThePlainImage) {
  for (long long size : {kD64ErrSize, kD71ErrSize}) {
    TempDir dir;
    ImagePtr image = disk(size);
    const Bytes dump = gcr_writer::dump_of(image.get());
    const bool d64 = size == kD64ErrSize;
    const std::string raw = store(dir, d64 ? "disk.g64" : "disk.g71", dump);
    const std::string errors = store(dir, "e.img", Bytes(image->blocks, image->blocks + size));
    const std::string plain = store(dir, "p.img", Bytes(image->blocks, image->error_info));
    for (const char *command : {"-dir", "-map", "-check", "-bammsg"})
      EXPECT_EQ(run_kestrix({raw, command}).out, run_kestrix({plain, command}).out) << command;
    const std::string raw_json = run_kestrix({raw, "-json"}).out;
    const std::string json = run_kestrix({errors, "-json"}).out;
    const std::string head = std::string("{\"image\":\"") + raw + "\",\"kind\":" +
                             (d64 ? "\"d64\",\"format\":\"g64\"" : "\"d71\",\"format\":\"g71\"") +
                             ",\"size\":" + std::to_string(dump.size()) + ",\"crc32\":";
    EXPECT_EQ(raw_json.substr(0, head.size()), head);
    const auto rest = [](const std::string &text) {
      return text.substr(text.find(",\"error_info\":"));
    };
    EXPECT_EQ(rest(raw_json), rest(json));
  }
}

TEST(RawCli, SaveWritesThePlainFormOnce) {
  TempDir dir;
  ImagePtr image = disk(kD64ErrSize);
  const std::string raw = store(dir, "disk.g64", gcr_writer::dump_of(image.get()));
  const std::string saved = dir.file("saved.d64");
  const Bytes decoded(image->blocks, image->blocks + image->size);
  const Result r = run_kestrix({raw, "--save", saved});
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(slurp(saved), decoded);
  EXPECT_EQ(run_kestrix({saved, "-dir"}).out, run_kestrix({raw, "-dir"}).out);

  // It never replaces a file; a failure ends the run after what came before.
  const struct {
    std::vector<std::string> args;
    std::string out, err;
  } failures[] = {
      {{raw, "-name", "-save", saved, "-dir"},
       "Image: " + raw + "\n",
       "kestrix: cannot save " + saved + ": File exists (-save never replaces a file)\n"},
      {{raw, "-name", "-save"},
       "Image: " + raw + "\n" + run_kestrix({}).out,
       "kestrix: missing FILE after '-save'\n"},
  };
  for (const auto &f : failures) {
    const Result failed = run_kestrix(f.args);
    EXPECT_EQ(failed.out, f.out);
    EXPECT_EQ(failed.err, f.err);
    EXPECT_EQ(failed.status, 255);
  }
  EXPECT_EQ(slurp(saved), decoded);

  // Under a file size limit the write fails, rather than the process being
  // ended by SIGXFSZ with a part of the file left behind.
  const std::string limited = dir.file("limited.d64");
  const Result cut = testing_cli::run_program("/bin/sh", {"-c", "ulimit -f 8 && exec \"$0\" \"$@\"",
                                                          KESTRIX_BINARY, raw, "-save", limited});
  EXPECT_EQ(cut.err, "kestrix: cannot save " + limited + ": File too large\n");
  EXPECT_EQ(cut.status, 255);
  for (const auto &entry : std::filesystem::directory_iterator(dir.path))
    EXPECT_EQ(entry.path().filename().string().find("limited"), std::string::npos);

  // Any other image is saved as it was loaded.
  const std::string d81 = store(dir, "disk.d81", Bytes(static_cast<size_t>(kD81ErrSize), 0x3C));
  EXPECT_EQ(run_kestrix({d81, "-save", dir.file("copy")}).status, 0);
  EXPECT_EQ(slurp(dir.file("copy")), slurp(d81));
}

TEST(RawCli, ADumpThatDoesNotLoadSaysWhy) {
  TempDir dir;
  Bytes g64 = gcr_writer::dump_of(disk(kD64ErrSize).get());
  g64[12 + 4 * 8 + 3] = 0x7F;  // track 5 far past the end
  Bytes g71 = gcr_writer::dump_of(disk(kD71ErrSize).get());
  g71.resize(DI_RAW_MAX_SIZE + 1);
  for (const auto &[path, reason] :
       {std::pair{store(dir, "bad.img", g64), "G64 image: track 5 lies past the end of the file"},
        {store(dir, "big.g71", g71),
         "G71 image: 2097153 bytes, more than the 2 MiB a raw image may have"}}) {
    const Result r = run_kestrix({path, "-dir"});
    EXPECT_EQ(r.out, "error: loading diskimage failed.\n");
    EXPECT_EQ(r.err, "kestrix: " + path + ": cannot be read as a " + reason + "\n");
    EXPECT_EQ(r.status, 255);
  }
}

}  // namespace
