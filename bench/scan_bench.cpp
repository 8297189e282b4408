// In-process benchmarks of the library and the scanner's reports.
//
// Every case reports bytes per second and, as the counter vs_memcpy, its
// speed as a fraction of a memcpy of the same number of bytes timed in the same
// run (1.0 would be as fast as memcpy). Each case is followed by its memcpy
// twin, so the baseline itself shows in the table too. The images are built in
// memory with the library's own writing side; the reports write to /dev/null.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "diskimage/internal.h"
#include "scanner/reports.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Thread CPU time: the machines this runs on are often shared, and time spent
// waiting for a core says nothing about the code.
struct Clock {
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<Clock>;
  static time_point now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return time_point(duration(ts.tv_sec * 1000000000LL + ts.tv_nsec));
  }
};

constexpr int kD64Size = DI_D64_SIZE;
constexpr int kD71Size = DI_D71_SIZE;
constexpr int kD81Size = DI_D81_SIZE;
constexpr int kD64ErrorSize = DI_D64_ERR_SIZE;
constexpr int kD71ErrorSize = DI_D71_ERR_SIZE;
constexpr int kD81ErrorSize = DI_D81_ERR_SIZE;
constexpr int kScanSize = 169984;  // what the listing reads of each file at most
constexpr int kPrg = 2;

[[noreturn]] void fail(const std::string &what) {
  std::fprintf(stderr, "kestrix_bench: %s\n", what.c_str());
  std::exit(1);
}

std::array<unsigned char, 16> raw_name(const std::string &name) {
  std::array<unsigned char, 16> raw{};
  di_rawname_from_name(raw.data(), name.c_str());
  return raw;
}

// A fresh image around a copy of `bytes`; the caller frees it.
DiImage *image_of(const Bytes &bytes) {
  auto *copy = static_cast<unsigned char *>(std::malloc(bytes.size()));
  if (!copy) fail("out of memory");
  std::memcpy(copy, bytes.data(), bytes.size());
  DiImage *image =
      diskimage::image_from_buffer("bench", copy, static_cast<long long>(bytes.size()));
  if (!image) fail("image_from_buffer refused a built image");
  return image;
}

// Releases an image without writing it anywhere.
void discard(DiImage *image) {
  image->dirty = 0;
  di_free_image(image);
}

// The images the registered cases work on, released when the run ends.
std::vector<DiImage *> case_images;

DiImage *case_image(const Bytes &bytes) {
  case_images.push_back(image_of(bytes));
  return case_images.back();
}

// Writes a program file of `blocks` full blocks and returns its slot.
FileEntry *write_file(DiImage *image, int index, int blocks) {
  static const Bytes data(diskimage::kDataSize, 0x5A);
  char name[17];
  std::snprintf(name, sizeof name, "FILE %03d", index);
  DiFile *file = di_open(image, raw_name(name).data(), kPrg, "wb");
  if (!file) fail(std::string("cannot create ") + name);
  for (int b = 0; b < blocks; ++b)
    if (di_write(file, data.data(), diskimage::kDataSize) != diskimage::kDataSize)
      fail(std::string("disk full while writing ") + name);
  FileEntry *entry = file->entry;
  di_close(file);
  return entry;
}

// Writes `files` files that share every free block between them. Returns the
// slots and, in *written, the number of data bytes written.
std::vector<FileEntry *> fill_disk(DiImage *image, int files, long long *written = nullptr) {
  const int total = image->free_blocks;
  std::vector<FileEntry *> entries;
  for (int i = 0; i < files; ++i)
    entries.push_back(write_file(image, i, total / files + (i < total % files ? 1 : 0)));
  if (image->free_blocks != 0) fail("the files did not fill the disk");
  if (written) *written = static_cast<long long>(total) * diskimage::kDataSize;
  return entries;
}

// A formatted image of `size` bytes, changed by `fill`.
Bytes build(int size, const std::function<void(DiImage *)> &fill) {
  DiImage *image = di_create_image("unused", size);
  if (!image) fail("di_create_image failed");
  const unsigned char id[2] = {'B', 'K'};
  di_format(image, raw_name("BENCH DISK").data(), id);
  fill(image);
  Bytes bytes(image->blocks, image->blocks + image->size);
  discard(image);
  return bytes;
}

