// What the library's sources share among themselves: the block layouts and
// the kind table (layout.h), following chains (chain.h), the listing's scan
// (listing.h), and the operations programs do not call. Only the library and
// its tests are built with DISKIMAGE_INTERNAL; a program uses diskimage.h.
#ifndef DISKIMAGE_INTERNAL_H
#define DISKIMAGE_INTERNAL_H

#if !defined(__cplusplus) || !defined(DISKIMAGE_INTERNAL)
#error "diskimage/internal.h is only to be used inside the library and its tests"
#endif

#include <type_traits>

#include "diskimage/chain.h"
#include "diskimage/layout.h"
#include "diskimage/listing.h"

namespace diskimage {

// ---- Geometry and the image container ---------------------------------------

// What the library keeps of an image beyond the public record: where it came
// from and whether it may be written back. Every image is allocated as one of
// these, with the DiImage first, so a DiImage pointer is the record's address.
struct ImageRecord {
  DiImage image;
  int format;           // DI_FORMAT_*
  long long file_size;  // bytes of the file as read
  bool read_only;       // decoded from a raw dump: di_sync() must not write
  // A raw dump's own bytes, kept for di_image_bytes(): the decoded image is
  // not the file. Null for an image whose blocks are its file.
  unsigned char *file_bytes;
};
static_assert(std::is_standard_layout_v<ImageRecord>);
inline ImageRecord &record_of(DiImage *image) {
  return *reinterpret_cast<ImageRecord *>(image);
}
inline const ImageRecord &record_of(const DiImage *image) {
  return *reinterpret_cast<const ImageRecord *>(image);
}

// Linear number of a valid block; an invalid one ends the process with the
// internal range error.
int get_block_num(ImageType type, TsPair ts);
int interleave(ImageType type);
// Builds an image around an image-sized buffer allocated with malloc; the
// image takes ownership of `bytes` on success, and frees it on failure.
DiImage *image_from_buffer(const char *path, unsigned char *bytes, long long size);
// Reads exactly size bytes from fd, however many reads it takes. Returns false
// on an error or on an early end of the file.
bool read_fully(int fd, unsigned char *dst, long long size);

// ---- Status ---------------------------------------------------------------------

int set_status(DiImage *image, int code, int track, int sector);
inline int set_status(DiImage *image, int code, TsPair ts) {
  return set_status(image, code, ts.track, ts.sector);
}
// Status code of the error byte of the block numbered `block`.
int block_error_code(const DiImage *image, int block);

// ---- BAM ------------------------------------------------------------------------

int blocks_free(DiImage *image);
TsPair next_ts_in_chain(DiImage *image, TsPair ts);
// Bits set in a track's bitmap for its existing sectors, whatever its count.
int bam_bits_set(DiImage *image, int track);
TsPair alloc_next_ts(DiImage *image, TsPair prev);
TsPair alloc_next_dir_ts(DiImage *image);
void free_chain(DiImage *image, TsPair first);

// ---- Directory and names --------------------------------------------------------

int match_pattern(const unsigned char *pattern, const unsigned char *name);
// "$": opened for reading, the name gives the directory as a file.
inline bool is_directory_name(const unsigned char *name) {
  return name[0] == '$' && name[1] == '\0';
}
FileEntry *find_file_entry(DiImage *image, const unsigned char *pattern, int type);
FileEntry *alloc_file_entry(DiImage *image, const unsigned char *rawname, int type);

// Calls visit(slot) for each of the eight slots of every directory block, in
// chain order, until visit returns true; returns that slot or null.
template <typename Visit>
FileEntry *find_slot(DiImage *image, Visit &&visit) {
  FileEntry *found = nullptr;
  walk_chain(image, di_get_dir_ts(image), [&](TsPair, unsigned char *block) {
    for (int i = 0; i < kSlotsPerBlock; ++i) {
      auto *slot = reinterpret_cast<FileEntry *>(block + i * kSlotSize);
      if (visit(slot)) {
        found = slot;
        return false;
      }
    }
    return true;
  });
  return found;
}

// The directory reader's two steps, for walks that need every block: reads
// the next block (false when none came or its read left a status, which ends
// the directory), and copies slot i of it into entry when that slot is used.
bool dir_read_block(DiDirReader *reader);
bool dir_slot(const DiDirReader *reader, int i, DiDirEntry *entry);

}  // namespace diskimage

#endif  // DISKIMAGE_INTERNAL_H
