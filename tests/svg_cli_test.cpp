// The -svg picture as the user gets it from the built kestrix: a document
// that XML and SVG tools accept, whose segments agree block for block with
// the check and with -map of the same image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
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

// What the picture says about its blocks: each block's fill class (the group
// it is drawn in), whether its title names an error, and the marks drawn
// over it, by class.
struct Block {
  std::string fill;
  bool error = false;
  std::string marks;
};

struct Segments {
  std::map<std::string, Block> blocks;  // by id, "b<track>-<sector>"
  int count(const std::function<bool(const Block &)> &which) const {
    int n = 0;
    for (const auto &[id, b] : blocks) n += which(b);
    return n;
  }
  int marked(const std::string &mark) const {
    return count([&](const Block &b) { return b.marks.find(mark) != std::string::npos; });
  }
};

Segments read_segments(const std::string &svg) {
  static const std::regex group(R"re(^<g class="([a-z0-9]+)">$)re");
  static const std::regex block(R"re(^<path id="(b\d+-\d+)" d="[^"]+"><title>([^<]*)</title>)re");
  static const std::regex use(R"re(^<use xlink:href="#(b\d+-\d+)" class="([a-z ]+)"/>$)re");
  Segments s;
  std::istringstream lines(svg);
  std::string fill;
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, m, group)) {
      fill = m[1];
    } else if (std::regex_search(line, m, block)) {
      const std::string title = m[2];
      s.blocks[m[1]] = {fill,
                        title.find(", error ") != std::string::npos ||
                            title.find(", unknown error byte") != std::string::npos,
                        ""};
    } else if (std::regex_match(line, m, use)) {
      s.blocks[m[1]].marks = m[2];
    }
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
  // Free in the BAM: no one's, or someone's with the mark that says so.
  const auto bam_free = [](const Block &b) {
    return b.fill == "free" || b.marks.find("mb") != std::string::npos;
  };

  EXPECT_EQ(static_cast<int>(s.blocks.size()), check->block_count);
  EXPECT_EQ(s.count(bam_free), map.free);
  EXPECT_EQ(s.count([&](const Block &b) { return !bam_free(b); }), map.in_use);
  EXPECT_EQ(s.count([](const Block &b) { return b.error; }), map.errors);
  EXPECT_EQ(s.count([&](const Block &b) { return b.error && !bam_free(b); }), map.in_use_errors);
  EXPECT_EQ(s.marked("mb"), problems_of_kind(*check, DI_PROBLEM_USED_BUT_FREE));
  EXPECT_EQ(s.count([](const Block &b) { return b.fill == "unused"; }),
            problems_of_kind(*check, DI_PROBLEM_ALLOCATED_UNUSED));
  EXPECT_EQ(s.marked("ms"), problems_of_kind(*check, DI_PROBLEM_SHARED));
  EXPECT_EQ(s.marked("md"), problems_of_kind(*check, DI_PROBLEM_DAMAGED));
  EXPECT_EQ(s.marked("me"), s.count([](const Block &b) { return b.error; }) - s.marked("md"));
  const std::string verdict = std::to_string(check->loss_count) + " loss, " +
                              std::to_string(check->risk_count) + " risk, " +
                              std::to_string(check->note_count) + " notes";
  EXPECT_NE(svg.out.find(verdict), std::string::npos) << verdict;
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
    EXPECT_EQ(std::regex_search(r.out, std::regex("href=\"[^#]")), false)
        << "refers to something outside";
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
  // The first two files start at one block: aliases, one owner. The third
  // starts on track 19, so tracks 19-35, free in the BAM, have two owners.
  EXPECT_EQ(s.marked("ms"), 307);
  EXPECT_EQ(s.marked("mb"), 307);
  // Names as the listing shows them (letters swap case, control bytes are
  // dots), escaped.
  EXPECT_NE(r.out.find("prg \"&lt;/TITLE&gt;&amp;AMP;\"'.\" and 1 alias"), std::string::npos);
  EXPECT_NE(r.out.find("x&lt;&amp;\"'&gt;??.d64"), std::string::npos);
  if (!have_tools()) GTEST_SKIP() << kNoTools;
  expect_valid_and_renders(r.out, dir);
}

