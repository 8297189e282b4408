// The listing's scan as it is worked out, against the scan it replaces: every
// file opened by name, which walks the directory from its start, and read in
// one call into a buffer of 169984 bytes. And the check's owners against
// walking every file's chains block by block.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "scanner/facts.h"
#include "test_images.h"

namespace {

using namespace testing_images;
using diskimage::make_ts;

constexpr int kScanSize = DI_SCAN_SIZE;

// Each entry's scan: its name, whether it opened and the full status string,
// as di_listing() works them out.
std::vector<std::string> scans(DiImage *image) {
  facts::ImageFacts image_facts(image, "test.img");
  const DiListing &listing = image_facts.listing();
  std::vector<std::string> out;
  for (int i = 0; i < listing.file_count; ++i) {
    const DiListedFile &e = listing.files[i];
    char text[DI_STATUS_SIZE];
    di_status_text(image->type, e.scan.code, e.scan.ts, text);
    out.push_back(image_facts.file_name(i) + (e.opened ? " " : " [could not open] ") + text);
  }
  return out;
}

// The same by opening every listed file by name and reading it in one call.
std::vector<std::string> reference_scans(DiImage *image) {
  facts::ImageFacts image_facts(image, "test.img");
  const DiListing &listing = image_facts.listing();
  std::vector<unsigned char> scratch(kScanSize);
  std::vector<std::string> out;
  for (int i = 0; i < listing.file_count; ++i) {
    const FileEntry &slot = listing.files[i].dir.slot;
    DiFile *file = di_open(image, slot.rawname, slot.type & DI_TYPE_MASK, "rb");
    char text[DI_STATUS_SIZE];
    if (file && di_status(image, text) == 0) di_read(file, scratch.data(), kScanSize);
    di_status(image, text);
    if (file) di_close(file);
    image->status = 0;
    out.push_back(image_facts.file_name(i) + (file ? " " : " [could not open] ") + text);
  }
  return out;
}

std::vector<TsPair> all_blocks(DiImage *image) {
  std::vector<TsPair> blocks;
  for (int t = 1; t <= di_tracks(image->type); ++t)
    for (int s = 0; s < di_sectors_per_track(image->type, t); ++s) blocks.push_back(make_ts(t, s));
  return blocks;
}

void set_slot(unsigned char *slot, int type, TsPair first, const std::vector<unsigned char> &name) {
  put(slot + 2, {type, first.track, first.sector});
  std::copy(name.begin(), name.end(), slot + 5);
}

// A directory through `count` blocks from its first on, in track and sector
// order without the BAM and header blocks; every `every`-th block holds eight
// files that start at that block, so reading one runs along the rest of the
// directory. The last block ends it, or links back to the `loop_to`-th.
ImagePtr directory_run(long long size, int count, int every, int loop_to) {
  ImagePtr image = formatted_image(size);
  const diskimage::KindInfo &kind = *diskimage::kind_info(image->type);
  std::vector<TsPair> blocks = all_blocks(image.get());
  const TsPair first = di_get_dir_ts(image.get());
  std::rotate(
      blocks.begin(),
      std::find_if(blocks.begin(), blocks.end(),
                   [&](TsPair ts) { return ts.track == first.track && ts.sector == first.sector; }),
      blocks.end());
  std::erase_if(blocks, [&](TsPair ts) {
    for (int i = 0; i < kind.system_block_count; ++i)
      if (ts.track == kind.system_blocks[i].track && ts.sector == kind.system_blocks[i].sector)
        return true;
    return false;
  });
  for (int i = 0; i < count; ++i) {
    unsigned char *at = di_get_ts_addr(image.get(), blocks[i]);
    std::fill(at, at + 256, 0);
    for (int s = 0; s < 8 && i % every == 0; ++s)
      set_slot(at + 32 * s, 0x82, blocks[i], raw(("F" + std::to_string(i * 8 + s)).c_str()));
    const TsPair next = i + 1 < count  ? blocks[i + 1]
                        : loop_to >= 0 ? blocks[loop_to]
                                       : make_ts(0, 255);
    put(at, {next.track, next.sector});
  }
  return image;
}

TEST(ListingScan, DirectoriesThroughTheDiskScanAsBefore) {
  const struct {
    long long size;
    int count, every, loop_to;
  } rows[] = {
      {kD64Size, 682, 1, -1},   // the whole disk: 5456 entries, scans across the budget
      {kD64Size, 682, 4, 0},    // the same round a loop longer than the budget
      {kD64Size, 300, 8, 100},  // a loop of 200 after 100: 52, ending all round it
      {kD71Size, 1364, 8, -1}, {kD81Size, 3197, 16, -1},
      {kD81Size, 3197, 16, 0}, {kD81Size, 700, 2, 350},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << row.size << " " << row.count << " " << row.loop_to);
    ImagePtr image = directory_run(row.size, row.count, row.every, row.loop_to);
    const std::vector<std::string> fast = scans(image.get());
    EXPECT_EQ(fast.size(), static_cast<size_t>((row.count + row.every - 1) / row.every * 8));
    EXPECT_EQ(fast, reference_scans(image.get()));
  }
}

