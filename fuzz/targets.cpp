// The image targets: the reports rendered the way the command line renders
// them, into memory where the text is checked and to /dev/null elsewhere.
#include "fuzz/targets.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "fuzz/input.h"
#include "fuzz/recipe.h"
#include "scanner/reports.h"

namespace kestrix_fuzz {

namespace {

FILE *null_sink() {
  static FILE *sink = std::fopen("/dev/null", "w");
  if (!sink) std::abort();
  return sink;
}

// A report's text, as written to a stream.
class Rendered {
 public:
  template <typename Report>
  Rendered(facts::ImageFacts &facts, Report &&report) {
    FILE *memory = open_memstream(&text_, &size_);
    if (!memory) throw std::bad_alloc();
    report(facts, memory);
    std::fclose(memory);
  }
  Rendered(const Rendered &) = delete;
  Rendered &operator=(const Rendered &) = delete;
  ~Rendered() { std::free(text_); }

  std::string_view text() const { return {text_, size_}; }

 private:
  char *text_ = nullptr;
  size_t size_ = 0;
};

// A report written into a buffer kept between runs that holds `limit` bytes
// and one more, so that a text which fills it is longer than the limit. A
// picture runs to megabytes, which a memory stream would grow and copy anew
// for every input.
class Limited {
 public:
  template <typename Report>
  Limited(facts::ImageFacts &facts, Report &&report, size_t limit) {
    static std::vector<char> buffer;
    if (buffer.size() < limit + 1) buffer.resize(limit + 1);
    FILE *stream = fmemopen(buffer.data(), limit + 1, "w");
    if (!stream) throw std::bad_alloc();
    report(facts, stream);
    std::fflush(stream);
    const long size = std::ftell(stream);
    std::fclose(stream);
    text_ = std::string_view(buffer.data(), size > 0 ? static_cast<size_t>(size) : 0);
  }

  std::string_view text() const { return text_; }

 private:
  std::string_view text_;
};

size_t lines_of(std::string_view text) {
  size_t lines = 0;
  for (const char c : text) lines += c == '\n';
  return lines;
}

// Kept between runs, for the reason given at ImageState.
ImageState &state_before() {
  static ImageState state;
  return state;
}

}  // namespace

void run_listing(const Invariants &invariants, DiImage *image) {
  ImageState &before = state_before();
  before.take(image);
  {
    facts::ImageFacts first(image, "fuzz<&\">.img");
    const Rendered listing(first, print_dir);
    const Rendered map(first, print_map);
    // A heading, a line per track, the totals.
    KESTRIX_FUZZ_EXPECT(invariants,
                        lines_of(map.text()) == static_cast<size_t>(di_tracks(image->type)) + 2);
    print_bammessage(first, null_sink());
    facts::ImageFacts again(image, "fuzz.img");
    KESTRIX_FUZZ_EXPECT(invariants, Rendered(again, print_dir).text() == listing.text());
  }
  invariants.unchanged(before, image);
  invariants.status(image);
}

void run_check(const Invariants &invariants, DiImage *image) {
  ImageState &before = state_before();
  before.take(image);
  {
    facts::ImageFacts facts(image, "fuzz \"image\".d64");
    invariants.problem_bound(facts.check());
    print_check(facts, null_sink());
    invariants.json_report(Rendered(facts, print_json).text());
  }
  invariants.file_data(image);
  invariants.unchanged(before, image);
  invariants.status(image);
}

void run_svg(const Invariants &invariants, DiImage *image) {
  // A name that needs escaping in both the title and the text.
  static constexpr char kImageArg[] = "fuzz <&\"'> picture.img";
  ImageState &before = state_before();
  before.take(image);
  {
    facts::ImageFacts facts(image, kImageArg);
    const size_t limit = Invariants::svg_size_limit(facts.check(), std::strlen(kImageArg));
    invariants.svg_report(Limited(facts, print_svg, limit).text(), limit);
  }
  invariants.unchanged(before, image);
  invariants.status(image);
}

void run_image_input(const Invariants &invariants, ImageRun run, const uint8_t *data, size_t size) {
  Input in(data, size);
  BuiltImage built = build_image(in, "fuzz.img");
  KESTRIX_FUZZ_EXPECT(invariants, built.image != nullptr);
  if (built.image) run(invariants, built.image.get());
}

}  // namespace kestrix_fuzz