// Marks every 50th block bad in the error information, if the image has it,
// so that the map has codes to print.
void add_errors(DiImage *image) {
  if (!image->error_info) return;
  const int blocks = static_cast<int>(image->blocks + image->size - image->error_info);
  for (int b = 0; b < blocks; b += 50) image->error_info[b] = static_cast<unsigned char>(2 + b % 9);
}

// Every file ends by linking back to its first block, so each read of it goes
// round and round until the listing's scratch buffer is full.
void make_cyclic(DiImage *image, const std::vector<FileEntry *> &entries) {
  for (FileEntry *entry : entries) {
    TsPair ts = entry->first_ts;
    while (di_get_ts_addr(image, ts)[diskimage::kLinkTrack] != 0)
      ts = diskimage::next_ts_in_chain(image, ts);
    unsigned char *last = di_get_ts_addr(image, ts);
    last[diskimage::kLinkTrack] = entry->first_ts.track;
    last[diskimage::kLinkSector] = entry->first_ts.sector;
  }
}

// The largest listing an image can hold, with the longest scans: a directory
// running through every block but the BAM and header blocks, every slot in
// use, each file starting at its own slot's block, so that reading it runs
// along the rest of the directory. With `loop`, the last directory block links
// back to the first, so that every file, and the directory, goes round.
Bytes directory_through_disk(int size, bool loop) {
  return build(size, [loop](DiImage *image) {
    const diskimage::KindInfo &kind = *diskimage::kind_info(image->type);
    std::vector<TsPair> blocks;
    for (int t = 1; t <= kind.tracks; ++t)
      for (int s = 0; s < di_sectors_per_track(image->type, t); ++s)
        blocks.push_back(diskimage::make_ts(t, s));
    const TsPair first = di_get_dir_ts(image);
    const auto same = [](TsPair a, TsPair b) { return a.track == b.track && a.sector == b.sector; };
    std::rotate(
        blocks.begin(),
        std::find_if(blocks.begin(), blocks.end(), [&](TsPair ts) { return same(ts, first); }),
        blocks.end());
    std::erase_if(blocks, [&](TsPair ts) {
      for (int i = 0; i < kind.system_block_count; ++i)
        if (same(ts, kind.system_blocks[static_cast<size_t>(i)])) return true;
      return false;
    });
    int serial = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
      unsigned char *block = di_get_ts_addr(image, blocks[i]);
      std::memset(block, 0, diskimage::kBlockSize);
      const int left = static_cast<int>(blocks.size() - i);
      for (int slot = 0; slot < diskimage::kSlotsPerBlock; ++slot) {
        auto *entry = reinterpret_cast<FileEntry *>(block + slot * diskimage::kSlotSize);
        char name[17];
        std::snprintf(name, sizeof name, "FILE %05d", serial++);
        entry->type = 0x80 | kPrg;
        entry->first_ts = blocks[i];
        di_rawname_from_name(entry->rawname, name);
        entry->blocks[0] = static_cast<unsigned char>(left & 0xFF);
        entry->blocks[1] = static_cast<unsigned char>(left >> 8);
      }
      const TsPair next = i + 1 < blocks.size() ? blocks[i + 1]
                          : loop                ? blocks[0]
                                                : diskimage::make_ts(0, 0xFF);
      block[diskimage::kLinkTrack] = next.track;
      block[diskimage::kLinkSector] = next.sector;
      if (di_is_ts_free(image, blocks[i])) di_alloc_ts(image, blocks[i]);
    }
  });
}

