// Directory slots, raw names and wildcard patterns.
#include <cstring>

#include "diskimage/internal.h"

namespace diskimage {

int match_pattern(const unsigned char *pattern, const unsigned char *name) {
  for (int i = 0; i < kNameSize; ++i) {
    if (pattern[i] == '*') return 1;
    if (name[i] == kNamePad) return pattern[i] == kNamePad;
    if (pattern[i] != '?' && pattern[i] != name[i]) return 0;
  }
  return 1;
}

// Directory walks end at a link that is not a valid block and at a block
// already visited: both count as the end of the directory (see walk_chain).
FileEntry *find_file_entry(DiImage *image, const unsigned char *pattern, int type) {
  return find_slot(image, [&](FileEntry *slot) {
    return (slot->type & kTypeMask) == type && match_pattern(pattern, slot->rawname);
  });
}

FileEntry *alloc_file_entry(DiImage *image, const unsigned char *rawname, int type) {
  // Names compare like zero-terminated strings of at most 16 bytes, whatever
  // the file type.
  FileEntry *same = find_slot(image, [&](FileEntry *slot) {
    return slot->type != 0 &&
           std::strncmp(reinterpret_cast<const char *>(rawname),
                        reinterpret_cast<const char *>(slot->rawname), kNameSize) == 0;
  });
  if (same) {
    set_status(image, 63, 0, 0);
    return nullptr;
  }
  FileEntry *slot = find_slot(image, [](FileEntry *candidate) { return candidate->type == 0; });
  if (!slot) {
    TsPair block = alloc_next_dir_ts(image);
    if (block.track == 0) {
      set_status(image, 72, 0, 0);
      return nullptr;
    }
    slot = reinterpret_cast<FileEntry *>(di_get_ts_addr(image, block));
  }
  // Everything after the two link bytes starts out zero.
  std::memset(reinterpret_cast<unsigned char *>(slot) + 2, 0, kSlotSize - 2);
  std::memcpy(slot->rawname, rawname, kNameSize);
  slot->type = static_cast<unsigned char>(type);
  image->dirty = 1;
  return slot;
}

}  // namespace diskimage

using namespace diskimage;

extern "C" {

const char *const ftype[8] = {"del", "seq", "prg", "usr", "rel", "cbm", "dir", "???"};

int di_rawname_from_name(unsigned char *raw, const char *name) {
  std::memset(raw, kNamePad, kNameSize);
  int len = 0;
  while (len < kNameSize && name[len] != '\0') {
    raw[len] = static_cast<unsigned char>(name[len]);
    ++len;
  }
  return len;
}

int di_name_from_rawname(char *name, const unsigned char *raw) {
  int len = 0;
  while (len < kNameSize && raw[len] != kNamePad) {
    name[len] = static_cast<char>(raw[len]);
    ++len;
  }
  name[len] = '\0';
  return len;
}

}  // extern "C"
