#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include <gtest/gtest.h>
#include "tests/test_images.h"

namespace {

using namespace testing_images;
namespace fs = std::filesystem;

struct KindCase {
  long long size;
  ImageType type;
  long long error_at;  // 0: no error information
  TsPair bam, bam2, header;
  int interleave;
};

const KindCase kKinds[] = {
    {kD64Size, D64, 0, {18, 0}, {0, 0}, {18, 0}, 10},
    {kD64ErrSize, D64, 174848, {18, 0}, {0, 0}, {18, 0}, 10},
    {kD71Size, D71, 0, {18, 0}, {53, 0}, {18, 0}, 6},
    {kD71ErrSize, D71, 349696, {18, 0}, {53, 0}, {18, 0}, 6},
    {kD81Size, D81, 0, {40, 1}, {40, 2}, {40, 0}, 1},
    {kD81ErrSize, D81, 819200, {40, 1}, {40, 2}, {40, 0}, 1},
};

std::string ts_text(TsPair ts) {
  return std::to_string(ts.track) + "/" + std::to_string(ts.sector);
}

void expect_kind(const DiImage *image, const KindCase &c) {
  EXPECT_EQ(image->size, c.size);
  EXPECT_EQ(image->type, c.type);
  EXPECT_EQ(image->error_info, c.error_at ? image->blocks + c.error_at : nullptr);
  EXPECT_EQ(ts_text(image->bam_ts), ts_text(c.bam));
  if (c.type != D64) {  // D64 has no second BAM block
    EXPECT_EQ(ts_text(image->bam2_ts), ts_text(c.bam2));
  }
  EXPECT_EQ(ts_text(image->header_ts), ts_text(c.header));
  EXPECT_EQ(image->interleave, c.interleave);
  EXPECT_EQ(image->open_files, 0);
  EXPECT_EQ(image->status, 254);
  EXPECT_EQ(ts_text(image->status_ts), "0/0");
}

std::vector<unsigned char> pattern(long long size) {
  std::vector<unsigned char> bytes(static_cast<size_t>(size));
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7 + i / 251);
  return bytes;
}

TEST(Image, LoadsEachOfTheSixSizes) {
  TempDir dir;
  for (const KindCase &c : kKinds) {
    SCOPED_TRACE(c.size);
    std::string path = dir.file("disk" + std::to_string(c.size));
    std::vector<unsigned char> bytes = pattern(c.size);
    save(path, bytes.data(), bytes.size());
    ImagePtr image(di_load_image(path.c_str()));
    ASSERT_TRUE(image);
    expect_kind(image.get(), c);
    EXPECT_EQ(image->dirty, 0);
    EXPECT_STREQ(image->path, path.c_str());
    EXPECT_NE(image->path, path.c_str());
    EXPECT_EQ(std::memcmp(image->blocks, bytes.data(), bytes.size()), 0);
  }
}

