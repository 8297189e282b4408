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
};

const CheckCase kCheckCases[] = {
    {"a clean disk", [](DiImage *) {}, "no problems found\n"},
    {"neighbouring blocks share one line",
     [](DiImage *image) {
       for (int s = 0; s < 4; ++s) di_alloc_ts(image, diskimage::make_ts(5, s));
       di_alloc_ts(image, diskimage::make_ts(5, 9));
     },
     "blocks 5/0-3: allocated in the BAM but used by no file (4 blocks)\n"
     "block 5/9: allocated in the BAM but used by no file\n"
     "5 problems found\n"},
    {"a file named in its problems",
     [](DiImage *image) {
       unsigned char *slot = block(image, 18, 1) + 2;
       put(slot, {0x02, 17, 0});
       di_rawname_from_name(slot + 3, "OPEN\"FILE");
       put(slot + 28, {2, 0});
       put(block(image, 17, 0), {0, 5});
       di_alloc_ts(image, diskimage::make_ts(17, 0));
     },
     "\"open\"file\" prg: not closed\n"
     "\"open\"file\" prg: the directory says 2 blocks, the file has 1\n"
     "2 problems found\n"},
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
    EXPECT_EQ(r.status, std::string(c.text) == "no problems found\n" ? 0 : 1);
  }
}

TEST(ReportCli, NewCommandsMixWithTheOthers) {
  TempDir dir;
  ImagePtr image = formatted_image(kD64Size);
  di_alloc_ts(image.get(), diskimage::make_ts(5, 0));
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
  // A problem found earlier does not hide a usage error later.
  EXPECT_EQ(run_kestrix({path, "-check", "-list"}).status, 255);
  // One line of JSON, the same on every run.
  EXPECT_EQ(json.out.find('\n'), json.out.size() - 1);
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(run_kestrix({path, "-json", "-json"}).out, json.out + json.out);
}

}  // namespace
