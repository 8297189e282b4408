// kestrix given things that are not disk images, or very long command lines:
// it must answer promptly, with the load error or a complete run, and never
// block, read a huge file or lose track of its commands.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "test_images.h"

namespace {

using testing_images::TempDir;

constexpr const char *kLoadFailed = "error: loading diskimage failed.\n";

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;  // exit status; -1 when killed or not exited normally
  bool timed_out = false;
  long max_rss_kb = 0;
};

// Runs kestrix like cli_runner.h does, but kills it once `deadline_s` seconds
// have passed (a kestrix that blocks must fail the test, not hang it), reports
// its peak memory, and can run it as the unprivileged user `as_uid`.
Outcome run_guarded(const std::vector<std::string> &args, int deadline_s = 60, int as_uid = -1) {
  Outcome outcome;
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return outcome;
  const pid_t pid = fork();
  if (pid == 0) {
    if (as_uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(as_uid) != 0 || setuid(as_uid) != 0))
      _exit(126);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    const int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    std::vector<std::string> copy = args;
    std::vector<char *> argv{const_cast<char *>(KESTRIX_BINARY)};
    for (std::string &arg : copy) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(KESTRIX_BINARY, argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (!testing_cli::drain_pipes(out_pipe[0], err_pipe[0], &outcome.out, &outcome.err,
                                deadline_s * 1000LL)) {
    outcome.timed_out = true;
    kill(pid, SIGKILL);
  }
  int wstatus = 0;
  rusage usage{};
  wait4(pid, &wstatus, 0, &usage);
  outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  outcome.max_rss_kb = usage.ru_maxrss;
  return outcome;
}

void make_file(const std::string &path, long long size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(ftruncate(fd, size), 0) << path;
  close(fd);
}

// The load error on standard output, and on standard error the one line that
// says why.
void expect_load_failed(const Outcome &run, const std::string &path, const std::string &reason) {
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.out, kLoadFailed);
  EXPECT_EQ(run.err, "kestrix: " + path + ": " + reason + "\n");
  EXPECT_EQ(run.status, 255);
  // Rejected on its size, before anything was allocated or read.
  EXPECT_LT(run.max_rss_kb, 512 * 1024);
}

struct NotAnImage {
  const char *what;
  // Makes the thing in the directory and returns the path to give kestrix.
  std::function<std::string(const TempDir &)> make;
  std::string reason;  // as standard error gives it
};

const std::string kNotAFile = "not a regular file or block device";
std::string wrong_size(long long size) {
  return std::to_string(size) + " bytes is not the size of a D64, D71 or D81 image";
}

