// In-process benchmarks of the library and the scanner's reports, written
// against the library's public header alone, as any program using it would be.
//
// A case is counted in what it does:
//  - Cases that move bytes (loading an image, the map over every block,
//    reading files with di_read, writing files) report bytes per second and,
//    as the counter vs_memcpy, their speed as a fraction of a memcpy of the
//    same bytes timed in the same run (1.0 would be as fast as memcpy). Each
//    is followed by its memcpy twin, so the baseline shows in the table too.
//  - The listing and the check read no file's bytes: they work out every
//    file's read from one pass over the chains. They report entries and
//    blocks per second; the time column is the time per listing or check.
//  - Decoding a raw dump (G64) moves its bytes as loading does, and is
//    counted the same way, in the dump's bytes.
//
// The images are built in memory with the library's own writing side and
// loaded with di_load_image_from_memory(); reports write to /dev/null.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "diskimage/diskimage.h"
#include "scanner/facts.h"
#include "scanner/reports.h"
#include "tests/gcr_writer.h"

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

[[noreturn]] void fail(const std::string &what) {
  std::fprintf(stderr, "kestrix_bench: %s\n", what.c_str());
  std::exit(1);
}

std::array<unsigned char, 16> raw_name(const std::string &name) {
  std::array<unsigned char, 16> raw{};
  di_rawname_from_name(raw.data(), name.c_str());
  return raw;
}

bool same(TsPair a, TsPair b) {
  return a.track == b.track && a.sector == b.sector;
}

