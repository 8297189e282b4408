// Writes the seed corpus of both fuzz targets:
//
//   fuzz_make_corpus OUTDIR [IMAGE...]
//
// OUTDIR/scanner and OUTDIR/library receive the seeds built in code, and for
// every IMAGE given (the sample images, say) a description of it, plus for
// the library a session of reads, writes and deletes on it.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/seeds.h"

namespace {

using kestrix_fuzz::Name;
using kestrix_fuzz::OpsWriter;
using kestrix_fuzz::Seed;

bool write_seed(const std::filesystem::path &dir, const Seed &seed) {
  const std::string path = (dir / seed.name).string();
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(seed.bytes.data(), 1, seed.bytes.size(), f) == seed.bytes.size();
  return std::fclose(f) == 0 && ok;
}

OpsWriter session_on_existing_image() {
  return OpsWriter()
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
      .read(0, 254);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTDIR [IMAGE...]\n", argv[0]);
    return 2;
  }
  const std::filesystem::path out = argv[1];
  const std::filesystem::path scanner = out / "scanner", library = out / "library";
  std::error_code error;
  std::filesystem::create_directories(scanner, error);
  std::filesystem::create_directories(library, error);

  std::vector<Seed> scanner_seeds = kestrix_fuzz::scanner_seeds();
  std::vector<Seed> library_seeds = kestrix_fuzz::library_seeds();
  for (int i = 2; i < argc; ++i) {
    DiImage *image = di_load_image(argv[i]);
    if (!image) {
      std::fprintf(stderr, "%s: cannot load %s\n", argv[0], argv[i]);
      return 1;
    }
    const std::string name = "image-" + std::filesystem::path(argv[i]).filename().string();
    const std::vector<uint8_t> recipe = kestrix_fuzz::describe_image(image);
    scanner_seeds.push_back({name, recipe});
    library_seeds.push_back(
        {name, kestrix_fuzz::library_input(recipe, session_on_existing_image().bytes())});
    di_free_image(image);
  }
  for (const Seed &seed : scanner_seeds) {
    if (!write_seed(scanner, seed)) {
      std::fprintf(stderr, "%s: cannot write %s\n", argv[0], seed.name.c_str());
      return 1;
    }
  }
  for (const Seed &seed : library_seeds) {
    if (!write_seed(library, seed)) {
      std::fprintf(stderr, "%s: cannot write %s\n", argv[0], seed.name.c_str());
      return 1;
    }
  }
  std::printf("%zu scanner seeds, %zu library seeds in %s\n", scanner_seeds.size(),
              library_seeds.size(), out.string().c_str());
  return 0;
}
