// Writes the raw dump of each image given, as DIR/NAME.g64 (a D71's as .g71),
// for the tests that run over sample files.
//
// usage: write_raw_samples DIR IMAGE...
#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/gcr_writer.h"

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: write_raw_samples DIR IMAGE...\n");
    return 2;
  }
  std::filesystem::create_directories(argv[1]);
  for (int i = 2; i < argc; ++i) {
    DiImage *image = di_load_image(argv[i]);
    if (!image) {
      std::perror(argv[i]);
      return 1;
    }
    const gcr_writer::Bytes dump = gcr_writer::dump_of(image);
    const std::string path =
        (std::filesystem::path(argv[1]) / std::filesystem::path(argv[i]).stem()).string() +
        (image->type == D71 ? ".g71" : ".g64");
    di_free_image(image);
    FILE *out = std::fopen(path.c_str(), "wb");
    if (!out || std::fwrite(dump.data(), 1, dump.size(), out) != dump.size() ||
        std::fclose(out) != 0) {
      std::perror(path.c_str());
      return 1;
    }
  }
  return 0;
}
