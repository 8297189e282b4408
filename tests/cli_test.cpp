// The command driver, the -map report and the -bammsg report, run through the
// built binary and compared byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli_runner.h"
#include "tests/test_images.h"

namespace {

using namespace testing_images;
using testing_cli::Result;
using testing_cli::run_kestrix;
using testing_cli::run_program;

std::string usage(const std::string &prog) {
  return "usage: " + prog +
         " <diskimage> <command(s)>\n"
         "\n"
         "diskimage can be d64, d71, d81\n"
         "\n"
         "options:\n"
         "-dir        show directory and scan files\n"
         "-map        show BAM and Error Map\n"
         "-bammsg     show BAM message\n"
         "-sep        print a seperator line\n"
         "-cr         print an empty line\n"
         "-name       print image name\n"
         "-version    print program version and copyright\n"
         "-check      check the image's consistency and list its problems\n"
         "-json       print everything as one line of JSON\n"
         "-svg        print a picture of the disk as SVG\n"
         "-save FILE  write the image as a D64, D71 or D81 with its errors\n"
         "-extract DIR write every file into the new directory DIR, with a manifest\n";
}

const std::string kLoadError = "error: loading diskimage failed.\n";
const std::string kSeparator = std::string(70, '-') + "\n";

// Sector counts of the 1541 zones; D71 side 2 repeats them.
int d64_sectors(int t) {
  t = (t - 1) % 35 + 1;
  return t <= 17 ? 21 : t <= 24 ? 19 : t <= 30 ? 18 : 17;
}
int d81_sectors(int) {
  return 40;
}

std::string track_line(int t, int used, int n, const std::string &alloc, const std::string &errors,
                       const std::string &marks, int field = 23) {
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "%3d: %2d/%d ", t, used, n);
  const std::string fill(field - n, ' ');
  return prefix + alloc + fill + errors + fill + marks + "\n";
}

// Every track line, the `distinct` ones as given, the others free and error-free.
std::string track_lines(int tracks, int (*sectors)(int), int field,
                        const std::map<int, std::string> &distinct) {
  std::string text;
  for (int t = 1; t <= tracks; ++t) {
    const int n = sectors(t);
    const std::string dots(n, '.');
    auto it = distinct.find(t);
    text += it != distinct.end() ? it->second : track_line(t, 0, n, dots, dots, dots, field);
  }
  return text;
}

const std::string kHeader =
    "Track Used Allocation Map         Error Map              Allocated with Error\n";
const std::string kTrack18 =
    " 18:  2/19 **.................    ...................    ...................\n";

class Cli : public ::testing::Test {
 protected:
  TempDir dir;
  std::string d64;  // an empty formatted D64 without error information

  void SetUp() override { d64 = store("disk.d64", formatted_image(kD64Size).get()); }

  std::string store(const std::string &name, DiImage *image) {
    const std::string path = dir.file(name);
    save(path, image);
    return path;
  }
  // A formatted D64 with `bytes` written into the BAM block from offset 171.
  std::string d64_with_message(const std::vector<int> &bytes) {
    ImagePtr image = formatted_image(kD64Size);
    unsigned char *at = block(image.get(), 18, 0) + 171;
    for (int b : bytes) *at++ = static_cast<unsigned char>(b);
    return store("msg.d64", image.get());
  }
};

void expect_usage_error(const Result &r, const std::string &before = "") {
  EXPECT_EQ(r.out, before + usage(KESTRIX_BINARY));
  EXPECT_EQ(r.status, 255);
}

TEST_F(Cli, NoArgumentsPrintsUsageWithInvocationName) {
  const Result r = run_program(KESTRIX_BINARY, {}, "my-kestrix");
  EXPECT_EQ(r.out, usage("my-kestrix"));
  EXPECT_EQ(r.status, 255);
}

TEST_F(Cli, LoneVersionRequestPrintsThreeLines) {
  const std::regex version(
      R"(kestrix v0\.1 built on [A-Z][a-z]{2} [ 1-3]\d \d{4}\n[^\n]+\n[^\n]+\n)");
  for (const char *arg : {"-version", "--version"}) {
    const Result r = run_kestrix({arg});
    EXPECT_TRUE(std::regex_match(r.out, version)) << arg << ":\n" << r.out;
    EXPECT_EQ(r.status, 0) << arg;
  }
}

