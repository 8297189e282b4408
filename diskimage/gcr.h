// Raw GCR dumps (G64, G71): told by their signature, their track table
// checked, every sector decoded as the drive reads it into the image a D64 or
// D71 with error information would be. The rest of the library sees only that
// image. Internal to the library.
#ifndef DISKIMAGE_GCR_H
#define DISKIMAGE_GCR_H

#include "diskimage/diskimage.h"

namespace diskimage {

// DI_FORMAT_G64 or DI_FORMAT_G71 when the bytes start with its signature,
// else 0.
int raw_format(const unsigned char *bytes, long long size);

// What keeps a raw dump from loading, if anything.
enum class RawFault {
  kNone,
  kTooLarge,        // more than DI_RAW_MAX_SIZE bytes
  kHeaderShort,     // ends before the track table's offset
  kTooManyEntries,  // N above the format's limit
  kTableShort,      // ends inside the table of N offsets
  kTrackPastEnd,    // entry `entry`'s length or bytes lie past the end
};

struct RawCheck {
  int format = 0;  // 0: no raw dump at all
  RawFault fault = RawFault::kNone;
  int entries = 0;
  int entry = -1;
};

// Checks the container of a raw dump of `size` bytes.
RawCheck check_raw(const unsigned char *bytes, long long size);
// The words for a failed check ("" for none), at most DI_REASON_SIZE bytes
// with the terminating zero.
void describe_raw_fault(const RawCheck &check, long long size, char *reason);

// The image a raw dump decodes to, read-only for write-back. It takes
// `bytes` (from malloc), which it keeps as the file's bytes, or frees. Null
// with errno EINVAL when the check fails, or ENOMEM.
DiImage *image_from_raw(const char *path, unsigned char *bytes, long long size);

}  // namespace diskimage

#endif  // DISKIMAGE_GCR_H