// Bytes that a listing of the image reads: the directory, and each file up to
// the scratch size. Also returns the number of listed entries.
long long listing_bytes(const Bytes &bytes, int *entries) {
  DiImage *image = image_of(bytes);
  static Bytes scratch(kScanSize);
  long long total = 0;
  *entries = 0;
  // The directory as the listing reads it: the header block, then each
  // block up to the end or the first stop.
  DiDirReader reader;
  if (!di_dir_open(image, &reader) || !di_dir_read_header(&reader))
    fail("cannot open the directory");
  total += diskimage::kDataSize;
  while (diskimage::dir_read_block(&reader)) {
    total += reader.got;
    for (int i = 0; i < diskimage::kSlotsPerBlock; ++i) {
      DiDirEntry entry;
      if (!diskimage::dir_slot(&reader, i, &entry)) continue;
      ++*entries;
      DiFile *file = di_open(image, entry.slot.rawname, entry.slot.type & DI_TYPE_MASK, "rb");
      if (!file) continue;
      total += di_read(file, scratch.data(), kScanSize);
      di_close(file);
      image->status = 0;  // as the listing leaves it after each entry
    }
  }
  di_dir_close(&reader);
  discard(image);
  return total;
}

// Sends standard output to /dev/null while it lives.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (saved_ < 0 || null < 0) fail("cannot redirect standard output");
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  QuietStdout(const QuietStdout &) = delete;
  QuietStdout &operator=(const QuietStdout &) = delete;

 private:
  int saved_ = -1;
};

// The baseline: `bytes` bytes copied in pieces of `chunk` from one buffer to
// another of the piece's size.
struct Baseline {
  long long bytes;
  long long chunk;
};

void copy_once(const Baseline &base, const unsigned char *src, unsigned char *dst) {
  for (long long done = 0; done < base.bytes; done += base.chunk) {
    std::memcpy(dst, src, static_cast<size_t>(std::min(base.chunk, base.bytes - done)));
    benchmark::DoNotOptimize(dst);
    benchmark::ClobberMemory();
  }
}

// Nanoseconds one baseline copy takes: the best of several timed rounds.
double memcpy_ns(const Baseline &base) {
  Bytes src(static_cast<size_t>(base.chunk), 0x33);
  Bytes dst(static_cast<size_t>(base.chunk));
  double best = 1e300;
  for (int round = 0; round < 5; ++round) {
    long long copies = 0;
    const auto start = Clock::now();
    auto now = start;
    do {
      copy_once(base, src.data(), dst.data());
      ++copies;
      now = Clock::now();
    } while (now - start < std::chrono::milliseconds(20));
    best = std::min(best, std::chrono::duration<double, std::nano>(now - start).count() / copies);
  }
  return best;
}

// Runs body once per iteration and reports its bytes per second and its speed
// relative to the baseline copy. The copy is timed before and after and the
// faster kept, so that a copy slowed by a busy machine cannot flatter the case.
void measure(benchmark::State &state, const Baseline &base, const std::function<void()> &body,
             bool quiet) {
  double copy = memcpy_ns(base);
  std::optional<QuietStdout> to_null;
  if (quiet) to_null.emplace();
  const auto start = Clock::now();
  for (auto _ : state) body();
  const double each =
      std::chrono::duration<double, std::nano>(Clock::now() - start).count() / state.iterations();
  to_null.reset();
  copy = std::min(copy, memcpy_ns(base));
  state.SetBytesProcessed(state.iterations() * base.bytes);
  state.counters["vs_memcpy"] = copy / each;
}

void memcpy_twin(benchmark::State &state, const Baseline &base) {
  Bytes src(static_cast<size_t>(base.chunk), 0x33);
  Bytes dst(static_cast<size_t>(base.chunk));
  for (auto _ : state) copy_once(base, src.data(), dst.data());
  state.SetBytesProcessed(state.iterations() * base.bytes);
}

// Registers a case and its memcpy twin.
void add(const std::string &name, const Baseline &base, std::function<void()> body,
         bool report = false) {
  benchmark::RegisterBenchmark(name.c_str(), [base, body, report](benchmark::State &state) {
    measure(state, base, body, report);
  })->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark((name + "/memcpy").c_str(), [base](benchmark::State &state) {
    memcpy_twin(state, base);
  })->Unit(benchmark::kMicrosecond);
}

// A report's case: its output goes to /dev/null through the usual buffered
// standard output.
void add_report(const std::string &name, const Baseline &base, std::function<void()> body) {
  add(name, base, std::move(body), true);
}

