// The command driver: checks the arguments, loads the image once and runs the
// commands strictly left to right.
#include <cstdio>
#include <cstring>

#include "scanner/reports.h"

int lastoutput = 0;

namespace {

constexpr const char *kVersion = KESTRIX_VERSION;
constexpr int kUsageError = 255;

// Matches an argument against a command given with one dash, also accepting
// it with two.
bool is_command(const char *arg, const char *command) {
  if (arg[0] == '-' && arg[1] == '-') ++arg;
  return std::strcmp(arg, command) == 0;
}

void print_separator() {
  std::puts("----------------------------------------------------------------------");
}

}  // namespace

void print_usage(const char *prog) {
  std::printf("usage: %s <diskimage> <command(s)>\n", prog);
  std::puts("\ndiskimage can be d64, d71, d81");
  std::puts("\noptions:");
  std::puts("-dir        show directory and scan files");
  std::puts("-map        show BAM and Error Map");
  std::puts("-bammsg     show BAM message");
  std::puts("-sep        print a seperator line");
  std::puts("-cr         print an empty line");
  std::puts("-name       print image name");
  std::puts("-version    print program version and copyright");
  std::puts("-svg        print a picture of the disk as SVG");
}

void print_version() {
  std::printf("kestrix v%s built on %s\n", kVersion, __DATE__);
  std::puts("kestrix scanner: copyright (c) the kestrix authors");
  std::puts("diskimage library: copyright (c) the diskimage authors");
}

int run_commands(int argc, char **argv) {
  // A program may be started without even its own name.
  const char *prog = argc > 0 && argv[0] ? argv[0] : "kestrix";
  if (argc < 2) {
    print_usage(prog);
    return kUsageError;
  }
  if (argc == 2) {
    if (is_command(argv[1], "-version")) {
      print_version();
      return 0;
    }
    print_usage(prog);
    return kUsageError;
  }
  DiImage *image = di_load_image(argv[1]);
  if (!image) {
    std::puts("error: loading diskimage failed.");
    return kUsageError;
  }
  for (int i = 2; i < argc; ++i) {
    const char *arg = argv[i];
    if (is_command(arg, "-sep")) {
      print_separator();
    } else if (is_command(arg, "-cr")) {
      if (lastoutput) std::putchar('\n');
      lastoutput = 0;
    } else if (is_command(arg, "-name")) {
      std::printf("Image: %s\n", argv[1]);
      lastoutput = 1;
    } else if (is_command(arg, "-dir")) {
      print_dir(image);
    } else if (is_command(arg, "-map")) {
      print_map(image);
    } else if (is_command(arg, "-bammsg")) {
      print_bammessage(image);
    } else if (is_command(arg, "-version")) {
      print_version();
      return 0;
    } else if (is_command(arg, "-svg")) {
      print_svg(image, argv[1], stdout);
    } else {
      // The output of the commands before stands; the image is left as it is.
      print_usage(prog);
      return kUsageError;
    }
  }
  di_free_image(image);
  return 0;
}
