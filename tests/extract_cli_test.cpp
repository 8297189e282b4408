// -extract as a user runs it: what lands in the directory, what it prints,
// and that a failure of any kind leaves nothing behind. The manifest's
// fields are checked against the files in extract_manifest_test.py.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Every file below `dir` by its path relative to it, with its contents.
std::map<std::string, std::string> tree(const fs::path &dir) {
  std::map<std::string, std::string> files;
  for (const auto &e : fs::recursive_directory_iterator(dir)) {
    const Bytes bytes = slurp(e.path().string());
    files[fs::relative(e.path(), dir).string()] = std::string(bytes.begin(), bytes.end());
  }
  return files;
}

std::vector<std::string> names_in(const fs::path &dir) {
  std::vector<std::string> names;
  for (const auto &[name, contents] : tree(dir)) names.push_back(name);
  return names;
}

std::string save_image(const TempDir &dir, DiImage *image, const char *name) {
  save(dir.file(name), image);
  return dir.file(name);
}

TEST(ExtractCli, FilesTheLibraryWroteComeOutByteForByte) {
  TempDir dir;
  ImagePtr image = formatted_image(kD81Size);
  DiImage *img = image.get();
  Bytes big(600000), records(64 * 40, 'r'), geos(3000, 'g');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7 + i / 251);
  write_file(img, "BIG", DI_FT_PRG, big);
  write_file(img, "RECORDS", DI_FT_REL, records);
  write_file(img, "GEOS APP", DI_FT_USR, geos);
  write_file(img, "ICON", DI_FT_SEQ, Bytes(254, 'i'));
  auto *slots = reinterpret_cast<FileEntry *>(block(img, 40, 3));
  slots[1].unused[2] = 64;  // the REL file's record length
  // A sequential GEOS file whose info block is ICON's, no longer listed.
  put(slots[2].unused, {slots[3].first_ts.track, slots[3].first_ts.sector, 0, 6});
  slots[3].type = 0;
  const std::string out = dir.file("out");

  const Result r = run_kestrix({save_image(dir, img, "round.d81"), "-extract", out});
  EXPECT_EQ(r.out,
            "big.prg\t600000\nrecords.rel\t2560\ngeos app.usr\t3000\n"
            "4 files written, 605816 bytes, 0 incomplete\n");
  EXPECT_EQ(r.status, 0);
  const auto files = tree(out);
  EXPECT_EQ(names_in(out), (std::vector<std::string>{"big.prg", "geos app.usr", "geos app.usr.info",
                                                     "manifest.json", "records.rel"}));
  EXPECT_EQ(files.at("big.prg"), std::string(big.begin(), big.end()));
  EXPECT_EQ(files.at("records.rel"), std::string(2560, 'r'));
  EXPECT_EQ(files.at("geos app.usr"), std::string(3000, 'g'));
  EXPECT_EQ(files.at("geos app.usr.info"), std::string("\0\xff", 2) + std::string(254, 'i'));
  EXPECT_NE(files.at("manifest.json").find("\"record_length\":64"), std::string::npos);
  const mode_t mask = umask(0);  // a new directory's mode, not mkdtemp's 0700
  umask(mask);
  EXPECT_EQ(fs::status(out).permissions(), static_cast<fs::perms>(0777 & ~mask));
}

TEST(ExtractCli, ADamagedImageGivesEveryByteThatReadsAndNamesTheLostBlocks) {
  TempDir dir;
  ImagePtr image = formatted_image(kD64ErrSize);
  DiImage *img = image.get();
  write_file(img, "INTACT", DI_FT_PRG, Bytes(600, 1));
  write_file(img, "BAD BLOCK", DI_FT_PRG, Bytes(800, 2));
  write_file(img, "CYCLE", DI_FT_SEQ, Bytes(900, 3));
  write_file(img, "BROKEN", DI_FT_PRG, Bytes(700, 4));
  // BAD BLOCK's second block is damaged, CYCLE's second links back to its
  // first, BROKEN's first links to no block. (The allocator puts them at
  // 1/0, after 1/13, and at 1/15.)
  const auto *slots = reinterpret_cast<const FileEntry *>(block(img, 18, 1));
  const auto second = [&](int f) {
    return diskimage::stored_link(block(img, slots[f].first_ts.track, slots[f].first_ts.sector));
  };
  set_error(img, second(1).track, second(1).sector, 5);
  set_link(img, second(2).track, second(2).sector, slots[2].first_ts.track,
           slots[2].first_ts.sector);
  set_link(img, slots[3].first_ts.track, slots[3].first_ts.sector, 40, 3);
  const std::string out = dir.file("out");

  const Result r = run_kestrix({save_image(dir, img, "damaged.d64"), "-extract", out});
  EXPECT_EQ(r.out,
            "intact.prg\t600\n"
            "bad block.prg\t254\t23,read error (crc error in data block),01,00\n"
            "cycle.seq\t508\t52,file too large,01,13\n"
            "broken.prg\t0\t66,illegal track or sector,40,03\n"
            "4 files written, 1362 bytes, 3 incomplete\n");
  const auto files = tree(out);
  EXPECT_EQ(files.at("intact.prg"), std::string(600, 1));
  EXPECT_EQ(files.at("bad block.prg"), std::string(254, 2));
  EXPECT_EQ(files.at("cycle.seq"), std::string(508, 3));
  EXPECT_EQ(files.at("broken.prg"), "");
  const std::string &manifest = files.at("manifest.json");
  EXPECT_NE(manifest.find("\"stop\":[1,0],\"lost\":[[1,0]]"), std::string::npos);
  EXPECT_NE(manifest.find("\"stop\":[1,13],\"lost\":[]"), std::string::npos);
  EXPECT_NE(manifest.find("\"stop\":[1,15],\"lost\":[[1,15]]"), std::string::npos);
}