// A fresh image holding a copy of `bytes`; the caller frees it.
DiImage *image_of(const Bytes &bytes) {
  DiImage *image =
      di_load_image_from_memory("bench", bytes.data(), static_cast<long>(bytes.size()));
  if (!image) fail("di_load_image_from_memory refused a built image");
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

// Where reports write: /dev/null, buffered as kestrix buffers its output into
// a file or pipe.
FILE *null_out = nullptr;

// Writes a program file of `blocks` full blocks and returns its slot.
FileEntry *write_file(DiImage *image, int index, int blocks) {
  static const Bytes data(DI_DATA_SIZE, 0x5A);
  char name[17];
  std::snprintf(name, sizeof name, "FILE %03d", index);
  DiFile *file = di_open(image, raw_name(name).data(), DI_FT_PRG, "wb");
  if (!file) fail(std::string("cannot create ") + name);
  for (int b = 0; b < blocks; ++b)
    if (di_write(file, data.data(), DI_DATA_SIZE) != DI_DATA_SIZE)
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
  if (written) *written = static_cast<long long>(total) * DI_DATA_SIZE;
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

TsPair link_of(DiImage *image, TsPair ts) {
  const unsigned char *block = di_get_ts_addr(image, ts);
  return {block[DI_LINK_TRACK], block[DI_LINK_SECTOR]};
}

void set_link(DiImage *image, TsPair ts, TsPair link) {
  unsigned char *block = di_get_ts_addr(image, ts);
  block[DI_LINK_TRACK] = link.track;
  block[DI_LINK_SECTOR] = link.sector;
}

// Every file ends by linking back to its first block, so each read of it goes
// round and round until the listing's read budget is spent.
void make_cyclic(DiImage *image, const std::vector<FileEntry *> &entries) {
  for (FileEntry *entry : entries) {
    TsPair ts = entry->first_ts;
    while (link_of(image, ts).track != 0) ts = link_of(image, ts);
    set_link(image, ts, entry->first_ts);
  }
}

// The BAM and header blocks of the image's kind, which no file may own.
std::vector<TsPair> system_blocks(const DiImage *image) {
  std::vector<TsPair> blocks;
  for (TsPair ts : {image->header_ts, image->bam_ts, image->bam2_ts}) {
    if (ts.track == 0) continue;  // a kind with one BAM block has no second
    if (std::none_of(blocks.begin(), blocks.end(), [&](TsPair b) { return same(b, ts); }))
      blocks.push_back(ts);
  }
  return blocks;
}

// The largest listing an image can hold, with the longest chains: a directory
// running through every block but the BAM and header blocks, every slot in
// use, each file starting at its own slot's block, so that reading it runs
// along the rest of the directory. With `loop`, the last directory block links
// back to the first, so that every file, and the directory, goes round.
Bytes directory_through_disk(int size, bool loop) {
  return build(size, [loop](DiImage *image) {
    std::vector<TsPair> blocks;
    for (int t = 1; t <= di_tracks(image->type); ++t)
      for (int s = 0; s < di_sectors_per_track(image->type, t); ++s)
        blocks.push_back({static_cast<unsigned char>(t), static_cast<unsigned char>(s)});
    const TsPair first = di_get_dir_ts(image);
    std::rotate(
        blocks.begin(),
        std::find_if(blocks.begin(), blocks.end(), [&](TsPair ts) { return same(ts, first); }),
        blocks.end());
    const std::vector<TsPair> system = system_blocks(image);
    std::erase_if(blocks, [&](TsPair ts) {
      return std::any_of(system.begin(), system.end(), [&](TsPair s) { return same(s, ts); });
    });
    int serial = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
      unsigned char *block = di_get_ts_addr(image, blocks[i]);
      std::memset(block, 0, DI_BLOCK_SIZE);
      const int left = static_cast<int>(blocks.size() - i);
      for (int slot = 0; slot < DI_SLOTS_PER_BLOCK; ++slot) {
        auto *entry = reinterpret_cast<FileEntry *>(block + slot * DI_SLOT_SIZE);
        char name[17];
        std::snprintf(name, sizeof name, "FILE %05d", serial++);
        entry->type = static_cast<unsigned char>(DI_CLOSED) | DI_FT_PRG;
        entry->first_ts = blocks[i];
        di_rawname_from_name(entry->rawname, name);
        entry->blocks[0] = static_cast<unsigned char>(left & 0xFF);
        entry->blocks[1] = static_cast<unsigned char>(left >> 8);
      }
      const TsPair next = i + 1 < blocks.size() ? blocks[i + 1]
                          : loop                ? blocks[0]
                                                : TsPair{0, 0xFF};
      set_link(image, blocks[i], next);
      if (di_is_ts_free(image, blocks[i])) di_alloc_ts(image, blocks[i]);
    }
  });
}

// The baseline of a case that moves bytes: `bytes` bytes copied in pieces of
// `chunk` from one buffer to another of the piece's size.
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
void measure_bytes(benchmark::State &state, const Baseline &base,
                   const std::function<void()> &body) {
  double copy = memcpy_ns(base);
  const auto start = Clock::now();
  for (auto _ : state) body();
  const double each =
      std::chrono::duration<double, std::nano>(Clock::now() - start).count() / state.iterations();
  copy = std::min(copy, memcpy_ns(base));
  state.SetBytesProcessed(state.iterations() * base.bytes);
  state.counters["vs_memcpy"] = copy / each;
}

// Registers a case that moves `base.bytes` bytes, and its memcpy twin.
void add_bytes(const std::string &name, const Baseline &base, std::function<void()> body) {
  benchmark::RegisterBenchmark(name.c_str(), [base, body](benchmark::State &state) {
    measure_bytes(state, base, body);
  })->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark((name + "/memcpy").c_str(), [base](benchmark::State &state) {
    Bytes src(static_cast<size_t>(base.chunk), 0x33);
    Bytes dst(static_cast<size_t>(base.chunk));
    for (auto _ : state) copy_once(base, src.data(), dst.data());
    state.SetBytesProcessed(state.iterations() * base.bytes);
  })->Unit(benchmark::kMicrosecond);
}

// What one listing or check goes through.
struct Work {
  int entries;  // directory entries listed
  int blocks;   // blocks the case resolves
};

// Registers a case counted in entries and blocks: both per run, and both per
// second of CPU time.
void add_work(const std::string &name, Work work, std::function<void()> body) {
  benchmark::RegisterBenchmark(name.c_str(), [work, body](benchmark::State &state) {
    for (auto _ : state) body();
    using benchmark::Counter;
    state.counters["entries"] = work.entries;
    state.counters["blocks"] = work.blocks;
    state.counters["entries/s"] = Counter(work.entries, Counter::kIsIterationInvariantRate);
    state.counters["blocks/s"] = Counter(work.blocks, Counter::kIsIterationInvariantRate);
  })->Unit(benchmark::kMicrosecond);
}

// -dir as kestrix runs it: the facts gathered afresh, then the listing
// rendered. The facts keep what they gathered, so each run needs its own.
void print_listing(DiImage *image) {
  facts::ImageFacts facts(image, "bench");
  print_dir(facts, null_out);
}

// The blocks on the directory's and the listed files' chains, each counted
// once: what the listing's one pass over the chains resolves. Taken from the
// check's owners; also checks that the listing lists `entries` files.
Work listing_work(const Bytes &bytes, int entries) {
  DiImage *image = image_of(bytes);
  DiListing *listing = di_listing(image, 1);
  if (!listing) fail("di_listing ran out of memory");
  if (listing->file_count != entries)
    fail("listed " + std::to_string(listing->file_count) + " entries, expected " +
         std::to_string(entries));
  DiCheck *check = di_check_listing(image, listing);
  if (!check) fail("di_check_listing ran out of memory");
  int blocks = 0;
  for (int i = 0; i < check->block_count; ++i) {
    const DiBlockState &block = check->blocks[i];
    if (block.owner_count > 0 && block.owner != DI_OWNER_SYSTEM) ++blocks;
  }
  di_check_free(check);
  di_listing_free(listing);
  discard(image);
  return {entries, blocks};
}

// Every listed file opened by name and read as far as the listing's budget,
// as a listing once did: the data bytes read. Also returns the entries.
long long read_every_file(DiImage *image, unsigned char *scratch, int *entries) {
  long long total = 0;
  *entries = 0;
  DiDirReader reader;
  if (!di_dir_open(image, &reader)) fail("cannot open the directory");
  if (!di_dir_read_header(&reader)) fail("cannot read the directory's header");
  DiDirEntry entry;
  while (di_dir_next(&reader, &entry)) {
    ++*entries;
    DiFile *file = di_open(image, entry.slot.rawname, entry.slot.type & DI_TYPE_MASK, "rb");
    if (file) {
      total += di_read(file, scratch, DI_SCAN_SIZE);
      di_close(file);
    }
    image->status = 0;  // as a listing leaves it after each entry
  }
  di_dir_close(&reader);
  return total;
}

struct Images {
  // Full disks, every file readable to its end: for loading and listing.
  Bytes d64_full, d71_full, d81_full;
  // The same with error information marking blocks bad: for the map.
  Bytes d64_errors, d71_errors, d81_errors;
  Bytes d81_cyclic;
  // Directories through the whole disk: 5456, 10912 and 25576 entries.
  Bytes d64_dir_disk, d71_dir_disk, d81_dir_disk, d81_dir_loop;
  // Raw dumps (G64) of the full D64, and of it with tracks 36-42 added.
  Bytes g64_full, g64_42_full;
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
  im.d64_full = build(DI_D64_SIZE, full(144, &im.d64_written));
  im.d71_full = build(DI_D71_SIZE, full(144, nullptr));
  im.d81_full = build(DI_D81_SIZE, full(296, &im.d81_written));
  im.d64_errors = build(DI_D64_ERR_SIZE, full(144, nullptr));
  im.d71_errors = build(DI_D71_ERR_SIZE, full(144, nullptr));
  im.d81_errors = build(DI_D81_ERR_SIZE, full(296, nullptr));
  im.d81_cyclic =
      build(DI_D81_SIZE, [](DiImage *image) { make_cyclic(image, fill_disk(image, 296)); });
  im.d64_dir_disk = directory_through_disk(DI_D64_SIZE, false);
  im.d71_dir_disk = directory_through_disk(DI_D71_SIZE, false);
  im.d81_dir_disk = directory_through_disk(DI_D81_SIZE, false);
  im.d81_dir_loop = directory_through_disk(DI_D81_SIZE, true);
  DiImage *d64 = image_of(im.d64_full);
  im.g64_full = gcr_writer::dump_of(d64);
  discard(d64);
  // A D64 of 42 tracks cannot be created; its extra tracks are added to the
  // full D64, each block holding bytes of its own.
  Bytes d64_42 = im.d64_full;
  d64_42.resize(DI_D64_42_SIZE);
  for (size_t i = DI_D64_SIZE; i < d64_42.size(); ++i)
    d64_42[i] = static_cast<unsigned char>(i / 7);
  DiImage *long_disk = image_of(d64_42);
  im.g64_42_full = gcr_writer::dump_of(long_disk);
  discard(long_disk);
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
                {"dir_loop_25576_files.d81", &im.d81_dir_loop},
                {"full_144_files.g64", &im.g64_full},
                {"full_144_files_42_tracks.g64", &im.g64_42_full}};
  for (const auto &image : images) std::puts(write_temp(image.name, *image.bytes).c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  const std::string write_flag = "--write-images=";
  if (argc == 2 && std::string(argv[1]).rfind(write_flag, 0) == 0)
    return write_images(std::string(argv[1]).substr(write_flag.size()), build_images());
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  null_out = std::fopen("/dev/null", "w");
  if (!null_out) fail("cannot open /dev/null");
  static char out_buffer[1 << 16];
  std::setvbuf(null_out, out_buffer, _IOFBF, sizeof out_buffer);

  // TMPDIR chooses the file system the loading and extraction cases use.
  const char *tmp = std::getenv("TMPDIR");
  std::string dir_template = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrix-bench-XXXXXX";
  if (!mkdtemp(dir_template.data())) fail("cannot make a temporary directory");
  temp_dir = dir_template;
  const Images im = build_images();

  // Loading: open, size, read and set up, then release.
  const struct {
    const char *name;
    const Bytes *bytes;
  } loads[] = {{"load/d64", &im.d64_full},
               {"load/d71", &im.d71_full},
               {"load/d81", &im.d81_full},
               {"load/g64", &im.g64_full}};
  std::vector<std::string> files;
  for (const auto &load : loads) {
    files.push_back(write_temp(std::string(load.name).substr(5) + ".img", *load.bytes));
    const std::string path = files.back();
    const auto size = static_cast<long long>(load.bytes->size());
    add_bytes(load.name, {size, size}, [path] {
      DiImage *image = di_load_image(path.c_str());
      if (!image) fail("cannot load " + path);
      di_free_image(image);
    });
  }

  // Decoding a raw dump in memory: 42 tracks, each sector's header and data
  // block found and decoded.
  const Bytes &g64_42 = im.g64_42_full;
  DiImage *decoded = image_of(g64_42);
  if (decoded->type != D64_42 || !decoded->error_info) fail("the 42-track dump decoded wrongly");
  discard(decoded);
  add_bytes("decode/g64_42_tracks",
            {static_cast<long long>(g64_42.size()), static_cast<long long>(g64_42.size())},
            [&g64_42] { discard(image_of(g64_42)); });

  // The listing, -dir: each file's read worked out, not made.
  const struct {
    const char *name;
    const Bytes *bytes;
    int entries;
  } listings[] = {{"dir/d64_144_files", &im.d64_full, 144},
                  {"dir/d81_296_files", &im.d81_full, 296},
                  {"dir/d81_296_cyclic", &im.d81_cyclic, 296},
                  // Directories through the whole disk.
                  {"dir_disk/d64_5456_files", &im.d64_dir_disk, 5456},
                  {"dir_disk/d71_10912_files", &im.d71_dir_disk, 10912},
                  {"dir_disk/d81_25576_files", &im.d81_dir_disk, 25576},
                  {"dir_disk/d81_25576_looping", &im.d81_dir_loop, 25576}};
  for (const auto &listing : listings) {
    DiImage *image = case_image(*listing.bytes);
    add_work(listing.name, listing_work(*listing.bytes, listing.entries),
             [image] { print_listing(image); });
  }

  // The check on its own, over every block of the image.
  const struct {
    const char *name;
    const Bytes *bytes;
  } checks[] = {{"check/d81_296_files", &im.d81_full},
                {"check_disk/d64_5456_files", &im.d64_dir_disk},
                {"check_disk/d71_10912_files", &im.d71_dir_disk},
                {"check_disk/d81_25576_files", &im.d81_dir_disk},
                {"check_disk/d81_25576_looping", &im.d81_dir_loop}};
  for (const auto &c : checks) {
    DiImage *image = case_image(*c.bytes);
    DiCheck *sample = di_check(image);
    if (!sample) fail("di_check ran out of memory");
    const Work work{sample->file_count, sample->block_count};
    di_check_free(sample);
    add_work(c.name, work, [image] {
      DiCheck *check = di_check(image);
      if (!check) fail("di_check ran out of memory");
      benchmark::DoNotOptimize(check->problem_count);
      di_check_free(check);
    });
  }

  // Reading every file by name with di_read, as far as the listing's budget:
  // these move the files' bytes, up to DI_SCAN_SIZE a file.
  const struct {
    const char *name;
    const Bytes *bytes;
    int entries;
    long long at_least;  // every file read to its end
  } reads[] = {{"read_files/d64_144_files", &im.d64_full, 144, im.d64_written},
               {"read_files/d81_296_files", &im.d81_full, 296, im.d81_written},
               {"read_files/d81_296_cyclic", &im.d81_cyclic, 296, 296LL * DI_SCAN_SIZE}};
  static Bytes scratch(DI_SCAN_SIZE);
  for (const auto &r : reads) {
    DiImage *image = case_image(*r.bytes);
    int entries = 0;
    const long long read = read_every_file(image, scratch.data(), &entries);
    if (entries != r.entries || read < r.at_least)
      fail(std::string(r.name) + ": a file reads short");
    add_bytes(r.name, {read, DI_SCAN_SIZE}, [image] {
      int listed = 0;
      benchmark::DoNotOptimize(read_every_file(image, scratch.data(), &listed));
    });
  }

  // The BAM and error map, -map: it looks at every block's BAM bit and error byte.
  const struct {
    const char *name;
    const Bytes *bytes;
  } maps[] = {
      {"map/d64", &im.d64_errors}, {"map/d71", &im.d71_errors}, {"map/d81", &im.d81_errors}};
  for (const auto &map : maps) {
    DiImage *image = case_image(*map.bytes);
    add_bytes(map.name, {image->size, image->size}, [image] {
      facts::ImageFacts facts(image, "bench");
      print_map(facts, null_out);
    });
  }

  // Extraction, -extract: every file of the full D81 written into a new
  // directory with its digests and the manifest, the image's digests
  // included. Timed as wall time, since the image's digests are worked out on
  // a thread of their own; the directory is removed between runs, untimed.
  {
    DiImage *image = case_image(im.d81_full);
    const std::string target = temp_dir + "/extracted";
    const long long bytes = im.d81_written;
    benchmark::RegisterBenchmark("extract/d81_296_files",
                                 [image, target, bytes](benchmark::State &state) {
                                   for (auto _ : state) {
                                     facts::ImageFacts facts(image, "bench", false, true);
                                     std::string error;
                                     if (!extract_files(facts, target.c_str(), null_out, &error))
                                       fail(error);
                                     state.PauseTiming();
                                     std::filesystem::remove_all(target);
                                     state.ResumeTiming();
                                   }
                                   state.SetBytesProcessed(state.iterations() * bytes);
                                 })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }

  // Writing: a quick format, files until the disk is full, then scratching them all.
  const struct {
    const char *name;
    int size;
    int files;
    long long written;
  } writes[] = {{"write_scratch/d64", DI_D64_SIZE, 144, im.d64_written},
                {"write_scratch/d81", DI_D81_SIZE, 296, im.d81_written}};
  for (const auto &w : writes) {
    DiImage *image = case_image(build(w.size, [](DiImage *) {}));
    const int files = w.files;
    add_bytes(w.name, {w.written, w.written}, [image, files] {
      di_format(image, raw_name("BENCH DISK").data(), nullptr);
      const int free_blocks = image->free_blocks;
      fill_disk(image, files);
      if (di_delete(image, raw_name("*").data(), DI_FT_PRG) != DI_STATUS_FILES_SCRATCHED ||
          image->free_blocks != free_blocks)
        fail("scratching did not free every block");
    });
  }

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::fclose(null_out);
  for (DiImage *image : case_images) discard(image);
  for (const std::string &file : files) unlink(file.c_str());
  rmdir(temp_dir.c_str());
  return 0;
}
