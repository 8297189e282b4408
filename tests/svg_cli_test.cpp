// The -svg picture as the user gets it from the built kestrix: a document
// that XML and SVG tools accept, whose segments agree block for block with
// the check and with -map of the same image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli_runner.h"
#include "tests/test_images.h"

namespace {

using namespace testing_images;
using diskimage::make_ts;
using testing_cli::Result;
using testing_cli::run_kestrix;
using testing_cli::run_program;

std::vector<std::string> sample_images() {
  std::vector<std::string> paths;
  for (const auto &entry : std::filesystem::directory_iterator(KESTRIX_SAMPLES_DIR))
    paths.push_back(entry.path().string());
  std::sort(paths.begin(), paths.end());
  return paths;
}

bool have_tools() {
  return run_program("/bin/sh", {"-c", "command -v xmllint && command -v rsvg-convert"}).status ==
         0;
}
constexpr const char *kNoTools = "needs xmllint (libxml2-utils) and rsvg-convert (librsvg2-bin)";

// What the picture says about its blocks.
struct Segments {
  int total = 0;
  mutable std::map<std::string, int> state;  // missing states read as 0
  int with_error = 0;
  int in_use_with_error = 0;
  int owned_with_error = 0;
  int shared = 0;
  mutable std::map<std::string, int> marks;  // outlines drawn over the blocks, by class
};

Segments read_segments(const std::string &svg) {
  static const std::regex segment(
      R"re(<path class="[a-z0-9]+" data-track="\d+" data-sector="\d+" data-state="([a-z-]+)")re"
      R"re(( data-error="-?\d+")?( data-owners="\d+")? d=")re");
  Segments s;
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), segment);
       it != std::sregex_iterator(); ++it) {
    const std::string state = (*it)[1];
    const bool error = (*it)[2].matched;
    ++s.total;
    ++s.state[state];
    s.with_error += error;
    s.in_use_with_error += error && state != "free" && state != "used-but-free";
    s.owned_with_error += error && state != "free" && state != "unused" && state != "reserved";
    s.shared += (*it)[3].matched;
  }
  static const std::regex mark(R"re(<path class="([a-z ]+)" d=")re");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), mark); it != std::sregex_iterator();
       ++it) {
    std::istringstream classes((*it)[1]);
    for (std::string c; classes >> c;) ++s.marks[c];
  }
  return s;
}

// The figures of -map: blocks marked in use, and its totals of blocks with an
// error and of blocks in use with an error.
struct MapFigures {
  int in_use = 0;
  int free = 0;
  int errors = -1;
  int in_use_errors = -1;
};

MapFigures read_map(const std::string &map) {
  MapFigures m;
  std::istringstream lines(map);
  std::string line;
  std::getline(lines, line);  // the column heads
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string first, used, alloc;
    words >> first;
    if (first == "Total:") {
      int total = 0;
      words >> total >> m.errors >> m.in_use_errors;
      continue;
    }
    words >> used >> alloc;
    for (char c : alloc) (c == '*' ? m.in_use : m.free) += 1;
  }
  return m;
}

struct CheckFree {
  void operator()(DiCheck *check) const { di_check_free(check); }
};

int problems_of_kind(const DiCheck &check, int kind) {
  int count = 0;
  for (int i = 0; i < check.problem_count; ++i) count += check.problems[i].kind == kind;
  return count;
}

