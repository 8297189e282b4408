// The integrity check: one table per problem kind on images built byte by
// byte, each row a change to a consistent image and the problems it causes;
// then hostile images.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "test_images.h"

using namespace testing_images;

namespace {

using diskimage::make_ts;
using Change = std::function<void(DiImage *)>;

std::string ts_text(TsPair ts) {
  return std::to_string(ts.track) + "/" + std::to_string(ts.sector);
}

// A problem in one line, every field that is not at its default shown, so a
// stray field shows too.
std::string describe(const DiProblem &p) {
  static const char *const kKinds[] = {
      "dir-link", "directory",      "unclosed", "illegal-first", "bad-link",
      "loop",     "count-mismatch", "shared",   "used-but-free", "allocated-unused",
      "damaged",  "bam-count",      "alias"};
  static const char *const kParts[] = {"", " data", " record", " side-sectors", " info"};
  if (p.kind < 0 || p.kind > DI_PROBLEM_ALIAS || p.part < 0 || p.part > DI_PART_INFO)
    return "bad kind or part";
  const auto num = [](int n) { return std::to_string(n); };
  const auto owner = [&](int o) {
    return o == DI_OWNER_SYSTEM ? "sys" : o == DI_OWNER_DIRECTORY ? "dir" : num(o);
  };
  std::string s = kKinds[p.kind] + (p.file >= 0 ? " f" + num(p.file) : "") + kParts[p.part];
  if (p.record >= 0) s += "#" + num(p.record);
  if (p.kind == DI_PROBLEM_BAM_COUNT) s += " t" + num(p.block.track);
  if (p.kind != DI_PROBLEM_BAM_COUNT && p.kind != DI_PROBLEM_DIRECTORY && p.block.track != 0)
    s += " @" + ts_text(p.block);
  if (p.kind == DI_PROBLEM_DIR_LINK || p.kind == DI_PROBLEM_ILLEGAL_FIRST ||
      p.kind == DI_PROBLEM_BAD_LINK || p.link.track != 0 || p.link.sector != 0)
    s += " ->" + ts_text(p.link);
  if (p.expected.track != 0) s += " want " + ts_text(p.expected);
  if (p.owner != DI_OWNER_NONE) s += " by " + owner(p.owner);
  if (p.second_owner != DI_OWNER_NONE) s += "," + owner(p.second_owner);
  if (p.owner_count != 0) s += " x" + num(p.owner_count);
  if (p.stated != 0 || p.counted != 0) s += " " + num(p.stated) + "!=" + num(p.counted);
  if (p.kind == DI_PROBLEM_DAMAGED) s += " err" + num(p.error);
  if (p.status != 0) {
    char text[DI_STATUS_SIZE];
    di_status_text(0, p.status, p.block, text);
    s += " " + std::string(text);
  }
  return s;
}

// Runs the check and makes sure it left the image exactly as it was and
// listed the slots -dir lists, in its order; lets `inspect` look at the
// result, and returns its problems with " | " between them.
std::string problems(DiImage *image, const std::function<void(const DiCheck &)> &inspect = {}) {
  const std::vector<unsigned char> bytes(image->blocks, image->blocks + image->size);
  const int dirty = image->dirty, open_files = image->open_files;
  image->status = 26;
  image->status_ts = make_ts(3, 4);
  DiCheck *check = di_check(image);
  if (!check) return "no check";
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image->blocks));
  EXPECT_EQ(image->dirty, dirty);
  EXPECT_EQ(image->open_files, open_files);
  EXPECT_EQ(image->status, 26);
  EXPECT_EQ(ts_text(image->status_ts), "3/4");
  std::string found;
  for (int i = 0; i < check->problem_count; ++i)
    found += (i ? " | " : "") + describe(check->problems[i]);
  if (inspect) inspect(*check);
  di_check_free(check);
  return found;
}

