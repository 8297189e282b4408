// What each fuzz target runs, shared with the corpus maker and the regression
// tests. The image targets take an image recipe; their checks take any image,
// so that a decoder of another image format can feed them as it is.
#ifndef KESTRIX_FUZZ_TARGETS_H
#define KESTRIX_FUZZ_TARGETS_H

#include <cstddef>
#include <cstdint>

#include "diskimage/diskimage.h"
#include "fuzz/invariants.h"

namespace kestrix_fuzz {

// -dir, -map and -bammsg, and the listing again from facts gathered afresh,
// which must read the same.
void run_listing(const Invariants &invariants, DiImage *image);
// -check and -json: the problems within their bound, the JSON one
// well-formed line.
void run_check(const Invariants &invariants, DiImage *image);
// -svg: well formed and of a size its blocks and files explain.
void run_svg(const Invariants &invariants, DiImage *image);
// Each of them reads the image only: it comes out as it went in.

using ImageRun = void (*)(const Invariants &, DiImage *);

// Builds the image an input's recipe describes and runs `run` on it.
void run_image_input(const Invariants &invariants, ImageRun run, const uint8_t *data, size_t size);

struct ImageTarget {
  const char *name;  // fuzz_NAME, and its seed directory
  ImageRun run;
};
inline constexpr ImageTarget kImageTargets[] = {
    {"listing", run_listing}, {"check", run_check}, {"svg", run_svg}};
// The library session's target (see session.h).
inline constexpr const char *kLibraryTarget = "library";

}  // namespace kestrix_fuzz

#endif  // KESTRIX_FUZZ_TARGETS_H