TEST(CliHostile, ThingsThatAreNoImageFailToLoadPromptly) {
  const NotAnImage cases[] = {
      {"a directory", [](const TempDir &dir) { return dir.path.string(); }, "Is a directory"},
      {"a FIFO with no writer",
       [](const TempDir &dir) {
         const std::string path = dir.file("fifo.d64");
         EXPECT_EQ(mkfifo(path.c_str(), 0644), 0);
         return path;
       },
       kNotAFile},
      {"/dev/null", [](const TempDir &) { return std::string("/dev/null"); }, kNotAFile},
      {"/dev/zero", [](const TempDir &) { return std::string("/dev/zero"); }, kNotAFile},
      {"an 8 GiB sparse file",
       [](const TempDir &dir) {
         const std::string path = dir.file("huge.d64");
         make_file(path, 8LL << 30);
         return path;
       },
       wrong_size(8LL << 30)},
      {"a sparse file of 4 GiB and a D64's size, which cut to 32 bits is a D64's",
       [](const TempDir &dir) {
         const std::string path = dir.file("wrap.d64");
         make_file(path, (1LL << 32) + 174848);
         return path;
       },
       wrong_size((1LL << 32) + 174848)},
      {"an empty file",
       [](const TempDir &dir) {
         const std::string path = dir.file("empty.d64");
         make_file(path, 0);
         return path;
       },
       wrong_size(0)},
      {"a D64 one byte short",
       [](const TempDir &dir) {
         const std::string path = dir.file("short.d64");
         make_file(path, 174847);
         return path;
       },
       wrong_size(174847)},
      {"a D81 with error information and one byte more",
       [](const TempDir &dir) {
         const std::string path = dir.file("long.d81");
         make_file(path, 822401);
         return path;
       },
       wrong_size(822401)},
      {"a path that does not exist", [](const TempDir &dir) { return dir.file("missing.d64"); },
       "No such file or directory"},
      {"a path through a file",
       [](const TempDir &dir) {
         make_file(dir.file("plain"), 174848);
         return dir.file("plain") + "/image.d64";
       },
       "Not a directory"},
      {"a dangling symbolic link",
       [](const TempDir &dir) {
         const std::string path = dir.file("dangling.d64");
         EXPECT_EQ(symlink(dir.file("nowhere").c_str(), path.c_str()), 0);
         return path;
       },
       "No such file or directory"},
      {"a symbolic link loop",
       [](const TempDir &dir) {
         const std::string path = dir.file("loop.d64");
         EXPECT_EQ(symlink(path.c_str(), path.c_str()), 0);
         return path;
       },
       "Too many levels of symbolic links"},
      {"a name too long for the file system",
       [](const TempDir &dir) { return dir.file(std::string(300, 'x') + ".d64"); },
       "File name too long"},
      {"an empty path", [](const TempDir &) { return std::string(); }, "No such file or directory"},
  };
  for (const NotAnImage &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = c.make(dir);
    expect_load_failed(run_guarded({path, "-dir"}, 30), path, c.reason);
  }
}

TEST(CliHostile, UnreadableImageFailsToLoad) {
  TempDir dir;
  const std::string path = dir.file("locked.d64");
  make_file(path, 174848);
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  // Root reads any file whatever its mode, so as root the run drops to an
  // unprivileged user, for whom the temporary directory must be passable.
  const bool root = geteuid() == 0;
  ASSERT_EQ(chmod(dir.path.c_str(), 0711), 0);
  const Outcome run = run_guarded({path, "-dir"}, 30, root ? 65534 : -1);
  if (run.status == 126 || run.status == 127)
    GTEST_SKIP() << "cannot run kestrix as an unprivileged user here";
  expect_load_failed(run, path, "Permission denied");
}

// A D64 with error information and the damage the listing reports: a bad
// block inside a file, a chain in a cycle, a link off the disk, a message in
// the BAM block.
std::string damaged_image(const TempDir &dir) {
  using namespace testing_images;
  ImagePtr image = formatted_image(kD64ErrSize, "DAMAGED", "DD");
  DiImage *img = image.get();
  write_file(img, "INTACT", 2, std::vector<unsigned char>(600, 1));
  write_file(img, "BAD BLOCK", 2, std::vector<unsigned char>(800, 2));
  write_file(img, "CYCLE", 1, std::vector<unsigned char>(900, 3));
  write_file(img, "BROKEN", 2, std::vector<unsigned char>(700, 4));
  const FileEntry *slots = reinterpret_cast<const FileEntry *>(block(img, 18, 1));
  const unsigned char *bad = block(img, slots[1].first_ts.track, slots[1].first_ts.sector);
  img->error_info[diskimage::get_block_num(D64, diskimage::make_ts(bad[0], bad[1]))] = 5;
  unsigned char *cycle = block(img, slots[2].first_ts.track, slots[2].first_ts.sector);
  unsigned char *second = block(img, cycle[0], cycle[1]);
  put(second, {slots[2].first_ts.track, slots[2].first_ts.sector});
  put(block(img, slots[3].first_ts.track, slots[3].first_ts.sector), {40, 3});
  put(block(img, 18, 0) + 171, {'H', 'I'});
  const std::string path = dir.file("damaged.d64");
  save(path, img);
  return path;
}

