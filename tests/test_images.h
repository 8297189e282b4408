// Builds disk images byte by byte for the tests, so that every expectation
// sits next to the bytes it depends on.
#ifndef KESTRIX_TESTS_TEST_IMAGES_H
#define KESTRIX_TESTS_TEST_IMAGES_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "diskimage/internal.h"

namespace testing_images {

inline constexpr long long kD64Size = DI_D64_SIZE;
inline constexpr long long kD64ErrSize = DI_D64_ERR_SIZE;
inline constexpr long long kD71Size = DI_D71_SIZE;
inline constexpr long long kD71ErrSize = DI_D71_ERR_SIZE;
inline constexpr long long kD81Size = DI_D81_SIZE;
inline constexpr long long kD81ErrSize = DI_D81_ERR_SIZE;

// An image in memory, owned by the test.
struct ImageDeleter {
  void operator()(DiImage *image) const {
    if (image) image->dirty = 0;  // tests never write back unless they say so
    di_free_image(image);
  }
};
using ImagePtr = std::unique_ptr<DiImage, ImageDeleter>;

// All-zero image of the given file size, built without touching the disk.
inline ImagePtr blank_image(long long size) {
  auto *bytes = static_cast<unsigned char *>(std::calloc(static_cast<size_t>(size), 1));
  return ImagePtr(diskimage::image_from_buffer("test.img", bytes, size));
}

inline std::vector<unsigned char> raw(const char *name) {
  std::vector<unsigned char> bytes(16);
  di_rawname_from_name(bytes.data(), name);
  return bytes;
}

// A freshly full-formatted image of the given file size.
inline ImagePtr formatted_image(long long size, const char *name = "TEST DISK",
                                const char *id = "01") {
  ImagePtr image = blank_image(size);
  di_format(image.get(), raw(name).data(), reinterpret_cast<const unsigned char *>(id));
  image->dirty = 0;
  return image;
}

inline unsigned char *block(DiImage *image, int track, int sector) {
  return di_get_ts_addr(image, diskimage::make_ts(track, sector));
}

inline void put(unsigned char *at, std::initializer_list<int> bytes) {
  for (int b : bytes) *at++ = static_cast<unsigned char>(b);
}

// Slot i (0-7) of directory block t/s, in place.
inline unsigned char *slot_at(DiImage *image, int track, int sector, int i) {
  return block(image, track, sector) + diskimage::kSlotSize * i;
}

// Writes slot i of directory block t/s: type, first block, raw name and count.
inline void set_slot(DiImage *image, int track, int sector, int i, int type,
                     const std::vector<unsigned char> &rawname, int first_track, int first_sector,
                     int blocks = 1) {
  unsigned char *at = slot_at(image, track, sector, i);
  put(at + 2, {type, first_track, first_sector});
  std::memcpy(at + 5, rawname.data(), 16);
  put(at + 30, {blocks & 0xFF, blocks >> 8});
}

inline void set_link(DiImage *image, int track, int sector, int to_track, int to_sector) {
  put(block(image, track, sector), {to_track, to_sector});
}

// Sets the error-information byte of block t/s; the image must have the table.
inline void set_error(DiImage *image, int track, int sector, int byte) {
  image->error_info[diskimage::get_block_num(image->type, diskimage::make_ts(track, sector))] =
      static_cast<unsigned char>(byte);
}

// Writes a whole file through the library and closes it; returns bytes taken.
inline int write_file(DiImage *image, const char *name, int type,
                      const std::vector<unsigned char> &data) {
  DiFile *file = di_open(image, raw(name).data(), type, "wb");
  if (!file) return -1;
  int taken = di_write(file, data.data(), static_cast<int>(data.size()));
  di_close(file);
  return taken;
}

// A unique temporary directory removed with the object.
struct TempDir {
  std::filesystem::path path;
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrix-test-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string file(const std::string &name) const { return (path / name).string(); }
};

inline void save(const std::string &path, const unsigned char *bytes, size_t size) {
  FILE *f = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes, 1, size, f);
  std::fclose(f);
}

inline void save(const std::string &path, DiImage *image) {
  save(path, image->blocks, static_cast<size_t>(image->size));
}

inline std::vector<unsigned char> slurp(const std::string &path) {
  std::vector<unsigned char> bytes;
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  int c;
  while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<unsigned char>(c));
  std::fclose(f);
  return bytes;
}

// A report's lines, without their newlines.
inline std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace testing_images

#endif  // KESTRIX_TESTS_TEST_IMAGES_H