TEST_F(Cli, LoneArgumentOtherThanVersionIsUsageError) {
  for (const std::string &arg : {d64, std::string("-dir"), std::string("-map")})
    expect_usage_error(run_kestrix({arg}));
}

TEST_F(Cli, ImageThatDoesNotLoad) {
  ASSERT_FALSE(std::filesystem::exists("-version"));
  std::vector<unsigned char> bytes(kD64Size + 1, 0);
  save(dir.file("long.d64"), bytes.data(), bytes.size());
  save(dir.file("short.d64"), bytes.data(), kD64Size - 1);
  save(dir.file("empty.d64"), bytes.data(), 0);
  for (const std::string &path :
       {std::string("-version"), dir.file("missing.d64"), dir.file("long.d64"),
        dir.file("short.d64"), dir.file("empty.d64")}) {
    const Result r = run_kestrix({path, "-dir"});
    EXPECT_EQ(r.out, kLoadError) << path;
    EXPECT_EQ(r.status, 255) << path;
  }
}

// Why a run failed goes to standard error, one line; standard output stays
// as it was.
TEST_F(Cli, ReasonOnStandardError) {
  ASSERT_FALSE(std::filesystem::exists("-dir"));
  const std::string missing = dir.file("missing.d64");
  const std::string notes = dir.file("notes.txt");
  const std::string one = dir.file("one.d64");
  std::vector<unsigned char> bytes(1234, 'x');
  save(notes, bytes.data(), bytes.size());
  save(one, bytes.data(), 1);
  const std::string folder = dir.path.string();
  const std::string name = "Image: " + d64 + "\n";
  const struct {
    const char *what;
    std::vector<std::string> args;
    std::string argv0, out, err;
  } cases[] = {
      {"missing file",
       {missing, "-dir"},
       "",
       kLoadError,
       "kestrix: " + missing + ": No such file or directory\n"},
      {"directory", {folder, "-dir"}, "", kLoadError, "kestrix: " + folder + ": Is a directory\n"},
      {"wrong size",
       {notes, "-dir"},
       "",
       kLoadError,
       "kestrix: " + notes + ": 1234 bytes is not the size of a D64, D71 or D81 image\n"},
      {"one byte",
       {one, "-dir"},
       "",
       kLoadError,
       "kestrix: " + one + ": 1 byte is not the size of a D64, D71 or D81 image\n"},
      {"no regular file",
       {"/dev/null", "-dir"},
       "",
       kLoadError,
       "kestrix: /dev/null: not a regular file or block device\n"},
      {"command before the image",
       {"-dir", d64},
       "",
       kLoadError,
       "kestrix: -dir: No such file or directory (the image name comes before the commands)\n"},
      {"unknown command",
       {d64, "-name", "-list", "-dir"},
       "",
       name + usage(KESTRIX_BINARY),
       "kestrix: unknown command '-list'\n"},
      {"a run that works", {d64, "-name"}, "", name, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const Result r = run_program(KESTRIX_BINARY, c.args, c.argv0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 255);
  }
}

// Every command the usage text lists, typed where the image belongs, gets the
// hint, in both spellings.
TEST_F(Cli, EveryCommandBeforeTheImageGetsTheHint) {
  const std::string text = run_kestrix({}).out;
  std::vector<std::string> commands;
  std::istringstream lines(text.substr(text.find("options:\n") + 9));
  for (std::string line; std::getline(lines, line);)
    commands.push_back(line.substr(0, line.find(' ')));
  ASSERT_GE(commands.size(), 10u);
  for (const std::string &command : commands) {
    for (const std::string &typed : {command, "-" + command}) {
      ASSERT_FALSE(std::filesystem::exists(typed));
      const Result r = run_kestrix({typed, d64});
      EXPECT_EQ(r.err,
                "kestrix: " + typed +
                    ": No such file or directory (the image name comes before the commands)\n");
      EXPECT_EQ(r.status, 255);
    }
  }
}

// Messages carry the program's name without its directory. (Under valgrind a
// child's argv[0] is its path, so this stays apart from the test above.)
TEST_F(Cli, ReasonCarriesTheInvocationName) {
  const Result r = run_program(KESTRIX_BINARY, {d64, "-list"}, "/opt/tools/my-kestrix");
  EXPECT_EQ(r.out, usage("/opt/tools/my-kestrix"));
  EXPECT_EQ(r.err, "my-kestrix: unknown command '-list'\n");
  EXPECT_EQ(r.status, 255);
}

TEST_F(Cli, NameShowsPathAsTyped) {
  const std::string dotted = dir.path.string() + "/./sub/../disk.d64";
  std::filesystem::create_directory(dir.path / "sub");
  const std::string relative =
      std::filesystem::relative(d64, std::filesystem::current_path()).string();
  for (const std::string &path : {d64, dotted, relative}) {
    const Result r = run_kestrix({path, "-name"});
    EXPECT_EQ(r.out, "Image: " + path + "\n");
    EXPECT_EQ(r.status, 0);
  }
}

TEST_F(Cli, SeparatorAndBlankLines) {
  const std::string name = "Image: " + d64 + "\n";
  const std::string listing = run_kestrix({d64, "-dir"}).out;
  ASSERT_FALSE(listing.empty());
  const struct {
    std::vector<std::string> commands;
    std::string out;
  } cases[] = {
      {{"-sep"}, kSeparator},
      {{"-sep", "-sep"}, kSeparator + kSeparator},
      {{"-cr"}, ""},
      {{"-name", "-cr"}, name + "\n"},
      {{"-name", "-cr", "-cr"}, name + "\n"},
      {{"-name", "-sep", "-cr"}, name + kSeparator + "\n"},
      {{"-name", "-dir", "-cr"}, name + listing + "\n"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args{d64};
    args.insert(args.end(), c.commands.begin(), c.commands.end());
    const Result r = run_kestrix(args);
    EXPECT_EQ(r.out, c.out) << ::testing::PrintToString(c.commands);
    EXPECT_EQ(r.status, 0);
  }
}

TEST_F(Cli, UnknownCommandStopsAfterEarlierOutput) {
  const std::string listing = run_kestrix({d64, "-dir"}).out;
  expect_usage_error(run_kestrix({d64, "-dir", "bogus", "-map"}), listing);
  for (const char *arg : {"-DIR", "---dir", "dir", "-dirx", "-di", "-", "--", "", "-dir "})
    expect_usage_error(run_kestrix({d64, arg}));
}

TEST_F(Cli, VersionCommandEndsTheRun) {
  const std::string map = run_kestrix({d64, "-map"}).out;
  const std::string version = run_kestrix({"-version"}).out;
  const Result r = run_kestrix({d64, "-map", "-version", "-dir"});
  EXPECT_EQ(r.out, map + version);
  EXPECT_EQ(r.status, 0);
}

TEST_F(Cli, EveryCommandTakesTwoDashes) {
  for (const char *command : {"sep", "cr", "name", "dir", "map", "bammsg", "version", "svg"}) {
    const Result one = run_kestrix({d64, "-name", std::string("-") + command});
    const Result two = run_kestrix({d64, "-name", std::string("--") + command});
    EXPECT_EQ(one.status, 0) << command;
    EXPECT_EQ(two.status, 0) << command;
    EXPECT_EQ(two.out, one.out) << command;
  }
}

TEST_F(Cli, MapOfEmptyD64) {
  const Result r = run_kestrix({d64, "-map"});
  EXPECT_EQ(r.out, kHeader + track_lines(35, d64_sectors, 23, {{18, kTrack18}}) +
                       "Total:   2                                            0"
                       "                       0\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(Cli, MapOfEmptyD71CountsTrack53) {
  const std::string path = store("disk.d71", formatted_image(kD71Size).get());
  const std::string track53 =
      " 53: 19/19 *******************    ...................    ...................\n";
  const Result r = run_kestrix({path, "-map"});
  EXPECT_EQ(r.out, kHeader + track_lines(70, d64_sectors, 23, {{18, kTrack18}, {53, track53}}) +
                       "Total:  21" + std::string(41, ' ') + "   0" + std::string(20, ' ') +
                       "   0\n");
}

TEST_F(Cli, MapWithErrorInformation) {
  ImagePtr image = formatted_image(kD64ErrSize);
  for (int s : {0, 1, 2, 3, 4, 9}) di_alloc_ts(image.get(), diskimage::make_ts(1, s));
  // Track 1 is blocks 0-20: errors on used sectors 0-4 and free sectors 5-8.
  put(image->error_info, {0, 2, 11, 15, 0x10, 0x10, 0, 5, 0xFF});
  image->error_info[357] = 0x14;  // 18/0, in use
  image->error_info[682] = 3;     // 35/16, the last block, free
  const std::string path = store("errors.d64", image.get());

  const std::map<int, std::string> distinct = {
      {1, "  1:  6/21 *****....*...........  02bf101005ff............  *****................\n"},
      {18, " 18:  2/19 **.................    14..................    *..................\n"},
      {35, " 35:  0/17 .................      ................3      .................\n"},
  };
  const Result r = run_kestrix({path, "-map"});
  EXPECT_EQ(r.out, kHeader + track_lines(35, d64_sectors, 23, distinct) + "Total:   8" +
                       std::string(41, ' ') + "  11" + std::string(20, ' ') + "   6\n");
}

TEST_F(Cli, MapShowsCountsThatDisagreeWithBits) {
  ImagePtr image = formatted_image(kD64Size);
  unsigned char *bam = block(image.get(), 18, 0);
  bam[4 * 5] = 24;               // track 5: more free than it has sectors
  put(bam + 4 * 6 + 1, {0xF8});  // track 6: sectors 0-2 used, count still 21
  bam[4 * 7] = 0;                // track 7: count 0 with every bit free
  bam[4 * 20 + 3] = 0xFF;        // track 20: bits for sectors 19-23
  const std::string path = store("bam.d64", image.get());

  const std::string d21(21, '.');
  const std::map<int, std::string> distinct = {
      {5, "  5: -3/21 .....................  .....................  .....................\n"},
      {6, track_line(6, 0, 21, "***" + std::string(18, '.'), d21, d21)},
      {7, track_line(7, 21, 21, std::string(21, '*'), d21, d21)},
      {18, kTrack18},
  };
  const Result r = run_kestrix({path, "-map"});
  EXPECT_EQ(r.out, kHeader + track_lines(35, d64_sectors, 23, distinct) + "Total:  20" +
                       std::string(41, ' ') + "   0" + std::string(20, ' ') + "   0\n");
}

TEST_F(Cli, MapOfD81WidensEveryField) {
  ImagePtr image = formatted_image(kD81ErrSize);
  image->error_info[39 * 40] = 0x21;  // 40/0, in use
  image->error_info[3199] = 7;        // 80/39, the last block, free
  const std::string path = store("disk.d81", image.get());

  const std::string d40(40, '.');
  const std::map<int, std::string> distinct = {
      {40, track_line(40, 4, 40, "****" + std::string(36, '.'), "21" + std::string(39, '.'),
                      "*" + std::string(39, '.'), 42)},
      {80, track_line(80, 0, 40, d40, std::string(39, '.') + "7", d40, 42)},
  };
  const Result r = run_kestrix({path, "-map"});
  EXPECT_EQ(r.out, "Track Used Allocation Map" + std::string(28, ' ') + "Error Map" +
                       std::string(33, ' ') + "Allocated with Error\n" +
                       track_lines(80, d81_sectors, 42, distinct) + "Total:   4" +
                       std::string(79, ' ') + "   2" + std::string(39, ' ') + "   1\n");
}

// Whatever the BAM and error bytes hold, every line keeps its shape and the
// totals add up.
TEST_F(Cli, MapOfRandomBamIsWellFormed) {
  ImagePtr image = formatted_image(kD71ErrSize);
  std::mt19937 random(71);
  auto fill = [&](unsigned char *from, int count) {
    for (int i = 0; i < count; ++i) from[i] = static_cast<unsigned char>(random());
  };
  unsigned char *bam = block(image.get(), 18, 0);
  fill(bam + 4, 140);
  fill(bam + 221, 35);
  fill(block(image.get(), 53, 0), 105);
  fill(image->error_info, 1366);
  for (int i = 0; i < 1366; i += 3) image->error_info[i] = 1;  // keep some error-free
  const Result r = run_kestrix({store("random.d71", image.get()), "-map"});
  ASSERT_EQ(r.status, 0);

  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 72u);
  EXPECT_EQ(lines[0] + "\n", kHeader);
  int used_total = 0, errors = 0, marked = 0, block_num = 0;
  for (int t = 1; t <= 70; ++t) {
    const int n = d64_sectors(t);
    const int count = t <= 35 ? bam[4 * t] : bam[221 + t - 36];
    const unsigned char *error_bytes = image->error_info + block_num;
    block_num += n;
    std::string error_field;
    for (int s = 0; s < n; ++s) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%x", error_bytes[s]);
      error_field += error_bytes[s] == 1 ? "." : hex;
      errors += error_bytes[s] != 1;
    }
    // The two map fields are taken from the line; everything around them must
    // match exactly
    // (a negative Used figure widens the prefix).
    const std::string &line = lines[t];
    const size_t start = std::snprintf(nullptr, 0, "%3d: %2d/%d ", t, n - count, n);
    ASSERT_GE(line.size(), start + 2 * n) << "track " << t;
    const std::string alloc = line.substr(start, n);
    const std::string marks = line.substr(line.size() - n);
    ASSERT_EQ(line + "\n", track_line(t, n - count, n, alloc, error_field, marks));
    for (int s = 0; s < n; ++s) {
      ASSERT_TRUE(alloc[s] == '.' || alloc[s] == '*') << "track " << t;
      const bool bad = alloc[s] == '*' && error_bytes[s] != 1;
      EXPECT_EQ(marks[s], bad ? '*' : '.') << t << "/" << s;
      marked += bad;
    }
    used_total += n - count;
  }
  char totals[128];
  std::snprintf(totals, sizeof totals, "Total:%4d%41s%4d%20s%4d", used_total, "", errors, "",
                marked);
  EXPECT_EQ(lines[71], totals);
}

TEST_F(Cli, BamMessage) {
  std::vector<int> dashes(84, '-');
  dashes.push_back('Z');
  const struct {
    std::vector<int> bytes;
    std::string out;
  } cases[] = {
      {{}, ""},
      {{0x20, 0xA0, 0xA0, 0x20}, ""},
      {{'H', 'E', 'L', 'L', 'O', ' ', 'W', 'O', 'R', 'L', 'D'}, "BAM Message: hello world\n"},
      {{0xC8, 0xC5, 0xCC, 0xCC, 0xCF, 0xA0, 0xD7, 0xCF, 0xD2, 0xCC, 0xC4},
       "BAM Message: hello world\n"},
      {{0xA0, 'O', 'K', 0x20}, "BAM Message:  ok \n"},
      {{'A', 'B', 0, 'C', 'D'}, "BAM Message: ab\n"},
      {{0, 'A', 'B'}, ""},
      {{0x01, 0x80, 0x9F, 0x1F, 0x0D, 'X'}, "BAM Message: .....x\n"},
      {dashes, "BAM Message: " + std::string(84, '-') + "z\n"},
  };
  for (const auto &c : cases) {
    const std::string path = d64_with_message(c.bytes);
    const Result r = run_kestrix({path, "-bammsg"});
    EXPECT_EQ(r.out, c.out) << ::testing::PrintToString(c.bytes);
    EXPECT_EQ(r.status, 0);
    // -cr gives a blank line only after a message was printed.
    const Result cr = run_kestrix({path, "-name", "-bammsg", "-cr"});
    EXPECT_EQ(cr.out, "Image: " + path + "\n" + c.out + (c.out.empty() ? "" : "\n"));
  }
}

TEST_F(Cli, BamMessageOnD71RunsIntoTheSide2Counts) {
  ImagePtr image = formatted_image(kD71Size);
  EXPECT_EQ(run_kestrix({store("empty.d71", image.get()), "-bammsg"}).out, "");
  put(block(image.get(), 18, 0) + 171, {'D', 'I', 'S', 'K'});
  EXPECT_EQ(run_kestrix({store("short.d71", image.get()), "-bammsg"}).out, "BAM Message: disk\n");
  // 171-220 all text: the counts of tracks 36-52 (21, shown as ".") follow,
  // and the zero count of track 53 ends it.
  std::fill(block(image.get(), 18, 0) + 171, block(image.get(), 18, 0) + 221, '=');
  EXPECT_EQ(run_kestrix({store("full.d71", image.get()), "-bammsg"}).out,
            "BAM Message: " + std::string(50, '=') + std::string(17, '.') + "\n");
}

TEST_F(Cli, BamMessageOnD81PrintsNothing) {
  ImagePtr image = formatted_image(kD81Size);
  put(block(image.get(), 40, 1) + 171, {'H', 'E', 'L', 'L', 'O', 0});
  const std::string path = store("disk.d81", image.get());
  EXPECT_EQ(run_kestrix({path, "-bammsg"}).out, "");
  // The -name line is not followed by a blank line: -bammsg cleared the flag.
  EXPECT_EQ(run_kestrix({path, "-name", "-bammsg", "-cr"}).out, "Image: " + path + "\n");
}

}  // namespace