std::vector<std::string> repeated_words(const std::vector<std::string> &commands, int times) {
  std::vector<std::string> all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), commands.begin(), commands.end());
  return all;
}

std::string repeated(const std::string &text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

TEST(CliHostile, FiveHundredSeparatorsPrintFiveHundredLines) {
  TempDir dir;
  const std::string image = damaged_image(dir);
  std::vector<std::string> args{image};
  const std::vector<std::string> seps = repeated_words({"-sep"}, 500);
  args.insert(args.end(), seps.begin(), seps.end());
  const testing_cli::Result run = testing_cli::run_kestrix(args);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, repeated(std::string(70, '-') + "\n", 500));
}

TEST(CliHostile, RepeatedListingsOfADamagedImageAreIdentical) {
  TempDir dir;
  const std::string image = damaged_image(dir);
  const Outcome once = run_guarded({image, "-dir"});
  ASSERT_EQ(once.status, 0);
  // The damage shows: the bad block, the cycle and the link off the disk.
  EXPECT_NE(once.out.find("23,read error (crc error in data block)"), std::string::npos);
  EXPECT_NE(once.out.find("52,file too large"), std::string::npos);
  EXPECT_NE(once.out.find("66,illegal track or sector,40,03"), std::string::npos);

  std::vector<std::string> args{image};
  const std::vector<std::string> dirs = repeated_words({"-dir", "--dir"}, 100);
  args.insert(args.end(), dirs.begin(), dirs.end());
  const Outcome many = run_guarded(args);
  EXPECT_FALSE(many.timed_out);
  EXPECT_EQ(many.status, 0);
  EXPECT_EQ(many.err, "");
  // Each listing starts from the same image and prints the same lines.
  EXPECT_EQ(many.out, repeated(once.out, 200));
}

TEST(CliHostile, ManyMixedCommandsRunInOrderToTheEnd) {
  TempDir dir;
  const std::string image = damaged_image(dir);
  const std::vector<std::string> round{"-name", "-cr", "-bammsg", "-cr", "-map", "-sep"};
  std::vector<std::string> args{image};
  args.insert(args.end(), round.begin(), round.end());
  const Outcome one = run_guarded(args);
  ASSERT_EQ(one.status, 0);
  EXPECT_NE(one.out.find("BAM Message: hi\n\n"), std::string::npos);

  // Every round ends with -cr having cleared the blank-line flag, so every
  // round prints the same text.
  args.assign({image});
  const std::vector<std::string> rounds = repeated_words(round, 100);
  args.insert(args.end(), rounds.begin(), rounds.end());
  const Outcome many = run_guarded(args);
  EXPECT_FALSE(many.timed_out);
  EXPECT_EQ(many.status, 0);
  EXPECT_EQ(many.out, repeated(one.out, 100));

  // A word that is no command after all of them: their output stands, then
  // the usage text, and the exit status says so.
  args.push_back("-nonsense");
  const Outcome stopped = run_guarded(args);
  EXPECT_EQ(stopped.status, 255);
  EXPECT_EQ(stopped.out.rfind(repeated(one.out, 100), 0), 0u);
  EXPECT_NE(stopped.out.find("usage: ", repeated(one.out, 100).size()), std::string::npos);
}

TEST(CliHostile, VeryLongArgumentsAreNoCommands) {
  TempDir dir;
  const std::string image = damaged_image(dir);
  const std::string huge(100000, 'd');
  for (const std::string &word : {std::string(""), std::string("-"), "-" + huge, "--" + huge}) {
    SCOPED_TRACE(word.substr(0, 8));
    const testing_cli::Result run = testing_cli::run_kestrix({image, "-sep", word, "-sep"});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out.rfind(std::string(70, '-') + "\nusage: ", 0), 0u);
    EXPECT_EQ(run.err, "kestrix: unknown command '" + word + "'\n");
  }
  expect_load_failed(run_guarded({"/" + huge, "-dir"}), "/" + huge, "File name too long");
}

}  // namespace