// The two images hardest on the picture's size: a directory through every
// block but the system blocks, each slot a file (25,576 entries on a D81);
// and one whose every data block is damaged, free in the BAM and shared by
// files whose names are made of a character XML escapes.
ImagePtr worst_image(long long size, bool directory_everywhere) {
  ImagePtr image = formatted_image(size);
  DiImage *d = image.get();
  std::vector<TsPair> blocks;
  for (int t = 1; t <= di_tracks(d->type); ++t)
    for (int s = 0; s < di_sectors_per_track(d->type, t); ++s) {
      const TsPair ts = make_ts(t, s);
      const auto is = [&](TsPair o) { return o.track == t && o.sector == s; };
      if (!is(d->bam_ts) && !is(d->bam2_ts) && !is(d->header_ts)) blocks.push_back(ts);
    }
  const TsPair dir = di_get_dir_ts(d);
  std::rotate(
      blocks.begin(),
      std::find_if(blocks.begin(), blocks.end(),
                   [&](TsPair ts) { return ts.track == dir.track && ts.sector == dir.sector; }),
      blocks.end());
  const size_t dir_blocks = directory_everywhere ? blocks.size() : blocks.size() / 8;
  const auto chain = [&](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      const TsPair next = i + 1 < to ? blocks[i + 1] : make_ts(0, 0xFF);
      set_link(d, blocks[i].track, blocks[i].sector, next.track, next.sector);
    }
  };
  chain(0, dir_blocks);
  chain(dir_blocks, blocks.size());
  for (size_t i = 0; i < dir_blocks * 8; ++i) {
    const size_t at = directory_everywhere ? i / 8 : dir_blocks + i % (blocks.size() - dir_blocks);
    const TsPair first = blocks[at];
    set_slot(d, blocks[i / 8].track, blocks[i / 8].sector, static_cast<int>(i % 8), 0x82,
             directory_everywhere ? raw(("F" + std::to_string(i)).c_str())
                                  : raw(std::string(16, '&').c_str()),
             first.track, first.sector);
  }
  for (size_t i = directory_everywhere ? blocks.size() : 0; i < blocks.size(); ++i) {
    if (!di_is_ts_free(d, blocks[i])) di_free_ts(d, blocks[i]);
    if (i >= dir_blocks) set_error(d, blocks[i].track, blocks[i].sector, 5);
  }
  return image;
}

TEST(SvgPicture, StaysSmallOnTheWorstImages) {
  TempDir dir;
  const struct {
    long long size;
    size_t limit;
  } kinds[] = {{kD64ErrSize, 256 << 10},
               {DI_D64_42_ERR_SIZE, 256 << 10},
               {kD71ErrSize, 512 << 10},
               {kD81ErrSize, 1 << 20}};
  for (const auto &kind : kinds) {
    for (bool everywhere : {true, false}) {
      SCOPED_TRACE(testing::Message() << kind.size << (everywhere ? " directory" : " damaged"));
      const std::string path = dir.file("worst.img");
      save(path, worst_image(kind.size, everywhere).get());
      const Result r = run_kestrix({path, "-svg"});
      EXPECT_EQ(r.status, 0);
      EXPECT_LE(r.out.size(), kind.limit);
      const Segments s = read_segments(r.out);
      // One byte of error information a block, after its 256.
      EXPECT_EQ(static_cast<long long>(s.blocks.size()), kind.size / 257);
      if (!everywhere) {
        EXPECT_GT(s.marked("md"), static_cast<int>(s.blocks.size()) * 3 / 4);
      }
      EXPECT_NE(r.out.find(" more files, "), std::string::npos);
    }
  }
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
