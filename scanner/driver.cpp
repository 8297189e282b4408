// The command driver: checks the arguments, loads the image once and runs the
// commands strictly left to right. The table of commands below is the one
// place each command is named: the dispatch, the usage text and the hint for
// a command typed where the image belongs are all made from it.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "scanner/reports.h"

int lastoutput = 0;

namespace {

constexpr const char *kVersion = KESTRIX_VERSION;
constexpr int kUsageError = 255;
// A completed run in which some -check found the image not intact.
constexpr int kProblemsFound = 1;
// What an action returns to let the run go on.
constexpr int kGoOn = -1;

// What the commands of one run share.
struct Run {
  const char *prog;
  facts::ImageFacts &image;
  const DiImage *loaded;        // for what is no report: saving it
  const char *value = nullptr;  // the argument of a command that takes one
  bool problems_found = false;
};

struct Command {
  const char *name;  // with one dash; two are accepted as well
  const char *help;  // the usage text's line
  int (*action)(Run &run);
  bool scans_files = false;     // shows what reading each listed file leaves
  bool hashes_file = false;     // gives the image file's digests
  const char *value = nullptr;  // what the next argument is, for one that takes it
};

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

int run_sep(Run &) {
  std::puts("----------------------------------------------------------------------");
  return kGoOn;
}

int run_cr(Run &) {
  if (lastoutput) std::putchar('\n');
  lastoutput = 0;
  return kGoOn;
}

int run_name(Run &run) {
  std::printf("Image: %s\n", run.image.image_arg().c_str());
  lastoutput = 1;
  return kGoOn;
}

// A report that only prints what it gathered.
template <void (*print)(facts::ImageFacts &, FILE *)>
int run_report(Run &run) {
  print(run.image, stdout);
  return kGoOn;
}

int run_version(Run &) {
  print_version();
  return 0;
}

int run_check(Run &run) {
  if (print_check(run.image, stdout) != DI_VERDICT_INTACT) run.problems_found = true;
  return kGoOn;
}

// SIGXFSZ ends a process that passes its file size limit; ignored, the write
// fails with EFBIG instead, and a -save or -extract cleans up after itself.
class IgnoreFileSizeSignal {
 public:
  IgnoreFileSizeSignal() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, &old_);
  }
  ~IgnoreFileSizeSignal() { sigaction(SIGXFSZ, &old_, nullptr); }

 private:
  struct sigaction old_ {};
};

int run_save(Run &run) {
  IgnoreFileSizeSignal ignore_file_size;
  if (di_save_new(run.loaded, run.value) == 0) return kGoOn;
  const int why = errno;
  std::string reason = std::strerror(why);
  if (why == EEXIST) reason += " (-save never replaces a file)";
  complain(run.prog, "cannot save " + std::string(run.value) + ": " + reason);
  return kUsageError;
}

// A failed extraction ends the run as a usage error does, after the output
// of the commands before it.
int run_extract(Run &run) {
  IgnoreFileSizeSignal ignore_file_size;
  std::string error;
  if (extract_files(run.image, run.value, stdout, &error)) return kGoOn;
  complain(run.prog, error);
  return kUsageError;
}

// In the order the usage text lists them.
constexpr Command kCommands[] = {
    {"-dir", "show directory and scan files", run_report<print_dir>, true},
    {"-map", "show BAM and Error Map", run_report<print_map>},
    {"-bammsg", "show BAM message", run_report<print_bammessage>},
    {"-sep", "print a seperator line", run_sep},
    {"-cr", "print an empty line", run_cr},
    {"-name", "print image name", run_name},
    {"-version", "print program version and copyright", run_version},
    {"-check", "check the image's consistency and list its problems", run_check},
    {"-json", "print everything as one line of JSON", run_report<print_json>, true, true},
    {"-svg", "print a picture of the disk as SVG", run_report<print_svg>},
    {"-save", "write the image as a D64, D71 or D81 with its errors", run_save, false, false,
     "FILE"},
    {"-extract", "write every file into the new directory DIR, with a manifest", run_extract, false,
     true, "DIR"},
};

// Matches an argument against a command given with one dash, also accepting
// it with two.
bool is_command(const char *arg, const char *command) {
  if (arg[0] == '-' && arg[1] == '-') ++arg;
  return std::strcmp(arg, command) == 0;
}

const Command *find_command(const char *arg) {
  for (const Command &command : kCommands)
    if (is_command(arg, command.name)) return &command;
  return nullptr;
}

// Says why di_load_image refused path, from the errno it left. A wrong size
// is worded with the file's size, which stat gives without reading the file;
// a raw dump that does not decode, with what is wrong in it.
void complain_load_failed(const char *prog, const char *path, int why) {
  std::string reason;
  char raw_reason[DI_REASON_SIZE];
  const int raw_format = why == EINVAL ? di_raw_problem(path, raw_reason) : 0;
  if (raw_format != 0) {
    reason = std::string("cannot be read as a ") + (raw_format == DI_FORMAT_G71 ? "G71" : "G64") +
             " image" + (*raw_reason ? ": " : "") + raw_reason;
  } else if (why == EINVAL) {
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
    if (why == ENOENT && find_command(path))
      reason += " (the image name comes before the commands)";
  }
  complain(prog, std::string(path) + ": " + reason);
}

// Runs the commands after the image. Returns the exit status, and whether a
// command cut the run short (-version, or an argument that is no command).
int run_all(const char *prog, int argc, char **argv, Run &run, bool *cut_short) {
  *cut_short = true;
  for (int i = 2; i < argc; ++i) {
    const Command *command = find_command(argv[i]);
    if (!command) {
      // The output of the commands before stands; the image is left as it is.
      complain(prog, "unknown command '" + std::string(argv[i]) + "'");
      print_usage(prog);
      return kUsageError;
    }
    if (command->value) {
      if (i + 1 == argc) {
        complain(prog, "missing " + std::string(command->value) + " after '" + argv[i] + "'");
        print_usage(prog);
        return kUsageError;
      }
      run.value = argv[++i];
    }
    const int status = command->action(run);
    if (status != kGoOn) return status;
  }
  *cut_short = false;
  return run.problems_found ? kProblemsFound : 0;
}

}  // namespace

void print_usage(const char *prog) {
  std::printf("usage: %s <diskimage> <command(s)>\n", prog);
  std::puts("\ndiskimage can be d64, d71, d81");
  std::puts("\noptions:");
  for (const Command &command : kCommands) {
    std::string name = command.name;
    if (command.value) name = name + ' ' + command.value;
    // The help starts in column 12, or a space after a longer command.
    if (name.size() >= 12) name += ' ';
    std::printf("%-12s%s\n", name.c_str(), command.help);
  }
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
  int status;
  bool cut_short;
  // The listing works out every file's read only when a report shows it.
  bool scan_files = false;
  bool hash_file = false;
  for (int i = 2; i < argc; ++i) {
    const Command *command = find_command(argv[i]);
    if (!command) continue;
    scan_files = scan_files || command->scans_files;
    hash_file = hash_file || command->hashes_file;
    if (command->value) ++i;
  }
  try {
    facts::ImageFacts image_facts(image, argv[1], scan_files, hash_file);
    Run run{prog, image_facts, image};
    status = run_all(prog, argc, argv, run, &cut_short);
  } catch (const std::bad_alloc &) {
    complain(prog, "out of memory");
    return kUsageError;
  }
  if (!cut_short) di_free_image(image);
  return status;
}
