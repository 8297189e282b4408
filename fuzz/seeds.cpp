// The seeds: image recipes, library sessions and raw dumps.
#include "fuzz/seeds.h"

#include <algorithm>
#include <cstdio>

#include "fuzz/raw.h"
#include "fuzz/recipe.h"
#include "fuzz/session.h"
#include "tests/gcr_writer.h"

namespace kestrix_fuzz {

namespace {

constexpr uint8_t kD64 = 0, kD71 = 1, kD81 = 2, kD64Long = 3;
// Sample files as write_sample_files makes them with seed 1: FILE 0 holds 1
// byte in one block, FILE 1 508 bytes in two, FILE 2 9000 bytes in 36, and so
// on. On an empty D64 the first block of FILE 0 is 1/10, and FILE 1 starts at
// 1/20 with its second block at 1/9; on a D81 FILE 0 starts at 1/1.
constexpr uint8_t kWithFiles = kFormat | kFiles;

// A directory slot as the directory block holds it, 30 bytes from the type
// byte on (the two link bytes before it belong to the block or are unused).
std::vector<uint8_t> slot(uint8_t type, uint8_t track, uint8_t sector, const char *name,
                          uint16_t blocks) {
  FileEntry entry{};
  entry.type = type;
  entry.first_ts = {track, sector};
  const RawName raw = raw_name(name);
  std::copy(raw.begin(), raw.end(), entry.rawname);
  entry.blocks[0] = static_cast<uint8_t>(blocks & 0xFF);
  entry.blocks[1] = static_cast<uint8_t>(blocks >> 8);
  const auto *bytes = reinterpret_cast<const uint8_t *>(&entry);
  return {bytes + 2, bytes + sizeof entry};
}

// The bytes from the header block on of a formatted image with files: what a
// raw-mode input starts from.
std::vector<uint8_t> header_track_bytes(uint8_t kind, int files, size_t len) {
  const std::vector<uint8_t> recipe{static_cast<uint8_t>(kWithFiles | kind),
                                    static_cast<uint8_t>(files), 1};
  Input recipe_in(recipe.data(), recipe.size());
  BuiltImage built = build_image(recipe_in, "seed.img");
  const unsigned char *from = di_get_ts_addr(built.image.get(), built.image->header_ts);
  return std::vector<uint8_t>(from, from + len);
}

}  // namespace

std::vector<Seed> image_seeds() {
  std::vector<Seed> seeds;
  auto add = [&seeds](const char *name, const RecipeWriter &recipe) {
    seeds.push_back({name, recipe.bytes()});
  };
  add("blank-d64", RecipeWriter(kD64));
  add("blank-d81-errors", RecipeWriter(kD81 | kErrorInfo));
  add("empty-d64", RecipeWriter(kFormat | kD64));
  add("empty-d71-errors", RecipeWriter(kFormat | kD71 | kErrorInfo));
  add("empty-d81", RecipeWriter(kFormat | kD81));
  add("files-d64", RecipeWriter(kWithFiles | kD64).files(7, 1));
  add("files-d71", RecipeWriter(kWithFiles | kD71).files(7, 2));
  add("files-d81-errors", RecipeWriter(kWithFiles | kD81 | kErrorInfo).files(7, 3));

  // Directories that run in a cycle, or off the disk.
  add("dir-self-cycle-d64", RecipeWriter(kWithFiles | kD64).files(5, 1).link(18, 1, 18, 1));
  add("dir-two-block-cycle-d64",
      RecipeWriter(kWithFiles | kD64).files(5, 1).link(18, 1, 18, 4).link(18, 4, 18, 1));
  add("dir-self-cycle-d81", RecipeWriter(kWithFiles | kD81).files(5, 1).link(40, 3, 40, 3));
  add("dir-into-bam-d71", RecipeWriter(kWithFiles | kD71).files(3, 1).link(18, 1, 18, 0));
  add("dir-off-disk-d64", RecipeWriter(kWithFiles | kD64).files(5, 1).link(18, 1, 36, 0));
  add("dir-bad-sector-d64", RecipeWriter(kWithFiles | kD64).files(5, 1).link(18, 1, 18, 19));
  add("d81-header-off-disk", RecipeWriter(kWithFiles | kD81).files(3, 1).link(40, 0, 81, 0));
  add("d81-header-no-dir", RecipeWriter(kWithFiles | kD81).files(3, 1).link(40, 0, 0, 0));
  add("d81-header-to-bam", RecipeWriter(kWithFiles | kD81).files(3, 1).link(40, 0, 40, 1));
  add("broken-bam-link-d64",
      RecipeWriter(kWithFiles | kD64).files(3, 1).system_bytes(kBam, 0, {18, 4}));
  add("short-dir-block-d64", RecipeWriter(kWithFiles | kD64).files(7, 1).link(18, 1, 0, 100));

  // Files whose chains loop, end badly or leave the disk.
  add("file-self-cycle-d64", RecipeWriter(kWithFiles | kD64).files(3, 1).link(1, 10, 1, 10));
  add("file-loop-back-d64", RecipeWriter(kWithFiles | kD64).files(3, 1).link(1, 9, 1, 20));
  add("file-empty-last-d64", RecipeWriter(kWithFiles | kD64).files(3, 1).link(1, 10, 0, 0));
  add("file-off-disk-d71", RecipeWriter(kWithFiles | kD71).files(3, 1).link(1, 6, 71, 0));
  add("file-into-bam-d64", RecipeWriter(kWithFiles | kD64).files(3, 1).link(1, 20, 18, 0));
  add("file-self-cycle-d81", RecipeWriter(kWithFiles | kD81).files(3, 1).link(1, 1, 1, 1));

  // Error information on the directory, the header and the files.
  add("bad-dir-block-d64", RecipeWriter(kWithFiles | kD64 | kErrorInfo).files(5, 1).error(358, 5));
  add("bad-header-d64", RecipeWriter(kWithFiles | kD64 | kErrorInfo).files(5, 1).error(357, 0));
  add("bad-file-blocks-d64", RecipeWriter(kWithFiles | kD64 | kErrorInfo)
                                 .files(5, 1)
                                 .error(10, 2)
                                 .error(9, 11)
                                 .error(20, 15)
                                 .error(600, 0x20));
  add("bad-header-d81", RecipeWriter(kWithFiles | kD81 | kErrorInfo).files(3, 1).error(1560, 9));

  // D64s of 42 tracks: tracks 36-40 in an extended BAM layout or outside the
  // BAM, chains onto the extra tracks and errors there.
  const std::vector<uint8_t> extended = {17,   0xFF, 0xFF, 1,    17,   0xFF, 0xFF, 1, 16, 0xFE,
                                         0xFF, 1,    17,   0xFF, 0xFF, 1,    0,    0, 0,  0};
  add("long-speeddos", RecipeWriter(kWithFiles | kD64Long | kErrorInfo)
                           .files(3, 1)
                           .system_bytes(kBam, 0xC0, extended)
                           .link(1, 10, 38, 0)
                           .link(38, 0, 41, 5)
                           .error(683 + 2 * 17, 5)
                           .error(800, 9));
  add("long-dolphindos", RecipeWriter(kWithFiles | kD64Long | kFortyTracks)
                             .files(3, 1)
                             .system_bytes(kBam, 0xAC, extended));
  add("long-second-bam-block",
      RecipeWriter(kD64Long | kFortyTracks).system_bytes(kBam2, 0, {1, 2, 3}));
  add("long-outside", RecipeWriter(kWithFiles | kD64Long | kErrorInfo)
                          .files(3, 1)
                          .link(1, 20, 42, 16)
                          .link(42, 16, 36, 0)
                          .error(801, 3));

  // Slots the listing must show as they are, and a hostile BAM.
  add("odd-slots-d64", RecipeWriter(kFormat | kD64)
                           .block_bytes(18, 1, 2, slot(0x80, 1, 0, "DEL", 0))
                           .block_bytes(18, 1, 34, slot(0x8A, 1, 1, "BITS 3-5", 1))
                           .block_bytes(18, 1, 66, slot(0x42, 1, 2, "OPEN LOCKED", 0xFFFF))
                           .block_bytes(18, 1, 98, slot(0x87, 36, 0, "WILD*?", 7))
                           .block_bytes(18, 1, 130, slot(0x00, 1, 3, "FREE SLOT", 3))
                           .block_bytes(18, 1, 162, slot(0x81, 0, 0, "NO BLOCK", 0))
                           .block_bytes(18, 1, 194, slot(0x82, 18, 0, "THE BAM", 1))
                           .block_bytes(18, 1, 226, slot(0x82, 18, 1, "THE DIR", 1)));
  add("hostile-bam-d64", RecipeWriter(kWithFiles | kD64)
                             .files(3, 1)
                             .system_bytes(kBam, 4, {255, 0, 0, 0})
                             .system_bytes(kBam, 72, {0, 255, 255, 255})
                             .system_bytes(kBam, 171, {'H', 'I', 0xA0, 0x80, 0x7F, 0xFF}));
  add("hostile-bam-d71", RecipeWriter(kWithFiles | kD71)
                             .files(3, 1)
                             .system_bytes(kBam, 221, std::vector<uint8_t>(35, 255))
                             .system_bytes(kBam2, 0, std::vector<uint8_t>(105, 0)));
  add("hostile-bam-d81", RecipeWriter(kWithFiles | kD81)
                             .files(3, 1)
                             .system_bytes(kBam, 16, {0, 255, 255, 255, 255, 255})
                             .system_bytes(kBam2, 250, {255, 0, 0, 0, 0, 0}));

  // Raw: bytes from the header block on, so that mutations hit the directory.
  add("raw-d64", RecipeWriter(kRaw | kD64).raw(header_track_bytes(kD64, 7, 768)));
  add("raw-d81", RecipeWriter(kRaw | kD81).raw(header_track_bytes(kD81, 7, 1024)));
  add("raw-d71-errors",
      RecipeWriter(kRaw | kD71 | kErrorInfo).raw(header_track_bytes(kD71, 5, 512)));
  return seeds;
}

std::vector<Seed> library_seeds() {
  std::vector<Seed> seeds;
  auto add = [&seeds](const char *name, const RecipeWriter &recipe, const OpsWriter &ops) {
    seeds.push_back({name, library_input(recipe.bytes(), ops.bytes())});
  };
  // Files of the lengths around block boundaries, written and read back.
  for (uint8_t kind : {kD64, kD71, kD81}) {
    OpsWriter ops;
    const int sizes[] = {0, 1, 253, 254, 255, 508, 5000};
    for (int i = 0; i < 7; ++i) {
      char name[8];
      std::snprintf(name, sizeof name, "W%d", i);
      ops.open_write(i % 4, Name::text(name), i % 3 + 1).write(i % 4, sizes[i], i).close(i % 4);
    }
    ops.open_read(0, Name::text("W6"), 1).read(0, 100).read(0, 4000).read(0, 2000).close(0);
    ops.open_dir(1).read(1, 254).read(1, 254).read(1, 254).close(1);
    ops.remove(Name::text("W*"), 2).rename(Name::text("W?"), Name::text("RENAMED"), 1);
    ops.open_read(2, Name::table(4), 1).read_scan(2).sync();
    static const char *const kKindNames[] = {"write-read-d64", "write-read-d71", "write-read-d81"};
    add(kKindNames[kind], RecipeWriter(kFormat | kind), ops);
  }
  // Several writers at once, interleaved, then a quick and a full format.
  add("interleaved-writers-d64", RecipeWriter(kWithFiles | kD64 | kErrorInfo).files(3, 1),
      OpsWriter()
          .open_write(0, Name::text("ONE"), 2)
          .open_write(1, Name::text("TWO"), 0x81)
          .write(0, 300, 1)
          .write(1, 600, 2)
          .write(0, 300, 3)
          .open_read(2, Name::table(0), 1)
          .read(2, 10)
          .close(1)
          .close(0)
          .format(false, Name::text("QUICK"))
          .open_write(0, Name::text("AFTER"), 2)
          .write(0, 1000, 4)
          .close(0)
          .format(true, Name::text("FULL"), 'A', 'B'));
  // The disk fills up mid-write, and the close finds no room.
  add("disk-full-d64", RecipeWriter(kFormat | kD64),
      OpsWriter()
          .open_write(0, Name::text("BIG"), 2)
          .write(0, 168000, 1)
          .write(0, 2000, 2)
          .close(0)
          .open_write(1, Name::text("MORE"), 2)
          .write(1, 300, 3)
          .close(1)
          .remove(Name::text("BIG"), 2)
          .open_write(1, Name::text("AGAIN"), 1)
          .write(1, 3000, 4)
          .close(1));
  // More files than the directory track has slots for.
  {
    OpsWriter ops;
    for (int i = 0; i < 150; ++i) {
      char name[8];
      std::snprintf(name, sizeof name, "F%03d", i);
      ops.open_write(0, Name::text(name), 1).close(0);
    }
    ops.remove(Name::text("F1*"), 1).open_write(0, Name::text("LATE"), 2).write(0, 10, 1).close(0);
    add("directory-full-d64", RecipeWriter(kFormat | kD64), ops);
  }
  // Blocks marked by hand, then written around.
  add("alloc-free-d81", RecipeWriter(kFormat | kD81),
      OpsWriter()
          .alloc_block(1, 1)
          .alloc_block(1, 2)
          .free_block(1, 1)
          .free_block(40, 3)
          .alloc_block(80, 39)
          .open_write(0, Name::text("X"), 2)
          .write(0, 2000, 1)
          .close(0)
          .open_read(0, Name::text("X"), 2)
          .read_scan(0)
          .close(0));
  // Operations on damaged directories and chains.
  add("cyclic-dir-ops-d64", RecipeWriter(kWithFiles | kD64).files(7, 1).link(18, 1, 18, 1),
      OpsWriter()
          .open_write(0, Name::text("NEW"), 2)
          .write(0, 100, 1)
          .close(0)
          .remove(Name::table(4), 1)
          .rename(Name::table(5), Name::text("R"), 2)
          .open_dir(1)
          .read_scan(1));
  add("dir-off-disk-ops-d81", RecipeWriter(kWithFiles | kD81).files(7, 1).link(40, 3, 81, 0),
      OpsWriter()
          .open_write(0, Name::text("NEW"), 2)
          .close(0)
          .open_write(0, Name::text("NEW2"), 2)
          .open_dir(1)
          .read_scan(1)
          .remove(Name::table(4), 2));
  add("cyclic-chain-delete-d64", RecipeWriter(kWithFiles | kD64).files(3, 1).link(1, 9, 1, 20),
      OpsWriter()
          .open_read(0, Name::table(1), 2)
          .read(0, 30000)
          .remove(Name::table(4), 2)
          .open_write(1, Name::text("REUSE"), 2)
          .write(1, 1000, 1)
          .close(1));
  add("poke-open-reader-d64", RecipeWriter(kWithFiles | kD64).files(3, 1),
      OpsWriter()
          .open_read(0, Name::table(1), 2)
          .read(0, 100)
          .poke(1, 20, 0, 40)
          .read(0, 1000)
          .read(0, 1000)
          .poke(1, 20, 0, 1)
          .poke(1, 20, 1, 9)
          .read(0, 1000)
          .reset_status());
  // A directory track with no block left: the ninth file finds no slot.
  {
    OpsWriter ops;
    for (int s = 4; s < 40; ++s) ops.alloc_block(40, s);
    for (int i = 0; i < 9; ++i) {
      char name[8];
      std::snprintf(name, sizeof name, "D%d", i);
      ops.open_write(0, Name::text(name), 2).write(0, 10, i).close(0);
    }
    add("dir-track-full-d81", RecipeWriter(kFormat | kD81), ops);
  }
  return seeds;
}

std::vector<uint8_t> session_on(const std::vector<uint8_t> &recipe) {
  return library_input(recipe, OpsWriter()
                                   .open_dir(0)
                                   .read(0, 254)
                                   .read(0, 254)
                                   .open_read(1, Name::table(4), 2)
                                   .read_scan(1)
                                   .close(1)
                                   .open_write(1, Name::text("ADDED"), 2)
                                   .write(1, 1000, 7)
                                   .close(1)
                                   .remove(Name::table(4), 1)
                                   .rename(Name::table(4), Name::text("RENAMED"), 2)
                                   .read(0, 254)
                                   .bytes());
}

}  // namespace kestrix_fuzz

