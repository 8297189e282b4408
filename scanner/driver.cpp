// The command driver: checks the arguments, loads the image once and runs the
// commands strictly left to right.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "scanner/reports.h"

int lastoutput = 0;

namespace {

constexpr const char *kVersion = KESTRIX_VERSION;
constexpr int kUsageError = 255;
// A completed run in which some -check found a problem.
constexpr int kProblemsFound = 1;

// Matches an argument against a command given with one dash, also accepting
// it with two.
bool is_command(const char *arg, const char *command) {
  if (arg[0] == '-' && arg[1] == '-') ++arg;
  return std::strcmp(arg, command) == 0;
}

void print_separator() {
  std::puts("----------------------------------------------------------------------");
}

// Standard output keeps its fixed texts, so why a run failed goes to standard
// error, as one line headed by the program's name. Standard output is flushed
// first, so that where both go to one place the line follows what came before.
void complain(const char *prog, const std::string &message) {
  const char *slash = std::strrchr(prog, '/');
  const char *name = slash ? slash + 1 : prog;
  if (*name == '\0') name = "kestrix";
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", name, message.c_str());
}

// The commands of the dispatch in run_commands, for the hint below.
bool is_any_command(const char *arg) {
  for (const char *command : {"-sep", "-cr", "-name", "-dir", "-map", "-bammsg", "-version"})
    if (is_command(arg, command)) return true;
  return false;
}

// Says why di_load_image refused path, from the errno it left. A wrong size
// is worded with the file's size, which stat gives without reading the file.
void complain_load_failed(const char *prog, const char *path, int why) {
  std::string reason;
  if (why == EINVAL) {
    struct stat st {};
    const bool found = stat(path, &st) == 0;
    if (found && S_ISREG(st.st_mode)) {
      reason = std::to_string(static_cast<long long>(st.st_size)) +
               (st.st_size == 1 ? " byte is" : " bytes is") +
               " not the size of a D64, D71 or D81 image";
    } else if (found && !S_ISBLK(st.st_mode)) {
      reason = "not a regular file or block device";
    } else {
      reason = "not the size of a D64, D71 or D81 image";
    }
  } else {
    reason = std::strerror(why);
    // A command typed where the image belongs was taken for a file name.
    if (why == ENOENT && is_any_command(path))
      reason += " (the image name comes before the commands)";
  }
  complain(prog, std::string(path) + ": " + reason);
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
  std::puts("-check      check the image's consistency and list its problems");
  std::puts("-json       print everything as one line of JSON");
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
  // A -version or an unknown command ends the run without releasing the
  // image; held here, it stays reachable until the process ends rather than
  // being lost as a leak.
  static DiImage *image;
  image = di_load_image(argv[1]);
  if (!image) {
    const int why = errno;
    std::puts("error: loading diskimage failed.");
    complain_load_failed(prog, argv[1], why);
    return kUsageError;
  }
  bool problems_found = false;
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
    } else if (is_command(arg, "-check")) {
      if (print_check(image, stdout) != 0) problems_found = true;
    } else if (is_command(arg, "-json")) {
      if (!print_json(image, argv[1], stdout)) problems_found = true;
    } else if (is_command(arg, "-svg")) {
      print_svg(image, argv[1], stdout);
    } else {
      // The output of the commands before stands; the image is left as it is.
      complain(prog, "unknown command '" + std::string(arg) + "'");
      print_usage(prog);
      return kUsageError;
    }
  }
  di_free_image(image);
  return problems_found ? kProblemsFound : 0;
}
