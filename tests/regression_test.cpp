// Hostile images and operation sequences, replayed through the fuzzing
// library the fuzz targets run: the seeds of every target, every input a
// fuzzer has found a fault with, and damage too large for a fuzzer to build
// within its input limit. Also the two encodings the seeds are written in.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/invariants.h"
#include "fuzz/raw.h"
#include "fuzz/recipe.h"
#include "fuzz/seeds.h"
#include "fuzz/session.h"
#include "fuzz/targets.h"
#include "fuzz/wellformed.h"
#include "report_text.h"
#include "test_images.h"

namespace {

using namespace kestrix_fuzz;
using testing_images::lines_of;

// A broken invariant fails the test at the check, and the run goes on.
const Invariants &failing() {
  static const Invariants invariants([](const Violation &v) {
    ADD_FAILURE_AT(v.file, v.line) << "invariant violated: " << v.what;
  });
  return invariants;
}

BuiltImage build(const std::vector<uint8_t> &recipe) {
  Input in(recipe.data(), recipe.size());
  return build_image(in, "regression.img");
}

// The sample images, described as make_corpus describes them.
std::vector<Seed> sample_recipes() {
  std::vector<std::filesystem::path> paths;
  for (const auto &entry : std::filesystem::directory_iterator(KESTRIX_SAMPLES_DIR))
    paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  std::vector<Seed> seeds;
  for (const std::filesystem::path &path : paths) {
    ImagePtr image(di_load_image(path.c_str()));
    if (image) seeds.push_back({"image-" + path.filename().string(), describe_image(image.get())});
  }
  return seeds;
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

TEST(ImageTargetRegression, EverySeedOfEveryTargetKeepsEveryInvariant) {
  std::vector<Seed> seeds = image_seeds();
  const std::vector<Seed> samples = sample_recipes();
  ASSERT_FALSE(samples.empty()) << "no sample images in " KESTRIX_SAMPLES_DIR;
  seeds.insert(seeds.end(), samples.begin(), samples.end());
  for (const Seed &seed : seeds) {
    SCOPED_TRACE(seed.name);
    BuiltImage built = build(seed.bytes);
    ASSERT_NE(built.image, nullptr);
    expect_listing_shape(testing_reports::report_text(built.image.get(), print_dir));
    for (const ImageTarget &target : kImageTargets) {
      SCOPED_TRACE(target.name);
      target.run(failing(), built.image.get());
    }
  }
}

TEST(RawDumpRegression, EverySeedKeepsEveryInvariant) {
  const std::vector<Seed> seeds = raw_seeds();
  ASSERT_GE(seeds.size(), 5u);
  for (const Seed &seed : seeds) {
    SCOPED_TRACE(seed.name);
    run_raw_input(failing(), seed.bytes.data(), seed.bytes.size());
  }
  // An image written as a drive lays it down decodes to itself.
  ImagePtr image(di_load_image(KESTRIX_SAMPLES_DIR "/clean.d64"));
  ASSERT_NE(image, nullptr);
  const std::vector<uint8_t> input = raw_input_of(image.get());
  const std::vector<uint8_t> dump = raw_file(input.data(), input.size());
  ImagePtr decoded(di_load_image_from_memory("x.g64", dump.data(), static_cast<long>(dump.size())));
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(di_image_format(decoded.get()), DI_FORMAT_G64);
  EXPECT_TRUE(std::equal(image->blocks, image->blocks + DI_D64_SIZE, decoded->blocks));
}

TEST(LibraryRegression, EverySeedSessionKeepsEveryInvariant) {
  testing_images::TempDir dir;
  std::vector<Seed> seeds = library_seeds();
  for (const Seed &sample : sample_recipes())
    seeds.push_back({sample.name, session_on(sample.bytes)});
  for (const Seed &seed : seeds) {
    SCOPED_TRACE(seed.name);
    const SessionStats stats =
        run_library_input(failing(), seed.bytes.data(), seed.bytes.size(), dir.file("session.img"));
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

// A broken invariant reaches the handler: without that every replay above
// would pass whatever the library did.
TEST(InvariantsRegression, ViolationsReachTheHandler) {
  int violations = 0;
  const Invariants counting([&violations](const Violation &) { ++violations; });
  BuiltImage built = build(RecipeWriter(kFormat).bytes());
  ASSERT_NE(built.image, nullptr);
  counting.status(built.image.get());
  EXPECT_EQ(violations, 0);
  built.image->status = 99;  // a code the library never sets
  counting.status(built.image.get());
  EXPECT_EQ(violations, 1);
}

// ---- The encodings --------------------------------------------------------------

// Every operation's arguments, at the edges of their encodings, read back as
// written and to the last byte.
TEST(SessionEncoding, EveryOperationReadsBackAsWritten) {
  std::vector<uint8_t> full_name(16, 'N');
  const std::vector<std::pair<Op, OpArgs>> cases = {
      {kOpenDir, {.slot = 3, .type = 0xF8}},
      {kOpenRead, {.slot = 1, .name = Name::table(4), .type = 2}},
      {kOpenRead, {.slot = 2, .name = Name::raw({}), .type = 0x81}},
      {kRead, {.slot = 0, .length = 0}},
      {kRead, {.slot = 0, .length = 0x7FFF}},
      {kRead, {.slot = 1, .length = DI_SCAN_SIZE}},
      {kOpenWrite, {.slot = 2, .name = Name::raw(full_name), .type = 0xFF}},
      {kWrite, {.slot = 3, .length = 0x7FFF, .seed = 9}},
      {kWrite, {.slot = 3, .length = 0x7FFF * 8, .seed = 200}},
      {kClose, {.slot = 255}},
      {kFormatImage, {.name = Name::text("DISK"), .full = true, .id = {'A', 'B'}}},
      {kDelete, {.name = Name::text("W*"), .type = 0xFB}},
      {kRename, {.name = Name::table(13), .new_name = Name::text("NEW"), .type = 1}},
      {kAllocBlock, {.track = 79, .sector = 39}},
      {kFreeBlock, {.track = 255, .sector = 255}},
      {kSync, {}},
      {kPoke, {.track = 17, .sector = 1, .offset = 255, .value = 0xA0}},
      {kResetStatus, {}},
  };
  for (const auto &[op, args] : cases) {
    SCOPED_TRACE(static_cast<int>(op));
    std::vector<uint8_t> bytes;
    write_op(op, args, bytes);
    bytes.push_back(0xEE);  // whatever follows must be left for the next operation
    Input in(bytes.data(), bytes.size());
    OpArgs back;
    EXPECT_EQ(read_op(in, back), op);
    EXPECT_TRUE(back == args);
    EXPECT_EQ(in.remaining(), 1u);
  }
}

TEST(RecipeEncoding, EveryRecordReadsBackAsWritten) {
  const std::vector<uint8_t> run(255, 0x5A);
  auto record = [](RecordKind kind) {
    Record r;
    r.kind = kind;
    return r;
  };
  std::vector<Record> cases(5);
  cases[0] = record(kBlockBytes);
  cases[0].track = 34;
  cases[0].sector = 20;
  cases[0].offset = 1;
  cases[0].run = run;
  cases[1] = record(kBlockBytes);
  cases[1].offset = 255;
  cases[1].run = std::span(run).first(1);
  cases[2] = record(kSystemBytes);
  cases[2].system = kHeaderTrack | 5;
  cases[2].offset = 144;
  cases[2].run = std::span(run).first(16);
  cases[3] = record(kLink);
  cases[3].track = 17;
  cases[3].link[0] = 0;
  cases[3].link[1] = 255;
  cases[4] = record(kErrorByte);
  cases[4].block_number = 3199;
  cases[4].value = 0x20;
  for (const Record &r : cases) {
    SCOPED_TRACE(static_cast<int>(r.kind));
    std::vector<uint8_t> bytes;
    write_record(r, bytes);
    bytes.push_back(0xEE);
    Input in(bytes.data(), bytes.size());
    const Record back = read_record(in);
    EXPECT_EQ(back.kind, r.kind);
    EXPECT_EQ(back.track, r.track);
    EXPECT_EQ(back.sector, r.sector);
    EXPECT_EQ(back.system, r.system);
    EXPECT_EQ(back.offset, r.offset);
    EXPECT_TRUE(std::ranges::equal(back.run, r.run));
    EXPECT_EQ(back.link[0], r.link[0]);
    EXPECT_EQ(back.link[1], r.link[1]);
    EXPECT_EQ(back.block_number, r.block_number);
    EXPECT_EQ(back.value, r.value);
    EXPECT_EQ(in.remaining(), 1u);
  }
}

// ---- The report readers -----------------------------------------------------------

TEST(WellFormed, JsonTakesOneValueInUtf8AndNothingElse) {
  const std::vector<std::pair<std::string_view, bool>> cases = {
      {R"({"a":[1,-0.5,2e+3,true,false,null],"b":{}})"
       "\n",
       true},
      {"\"caf\xC3\xA9 \\u00e9 \\\" \\n\"", true},
      {"[]", true},
      {"", false},
      {"{\"a\":1,}", false},
      {"[1 2]", false},
      {"01", false},
      {"1.", false},
      {"\"tab\there\"", false},     // control characters must be escaped
      {"\"\\x41\"", false},         // no such escape
      {"\"\xC3\"", false},          // a sequence cut short
      {"\"\xC0\xAF\"", false},      // overlong
      {"\"\xED\xA0\x80\"", false},  // a surrogate
      {"{} {}", false},
  };
  for (const auto &[text, ok] : cases) EXPECT_EQ(json_well_formed(text), ok) << text;
  // Nesting deeper than any report's is refused rather than followed.
  EXPECT_FALSE(json_well_formed(std::string(100, '[') + std::string(100, ']')));
}

TEST(WellFormed, XmlTakesOneElementTreeAndNothingElse) {
  const std::vector<std::pair<std::string_view, bool>> cases = {
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg a=\"1\" b='&lt;&#65;&#x42;'>"
       "<g><path d=\"M0 0\"/><title>&quot;x&amp;y\xC3\xA9</title></g><!-- c --></svg>\n",
       true},
      {"<a/>", true},
      {"", false},
      {"<a>", false},
      {"<a></b>", false},
      {"<a><b></a></b>", false},
      {"<a/><b/>", false},
      {"text<a/>", false},
      {"<a x=\"1\" x=\"2\"/>", false},
      {"<a x=1/>", false},
      {"<a x=\"<\"/>", false},
      {"<a>&nbsp;</a>", false},
      {"<a>&#0;</a>", false},
      {"<a>& </a>", false},
      {"<a>\x01</a>", false},
      {"<a>\xEF\xBF\xBE</a>", false},  // U+FFFE is no XML character
      {"<a>]]></a>", false},
      {"<a><!-- x -- y --></a>", false},
      {"<a x=\"1\"y=\"2\"/>", false},
  };
  for (const auto &[text, ok] : cases) EXPECT_EQ(xml_well_formed(text), ok) << text;
}

// ---- Cases found by fuzzing -------------------------------------------------------

// A file created with type byte 0 leaves its slot looking free, so the next
// file created while it is open gets the same slot, and what either writes
// lands in both. Found by the library fuzzer, as a false alarm of the read-back
// check, which had only distrusted the older of the two writers.
TEST(LibraryRegression, WriterOfTypeByteZeroSharesItsSlotWithTheNextFile) {
  const std::vector<uint8_t> input = library_input(RecipeWriter(kFormat | kErrorInfo).bytes(),
                                                   OpsWriter()
                                                       .open_write(3, Name::table(0), 0)
                                                       .open_write(2, Name::table(13), 2)
                                                       .write(3, 2817, 0)
                                                       .bytes());
  run_library_input(failing(), input.data(), input.size(), "");

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
ImagePtr directory_everywhere() {
  using testing_images::block;
  testing_images::ImagePtr blank = testing_images::blank_image(testing_images::kD64Size);
  DiImage *img = blank.get();
  testing_images::put(block(img, 18, 0), {18, 1});  // the BAM links to the directory
  std::vector<TsPair> chain{{18, 1}};
  for (int t = 1; t <= 35; ++t)
    for (int s = 0; s < di_sectors_per_track(D64, t); ++s)
      if (t != 18 || s > 1)
        chain.push_back({static_cast<unsigned char>(t), static_cast<unsigned char>(s)});
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
  return ImagePtr(di_load_image_from_memory("regression.img", img->blocks, img->size));
}

constexpr int kEverywhereEntries = 8 * 682;

TEST(ScannerRegression, DirectoryThroughEveryBlockListsEachEntryOnce) {
  ImagePtr image = directory_everywhere();
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
  ImagePtr image = directory_everywhere();
  DiImage *img = image.get();
  // No free slot, and the directory track has no block to give.
  EXPECT_EQ(di_open(img, testing_images::raw("NEW").data(), 2, "wb"), nullptr);
  EXPECT_EQ(img->status, 72);

  EXPECT_EQ(di_delete(img, testing_images::raw("E*").data(), 2), 1);
  EXPECT_EQ(img->status_ts.track, kEverywhereEntries & 0xFF);
  EXPECT_EQ(di_open(img, testing_images::raw("*").data(), 2, "rb"), nullptr);
  EXPECT_EQ(img->status, 62);
  // Every slot is free again; the first one is taken first.
  DiFile *file = di_open(img, testing_images::raw("NEW").data(), 2, "wb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(reinterpret_cast<unsigned char *>(file->entry), testing_images::block(img, 18, 1));
  di_close(file);
  EXPECT_EQ(img->open_files, 0);
}

}  // namespace