// A formatted image with one consistent file "A" in slot 0 of the first
// directory block: blocks 17/0 -> 17/1, allocated, count 2.
ImagePtr base_image(long long size) {
  ImagePtr image = formatted_image(size);
  DiImage *d = image.get();
  set_slot(d, d->type == D81 ? 40 : 18, d->type == D81 ? 3 : 1, 0, 0x82, raw("A"), 17, 0, 2);
  set_link(d, 17, 0, 17, 1), set_link(d, 17, 1, 0, 255);
  di_alloc_ts(d, make_ts(17, 0)), di_alloc_ts(d, make_ts(17, 1));
  d->dirty = 0;
  return image;
}

// Changes to the base image, for the rows; `a` writes into the slot of "A"
// on 18/1.
const auto all = [](std::vector<Change> cs) {
  return Change([=](DiImage *d) {
    for (auto &c : cs) c(d);
  });
};
const auto poke = [](int t, int s, int at, std::vector<int> v) {
  return Change([=](DiImage *d) { std::copy(v.begin(), v.end(), block(d, t, s) + at); });
};
const auto a = [](int at, std::vector<int> v) { return poke(18, 1, at, v); };
const auto link = [](int t, int s, int lt, int ls) { return poke(t, s, 0, {lt, ls}); };
const auto alloc = [](int t, int s) {
  return Change([=](DiImage *d) { di_alloc_ts(d, make_ts(t, s)); });
};
const auto release = [](int t, int s) {
  return Change([=](DiImage *d) { di_free_ts(d, make_ts(t, s)); });
};
const auto error = [](int t, int s, int b) {
  return Change([=](DiImage *d) { set_error(d, t, s, b); });
};
const auto file_b = [](int t, int s, int n) {
  return Change([=](DiImage *d) { set_slot(d, 18, 1, 1, 0x82, raw("B"), t, s, n); });
};
// "A" becomes a GEOS VLIR file whose record list, 17/0, holds these pairs.
const auto vlir = [](std::vector<int> pairs) {
  return all({a(23, {1, 1}), poke(17, 0, 2, pairs)});
};
// One more allocated block, 17/2, linking to lt/ls.
const auto block_2 = [](int lt, int ls) { return all({link(17, 2, lt, ls), alloc(17, 2)}); };

// A change to the base image and the problems it causes.
struct Row {
  const char *what;
  long long size;
  Change change;
  std::string expected;
};

void expect_rows(const std::vector<Row> &rows) {
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ImagePtr image = base_image(row.size);
    row.change(image.get());
    EXPECT_EQ(problems(image.get()), row.expected);
  }
}

// What follows when the directory stops before "A" is listed.
const std::string kUnlisted =
    " | allocated-unused @17/0 | allocated-unused @17/1 | allocated-unused @18/1";

TEST(Check, CleanImagesWithFilesHaveNoProblems) {
  for (long long size : {kD64Size, kD71ErrSize, kD81Size}) {
    ImagePtr image = formatted_image(size);
    DiImage *d = image.get();
    for (int i = 0; i < 10; ++i)  // two directory blocks
      write_file(d, ("F" + std::to_string(i)).c_str(), 1 + i % 3,
                 std::vector<unsigned char>(1 + 3000 * i, 7));
    const auto owners = [&](const DiCheck &check) {
      ASSERT_EQ(check.file_count, 10);
      const auto owner = [&](TsPair ts) {
        return check.blocks[diskimage::get_block_num(d->type, ts)].owner;
      };
      EXPECT_EQ(owner(d->header_ts), DI_OWNER_SYSTEM);
      EXPECT_EQ(owner(di_get_dir_ts(d)), DI_OWNER_DIRECTORY);
      EXPECT_EQ(owner(check.files[9].slot.first_ts), 9);
      EXPECT_EQ(check.file_blocks[9], 107);
    };
    EXPECT_EQ(problems(d, owners), "") << size;
  }
}