struct Images {
  // Full disks, every file readable to its end: for loading and listing.
  Bytes d64_full, d71_full, d81_full;
  // The same with error information marking blocks bad: for the map.
  Bytes d64_errors, d71_errors, d81_errors;
  Bytes d81_cyclic;
  // Directories through the whole disk: 5456, 10912 and 25576 entries.
  Bytes d64_dir_disk, d71_dir_disk, d81_dir_disk, d81_dir_loop;
  long long d64_written = 0, d81_written = 0;
};

Images build_images() {
  Images im;
  // 144 entries fill the 18 directory blocks a D64 can have; 296 the 37 of a D81.
  const auto full = [](int files, long long *written) {
    return [files, written](DiImage *image) {
      fill_disk(image, files, written);
      add_errors(image);
    };
  };
  im.d64_full = build(kD64Size, full(144, &im.d64_written));
  im.d71_full = build(kD71Size, full(144, nullptr));
  im.d81_full = build(kD81Size, full(296, &im.d81_written));
  im.d64_errors = build(kD64ErrorSize, full(144, nullptr));
  im.d71_errors = build(kD71ErrorSize, full(144, nullptr));
  im.d81_errors = build(kD81ErrorSize, full(296, nullptr));
  im.d81_cyclic =
      build(kD81Size, [](DiImage *image) { make_cyclic(image, fill_disk(image, 296)); });
  im.d64_dir_disk = directory_through_disk(kD64Size, false);
  im.d71_dir_disk = directory_through_disk(kD71Size, false);
  im.d81_dir_disk = directory_through_disk(kD81Size, false);
  im.d81_dir_loop = directory_through_disk(kD81Size, true);
  return im;
}

std::string temp_dir;

std::string write_temp(const std::string &name, const Bytes &bytes) {
  const std::string path = temp_dir + "/" + name;
  FILE *out = std::fopen(path.c_str(), "wb");
  if (!out || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() ||
      std::fclose(out) != 0)
    fail("cannot write " + path);
  return path;
}

// A listing whose files are all read to their end.
void add_listing(const std::string &name, const Bytes &bytes, int expected_entries,
                 long long file_bytes) {
  int entries = 0;
  const long long read = listing_bytes(bytes, &entries);
  if (entries != expected_entries) fail(name + ": unexpected number of entries");
  if (read < file_bytes) fail(name + ": the listing does not read every file to its end");
  DiImage *image = case_image(bytes);
  add_report(name, {read, read}, [image] { print_dir(image); });
}

}  // namespace