// Slot i of directory block 18/`sector`: a file of the type byte at 17/s,
// named by the raw bytes given.
void slot(DiImage *image, int sector, int i, int type, const Bytes &rawname, int s) {
  Bytes name(16, 0xA0);
  std::copy(rawname.begin(), rawname.begin() + std::min<size_t>(16, rawname.size()), name.begin());
  set_slot(image, 18, sector, i, type, name, 17, s);
}

TEST(ExtractCli, DirectoryArtIsOneFileAndItsAliases) {
  TempDir dir;
  ImagePtr image = formatted_image(kD64Size);
  put(block(image.get(), 17, 0), {0, 41});
  const char *art[] = {"ART", "---", "-*-"};
  for (int i = 0; i < 3; ++i) slot(image.get(), 1, i, 0x82, raw(art[i]), 0);
  const std::string out = dir.file("out");
  const Result r = run_kestrix({save_image(dir, image.get(), "art.d64"), "-extract", out});
  EXPECT_EQ(r.out,
            "art.prg\t40\nart.prg\t40\nart.prg\t40\n1 files written, 40 bytes, 0 incomplete\n");
  EXPECT_EQ(names_in(out), (std::vector<std::string>{"art.prg", "manifest.json"}));
  const std::string manifest = tree(out).at("manifest.json");
  EXPECT_NE(manifest.find("\"file\":\"art.prg\",\"alias_of\":null,\"aliases\":[1,2],"),
            std::string::npos);
  // Each alias names the head's file and record, and no data of its own.
  EXPECT_NE(manifest.find("{\"index\":2,\"name\":\"-*-\",\"raw_name\":"
                          "\"2d2a2da0a0a0a0a0a0a0a0a0a0a0a0a0\",\"type\":\"prg\","
                          "\"file\":\"art.prg\",\"alias_of\":0,\"aliases\":[]}"),
            std::string::npos);
}

// Names as they are stored, each made a name inside DIR: slashes, dots,
// control bytes, spaces, nothing at all, and names that come out the same.
TEST(ExtractCli, NamesStayInsideTheDirectory) {
  TempDir dir;
  ImagePtr image = formatted_image(kD64Size);
  const std::vector<std::pair<Bytes, int>> names = {
      {raw("../ESCAPE"), 0x82}, {raw(".."), 0x82},   {raw("/"), 0x81},    {raw("A\\B"), 0x83},
      {{1, 'A', 13}, 0x87},     {raw("SAME"), 0x82}, {raw("SAME"), 0x82}, {raw("SAME~2"), 0x82},
      {raw("A  "), 0x82},       {{}, 0x82},          {raw("  "), 0x80},
  };
  // Directory blocks 18/1 and 18/4; entry i starts at 17/i, holding one byte.
  set_link(image.get(), 18, 1, 18, 4);
  set_link(image.get(), 18, 4, 0, 0xFF);
  for (size_t i = 0; i < names.size(); ++i) {
    const int s = static_cast<int>(i);
    put(block(image.get(), 17, s), {0, 2, 'a' + s});
    slot(image.get(), i < 8 ? 1 : 4, s % 8, names[i].second, names[i].first, s);
  }
  const std::string out = dir.file("out");
  const Result r = run_kestrix({save_image(dir, image.get(), "names.d64"), "-extract", out});
  EXPECT_EQ(r.status, 0) << r.err;
  const auto files = tree(dir.path);
  std::vector<std::string> written;
  for (const auto &[name, contents] : files) written.push_back(name + "=" + contents);
  EXPECT_EQ(written,
            (std::vector<std::string>{
                "names.d64=" + files.at("names.d64"), "out=", "out/_..prg=b", "out/_._escape.prg=a",
                "out/_.del=k", "out/_.prg=j", "out/_.seq=c", "out/_a..bin=e", "out/a.prg=i",
                "out/a_b.usr=d", "out/manifest.json=" + files.at("out/manifest.json"),
                "out/same.prg=f", "out/same~2.prg=g", "out/same~2~2.prg=h"}));
}