TEST(Check, DirectoryLinkAndStops) {
  expect_rows({
      {"BAM links elsewhere", kD64ErrSize, link(18, 0, 18, 4), "dir-link ->18/4 want 18/1"},
      {"D71 link 0/0", kD71Size, link(18, 0, 0, 0), "dir-link ->0/0 want 18/1"},
      {"D81 has no such link", kD81Size, link(40, 1, 0, 0), ""},
      {"cycle", kD64ErrSize, all({link(18, 1, 18, 4), link(18, 4, 18, 1), alloc(18, 4)}),
       "directory 52,file too large,18,01"},
      {"error byte", kD64ErrSize,
       all({link(18, 1, 18, 4), link(18, 4, 0, 255), alloc(18, 4), error(18, 4, 4)}),
       "directory 22,read error (data block not found),18,04 | allocated-unused @18/4"},
      {"illegal link", kD64ErrSize, link(18, 1, 18, 19),
       "directory 66,illegal track or sector,18,19" + kUnlisted},
      {"link 0/0", kD64ErrSize, link(18, 1, 0, 0), "directory -1,unknown error,18,01" + kUnlisted},
      {"header error", kD64ErrSize, error(18, 0, 2),
       "directory 20,read error (block header not found),18,00 | allocated-unused @17/0 | "
       "allocated-unused @17/1 | damaged @18/0 by sys err2 | allocated-unused @18/1"},
      {"cannot open", kD81Size, link(40, 0, 0, 0),
       "directory 66,illegal track or sector,00,00 | allocated-unused @17/0 | allocated-unused "
       "@17/1 | allocated-unused @40/3"},
  });
}

TEST(Check, WalksOfEachPart) {
  expect_rows({
      {"unclosed", kD64Size, a(2, {0x02}), "unclosed f0"},
      {"data illegal first", kD64Size, a(3, {36, 0}),
       "illegal-first f0 data ->36/0 | count-mismatch f0 2!=0 | allocated-unused @17/0 | "
       "allocated-unused @17/1"},
      {"data bad link", kD64Size, link(17, 1, 17, 21), "bad-link f0 data @17/1 ->17/21"},
      {"data loop", kD64Size, link(17, 1, 17, 0), "loop f0 data @17/0"},
      {"records", kD64Size,
       all({vlir({17, 1, 0, 255, 36, 0, 17, 2, 0, 0, 36, 1}), block_2(17, 2), a(30, {3})}),
       "illegal-first f0 record#2 ->36/0 | loop f0 record#3 @17/2"},
      {"record bad link", kD64Size, all({vlir({17, 1, 0, 0}), link(17, 1, 99, 1)}),
       "bad-link f0 record#0 @17/1 ->99/1"},
      {"list link not followed", kD64Size, vlir({0, 0}),
       "count-mismatch f0 2!=1 | allocated-unused @17/1"},
      {"side sectors loop", kD64Size,
       all({a(2, {0x84}), a(21, {17, 2}), a(30, {3}), block_2(17, 2)}),
       "loop f0 side-sectors @17/2"},
      {"side sectors bad link", kD64Size,
       all({a(2, {0x84}), a(21, {17, 2}), a(30, {3}), block_2(18, 19)}),
       "bad-link f0 side-sectors @17/2 ->18/19"},
      {"walk order", kD64Size, all({a(2, {0x04}), a(21, {36, 1}), link(17, 1, 17, 21)}),
       "unclosed f0 | bad-link f0 data @17/1 ->17/21 | illegal-first f0 side-sectors ->36/1"},
      {"info link not followed", kD64Size,
       all({a(2, {0x81}), a(21, {17, 2, 0, 1}), a(30, {3}), block_2(99, 99)}), ""},
      {"info illegal", kD64Size, a(21, {36, 0, 0, 1}), "illegal-first f0 info ->36/0"},
      {"DEL is no GEOS file", kD64Size, all({a(2, {0x80}), a(21, {36, 0, 1, 1})}), ""},
      {"records before info", kD64Size, all({vlir({36, 2, 0, 0}), a(21, {36, 0})}),
       "illegal-first f0 record#0 ->36/2 | illegal-first f0 info ->36/0 | count-mismatch f0 2!=1 | "
       "allocated-unused @17/1"},
  });
}

