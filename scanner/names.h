// The names reports give the library's numbers: kinds, block owners, problem
// kinds, walks and block states. One table each, shared by every report.
#ifndef KESTRIX_SCANNER_NAMES_H
#define KESTRIX_SCANNER_NAMES_H

#include <string>

#include "diskimage/diskimage.h"

namespace names {

// "d64", or "" for a value that is no kind.
const char *kind(ImageType type);
// "D64", as a picture labels it.
const char *kind_label(ImageType type);
// "d64" ... "g71", as -json names the file format (DI_FORMAT_*); "" for any other.
const char *format(int format);
// The file type of a slot's type byte: "prg" and so on.
inline const char *file_type(unsigned char type_byte) {
  return ftype[type_byte & DI_TYPE_MASK];
}

// Words for an owner that is not a file (DI_OWNER_SYSTEM, DI_OWNER_DIRECTORY),
// as each report says them; null for a file.
struct OwnerWords {
  const char *json;     // "system"
  const char *check;    // "the BAM/header"
  const char *picture;  // "system (BAM and header)"
};
const OwnerWords *owner(int owner);

// "dir-link" and so on, as -json names problems; "unknown" for any other.
const char *problem(int kind);
// "loss", "risk", "note".
const char *severity(int severity);
// "intact", "at risk", "damaged".
const char *verdict(int verdict);
// "5 loss, 0 risk, 3 notes": the check's problems counted by severity.
std::string severity_counts(const DiCheck &check);
// "data", "record", "side-sectors", "info"; "" for DI_PART_NONE.
const char *part(int part);
// How -check names a walk: "data chain", "record" (the caller adds its
// number), "side-sector chain", "info block".
const char *part_words(int part);
// "free", "file", ... as the picture's fill classes name the states.
const char *block_state(int state);
// "standard", "speeddos", "dolphindos", "none", as -json names BAM layouts.
const char *bam_layout(int layout);

}  // namespace names

#endif  // KESTRIX_SCANNER_NAMES_H
