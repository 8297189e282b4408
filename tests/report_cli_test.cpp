// -check and -json as a user runs them: their text, their exit status, and
// how they mix with the other commands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_runner.h"
#include "test_images.h"

namespace {

using namespace testing_images;
using testing_cli::Result;
using testing_cli::run_kestrix;

struct CheckCase {
  const char *what;
  void (*damage)(DiImage *);
  const char *text;
  int status;
};

// Slot i of 18/1: a closed prg file named `name` that starts at t/s and says
// it has `blocks` blocks.
void file_at(DiImage *image, int i, const char *name, int t, int s, int blocks) {
  set_slot(image, 18, 1, i, 0x82, raw(name), t, s, blocks);
}

// A one-block file at t/s, in use in the BAM.
void one_block(DiImage *image, int t, int s) {
  put(block(image, t, s), {0, 10});
  di_alloc_ts(image, diskimage::make_ts(t, s));
}

const CheckCase kCheckCases[] = {
    {"a clean disk", [](DiImage *) {}, "intact: 0 loss, 0 risk, 0 notes\n", 0},
    {"blocks loaders read are a note, one line across tracks",
     [](DiImage *image) {
       for (int s = 17; s < 21; ++s) di_alloc_ts(image, diskimage::make_ts(5, s));
       for (int s = 0; s < 3; ++s) di_alloc_ts(image, diskimage::make_ts(6, s));
       di_alloc_ts(image, diskimage::make_ts(6, 9));
     },
     "note: blocks 5/17-6/2: allocated in the BAM but used by no file (7 blocks)\n"
     "note: block 6/9: allocated in the BAM but used by no file\n"
     "intact: 0 loss, 0 risk, 8 notes\n",
     0},
    {"an unclosed file is a risk, named in its problems",
     [](DiImage *image) {
       file_at(image, 0, "OPEN\"FILE", 17, 0, 2);
       block(image, 18, 1)[2] = 0x02;
       one_block(image, 17, 0);
     },
     "risk: \"open\"file\" prg: not closed\n"
     "note: \"open\"file\" prg: the directory says 2 blocks, the file has 1\n"
     "at risk: 0 loss, 1 risk, 1 notes\n",
     1},
    {"directory art: entries at one block are aliases, not shared",
     [](DiImage *image) {
       one_block(image, 17, 0);
       for (int i = 0; i < 4; ++i) file_at(image, i, i == 0 ? "ART" : "---", 17, 0, 0);
     },
     "note: \"art\" prg: the directory says 0 blocks, the file has 1\n"
     "note: \"art\" prg: 3 other entries start at its first block 17/0 (aliases)\n"
     "intact: 0 loss, 0 risk, 2 notes\n",
     0},
    {"two names for one file",
     [](DiImage *image) {
       one_block(image, 17, 0);
       file_at(image, 0, "GAME", 17, 0, 1);
       file_at(image, 1, "GAME V2", 17, 0, 1);
     },
     "note: \"game\" prg: 1 other entry starts at its first block 17/0 (aliases)\n"
     "intact: 0 loss, 0 risk, 1 notes\n",
     0},
    {"an alias group that also shares a block with another file loses data; losses come first",
     [](DiImage *image) {
       put(block(image, 17, 0), {17, 1});
       one_block(image, 17, 1);
       di_alloc_ts(image, diskimage::make_ts(17, 0));
       file_at(image, 0, "A", 17, 0, 2);
       file_at(image, 1, "A TOO", 17, 0, 2);
       file_at(image, 2, "B", 17, 1, 1);
     },
     "loss: block 17/1: used by \"a\" prg and \"b\" prg\n"
     "note: \"a\" prg: 1 other entry starts at its first block 17/0 (aliases)\n"
     "damaged: 1 loss, 0 risk, 1 notes\n",
     1},
};

TEST(ReportCli, CheckTextAndExitStatus) {
  TempDir dir;
  for (const CheckCase &c : kCheckCases) {
    SCOPED_TRACE(c.what);
    ImagePtr image = formatted_image(kD64Size);
    c.damage(image.get());
    const std::string path = dir.file("disk.d64");
    save(path, image.get());
    const Result r = run_kestrix({path, "-check"});
    EXPECT_EQ(r.out, c.text);
    EXPECT_EQ(r.status, c.status);
  }
}

// The exit status sorts a collection: 1 when any -check of the run found the
// image other than intact, whatever came after.
TEST(ReportCli, ExitStatusSortsImages) {
  TempDir dir;
  ImagePtr image = formatted_image(kD64Size);
  const std::string intact = dir.file("intact.d64");
  save(intact, image.get());
  di_alloc_ts(image.get(), diskimage::make_ts(5, 0));  // a note only
  const std::string noted = dir.file("noted.d64");
  save(noted, image.get());
  di_free_ts(image.get(), diskimage::make_ts(18, 1));  // the directory, free in the BAM: a risk
  const std::string risky = dir.file("risky.d64");
  save(risky, image.get());
  EXPECT_EQ(run_kestrix({intact, "-check"}).status, 0);
  EXPECT_EQ(run_kestrix({noted, "-check", "-check"}).status, 0);
  EXPECT_EQ(run_kestrix({risky, "-check", "-dir"}).status, 1);
  EXPECT_EQ(run_kestrix({risky, "-check", "-list"}).status, 255);
  EXPECT_EQ(run_kestrix({risky, "-json", "-svg", "-dir"}).status, 0);
}

TEST(ReportCli, NewCommandsMixWithTheOthers) {
  TempDir dir;
  ImagePtr image = formatted_image(kD64Size);
  di_free_ts(image.get(), diskimage::make_ts(18, 1));
  const std::string path = dir.file("disk.d64");
  save(path, image.get());

  // Neither touches the blank-line flag of -name and -bammsg.
  const Result mixed = run_kestrix({path, "-name", "-check", "-json", "-cr", "-dir"});
  const Result name = run_kestrix({path, "-name"});
  const Result check = run_kestrix({path, "-check"});
  const Result json = run_kestrix({path, "--json"});
  const Result listing = run_kestrix({path, "-dir"});
  EXPECT_EQ(mixed.out, name.out + check.out + json.out + "\n" + listing.out);
  EXPECT_EQ(mixed.status, 1);
  // One line of JSON, the same on every run.
  EXPECT_EQ(json.out.find('\n'), json.out.size() - 1);
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(run_kestrix({path, "-json", "-json"}).out, json.out + json.out);
}

}  // namespace
