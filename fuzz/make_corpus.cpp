// Writes the seed corpus of every fuzz target:
//
//   fuzz_make_corpus OUTDIR [IMAGE...]
//
// OUTDIR/NAME receives the seeds of fuzz_NAME built in code, and for every
// IMAGE given (the sample images, say) a description of it; the library's
// seeds describe it with a session of reads, writes and deletes, the raw
// target's as a drive lays it down.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/recipe.h"
#include "fuzz/seeds.h"
#include "fuzz/targets.h"

namespace {

using kestrix_fuzz::Seed;

bool write_seeds(const char *prog, const std::filesystem::path &dir,
                 const std::vector<Seed> &seeds) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  for (const Seed &seed : seeds) {
    const std::string path = (dir / seed.name).string();
    FILE *f = std::fopen(path.c_str(), "wb");
    const bool ok =
        f && std::fwrite(seed.bytes.data(), 1, seed.bytes.size(), f) == seed.bytes.size();
    if (!f || std::fclose(f) != 0 || !ok) {
      std::fprintf(stderr, "%s: cannot write %s\n", prog, path.c_str());
      return false;
    }
  }
  std::printf("%zu seeds in %s\n", seeds.size(), dir.string().c_str());
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTDIR [IMAGE...]\n", argv[0]);
    return 2;
  }
  const std::filesystem::path out = argv[1];
  std::vector<Seed> image_seeds = kestrix_fuzz::image_seeds();
  std::vector<Seed> library_seeds = kestrix_fuzz::library_seeds();
  std::vector<Seed> raw_seeds = kestrix_fuzz::raw_seeds();
  for (int i = 2; i < argc; ++i) {
    kestrix_fuzz::ImagePtr image(di_load_image(argv[i]));
    if (!image) {
      std::fprintf(stderr, "%s: cannot load %s\n", argv[0], argv[i]);
      return 1;
    }
    const std::string name = "image-" + std::filesystem::path(argv[i]).filename().string();
    const std::vector<uint8_t> recipe = kestrix_fuzz::describe_image(image.get());
    image_seeds.push_back({name, recipe});
    library_seeds.push_back({name, kestrix_fuzz::session_on(recipe)});
    raw_seeds.push_back({name, kestrix_fuzz::raw_input_of(image.get())});
  }
  for (const kestrix_fuzz::ImageTarget &target : kestrix_fuzz::kImageTargets)
    if (!write_seeds(argv[0], out / target.name, image_seeds)) return 1;
  if (!write_seeds(argv[0], out / "raw", raw_seeds)) return 1;
  return write_seeds(argv[0], out / kestrix_fuzz::kLibraryTarget, library_seeds) ? 0 : 1;
}