// Runs kestrix as `uid` (-1: as we are) under a file size limit of
// `limit_blocks` 512-byte blocks (0: none).
Result run_as(const std::vector<std::string> &args, int uid, long limit_blocks) {
  std::vector<std::string> command;
  if (uid >= 0)
    command = {"--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid), "--clear-groups",
               "/bin/sh"};
  command.push_back("-c");
  command.push_back((limit_blocks ? "ulimit -f " + std::to_string(limit_blocks) + " && " : "") +
                    "exec \"$0\" \"$@\"");
  command.push_back(KESTRIX_BINARY);
  command.insert(command.end(), args.begin(), args.end());
  return testing_cli::run_program(uid >= 0 ? "/usr/bin/setpriv" : "/bin/sh", command);
}

// Whatever stops it, the run ends after the output of the commands before
// -extract with the reason on standard error, and neither DIR nor anything
// beside it has changed.
TEST(ExtractCli, FailuresLeaveNothingBehind) {
  struct Row {
    const char *what;
    std::function<std::string(const TempDir &)> prepare;  // returns DIR
    std::string said;                                     // what standard error names
    std::string reason;
    int uid = -1;
    long limit_blocks = 0;
  };
  const bool root = geteuid() == 0;
  const auto out = [](const TempDir &d) { return d.file("out"); };
  const Row rows[] = {
      {"an existing directory, named with a slash",
       [](const TempDir &d) {
         fs::create_directory(d.file("out"));
         save(d.file("out/keep"), reinterpret_cast<const unsigned char *>("k"), 1);
         return d.file("out") + "/";
       },
       "out", "File exists"},
      {"a link to nowhere",
       [](const TempDir &d) {
         fs::create_symlink(d.file("nowhere"), d.file("out"));
         return d.file("out");
       },
       "out", "File exists"},
      {"no parent", [](const TempDir &d) { return d.file("no/out"); }, "no/out",
       "No such file or directory"},
      // Root writes anywhere, so as root the run is made as nobody.
      {"a parent that cannot be written",
       [root](const TempDir &d) {
         fs::create_directory(d.file("locked"));
         if (!root) fs::permissions(d.file("locked"), fs::perms(0555));
         return d.file("locked/out");
       },
       "locked/out", "Permission denied", root ? 65534 : -1},
      {"a file size limit", out, "out/data.prg", "File too large", -1, 8},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    fs::permissions(dir.path, fs::perms(0755));
    ImagePtr image = formatted_image(kD64Size);
    write_file(image.get(), "DATA", DI_FT_PRG, Bytes(100000, 7));
    const std::string path = save_image(dir, image.get(), "data.d64");
    const std::string target = row.prepare(dir);
    const auto before = tree(dir.path);
    const Result r = run_as({path, "-name", "-extract", target, "-dir"}, row.uid, row.limit_blocks);
    EXPECT_EQ(r.out, "Image: " + path + "\n");
    EXPECT_EQ(r.err, "kestrix: " + dir.file(row.said) + ": " + row.reason + "\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(tree(dir.path), before);
  }
}

// A full file system: a small tmpfs, where the system lets a test mount one.
TEST(ExtractCli, AFullDiskLeavesNothingBehind) {
  TempDir dir;
  ImagePtr image = formatted_image(kD64Size);
  write_file(image.get(), "DATA", DI_FT_PRG, Bytes(100000, 7));
  const std::string path = save_image(dir, image.get(), "data.d64"), small = dir.file("small");
  fs::create_directory(small);
  if (mount("kestrix-test", small.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  const Result r = run_kestrix({path, "-extract", small + "/out"});
  const bool empty = fs::is_empty(small);
  umount(small.c_str());
  EXPECT_EQ(r.err, "kestrix: " + small + "/out/data.prg: No space left on device\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(empty);
}

TEST(ExtractCli, WithoutADirectoryItIsAUsageError) {
  TempDir dir;
  const std::string path = save_image(dir, formatted_image(kD64Size).get(), "a.d64");
  for (const char *command : {"-extract", "--extract"}) {
    const Result r = run_kestrix({path, command});
    EXPECT_EQ(r.err, std::string("kestrix: ") + "missing DIR after '" + command + "'\n");
    EXPECT_EQ(r.out.rfind("usage: ", 0), 0u);
    EXPECT_EQ(r.status, 255);
  }
}

}  // namespace