TEST(Check, CountsAndSharedBlocks) {
  expect_rows({
      {"count differs", kD64Size, a(30, {5, 0}), "count-mismatch f0 5!=2"},
      {"high byte", kD64Size, a(30, {2, 1}), "count-mismatch f0 258!=2"},
      {"two files", kD64Size, file_b(17, 1, 1), "shared f0 @17/1 by 0,1 x2"},
      {"owners in order", kD64Size, all({file_b(18, 0, 2), link(17, 1, 18, 1)}),
       "count-mismatch f0 2!=3 | shared f1 @18/0 by sys,1 x2 | shared f0 @18/1 by dir,0 x3"},
      {"record list shared", kD64Size,
       all({file_b(17, 0, 2), vlir({17, 1, 36, 0, 0, 0}), a(32 + 23, {1, 1})}),
       "illegal-first f0 record#1 ->36/0 | alias f0 @17/0 x2"},
      {"a block counts once per file", kD64Size, all({vlir({17, 1, 17, 1, 0, 0}), a(21, {17, 0})}),
       ""},
  });
}

TEST(Check, BamAgainstOwnersAndErrors) {
  expect_rows({
      {"file block free", kD64Size, release(17, 1), "used-but-free f0 @17/1 by 0"},
      {"system block free", kD71Size, release(53, 0), "used-but-free @53/0 by sys"},
      {"directory block free", kD64Size, release(18, 1), "used-but-free @18/1 by dir"},
      {"unowned in use", kD64Size, alloc(17, 5), "allocated-unused @17/5"},
      {"D71 track 53 is reserved", kD71Size, alloc(52, 3), "allocated-unused @52/3"},
      {"on a D71 only", kD81Size, alloc(53, 5), "allocated-unused @53/5"},
      {"owned block damaged", kD64ErrSize, error(17, 1, 5), "damaged f0 @17/1 by 0 err5"},
      {"byte 0 is no 1", kD64ErrSize, error(17, 0, 0), "damaged f0 @17/0 by 0 err0"},
      {"unowned damage", kD64ErrSize, error(17, 5, 5), ""},
      {"system block damaged", kD81ErrSize, error(40, 2, 9), "damaged @40/2 by sys err9"},
      {"one block, three problems", kD64ErrSize,
       all({file_b(17, 1, 1), release(17, 1), error(17, 1, 5)}),
       "shared f0 @17/1 by 0,1 x2 | used-but-free f0 @17/1 by 0 | damaged f0 @17/1 by 0 err5"},
  });
}

TEST(Check, BamCountsRawBits) {
  std::string zero_count;  // a D64 count of 0 makes the track full
  for (int s = 0; s < 21; ++s) zero_count += "allocated-unused @5/" + std::to_string(s) + " | ";
  zero_count += "bam-count t5 0!=21";
  expect_rows({
      {"count raised", kD64Size, poke(18, 0, 4 + 4 * 4, {20}), "bam-count t5 20!=21"},
      {"bit cleared", kD64Size, poke(18, 0, 4 + 4 * 16 + 1, {0xDC}),
       "allocated-unused @17/5 | bam-count t17 19!=18"},
      {"D64 zero count", kD64Size, poke(18, 0, 4 + 4 * 4, {0}), zero_count},
      {"bits past the last sector", kD64Size, poke(18, 0, 4 + 4 * 17 + 3, {0xFF}), ""},
      {"D71 second side", kD71Size, poke(18, 0, 221 + 4, {0}), "bam-count t40 0!=21"},
      {"D81 second half", kD81Size, poke(40, 2, 16 + 6 * 19, {39}), "bam-count t60 39!=40"},
  });
}