// One file whose chain runs through the first blocks of a D81 with error
// information, block i at track i / 40 + 1, sector i % 40.
TEST(ListingScan, ChainsEndEachWay) {
  const TsPair kEnd = make_ts(0, 255), kZero = make_ts(0, 0), kNowhere = make_ts(99, 0);
  const struct {
    const char *what;
    int blocks;
    int loop_to;  // the last block links back to this one, or -1
    TsPair end;   // else its link
    int bad;      // the block whose error byte is 5 (code 23), or -1
    const char *scan;
  } rows[] = {
      {"ends", 3, -1, kEnd, -1, "f 00,ok,00,00"},
      {"only block links 0/0", 1, -1, kZero, -1, "f [could not open] -1,unknown error,01,00"},
      {"first link nowhere", 1, -1, kNowhere, -1,
       "f [could not open] 66,illegal track or sector,99,00"},
      {"0/0 at the last step", 670, -1, kZero, -1, "f -1,unknown error,17,29"},
      {"0/0 past the budget", 671, -1, kZero, -1, "f 00,ok,00,00"},
      {"link nowhere at the last step", 670, -1, kNowhere, -1,
       "f 66,illegal track or sector,99,00"},
      {"link nowhere past the budget", 671, -1, kNowhere, -1, "f 00,ok,00,00"},
      {"bad first block", 3, -1, kEnd, 0, "f 23,read error (crc error in data block),01,00"},
      {"bad block at the last step", 700, -1, kEnd, 669,
       "f 23,read error (crc error in data block),17,29"},
      {"bad block past the budget", 700, -1, kEnd, 670, "f 00,ok,00,00"},
      {"block linking to itself", 1, 0, kEnd, -1, "f 52,file too large,01,00"},
      {"loop to the first, round in budget", 668, 0, kEnd, -1, "f 52,file too large,01,01"},
      {"loop to the first, not round", 669, 0, kEnd, -1, "f 00,ok,00,00"},
      {"loop to the second, round in budget", 669, 1, kEnd, -1, "f 52,file too large,01,01"},
      {"loop to the second, not round", 670, 1, kEnd, -1, "f 00,ok,00,00"},
      {"loop of 100 after 100", 200, 100, kEnd, -1, "f 52,file too large,05,09"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    ImagePtr image = formatted_image(kD81ErrSize);
    const auto ts = [](int i) { return make_ts(i / 40 + 1, i % 40); };
    set_slot(block(image.get(), 40, 3), 0x82, ts(0), raw("F"));
    for (int i = 0; i < row.blocks; ++i) {
      const TsPair next = i + 1 < row.blocks ? ts(i + 1)
                          : row.loop_to >= 0 ? ts(row.loop_to)
                                             : row.end;
      put(di_get_ts_addr(image.get(), ts(i)), {next.track, next.sector});
    }
    if (row.bad >= 0) image->error_info[diskimage::get_block_num(D81, ts(row.bad))] = 5;
    const std::vector<std::string> fast = scans(image.get());
    EXPECT_EQ(fast, std::vector<std::string>{row.scan});
    EXPECT_EQ(fast, reference_scans(image.get()));
  }
}

// The first match in directory order wins, by type bits and as a pattern.
TEST(ListingScan, DuplicateAndWildcardNamesFindTheFirstMatch) {
  ImagePtr image = formatted_image(kD64Size);
  DiImage *img = image.get();
  put(block(img, 17, 0), {0, 0});    // opens with -1
  put(block(img, 17, 1), {0, 255});  // reads to its end
  put(block(img, 17, 2), {99, 0});   // opens with 66
  put(block(img, 17, 3), {17, 3});   // loops on itself
  put(block(img, 17, 4), {18, 0});   // on into the directory, 18/1 after 18/0
  put(block(img, 18, 0), {19, 0});
  put(block(img, 18, 1), {18, 4});
  put(block(img, 18, 4), {0, 255});
  std::vector<unsigned char> ab_tail = raw("AB");
  ab_tail[5] = 'Z';  // past the pad, so not part of the name
  const struct {
    int type;
    int first;  // sector on track 17
    std::vector<unsigned char> name;
    const char *scan;  // "" for the free slot, which is not listed
  } slots[] = {
      {0x00, 0, raw("X"), ""},
      {0x80, 1, raw("X"), "x [could not open] -1,unknown error,17,00"},
      {0x82, 1, raw("AB"), "ab 00,ok,00,00"},
      {0x82, 2, raw("AB"), "ab 00,ok,00,00"},
      {0x81, 2, raw("AB"), "ab [could not open] 66,illegal track or sector,99,00"},
      {0x82, 3, raw("A*"), "a* 00,ok,00,00"},
      {0x82, 3, raw("?B"), "?b 00,ok,00,00"},
      {0x82, 2, ab_tail, "ab 00,ok,00,00"},
      {0x82, 3, raw("C?"), "c? 52,file too large,17,03"},
      {0x82,
       1,
       {'$', 0, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0},
       "$ 00,ok,00,00"},
      {0x82, 4, raw("THROUGH HEADER"), "through header 00,ok,00,00"},
  };
  std::vector<std::string> expected;
  for (size_t i = 0; i < std::size(slots); ++i) {
    const int b = static_cast<int>(i) / 8;
    set_slot(block(img, 18, b == 0 ? 1 : 4) + 32 * (i % 8), slots[i].type,
             make_ts(17, slots[i].first), slots[i].name);
    if (*slots[i].scan) expected.push_back(slots[i].scan);
  }
  const std::vector<std::string> fast = scans(img);
  EXPECT_EQ(fast, expected);
  EXPECT_EQ(fast, reference_scans(img));
  put(block(img, 18, 0), {0, 0});  // the file now ends at 18/0
  EXPECT_EQ(scans(img).back(), "through header -1,unknown error,18,00");
}

// The check's owners, block counts and walk problems as walking every
// file's chains gives them, in the order the check reports them.
void expect_check_as_walks(DiImage *image) {
  const std::unique_ptr<DiCheck, void (*)(DiCheck *)> check(di_check(image), di_check_free);
  ASSERT_NE(check, nullptr);
  std::vector<std::vector<int>> owners(static_cast<size_t>(check->block_count));
  const auto own = [&](TsPair ts, int owner) {
    std::vector<int> &o = owners[static_cast<size_t>(diskimage::get_block_num(image->type, ts))];
    if (o.empty() || o.back() != owner) o.push_back(owner);
  };
  const diskimage::KindInfo &kind = *diskimage::kind_info(image->type);
  for (int i = 0; i < kind.system_block_count; ++i) own(kind.system_blocks[i], DI_OWNER_SYSTEM);
  DiDirReader reader;
  if (di_dir_open(image, &reader)) {
    if (di_dir_read_header(&reader))
      while (diskimage::dir_read_block(&reader)) own(reader.dir->ts, DI_OWNER_DIRECTORY);
    di_dir_close(&reader);
  }
  // file, part, problem, block, link
  using Walk = std::array<int, 7>;
  std::vector<Walk> walks;
  std::set<int> starts;  // of the files walked: an entry that starts where an earlier
                         // one does is its alias, and is not walked
  for (int f = 0; f < check->file_count; ++f) {
    const FileEntry &slot = check->files[f].slot;
    if (di_ts_is_valid(image->type, slot.first_ts) &&
        !starts.insert(diskimage::visited_index(slot.first_ts)).second)
      continue;
    const auto *bytes = reinterpret_cast<const unsigned char *>(&slot);
    const int type = slot.type & DI_TYPE_MASK;
    const bool geos = type >= 1 && type <= 3 && bytes[24] != 0;
    const bool vlir = geos && bytes[23] == 1;
    const TsPair extra = make_ts(bytes[21], bytes[22]);
    const auto walk = [&](TsPair first, bool follow, bool report, int part) {
      if (first.track == 0) return;
      if (!di_ts_is_valid(image->type, first)) {
        if (report)
          walks.push_back({f, part, DI_PROBLEM_ILLEGAL_FIRST, 0, 0, first.track, first.sector});
        return;
      }
      if (!follow) return own(first, f);
      const diskimage::ChainEnd end = diskimage::walk_chain(image, first, [&](TsPair ts, auto) {
        own(ts, f);
        return true;
      });
      if (report && end.stop == diskimage::ChainStop::kBadLink)
        walks.push_back({f, part, DI_PROBLEM_BAD_LINK, end.last.track, end.last.sector,
                         end.link.track, end.link.sector});
      if (report && end.stop == diskimage::ChainStop::kLoop)
        walks.push_back({f, part, DI_PROBLEM_LOOP, end.link.track, end.link.sector, 0, 0});
    };
    walk(slot.first_ts, !vlir, true, DI_PART_DATA);
    if (vlir && di_ts_is_valid(image->type, slot.first_ts)) {
      const unsigned char *list = di_get_ts_addr(image, slot.first_ts) + 2;
      for (int r = 0; r < 127 && (list[2 * r] != 0 || list[2 * r + 1] != 0); ++r)
        walk(make_ts(list[2 * r], list[2 * r + 1]), true, true, DI_PART_RECORD);
    }
    if (type == 4) walk(extra, true, true, DI_PART_SIDE_SECTORS);
    if (geos) walk(extra, false, true, DI_PART_INFO);
  }
  std::vector<Walk> reported;
  for (int i = 0; i < check->problem_count; ++i) {
    const DiProblem &p = check->problems[i];
    if (p.kind >= DI_PROBLEM_ILLEGAL_FIRST && p.kind <= DI_PROBLEM_LOOP)
      reported.push_back(
          {p.file, p.part, p.kind, p.block.track, p.block.sector, p.link.track, p.link.sector});
  }
  EXPECT_EQ(reported, walks);
  std::vector<int> file_blocks(static_cast<size_t>(check->file_count));
  for (int b = 0; b < check->block_count; ++b) {
    const std::vector<int> &o = owners[static_cast<size_t>(b)];
    const DiBlockState &state = check->blocks[b];
    for (int owner : o)
      if (owner >= 0) ++file_blocks[static_cast<size_t>(owner)];
    ASSERT_EQ(state.owner_count, static_cast<int>(o.size())) << "block " << b;
    EXPECT_EQ(state.owner, o.empty() ? DI_OWNER_NONE : o[0]) << "block " << b;
    EXPECT_EQ(state.second_owner, o.size() < 2 ? DI_OWNER_NONE : o[1]) << "block " << b;
  }
  EXPECT_EQ(std::vector<int>(check->file_blocks, check->file_blocks + check->file_count),
            file_blocks);
}

// A hostile image: a few dozen blocks whose links, record lists and slots
// name each other, so that chains share blocks, loop, end at error bytes and
// at links to nowhere, and names repeat and hold wildcards.
ImagePtr random_image(std::mt19937 &rng) {
  const long long sizes[] = {kD64Size, kD64ErrSize, kD71Size, kD71ErrSize, kD81Size, kD81ErrSize};
  ImagePtr image = blank_image(sizes[rng() % 6]);
  DiImage *img = image.get();
  const std::vector<TsPair> blocks = all_blocks(img);
  const auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  std::vector<TsPair> pool(2 + pick(40));
  for (TsPair &ts : pool) ts = blocks[pick(blocks.size())];
  pool[0] = img->type == D81 ? make_ts(40, 3) : make_ts(18, 1);
  pool[1] = img->header_ts;
  const auto link = [&]() -> TsPair {
    const size_t r = pick(10);
    if (r < 7) return pool[pick(pool.size())];
    if (r == 7) return make_ts(0, static_cast<int>(rng() % 3 == 0 ? 0 : rng() % 256));
    return make_ts(static_cast<int>(rng() % 100), static_cast<int>(rng() % 50));
  };
  const char *names[] = {"A", "AB", "A*", "?B", "*", "ABC", "A?C", "", "ABCDEFGHIJKLMNOP"};
  for (size_t i = 0; i < pool.size(); ++i) {
    unsigned char *at = di_get_ts_addr(img, pool[i]);
    for (int b = 2; b < 256; ++b) at[b] = static_cast<unsigned char>(rng() % 4 ? rng() : 0xA0);
    for (int r = 0; r < 8; ++r) {
      const TsPair to = link();
      put(at + 2 + 2 * r, {to.track, to.sector});
    }
    const TsPair next = link();
    put(at, {next.track, next.sector});
    for (int s = 0; s < 8 && rng() % 3 != 0; ++s) {
      const int types[] = {0, 0x80, 0x81, 0x82, 0x83, 0x84, 0x02, 0x8A};
      set_slot(at + 32 * s, types[pick(8)], link(), raw(names[pick(std::size(names))]));
      const TsPair extra = link();
      put(at + 32 * s + 21, {extra.track, extra.sector, static_cast<int>(rng() % 2),
                             static_cast<int>(rng() % 3 == 0)});
    }
  }
  if (rng() % 5 != 0) put(di_get_ts_addr(img, img->header_ts), {pool[0].track, pool[0].sector});
  if (img->error_info)
    for (int i = 0; i < 4; ++i)
      img->error_info[diskimage::get_block_num(img->type, pool[pick(pool.size())])] =
          static_cast<unsigned char>(rng() % 12);
  return image;
}

TEST(ListingScan, RandomHostileImagesScanAndCheckAsBefore) {
  std::mt19937 rng(15);
  for (int n = 0; n < 300; ++n) {
    SCOPED_TRACE(n);
    ImagePtr image = random_image(rng);
    EXPECT_EQ(scans(image.get()), reference_scans(image.get()));
    expect_check_as_walks(image.get());
  }
}

}  // namespace