// --write-images=DIR saves the benchmark's images as files, for timing whole
// kestrix runs on them (bench/whole_process.sh), and runs nothing.
int write_images(const std::string &dir, const Images &im) {
  temp_dir = dir;
  const struct {
    const char *name;
    const Bytes *bytes;
  } images[] = {{"full_144_files.d64", &im.d64_full},
                {"full_144_files.d71", &im.d71_full},
                {"full_296_files.d81", &im.d81_full},
                {"errors_144_files.d64", &im.d64_errors},
                {"errors_144_files.d71", &im.d71_errors},
                {"errors_296_files.d81", &im.d81_errors},
                {"cyclic_296_files.d81", &im.d81_cyclic},
                {"dir_disk_5456_files.d64", &im.d64_dir_disk},
                {"dir_disk_10912_files.d71", &im.d71_dir_disk},
                {"dir_disk_25576_files.d81", &im.d81_dir_disk},
                {"dir_loop_25576_files.d81", &im.d81_dir_loop}};
  for (const auto &image : images) std::puts(write_temp(image.name, *image.bytes).c_str());
  return 0;
}

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  const std::string write_flag = "--write-images=";
  if (argc == 2 && std::string(argv[1]).rfind(write_flag, 0) == 0)
    return write_images(std::string(argv[1]).substr(write_flag.size()), build_images());
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  char dir_template[] = "/tmp/kestrix-bench-XXXXXX";
  if (!mkdtemp(dir_template)) fail("cannot make a temporary directory");
  temp_dir = dir_template;
  const Images im = build_images();

  // Loading: open, size, read and set up, then release.
  const struct {
    const char *name;
    const Bytes *bytes;
  } loads[] = {{"load/d64", &im.d64_full}, {"load/d71", &im.d71_full}, {"load/d81", &im.d81_full}};
  std::vector<std::string> files;
  for (const auto &load : loads) {
    files.push_back(write_temp(std::string(load.name).substr(5) + ".img", *load.bytes));
    const std::string path = files.back();
    const auto size = static_cast<long long>(load.bytes->size());
    add(load.name, {size, size}, [path] {
      DiImage *image = di_load_image(path.c_str());
      if (!image) fail("cannot load " + path);
      di_free_image(image);
    });
  }

  // The listing with its file scan.
  add_listing("dir/d64_144_files", im.d64_full, 144, im.d64_written);
  add_listing("dir/d81_296_files", im.d81_full, 296, im.d81_written);
  {
    // Every file loops, so each is read for the whole scratch buffer: the
    // baseline copies the same pieces.
    int entries = 0;
    const long long read = listing_bytes(im.d81_cyclic, &entries);
    if (entries != 296 || read < 296LL * kScanSize) fail("the cyclic image reads short");
    DiImage *image = case_image(im.d81_cyclic);
    add_report("dir/d81_296_cyclic", {read, kScanSize}, [image] { print_dir(image); });
  }

  // Directories through the whole disk, listed and checked. The listing's
  // work is measured against a copy of the image: what it reads of the files
  // is far more than it needs to look at.
  const struct {
    const char *name;
    const Bytes *bytes;
  } whole_disk[] = {{"d64_5456_files", &im.d64_dir_disk},
                    {"d71_10912_files", &im.d71_dir_disk},
                    {"d81_25576_files", &im.d81_dir_disk},
                    {"d81_25576_looping", &im.d81_dir_loop}};
  for (const auto &disk : whole_disk) {
    DiImage *image = case_image(*disk.bytes);
    const long long size = image->size;
    add_report(std::string("dir_disk/") + disk.name, {size, size}, [image] { print_dir(image); });
    add(std::string("check_disk/") + disk.name, {size, size}, [image] {
      DiCheck *check = di_check(image);
      if (!check) fail("di_check ran out of memory");
      benchmark::DoNotOptimize(check->problem_count);
      di_check_free(check);
    });
  }
  {
    DiImage *image = case_image(im.d81_full);
    const long long size = image->size;
    add("check/d81_296_files", {size, size}, [image] { di_check_free(di_check(image)); });
  }

  // The BAM and error map: it looks at every block's BAM bit and error byte.
  const struct {
    const char *name;
    const Bytes *bytes;
  } maps[] = {
      {"map/d64", &im.d64_errors}, {"map/d71", &im.d71_errors}, {"map/d81", &im.d81_errors}};
  for (const auto &map : maps) {
    DiImage *image = case_image(*map.bytes);
    add_report(map.name, {image->size, image->size}, [image] { print_map(image); });
  }

  // Writing: a quick format, files until the disk is full, then scratching them all.
  const struct {
    const char *name;
    int size;
    int files;
    long long written;
  } writes[] = {{"write_scratch/d64", kD64Size, 144, im.d64_written},
                {"write_scratch/d81", kD81Size, 296, im.d81_written}};
  for (const auto &w : writes) {
    DiImage *image = case_image(build(w.size, [](DiImage *) {}));
    const int files = w.files;
    add(w.name, {w.written, w.written}, [image, files] {
      di_format(image, raw_name("BENCH DISK").data(), nullptr);
      const int free_blocks = image->free_blocks;
      fill_disk(image, files);
      if (di_delete(image, raw_name("*").data(), kPrg) != 1 || image->free_blocks != free_blocks)
        fail("scratching did not free every block");
    });
  }

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (DiImage *image : case_images) discard(image);
  for (const std::string &file : files) unlink(file.c_str());
  rmdir(temp_dir.c_str());
  return 0;
}