// Damage of every sort where it does most harm: links and bytes of the system
// and directory tracks, slots naming REL and GEOS files, error bytes, and
// now and then every block linking to a random one.
ImagePtr hostile_image(std::mt19937 &rng) {
  const long long sizes[] = {kD64Size, kD64ErrSize, kD71Size, kD71ErrSize, kD81Size, kD81ErrSize};
  ImagePtr image = rng() % 8 ? formatted_image(sizes[rng() % 6]) : blank_image(sizes[rng() % 6]);
  DiImage *d = image.get();
  const int tracks = di_tracks(d->type);
  const auto any = [&](int n) { return static_cast<int>(rng() % n); };
  const auto any_ts = [&](bool near) {
    if (any(16) == 0) return make_ts(any(tracks + 3), any(44));  // mostly no block
    const int t = near && any(2) ? d->header_ts.track : 1 + any(tracks);
    return make_ts(t, any(di_sectors_per_track(d->type, t)));
  };
  std::vector<unsigned char> data(2000);
  for (unsigned char &b : data) b = static_cast<unsigned char>(any(4) ? any(tracks + 3) : any(256));
  for (int i = any(12); i > 0; --i)
    write_file(d, ("F" + std::to_string(i)).c_str(), any(5),
               std::vector<unsigned char>(data.begin(), data.begin() + any(2000)));
  for (int t = 1; any(6) == 0 && t <= tracks; ++t)
    for (int s = 0; s < di_sectors_per_track(d->type, t); ++s) {
      const TsPair to = any_ts(false);
      set_link(d, t, s, to.track, to.sector);
    }
  for (int n = any(40); n > 0; --n) {
    const TsPair at = any_ts(true), to = any_ts(any(2));
    if (!di_ts_is_valid(d->type, at)) continue;
    unsigned char *b = block(d, at.track, at.sector), *slot = b + 32 * any(8);
    switch (any(4)) {
      case 0:
        put(b + 2 * any(128), {to.track, to.sector});
        break;
      case 1:
        b[any(256)] = static_cast<unsigned char>(any(256));
        break;
      case 2:
        put(slot + 2, {0x80 + any(5), to.track, to.sector});
        put(slot + 21, {any_ts(false).track, any(44), any(2), any(3)});
        put(slot + 30, {any(8), 0});
        break;
      default:
        if (d->error_info) set_error(d, at.track, at.sector, any(12));
    }
  }
  return image;
}

// Problems come in report order, and no more of each group than the design
// allows: a dir-link and a directory stop; per file an unclosed, a data walk
// problem, one of side sectors or info and a count mismatch, plus 127 per
// distinct record list; three per block; one per track.
void expect_ordered_and_bounded(DiImage *d, const DiCheck &check) {
  std::set<int> lists;
  for (int f = 0; f < check.file_count; ++f) {
    const FileEntry &slot = check.files[f].slot;
    const auto *bytes = reinterpret_cast<const unsigned char *>(&slot);
    if ((slot.type & DI_TYPE_MASK) - 1u < 3 && bytes[24] != 0 && bytes[23] == 1 &&
        di_ts_is_valid(d->type, slot.first_ts))
      lists.insert(diskimage::get_block_num(d->type, slot.first_ts));
  }
  std::vector<std::pair<int, int>> keys;  // group, then file, block or track
  int counts[5] = {};
  for (int i = 0; i < check.problem_count; ++i) {
    const DiProblem &p = check.problems[i];
    const int g = p.kind <= DI_PROBLEM_DIRECTORY                                      ? p.kind
                  : p.kind <= DI_PROBLEM_COUNT_MISMATCH || p.kind == DI_PROBLEM_ALIAS ? 2
                  : p.kind <= DI_PROBLEM_DAMAGED                                      ? 3
                                                                                      : 4;
    const bool block = g == 3 && di_ts_is_valid(d->type, p.block);
    EXPECT_TRUE(g == 2 ? p.file >= 0 && p.file < check.file_count : g != 3 || block) << i;
    keys.push_back({g, g == 2  ? p.file
                       : block ? diskimage::get_block_num(d->type, p.block)
                               : p.block.track});
    ++counts[g];
  }
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_LE(counts[0], 1);
  EXPECT_LE(counts[1], 1);
  EXPECT_LE(counts[2], 5 * check.file_count + 127 * static_cast<int>(lists.size()));
  EXPECT_LE(counts[3], 3 * check.block_count);
  EXPECT_LE(counts[4], di_tracks(d->type));
}

TEST(Check, HostileImages) {
  std::mt19937 rng(13);
  for (int i = 0; i < 300; ++i) {
    SCOPED_TRACE(i);
    ImagePtr image = hostile_image(rng);
    problems(image.get(),
             [&](const DiCheck &check) { expect_ordered_and_bounded(image.get(), check); });
  }
}