TEST(Image, RejectsEverythingButAnImageFile) {
  TempDir dir;
  for (long long size : {0LL, 1LL, kD64Size - 1, kD64Size + 1, 175000LL, kD71ErrSize + 1,
                         kD81Size - 256, kD81ErrSize + 1, (1LL << 32) + kD64Size}) {
    std::string path = dir.file("odd");
    unsigned char none = 0;
    save(path, &none, 0);
    fs::resize_file(path, static_cast<uintmax_t>(size));
    errno = 0;
    EXPECT_EQ(di_load_image(path.c_str()), nullptr) << size;
    EXPECT_EQ(errno, EINVAL) << size;
  }
  // errno says why, so that a program can tell its user.
  errno = 0;
  EXPECT_EQ(di_load_image(dir.file("missing").c_str()), nullptr);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(di_load_image(dir.path.c_str()), nullptr);
  EXPECT_EQ(errno, EISDIR);

  std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  alarm(10);  // a load that waits for a writer would hang here for good
  errno = 0;
  EXPECT_EQ(di_load_image(fifo.c_str()), nullptr);
  EXPECT_EQ(errno, EINVAL);
  alarm(0);

  errno = 0;
  EXPECT_EQ(di_create_image(dir.file("odd").c_str(), 175000), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

TEST(Image, ReadFullyAssemblesShortReads) {
  struct ReadCase {
    size_t written, wanted;
    bool ok;
  };
  for (ReadCase c :
       {ReadCase{20000, 20000, true}, ReadCase{300, 600, false}, ReadCase{0, 1, false}}) {
    SCOPED_TRACE(c.written);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::vector<unsigned char> sent = pattern(static_cast<long long>(c.written));
    std::thread writer([&] {
      for (size_t at = 0; at < sent.size(); at += 997) {
        size_t n = std::min<size_t>(997, sent.size() - at);
        EXPECT_EQ(write(fds[1], sent.data() + at, n), static_cast<ssize_t>(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      close(fds[1]);
    });
    std::vector<unsigned char> got(c.wanted);
    EXPECT_EQ(diskimage::read_fully(fds[0], got.data(), static_cast<long long>(c.wanted)), c.ok);
    writer.join();
    close(fds[0]);
    if (c.ok) {
      EXPECT_EQ(got, sent);
    }
  }
}

TEST(Image, CreatedImageIsBlankDirtyAndWrittenOnRelease) {
  TempDir dir;
  for (const KindCase &c : kKinds) {
    SCOPED_TRACE(c.size);
    std::string path = dir.file("new" + std::to_string(c.size));
    DiImage *image = di_create_image(path.c_str(), static_cast<int>(c.size));
    ASSERT_NE(image, nullptr);
    expect_kind(image, c);
    EXPECT_EQ(image->dirty, 1);
    EXPECT_EQ(image->free_blocks, 0);
    EXPECT_FALSE(fs::exists(path));  // nothing written before the release
    di_free_image(image);
    EXPECT_EQ(slurp(path), std::vector<unsigned char>(static_cast<size_t>(c.size), 0));
  }
  for (int size : {0, -1, 1000, static_cast<int>(kD64Size) + 1, static_cast<int>(kD81Size) - 1})
    EXPECT_EQ(di_create_image(dir.file("bad").c_str(), size), nullptr) << size;
  EXPECT_FALSE(fs::exists(dir.file("bad")));
  di_free_image(nullptr);
}

TEST(Image, CleanImageReleaseLeavesFileAlone) {
  TempDir dir;
  std::string path = dir.file("clean.d64");
  std::vector<unsigned char> bytes = pattern(kD64Size);
  save(path, bytes.data(), bytes.size());
  auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(48);
  fs::last_write_time(path, old_time);
  di_free_image(di_load_image(path.c_str()));
  EXPECT_EQ(fs::last_write_time(path), old_time);
  EXPECT_EQ(slurp(path), bytes);
}

TEST(Image, SyncReplacesFileAndKeepsItsMode) {
  TempDir dir;
  std::string path = dir.file("disk.d81");
  std::vector<unsigned char> bytes = pattern(kD81Size);
  save(path, bytes.data(), bytes.size());
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  ImagePtr image(di_load_image(path.c_str()));
  ASSERT_TRUE(image);
  image->blocks[12345] ^= 0xFF;
  image->dirty = 1;
  di_sync(image.get());
  EXPECT_EQ(image->dirty, 0);
  EXPECT_EQ(slurp(path), std::vector<unsigned char>(image->blocks, image->blocks + kD81Size));
  EXPECT_EQ(fs::status(path).permissions(), fs::perms(0640));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

// Writing back through a symbolic link replaces the file it names and keeps
// the link.
TEST(Image, SyncThroughSymlinkKeepsTheLink) {
  TempDir dir;
  std::string target = dir.file("disk.d64");
  std::string link = dir.file("link.d64");
  std::vector<unsigned char> bytes = pattern(kD64Size);
  save(target, bytes.data(), bytes.size());
  fs::create_symlink(target, link);
  ImagePtr image(di_load_image(link.c_str()));
  ASSERT_TRUE(image);
  image->blocks[100] ^= 0xFF;
  image->dirty = 1;
  di_sync(image.get());
  EXPECT_EQ(image->dirty, 0);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(slurp(target), std::vector<unsigned char>(image->blocks, image->blocks + kD64Size));
}

// A write that fails half way (here: the file size limit) must leave the old
// file as it was and no half-written temporary beside it.
TEST(Image, FailedSyncKeepsOldFileAndDirtyFlag) {
  TempDir dir;
  std::string path = dir.file("disk.d64");
  std::vector<unsigned char> bytes = pattern(kD64Size);
  save(path, bytes.data(), bytes.size());
  pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    DiImage *image = di_load_image(path.c_str());
    if (!image) _exit(2);
    image->blocks[0] ^= 0xFF;
    image->dirty = 1;
    di_sync(image);
    int dirty = image->dirty;
    di_free_image(image);  // tries once more, fails the same way, releases
    _exit(dirty == 1 ? 10 : 11);
  }
  int wstatus = 0;
  ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), 10);
  EXPECT_EQ(slurp(path), bytes);
  std::vector<fs::path> left(fs::directory_iterator(dir.path), fs::directory_iterator{});
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0], fs::path(path));
}

TEST(Image, SyncIntoMissingDirectoryStaysDirty) {
  TempDir dir;
  std::string path = dir.file("nowhere/disk.d64");
  DiImage *image = di_create_image(path.c_str(), static_cast<int>(kD64Size));
  ASSERT_NE(image, nullptr);
  di_sync(image);
  EXPECT_EQ(image->dirty, 1);
  di_free_image(image);
  EXPECT_FALSE(fs::exists(dir.file("nowhere")));
}

}  // namespace
