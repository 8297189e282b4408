// The raw dump target.
#include "fuzz/raw.h"

#include <cstring>

#include "fuzz/input.h"
#include "fuzz/recipe.h"
#include "fuzz/targets.h"
#include "tests/gcr_writer.h"

namespace kestrix_fuzz {
namespace {

using gcr_writer::kG64Entries;
using gcr_writer::kG71Entries;
using gcr_writer::kHeaderSize;

void put_le(std::vector<uint8_t> &file, size_t at, size_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) file[at + static_cast<size_t>(i)] = (value >> (8 * i)) & 0xFF;
}

}  // namespace

std::vector<uint8_t> raw_file(const uint8_t *data, size_t size) {
  Input in(data, size);
  const uint8_t flags = in.byte();
  const bool g71 = flags & kRawG71;
  const char *signature = gcr_writer::signature(g71);
  std::vector<uint8_t> file(signature, signature + 8);
  if (flags & kRawVerbatim) {
    file.resize(8 + in.remaining());
    in.take(file.data() + 8, file.size() - 8);
    return file;
  }
  const size_t entries = g71 ? kG71Entries : kG64Entries;
  file.resize(kHeaderSize + 8 * entries);
  file[9] = static_cast<uint8_t>(entries);
  put_le(file, 10, gcr_writer::kMaxTrackSize, 2);
  while (!in.empty()) {
    const size_t entry = in.byte() % entries;
    const size_t length = in.u16();
    put_le(file, kHeaderSize + 4 * entry, file.size(), 4);
    const size_t at = file.size();
    file.resize(at + 2 + length);
    put_le(file, at, length, 2);
    // A track cut short by the end of the input keeps its stated length,
    // which the loader must refuse.
    file.resize(at + 2 + in.take(file.data() + at + 2, length));
  }
  return file;
}

std::vector<uint8_t> raw_input(bool g71, const std::vector<RawTrack> &tracks) {
  std::vector<uint8_t> input{static_cast<uint8_t>(g71 ? kRawG71 : 0)};
  for (const RawTrack &track : tracks) {
    input.push_back(static_cast<uint8_t>(track.entry));
    input.push_back(static_cast<uint8_t>(track.bytes.size() & 0xFF));
    input.push_back(static_cast<uint8_t>(track.bytes.size() >> 8));
    input.insert(input.end(), track.bytes.begin(), track.bytes.end());
  }
  return input;
}

void run_raw_input(const Invariants &invariants, const uint8_t *data, size_t size) {
  const std::vector<uint8_t> file = raw_file(data, size);
  ImagePtr image(
      di_load_image_from_memory("fuzz.g64", file.data(), static_cast<long>(file.size())));
  if (!image) return;  // a container the loader refuses, as it should many
  DiImage *d = image.get();
  KESTRIX_FUZZ_EXPECT(invariants,
                      d->type == D64 || d->type == D64_40 || d->type == D64_42 || d->type == D71);
  KESTRIX_FUZZ_EXPECT(invariants, (d->type == D71) == (file[6] == '7'));  // GCR-1571
  KESTRIX_FUZZ_EXPECT(invariants, d->error_info != nullptr);
  KESTRIX_FUZZ_EXPECT(invariants, di_file_size(d) == static_cast<long>(file.size()));
  KESTRIX_FUZZ_EXPECT(invariants, di_image_read_only(d) == 1);
  // Every sector gets one of the drive's codes; only a sector read whole, or
  // read with a bad checksum, carries data.
  const int blocks = static_cast<int>(d->blocks + d->size - d->error_info);
  for (int b = 0; b < blocks && d->error_info; ++b) {
    const uint8_t e = d->error_info[b];
    KESTRIX_FUZZ_EXPECT(invariants,
                        e == 1 || e == 2 || e == 3 || e == 4 || e == 5 || e == 9 || e == 11);
    if (e == 1 || e == 5) continue;
    const unsigned char *block = d->blocks + static_cast<size_t>(b) * DI_BLOCK_SIZE;
    bool zero = true;
    for (int i = 0; i < DI_BLOCK_SIZE; ++i) zero = zero && block[i] == 0;
    KESTRIX_FUZZ_EXPECT(invariants, zero);
  }
  run_listing(invariants, d);
  // No GCR writer: writing back leaves the file alone and says so.
  d->dirty = 1;
  di_sync(d);
  KESTRIX_FUZZ_EXPECT(invariants, d->dirty == 1 && d->status == DI_STATUS_WRITE_PROTECT);
  d->dirty = 0;
}

}  // namespace kestrix_fuzz