// Every block links to the next and the last to the first, so the directory
// runs through the whole disk and every slot is a VLIR file whose list,
// records and info block lie somewhere on that one chain. Each file walks
// the whole disk once, files times blocks in all: a D81 (25600 files) would
// take half a minute under valgrind, for nothing the D71 does not show.
TEST(Check, WholeDiskChainEverySlotUsed) {
  for (long long size : {kD64Size, kD71Size}) {
    ImagePtr image = formatted_image(size);
    DiImage *d = image.get();
    std::mt19937 rng(static_cast<unsigned>(size));
    std::vector<TsPair> all;
    for (int t = 1; t <= di_tracks(d->type); ++t)
      for (int s = 0; s < di_sectors_per_track(d->type, t); ++s) all.push_back(make_ts(t, s));
    for (size_t n = 0; n < all.size(); ++n) {
      set_link(d, all[n].track, all[n].sector, all[(n + 1) % all.size()].track,
               all[(n + 1) % all.size()].sector);
      for (int i = 0; i < 8; ++i) {
        const TsPair first = all[rng() % all.size()], info = all[rng() % all.size()];
        unsigned char *slot = slot_at(d, all[n].track, all[n].sector, i);
        put(slot + 2, {0x82, first.track, first.sector});
        put(slot + 21, {info.track, info.sector, 1, 1});
      }
    }
    problems(d, [&](const DiCheck &check) {
      EXPECT_GT(check.file_count, 8 * (check.block_count - 2)) << size;
      expect_ordered_and_bounded(d, check);
    });
  }
}

}  // namespace

namespace {

// What each kind of problem means for the data, and the verdict that follows.
TEST(Check, SeveritiesAndVerdict) {
  const int loss[] = {DI_PROBLEM_DIRECTORY, DI_PROBLEM_ILLEGAL_FIRST, DI_PROBLEM_BAD_LINK,
                      DI_PROBLEM_LOOP,      DI_PROBLEM_DAMAGED,       DI_PROBLEM_SHARED};
  const int risk[] = {DI_PROBLEM_USED_BUT_FREE, DI_PROBLEM_BAM_COUNT, DI_PROBLEM_DIR_LINK,
                      DI_PROBLEM_UNCLOSED};
  const int note[] = {DI_PROBLEM_COUNT_MISMATCH, DI_PROBLEM_ALLOCATED_UNUSED, DI_PROBLEM_ALIAS};
  for (int kind : loss) EXPECT_EQ(di_problem_severity(kind), DI_SEVERITY_LOSS) << kind;
  for (int kind : risk) EXPECT_EQ(di_problem_severity(kind), DI_SEVERITY_RISK) << kind;
  for (int kind : note) EXPECT_EQ(di_problem_severity(kind), DI_SEVERITY_NOTE) << kind;
  EXPECT_EQ(std::size(loss) + std::size(risk) + std::size(note),
            static_cast<size_t>(DI_PROBLEM_KIND_COUNT));

  // A note leaves the image intact; a risk makes it at risk; a loss damaged.
  ImagePtr image = base_image(kD64Size);
  const auto verdict = [&](int *loss_count, int *risk_count, int *note_count) {
    DiCheck *check = di_check(image.get());
    const int v = check->verdict;
    *loss_count = check->loss_count, *risk_count = check->risk_count;
    *note_count = check->note_count;
    for (int i = 0; i < check->problem_count; ++i)
      EXPECT_EQ(check->problems[i].severity, di_problem_severity(check->problems[i].kind));
    di_check_free(check);
    return v;
  };
  int l, r, n;
  EXPECT_EQ(verdict(&l, &r, &n), DI_VERDICT_INTACT);
  di_alloc_ts(image.get(), make_ts(5, 0));
  EXPECT_EQ(verdict(&l, &r, &n), DI_VERDICT_INTACT);
  EXPECT_EQ(n, 1);
  di_free_ts(image.get(), make_ts(17, 1));
  EXPECT_EQ(verdict(&l, &r, &n), DI_VERDICT_AT_RISK);
  set_link(image.get(), 17, 1, 17, 0);
  EXPECT_EQ(verdict(&l, &r, &n), DI_VERDICT_DAMAGED);
  EXPECT_EQ(std::tuple(l, r, n),
            std::tuple(1, 1, 1));  // the loop, 17/1 free in the BAM, 5/0 unused
}

}  // namespace
