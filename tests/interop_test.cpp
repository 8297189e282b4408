// Interoperability with cbmconvert, an independent archive converter run as a
// black box: it must extract exactly what the library writes, and the library
// must read exactly what cbmconvert writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "test_images.h"

namespace {

using namespace testing_images;
using Bytes = std::vector<unsigned char>;

std::string find_cbmconvert() {
  const char *path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/cbmconvert";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// Runs cbmconvert in `dir` with the given arguments; true when it exits 0.
bool run_cbmconvert(const std::string &dir, const std::string &args) {
  std::string command =
      "cd '" + dir + "' && '" + find_cbmconvert() + "' -v0 " + args + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

#define REQUIRE_CBMCONVERT()                                                 \
  do {                                                                       \
    if (find_cbmconvert().empty()) GTEST_SKIP() << "cbmconvert not on PATH"; \
  } while (0)

Bytes random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto &c : b) c = static_cast<unsigned char>(rng());
  return b;
}

struct File {
  const char *name;  // as stored on the disk
  int type;
  size_t size;
};

const File kFiles[] = {{"TINY", 1, 1},      {"EDGE253", 2, 253}, {"ONEBLOCK", 2, 254},
                       {"ONEMORE", 3, 255}, {"TWO", 1, 508},     {"LARGE", 2, 20000}};

const struct {
  const char *suffix;
  long long size;
  const char *flag;
} kKinds[] = {{"d64", kD64Size, "-D4"}, {"d71", kD71Size, "-D7"}, {"d81", kD81Size, "-D8"}};

// cbmconvert names an extracted file by its name in lower case and its type.
std::string host_name(const File &f) {
  std::string name = f.name;
  for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name + "." + ftype[f.type];
}

TEST(Interop, CbmconvertExtractsWhatTheLibraryWrote) {
  REQUIRE_CBMCONVERT();
  for (const auto &kind : kKinds) {
    SCOPED_TRACE(kind.suffix);
    TempDir tmp;
    std::string path = tmp.file(std::string("disk.") + kind.suffix);
    ImagePtr image(di_create_image(path.c_str(), static_cast<int>(kind.size)));
    ASSERT_NE(image, nullptr);
    di_format(image.get(), raw("INTEROP").data(), reinterpret_cast<const unsigned char *>("IO"));
    std::map<std::string, Bytes> expected;
    unsigned seed = 1;
    for (const File &f : kFiles) {
      Bytes data = random_bytes(f.size, seed++);
      ASSERT_EQ(write_file(image.get(), f.name, f.type, data), static_cast<int>(f.size));
      expected[host_name(f)] = data;
    }
    // A file without a block comes out empty.
    ASSERT_EQ(write_file(image.get(), "EMPTY", 2, {}), 0);
    expected["empty.prg"] = {};
    di_sync(image.get());
    ASSERT_EQ(image->dirty, 0);

    std::filesystem::create_directory(tmp.path / "out");
    ASSERT_TRUE(run_cbmconvert(tmp.file("out"), "-N -d '" + path + "'"));
    std::map<std::string, Bytes> extracted;
    for (const auto &entry : std::filesystem::directory_iterator(tmp.path / "out"))
      extracted[entry.path().filename().string()] = slurp(entry.path().string());
    EXPECT_EQ(extracted.size(), expected.size());
    for (const auto &[name, data] : expected) {
      SCOPED_TRACE(name);
      ASSERT_TRUE(extracted.count(name));
      EXPECT_TRUE(extracted[name] == data) << extracted[name].size() << " bytes";
    }
  }
}

TEST(Interop, LibraryReadsWhatCbmconvertWrote) {
  REQUIRE_CBMCONVERT();
  for (const auto &kind : kKinds) {
    SCOPED_TRACE(kind.suffix);
    TempDir tmp;
    std::map<std::string, Bytes> written;
    std::string args = std::string("-n ") + kind.flag + " disk." + kind.suffix;
    unsigned seed = 100;
    for (const File &f : kFiles) {
      Bytes data = random_bytes(f.size, seed++);
      save(tmp.file(host_name(f)), data.data(), data.size());
      args += " " + host_name(f);
      written[f.name] = data;
    }
    ASSERT_TRUE(run_cbmconvert(tmp.path.string(), args));

    ImagePtr owner(di_load_image(tmp.file(std::string("disk.") + kind.suffix).c_str()));
    ASSERT_NE(owner, nullptr);
    DiImage *image = owner.get();
    for (const File &f : kFiles) {
      SCOPED_TRACE(f.name);
      DiFile *file = di_open(image, raw(f.name).data(), f.type, "rb");
      ASSERT_NE(file, nullptr) << "status " << image->status;
      Bytes got(f.size + 1);
      got.resize(static_cast<size_t>(di_read(file, got.data(), static_cast<int>(got.size()))));
      di_close(file);
      EXPECT_EQ(image->status, 0);
      EXPECT_TRUE(got == written[f.name]) << got.size() << " bytes";
      // Our reading of its BAM shows every block of the file in use.
      TsPair ts = diskimage::find_file_entry(image, raw(f.name).data(), f.type)->first_ts;
      for (int n = 0; ts.track != 0 && n < 100; ++n) {
        ASSERT_TRUE(di_ts_is_valid(image->type, ts));
        EXPECT_FALSE(di_is_ts_free(image, ts)) << int(ts.track) << "/" << int(ts.sector);
        ts = diskimage::next_ts_in_chain(image, ts);
      }
    }
  }
}

}  // namespace
