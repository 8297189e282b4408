// The library session: an image recipe, then operations on the image, each a
// code byte (taken modulo kOpCount) and the arguments kOpLayouts gives for it.
// The whole input: two bytes (low first) giving the recipe's length, the
// recipe, the operations.
#ifndef KESTRIX_FUZZ_SESSION_H
#define KESTRIX_FUZZ_SESSION_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "diskimage/diskimage.h"
#include "fuzz/input.h"
#include "fuzz/invariants.h"
#include "fuzz/recipe.h"

namespace kestrix_fuzz {

enum Op : uint8_t {
  kOpenDir,
  kOpenRead,
  kRead,
  kOpenWrite,
  kWrite,
  kClose,
  kFormatImage,  // twice per session at most
  kDelete,
  kRename,
  kAllocBlock,
  kFreeBlock,
  kSync,  // once per session at most
  kPoke,
  kResetStatus,
  kOpCount
};

// The argument kinds, each with one byte encoding.
enum class Arg : uint8_t {
  kEnd,          // ends a layout
  kSlot,         // one byte: a handle, modulo kHandles
  kName,         // a Name
  kNewName,      // a second Name
  kType,         // one byte: a file type, as the operation reads it
  kReadLength,   // bit 7 of the first byte set: the listing's scan size,
                 // else 15 bits, high byte first
  kWriteLength,  // two bytes, low first; bit 15 set: in units of eight bytes
  kSeed,         // one byte
  kFull,         // one byte, bit 0
  kId,           // two bytes
  kBlock,        // track byte, sector byte: reduced into the geometry
  kOffset,       // one byte
  kValue,        // one byte
};

// One table for the decoder (LibrarySession) and the writer (OpsWriter), so
// that the two read and write the same bytes.
struct OpLayout {
  Op op;
  std::array<Arg, 4> args;
};
inline constexpr OpLayout kOpLayouts[kOpCount] = {
    {kOpenDir, {Arg::kSlot, Arg::kType}},
    {kOpenRead, {Arg::kSlot, Arg::kName, Arg::kType}},
    {kRead, {Arg::kSlot, Arg::kReadLength}},
    {kOpenWrite, {Arg::kSlot, Arg::kName, Arg::kType}},
    {kWrite, {Arg::kSlot, Arg::kWriteLength, Arg::kSeed}},
    {kClose, {Arg::kSlot}},
    {kFormatImage, {Arg::kFull, Arg::kName, Arg::kId}},
    {kDelete, {Arg::kName, Arg::kType}},
    {kRename, {Arg::kName, Arg::kNewName, Arg::kType}},
    {kAllocBlock, {Arg::kBlock}},
    {kFreeBlock, {Arg::kBlock}},
    {kSync, {}},
    {kPoke, {Arg::kBlock, Arg::kOffset, Arg::kValue}},
    {kResetStatus, {}},
};

inline constexpr int kHandles = 4;
// Name selectors from this value on are followed by their raw bytes.
inline constexpr uint8_t kRawNameBase = 0xC0;

// A name as the operations encode it: a selector below kRawNameBase picks
// kNames[selector % kNameCount]; from it on, (selector - kRawNameBase) % 17
// raw bytes follow, padded to 16.
struct Name {
  uint8_t selector = 0;
  std::vector<uint8_t> chars;

  static Name table(int index) { return {static_cast<uint8_t>(index), {}}; }
  static Name raw(const std::vector<uint8_t> &chars);
  static Name text(const char *chars);
  RawName resolve() const;
  bool operator==(const Name &) const = default;
};

// An operation's arguments as encoded; those its layout lacks stay as they
// are. Track bytes are stored as the writer's track - 1.
struct OpArgs {
  uint8_t slot = 0;
  Name name{}, new_name{};
  uint8_t type = 0;
  int length = 0;
  uint8_t seed = 0;
  bool full = false;
  std::array<uint8_t, 2> id{};
  uint8_t track = 0, sector = 0;
  uint8_t offset = 0, value = 0;
  bool operator==(const OpArgs &) const = default;
};

Op read_op(Input &in, OpArgs &args);
void write_op(Op op, const OpArgs &args, std::vector<uint8_t> &out);

struct SessionStats {
  int ops = 0;
  int files_verified = 0;  // files written, closed and read back intact
  long bytes_verified = 0;
  int syncs_verified = 0;
};

// Runs a library input. Written-back images go to sync_path (a file in a
// directory of the caller's); with none, nothing is written back.
SessionStats run_library_input(const Invariants &invariants, const uint8_t *data, size_t size,
                               const std::string &sync_path);

// ---- Writing sessions -----------------------------------------------------------

class OpsWriter {
 public:
  OpsWriter &open_dir(int slot) { return add(kOpenDir, {.slot = u8(slot)}); }
  OpsWriter &open_read(int slot, const Name &name, int type) {
    return add(kOpenRead, {.slot = u8(slot), .name = name, .type = u8(type)});
  }
  // Lengths up to 32767, or DI_SCAN_SIZE.
  OpsWriter &read(int slot, int len) { return add(kRead, {.slot = u8(slot), .length = len}); }
  OpsWriter &read_scan(int slot) { return read(slot, DI_SCAN_SIZE); }
  OpsWriter &open_write(int slot, const Name &name, int type) {
    return add(kOpenWrite, {.slot = u8(slot), .name = name, .type = u8(type)});
  }
  // Lengths below 32768, or multiples of eight up to 262136.
  OpsWriter &write(int slot, int len, int seed) {
    return add(kWrite, {.slot = u8(slot), .length = len, .seed = u8(seed)});
  }
  OpsWriter &close(int slot) { return add(kClose, {.slot = u8(slot)}); }
  OpsWriter &format(bool full, const Name &name, uint8_t id0 = 'I', uint8_t id1 = 'D') {
    return add(kFormatImage, {.name = name, .full = full, .id = {id0, id1}});
  }
  OpsWriter &remove(const Name &pattern, int type) {
    return add(kDelete, {.name = pattern, .type = u8(type)});
  }
  OpsWriter &rename(const Name &pattern, const Name &name, int type) {
    return add(kRename, {.name = pattern, .new_name = name, .type = u8(type)});
  }
  OpsWriter &alloc_block(int track, int sector) {
    return add(kAllocBlock, {.track = u8(track - 1), .sector = u8(sector)});
  }
  OpsWriter &free_block(int track, int sector) {
    return add(kFreeBlock, {.track = u8(track - 1), .sector = u8(sector)});
  }
  OpsWriter &sync() { return add(kSync, {}); }
  OpsWriter &poke(int track, int sector, int offset, int value) {
    return add(
        kPoke,
        {.track = u8(track - 1), .sector = u8(sector), .offset = u8(offset), .value = u8(value)});
  }
  OpsWriter &reset_status() { return add(kResetStatus, {}); }
  const std::vector<uint8_t> &bytes() const { return bytes_; }

 private:
  static uint8_t u8(int v) { return static_cast<uint8_t>(v); }
  OpsWriter &add(Op op, const OpArgs &args) {
    write_op(op, args, bytes_);
    return *this;
  }
  std::vector<uint8_t> bytes_;
};

std::vector<uint8_t> library_input(const std::vector<uint8_t> &recipe,
                                   const std::vector<uint8_t> &ops);

}  // namespace kestrix_fuzz

#endif  // KESTRIX_FUZZ_SESSION_H