// The picture of `path` against the check and -map of the same file.
void expect_agrees_with_check_and_map(const std::string &path) {
  SCOPED_TRACE(path);
  const Result svg = run_kestrix({path, "-svg"});
  ASSERT_EQ(svg.status, 0);
  ImagePtr image(di_load_image(path.c_str()));
  ASSERT_TRUE(image);
  std::unique_ptr<DiCheck, CheckFree> check(di_check(image.get()));
  ASSERT_TRUE(check);
  const Segments s = read_segments(svg.out);
  const MapFigures map = read_map(run_kestrix({path, "-map"}).out);

  EXPECT_EQ(s.total, check->block_count);
  EXPECT_EQ(s.state["free"] + s.state["used-but-free"], map.free);
  EXPECT_EQ(s.state["file"] + s.state["directory"] + s.state["system"] + s.state["unused"] +
                s.state["reserved"],
            map.in_use);
  EXPECT_EQ(s.with_error, map.errors);
  EXPECT_EQ(s.in_use_with_error, map.in_use_errors);
  EXPECT_EQ(s.state["used-but-free"], problems_of_kind(*check, DI_PROBLEM_USED_BUT_FREE));
  EXPECT_EQ(s.state["unused"], problems_of_kind(*check, DI_PROBLEM_ALLOCATED_UNUSED));
  EXPECT_EQ(s.shared, problems_of_kind(*check, DI_PROBLEM_SHARED));
  EXPECT_EQ(s.owned_with_error, problems_of_kind(*check, DI_PROBLEM_DAMAGED));
  EXPECT_EQ(s.marks["damaged"], s.owned_with_error);
  EXPECT_EQ(s.marks["error"], s.with_error - s.owned_with_error);
  EXPECT_EQ(s.marks["shared"], s.shared);
  EXPECT_EQ(s.marks["bamfree"], s.state["used-but-free"]);
  const std::string problems = std::to_string(check->problem_count) + " problem";
  EXPECT_TRUE(check->problem_count == 0 ? svg.out.find("no problems found") != std::string::npos
                                        : svg.out.find(problems) != std::string::npos);
}

// xmllint and rsvg-convert must both take the document.
void expect_valid_and_renders(const std::string &svg, const TempDir &dir) {
  const std::string file = dir.file("picture.svg");
  save(file, reinterpret_cast<const unsigned char *>(svg.data()), svg.size());
  const Result lint = run_program("/bin/sh", {"-c", "xmllint --noout --nonet \"$0\" 2>&1", file});
  EXPECT_EQ(lint.status, 0) << lint.out;
  const Result render = run_program(
      "/bin/sh", {"-c", "rsvg-convert -o \"$0.png\" \"$0\" 2>&1 && test -s \"$0.png\"", file});
  EXPECT_EQ(render.status, 0) << render.out;
}

// A D64 made to be hard on the picture: names full of XML's special
// characters and control bytes, a chain through every block but the
// directory track that three files share, half of it free in the BAM, and
// error bytes on owned and on free blocks.
ImagePtr hostile_image() {
  ImagePtr image = formatted_image(kD64ErrSize, "<a&b\"c'd>", "<&");
  DiImage *d = image.get();
  const unsigned char names[3][16] = {
      {'<', '/', 't', 'i', 't', 'l', 'e', '>', '&', 'a', 'm', 'p', ';', '"', '\'', 0x01},
      {']', ']', '>', '<', '!', '-', '-', 0x0D, 0x0A, 0x00, 0xFF, 0x80, '&', '#', '0', ';'},
      {'<', '<', '<', '<', '<', '<', '<', '<', '&', '&', '&', '&', '"', '"', '"', '"'}};
  const TsPair firsts[3] = {make_ts(1, 0), make_ts(1, 0), make_ts(19, 0)};
  unsigned char *dir = block(d, 18, 1);
  for (int i = 0; i < 3; ++i) {
    unsigned char *slot = dir + 32 * i;
    put(slot + 2, {0x82, firsts[i].track, firsts[i].sector});
    std::memcpy(slot + 5, names[i], 16);
    put(slot + 30, {0xFF, 0x02});
  }
  TsPair last{};
  for (int t = 1; t <= 35; ++t) {
    if (t == 18) continue;
    for (int s = 0; s < di_sectors_per_track(D64, t); ++s) {
      if (last.track != 0) put(block(d, last.track, last.sector), {t, s});
      last = make_ts(t, s);
      if (t < 18) di_alloc_ts(d, last);
    }
  }
  put(block(d, last.track, last.sector), {0, 0xFF});
  put(d->error_info, {5, 1, 2, 0x10, 0});  // 1/0 to 1/4: owned
  d->error_info[357 + 7] = 9;              // 18/7: free
  d->error_info[683 - 1] = 11;             // 35/16: owned, free in the BAM
  return image;
}

