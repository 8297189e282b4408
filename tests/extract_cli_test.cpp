// -extract as a user runs it: what lands in the directory, what it prints,
// and that a failure of any kind leaves nothing behind.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "test_images.h"

namespace {

using namespace testing_images;
using testing_cli::Result;
using testing_cli::run_kestrix;
using Bytes = std::vector<unsigned char>;
namespace fs = std::filesystem;

std::string text_of(const Bytes &bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// Every file below `dir` by its path relative to it, with its contents.
std::map<std::string, std::string> tree(const fs::path &dir) {
  std::map<std::string, std::string> files;
  for (const auto &e : fs::recursive_directory_iterator(dir))
    files[fs::relative(e.path(), dir).string()] =
        e.is_regular_file() ? text_of(slurp(e.path().string())) : "<not a file>";
  return files;
}

std::vector<std::string> names_in(const fs::path &dir) {
  std::vector<std::string> names;
  for (const auto &[name, contents] : tree(dir)) names.push_back(name);
  return names;
}

// Runs kestrix as `uid` (-1: as we are), with `limit_blocks` 512-byte blocks
// of file size allowed (0: no limit).
Result run_as(const std::vector<std::string> &args, int uid, long limit_blocks = 0) {
  std::string script = "exec \"$0\" \"$@\"";
  if (limit_blocks) script = "ulimit -f " + std::to_string(limit_blocks) + " && " + script;
  std::vector<std::string> sh_args = {"-c", script, KESTRIX_BINARY};
  sh_args.insert(sh_args.end(), args.begin(), args.end());
  if (uid < 0) return testing_cli::run_program("/bin/sh", sh_args);
  // setpriv drops to the user without a shell of its own in between.
  std::vector<std::string> priv = {"--reuid=" + std::to_string(uid),
                                   "--regid=" + std::to_string(uid), "--clear-groups", "/bin/sh"};
  priv.insert(priv.end(), sh_args.begin(), sh_args.end());
  return testing_cli::run_program("/usr/bin/setpriv", priv);
}

// Slot i of directory block 18/`sector`: a file of the type byte at t/s,
// named by the raw bytes given and padded.
void slot(DiImage *image, int sector, int i, int type, const Bytes &rawname, int t, int s) {
  Bytes name(16, 0xA0);
  std::copy(rawname.begin(), rawname.begin() + std::min<size_t>(16, rawname.size()), name.begin());
  set_slot(image, 18, sector, i, type, name, t, s, 1);
}

// A D64 with error information and files of known bytes, three of them
// broken: a damaged second block, a second block that links back to the
// first, a first block that links to no block.
std::string damaged_image(const TempDir &dir) {
  ImagePtr image = formatted_image(kD64ErrSize, "DAMAGED", "DD");
  DiImage *img = image.get();
  write_file(img, "INTACT", DI_FT_PRG, Bytes(600, 1));
  write_file(img, "BAD BLOCK", DI_FT_PRG, Bytes(800, 2));
  write_file(img, "CYCLE", DI_FT_SEQ, Bytes(900, 3));
  write_file(img, "BROKEN", DI_FT_PRG, Bytes(700, 4));
  const auto *slots = reinterpret_cast<const FileEntry *>(block(img, 18, 1));
  const unsigned char *bad = block(img, slots[1].first_ts.track, slots[1].first_ts.sector);
  set_error(img, bad[0], bad[1], 5);
  unsigned char *cycle = block(img, slots[2].first_ts.track, slots[2].first_ts.sector);
  put(block(img, cycle[0], cycle[1]), {slots[2].first_ts.track, slots[2].first_ts.sector});
  put(block(img, slots[3].first_ts.track, slots[3].first_ts.sector), {40, 3});
  const std::string path = dir.file("damaged.d64");
  save(path, img);
  return path;
}

TEST(ExtractCli, FilesTheLibraryWroteComeOutByteForByte) {
  TempDir dir;
  ImagePtr image = formatted_image(kD81Size, "ROUND TRIP", "RT");
  DiImage *img = image.get();
  Bytes big(600000), records(64 * 40), geos(3000), info(254, 0x1F);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7 + i / 251);
  for (size_t i = 0; i < records.size(); ++i) records[i] = static_cast<unsigned char>(i / 64);
  for (size_t i = 0; i < geos.size(); ++i) geos[i] = static_cast<unsigned char>(i % 253);
  write_file(img, "BIG", DI_FT_PRG, big);
  write_file(img, "RECORDS", DI_FT_REL, records);
  write_file(img, "GEOS APP", DI_FT_USR, geos);
  write_file(img, "ICON", DI_FT_SEQ, info);
  auto *slots = reinterpret_cast<FileEntry *>(block(img, 40, 3));
  slots[1].unused[2] = 64;  // the REL file's record length
  // "GEOS APP" is a sequential GEOS file whose info block is ICON's block;
  // ICON itself is no longer listed.
  put(slots[2].unused, {slots[3].first_ts.track, slots[3].first_ts.sector, 0, 6});
  slots[3].type = 0;
  const std::string path = dir.file("round.d81");
  save(path, img);
  const std::string out = dir.file("out");

  const Result r = run_kestrix({path, "-extract", out});
  EXPECT_EQ(r.out,
            "big.prg\t600000\n"
            "records.rel\t2560\n"
            "geos app.usr\t3000\n"
            "4 files written, 605816 bytes, 0 incomplete\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  const auto files = tree(out);
  EXPECT_EQ(names_in(out), (std::vector<std::string>{"big.prg", "geos app.usr", "geos app.usr.info",
                                                     "manifest.json", "records.rel"}));
  EXPECT_EQ(files.at("big.prg"), text_of(big));
  EXPECT_EQ(files.at("records.rel"), text_of(records));
  EXPECT_EQ(files.at("geos app.usr"), text_of(geos));
  const unsigned char *icon = block(img, slots[3].first_ts.track, slots[3].first_ts.sector);
  EXPECT_EQ(files.at("geos app.usr.info"), std::string(icon, icon + 256));
  EXPECT_NE(files.at("manifest.json").find("\"record_length\":64"), std::string::npos);
  // The directory gets a new directory's mode, not the private one it was
  // made with.
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(fs::status(out).permissions(), static_cast<fs::perms>(0777 & ~mask));
}

TEST(ExtractCli, ADamagedImageGivesEveryByteThatReadsAndNamesTheLostBlocks) {
  TempDir dir;
  const std::string path = damaged_image(dir);
  const std::string out = dir.file("out");
  const Result r = run_kestrix({path, "-dir", "-extract", out});
  const std::string listing = run_kestrix({path, "-dir"}).out;
  ImagePtr image(di_load_image(path.c_str()));
  const auto *slots = reinterpret_cast<const FileEntry *>(block(image.get(), 18, 1));
  const TsPair bad =
      diskimage::stored_link(block(image.get(), slots[1].first_ts.track, slots[1].first_ts.sector));
  const auto ts = [](TsPair t) { return std::to_string(t.track) + "," + std::to_string(t.sector); };
  // The library's allocator puts the damaged block at 1/0 and the cycle's
  // first block at 1/13.
  EXPECT_EQ(r.out, listing +
                       "intact.prg\t600\n"
                       "bad block.prg\t254\t23,read error (crc error in data block),01,00\n"
                       "cycle.seq\t508\t52,file too large,01,13\n"
                       "broken.prg\t0\t66,illegal track or sector,40,03\n"
                       "4 files written, 1362 bytes, 3 incomplete\n");
  EXPECT_EQ(r.status, 0);
  const auto files = tree(out);
  EXPECT_EQ(files.at("intact.prg"), std::string(600, 1));
  EXPECT_EQ(files.at("bad block.prg"), std::string(254, 2));
  EXPECT_EQ(files.at("cycle.seq"), std::string(508, 3));
  EXPECT_EQ(files.at("broken.prg"), "");
  const std::string &manifest = files.at("manifest.json");
  EXPECT_NE(manifest.find("\"lost\":[[" + ts(bad) + "]]"), std::string::npos);
  EXPECT_NE(manifest.find("\"lost\":[[" + ts(slots[3].first_ts) + "]]"), std::string::npos);
}

TEST(ExtractCli, DirectoryArtIsOneFileAndItsAliases) {
  TempDir dir;
  ImagePtr image = formatted_image(kD64Size);
  put(block(image.get(), 17, 0), {0, 41});
  std::memset(block(image.get(), 17, 0) + 2, '*', 40);
  di_alloc_ts(image.get(), diskimage::make_ts(17, 0));
  const char *art[] = {"ART", "---", "-*-", "---"};
  for (int i = 0; i < 4; ++i) slot(image.get(), 1, i, 0x82, raw(art[i]), 17, 0);
  const std::string path = dir.file("art.d64");
  save(path, image.get());
  const std::string out = dir.file("out");
  const Result r = run_kestrix({path, "-extract", out});
  EXPECT_EQ(r.out,
            "art.prg\t40\nart.prg\t40\nart.prg\t40\nart.prg\t40\n"
            "1 files written, 40 bytes, 0 incomplete\n");
  EXPECT_EQ(names_in(out), (std::vector<std::string>{"art.prg", "manifest.json"}));
  const std::string manifest = tree(out).at("manifest.json");
  EXPECT_NE(manifest.find("\"file\":\"art.prg\",\"alias_of\":null,\"aliases\":[1,2,3],"),
            std::string::npos);
  for (int i = 1; i < 4; ++i) {
    EXPECT_NE(manifest.find("\"index\":" + std::to_string(i)), std::string::npos);
  }
  EXPECT_NE(manifest.find("\"file\":\"art.prg\",\"alias_of\":0,\"aliases\":[]}"),
            std::string::npos);
}

// Names as they are stored, each made a name inside DIR: slashes, dots,
// control bytes, spaces, nothing at all, and names that come out the same.
TEST(ExtractCli, NamesStayInsideTheDirectory) {
  TempDir dir;
  ImagePtr image = formatted_image(kD64Size);
  const std::vector<std::pair<Bytes, int>> names = {
      {raw("../ESCAPE"), 0x82},  {raw(".."), 0x82},   {raw("/"), 0x81},    {raw("A\\B"), 0x83},
      {{0x01, 'A', 0x0D}, 0x87}, {raw("SAME"), 0x82}, {raw("SAME"), 0x82}, {raw("SAME~2"), 0x82},
      {raw("A  "), 0x82},        {{}, 0x82},          {raw("  "), 0x80},
  };
  // Two directory blocks, 18/1 and 18/4; each entry starts at a block of its
  // own, 17/i, holding one byte.
  set_link(image.get(), 18, 1, 18, 4);
  set_link(image.get(), 18, 4, 0, 0xFF);
  for (size_t i = 0; i < names.size(); ++i) {
    const int sector = static_cast<int>(i);
    put(block(image.get(), 17, sector), {0, 2, 'a' + sector});
    slot(image.get(), i < 8 ? 1 : 4, sector % 8, names[i].second, names[i].first, 17, sector);
  }
  const std::string path = dir.file("names.d64");
  save(path, image.get());
  const std::string out = dir.file("out");
  const Result r = run_kestrix({path, "-extract", out});
  EXPECT_EQ(r.status, 0) << r.err;
  const auto files = tree(out);
  EXPECT_EQ(names_in(out),
            (std::vector<std::string>{"_..prg", "_._escape.prg", "_.del", "_.prg", "_.seq",
                                      "_a..bin", "a.prg", "a_b.usr", "manifest.json", "same.prg",
                                      "same~2.prg", "same~2~2.prg"}));
  EXPECT_EQ(files.at("_._escape.prg"), "a");
  EXPECT_EQ(files.at("same~2.prg"), "g");
  EXPECT_EQ(files.at("same~2~2.prg"), "h");
  std::vector<std::string> beside;
  for (const auto &e : fs::directory_iterator(dir.path)) beside.push_back(e.path().filename());
  std::sort(beside.begin(), beside.end());
  EXPECT_EQ(beside, (std::vector<std::string>{"names.d64", "out"}));
}

std::vector<std::string> entries_of(const fs::path &dir) {
  std::vector<std::string> names;
  for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// An image whose one file takes 100000 bytes.
std::string image_with_data(const TempDir &dir) {
  ImagePtr image = formatted_image(kD64Size);
  write_file(image.get(), "DATA", DI_FT_PRG, Bytes(100000, 7));
  const std::string path = dir.file("data.d64");
  save(path, image.get());
  return path;
}

// Whatever stops it, the run ends after the output of the commands before
// -extract, with the reason on standard error, and the directory it would
// have made, or anything beside it, is not there.
TEST(ExtractCli, FailuresLeaveNothingBehind) {
  struct Row {
    const char *what;
    std::function<std::string(const TempDir &)> prepare;  // returns DIR
    std::string reason;
    int uid = -1;
    long limit_blocks = 0;
  };
  const bool root = geteuid() == 0;
  const Row rows[] = {
      {"an existing directory",
       [](const TempDir &d) {
         fs::create_directory(d.file("out"));
         save(d.file("out/keep"), reinterpret_cast<const unsigned char *>("k"), 1);
         return d.file("out");
       },
       "File exists"},
      {"an existing directory named with a slash",
       [](const TempDir &d) {
         fs::create_directory(d.file("out"));
         return d.file("out") + "/";
       },
       "File exists"},
      {"a link to nowhere",
       [](const TempDir &d) {
         fs::create_symlink(d.file("nowhere"), d.file("out"));
         return d.file("out");
       },
       "File exists"},
      {"no parent", [](const TempDir &d) { return d.file("missing/out"); },
       "No such file or directory"},
      {"a parent that cannot be written",
       [root](const TempDir &d) {
         fs::create_directory(d.file("locked"));
         // Root writes anywhere, so as root the run is made as nobody.
         if (!root) fs::permissions(d.file("locked"), fs::perms(0555));
         return d.file("locked/out");
       },
       "Permission denied", root ? 65534 : -1},
      {"a file size limit", [](const TempDir &d) { return d.file("out"); }, "File too large", -1,
       8},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    fs::permissions(dir.path, fs::perms(0755));
    const std::string image = image_with_data(dir);
    const std::string out = row.prepare(dir);
    const auto before = tree(dir.path);
    const Result r = run_as({image, "-name", "-extract", out, "-dir"}, row.uid, row.limit_blocks);
    EXPECT_EQ(r.out, "Image: " + image + "\n");
    EXPECT_EQ(r.status, 255);
    const std::string named = row.reason == "File exists" || row.reason == "Permission denied" ||
                                      row.reason == "No such file or directory"
                                  ? (out.back() == '/' ? out.substr(0, out.size() - 1) : out)
                                  : out + "/data.prg";
    EXPECT_EQ(r.err, "kestrix: " + named + ": " + row.reason + "\n");
    EXPECT_EQ(tree(dir.path), before);
  }
}

// A full file system: a small tmpfs, where the system lets a test mount one.
TEST(ExtractCli, AFullDiskLeavesNothingBehind) {
  TempDir dir;
  const std::string image = image_with_data(dir);
  const std::string small = dir.file("small");
  fs::create_directory(small);
  if (mount("kestrix-test", small.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  const Result r = run_kestrix({image, "-extract", small + "/out"});
  const auto left = entries_of(small);
  umount(small.c_str());
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "kestrix: " + small + "/out/data.prg: No space left on device\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(left.empty());
}

TEST(ExtractCli, NeedsADirectoryName) {
  TempDir dir;
  const std::string image = image_with_data(dir);
  for (const char *command : {"-extract", "--extract"}) {
    const Result r = run_kestrix({image, "-name", command});
    EXPECT_EQ(r.err, std::string("kestrix: ") + command + " needs a directory name\n");
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "Image: " + image + "\n");
    EXPECT_NE(r.out.find("usage: "), std::string::npos);
    EXPECT_EQ(r.status, 255);
  }
  EXPECT_EQ(entries_of(dir.path), std::vector<std::string>{"data.d64"});
}

}  // namespace
