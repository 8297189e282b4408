// What must hold whatever the input, checked through the library's public
// header only. A broken invariant goes to the handler an Invariants object
// was made with: the fuzzers abort, so that libFuzzer keeps the input; the
// regression tests record a test failure and go on.
#ifndef KESTRIX_FUZZ_INVARIANTS_H
#define KESTRIX_FUZZ_INVARIANTS_H

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "diskimage/diskimage.h"
#include "fuzz/recipe.h"

namespace kestrix_fuzz {

struct Violation {
  const char *what;
  const char *file;
  int line;
};

// What a use of an image that only reads it must leave as it found it.
struct ImageState {
  std::vector<uint8_t> bytes;  // kept between uses: an image-sized allocation costs
  int free_blocks = 0;
  int open_files = 0;
  int dirty = 0;

  void take(const DiImage *image);
};

class Invariants {
 public:
  using Handler = std::function<void(const Violation &)>;
  explicit Invariants(Handler handler) : handler_(std::move(handler)) {}
  // Prints the violation and aborts.
  static Invariants aborting();

  void expect(bool ok, const char *what, const char *file, int line) const {
    if (!ok) handler_(Violation{what, file, line});
  }

  // The status is one the library sets, and di_status() writes it within its
  // buffer.
  void status(const DiImage *image) const;
  // di_open()'s lookup of a pattern agrees with the reference rule on the
  // directory as the reader delivers it; see the definition for where.
  // Changes the image's status.
  void matching(DiImage *image, const RawName &pattern) const;
  void unchanged(const ImageState &before, const DiImage *image) const;

  // The check's problems stay within a few per block and per slot.
  void problem_bound(const DiCheck &check) const;
  // -json: one line, well formed.
  void json_report(std::string_view text) const;
  // The most bytes -svg may take: what its blocks and files explain.
  static size_t svg_size_limit(const DiCheck &check, size_t image_arg_size);
  // -svg: well formed, and within the limit.
  void svg_report(std::string_view text, size_t limit) const;
  // Every listed file's data read whole as -extract reads it, within the
  // extraction's limit shared out in listing order: each read delivers no
  // more than it was given and agrees with what its record says of itself.
  void file_data(DiImage *image) const;

 private:
  Handler handler_;
};

#define KESTRIX_FUZZ_EXPECT(invariants, cond) (invariants).expect((cond), #cond, __FILE__, __LINE__)

// The name-matching rule as it reads, byte by byte. The library's own is
// tuned for speed, and must give the same answer for every pair of names.
bool reference_match(const uint8_t *pattern, const uint8_t *name);

// The free count loading gives an image: the BAM's counts of every track but
// the header's.
int bam_free_count(DiImage *image);

}  // namespace kestrix_fuzz

#endif  // KESTRIX_FUZZ_INVARIANTS_H
