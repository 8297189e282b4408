// Writes raw dumps of sample images, made by the tests' own encoder, for the
// tests that run over sample files: clean.g64, damaged.g64 and demo.g71 in
// the build's raw sample directory.
#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/gcr_writer.h"

int main() {
  const std::filesystem::path out = KESTRIX_RAW_SAMPLES_DIR;
  std::filesystem::create_directories(out);
  for (const char *name : {"clean.d64", "damaged.d64", "demo.d71"}) {
    const std::string source = std::string(KESTRIX_SAMPLES_DIR) + "/" + name;
    DiImage *image = di_load_image(source.c_str());
    if (!image) {
      std::perror(source.c_str());
      return 1;
    }
    const gcr_writer::Bytes dump = gcr_writer::dump_of(image);
    const std::string path = (out / std::filesystem::path(name).stem()).string() +
                             (image->type == D71 ? ".g71" : ".g64");
    di_free_image(image);
    FILE *file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(dump.data(), 1, dump.size(), file) != dump.size() ||
        std::fclose(file) != 0) {
      std::perror(path.c_str());
      return 1;
    }
  }
  return 0;
}