namespace kestrix_fuzz {

std::vector<uint8_t> raw_input_of(DiImage *image) {
  const gcr_writer::Tracks dump = gcr_writer::tracks(image);
  const bool g71 = dump.format == DI_FORMAT_G71;
  std::vector<RawTrack> tracks;
  for (size_t t = 1; t < dump.by_number.size(); ++t)
    if (dump.by_number[t])
      tracks.push_back({static_cast<int>(gcr_writer::entry_of(g71, t)), *dump.by_number[t]});
  return raw_input(g71, tracks);
}

std::vector<Seed> raw_seeds() {
  std::vector<Seed> seeds;
  // Formatted images with files and damage, as a drive lays them down.
  const std::vector<Seed> images = image_seeds();
  for (const char *name : {"files-d64", "files-d71", "bad-file-blocks-d64", "long-speeddos"}) {
    for (const Seed &seed : images) {
      if (seed.name != name) continue;
      Input in(seed.bytes.data(), seed.bytes.size());
      BuiltImage built = build_image(in, "seed.img");
      if (built.image)
        seeds.push_back({std::string("raw-") + name, raw_input_of(built.image.get())});
    }
  }
  // Tracks no drive reads: one-bits only, zero-bits only, a header at the
  // very end, a track too short for anything.
  const std::vector<uint8_t> ones(7000, 0xFF), zeros(7000, 0x00);
  std::vector<uint8_t> late(7000, 0x55);
  const uint8_t header[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x52, 0x54, 0xB5, 0x29, 0x4B};
  std::copy(std::begin(header), std::end(header), late.end() - sizeof header);
  seeds.push_back(
      {"raw-unreadable", raw_input(false, {{34, ones}, {35, zeros}, {36, late}, {0, {0xFF}}})});
  seeds.push_back({"raw-verbatim-g71", {kRawG71 | kRawVerbatim, 0, 168, 0xF8, 0x1E, 12, 0, 0, 0}});
  return seeds;
}

}  // namespace kestrix_fuzz