TEST(SvgPicture, SamplesAgreeWithCheckAndMap) {
  const std::vector<std::string> samples = sample_images();
  ASSERT_GE(samples.size(), 4u);
  for (const std::string &path : samples) expect_agrees_with_check_and_map(path);
}

TEST(SvgPicture, SamplesAreValidRenderAndRepeat) {
  if (!have_tools()) GTEST_SKIP() << kNoTools;
  TempDir dir;
  for (const std::string &path : sample_images()) {
    SCOPED_TRACE(path);
    const Result r = run_kestrix({path, "-svg"});
    ASSERT_EQ(r.status, 0);
    expect_valid_and_renders(r.out, dir);
    EXPECT_EQ(run_kestrix({path, "-svg"}).out, r.out) << "not the same bytes twice";
    EXPECT_LT(r.out.size(), 1u << 20);
    EXPECT_EQ(r.out.find("href"), std::string::npos) << "refers to something outside";
    EXPECT_EQ(r.out.find("<script"), std::string::npos);
  }
}

// The README shows docs/damaged.svg; it must be what this kestrix makes.
TEST(SvgPicture, CommittedPictureIsCurrent) {
  const std::filesystem::path source = std::filesystem::path(KESTRIX_SAMPLES_DIR).parent_path();
  const Result r = run_program("/bin/sh", {"-c", "cd \"$0\" && \"$1\" samples/damaged.d64 -svg",
                                           source.string(), KESTRIX_BINARY});
  ASSERT_EQ(r.status, 0);
  const std::vector<unsigned char> committed = slurp((source / "docs/damaged.svg").string());
  EXPECT_EQ(std::string(committed.begin(), committed.end()), r.out)
      << "remake it: ./build/kestrix samples/damaged.d64 -svg > docs/damaged.svg";
}

TEST(SvgPicture, HostileImageStaysWellFormed) {
  TempDir dir;
  // The path is text of the picture too: XML's specials, a control byte and
  // a byte that is no UTF-8.
  const std::string path = dir.file("x<&\"'>\x01\xff.d64");
  save(path, hostile_image().get());
  expect_agrees_with_check_and_map(path);
  const Result r = run_kestrix({path, "-svg"});
  ASSERT_EQ(r.status, 0);
  const Segments s = read_segments(r.out);
  // Every block off the directory track has two owners or more; those of
  // tracks 19-35 are free in the BAM.
  EXPECT_EQ(s.shared, 664);
  EXPECT_EQ(s.state["used-but-free"], 307);
  // Names as the listing shows them (letters swap case, control bytes are
  // dots), escaped.
  EXPECT_NE(r.out.find("prg &quot;&lt;/TITLE&gt;&amp;AMP;&quot;&apos;.&quot;, also prg"),
            std::string::npos);
  EXPECT_NE(r.out.find("x&lt;&amp;&quot;&apos;&gt;??.d64"), std::string::npos);
  if (!have_tools()) GTEST_SKIP() << kNoTools;
  expect_valid_and_renders(r.out, dir);
}

TEST(SvgPicture, LeavesLastOutputAndMixesWithOtherCommands) {
  TempDir dir;
  const std::string path = dir.file("disk.d64");
  save(path, formatted_image(kD64Size).get());
  const std::string svg = run_kestrix({path, "-svg"}).out;
  const std::string listing = run_kestrix({path, "-dir"}).out;
  ASSERT_EQ(svg.rfind("<?xml", 0), 0u);
  // -name's line is still the last text line for -cr, and -dir after the
  // picture lists as it does alone.
  const Result r = run_kestrix({path, "-name", "-svg", "-cr", "-dir", "--svg"});
  EXPECT_EQ(r.out, "Image: " + path + "\n" + svg + "\n" + listing + svg);
  EXPECT_EQ(r.status, 0);
}

}  // namespace
