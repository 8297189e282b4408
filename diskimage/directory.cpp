// Directory slots, raw names and wildcard patterns.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "diskimage/internal.h"

namespace diskimage {

namespace {

// The rule itself, from byte `from` on.
int match_from(const unsigned char *pattern, const unsigned char *name, int from) {
  for (int i = from; i < kNameSize; ++i) {
    if (pattern[i] == '*') return 1;
    if (name[i] == kNamePad) return pattern[i] == kNamePad;
    if (pattern[i] != '?' && pattern[i] != name[i]) return 0;
  }
  return 1;
}

uint64_t load_word(const unsigned char *bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// The high bit set in each byte of word that equals value, and in no other.
uint64_t bytes_equal(uint64_t word, unsigned char value) {
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kLows = 0x7F7F7F7F7F7F7F7F;
  const uint64_t x = word ^ (kOnes * value);
  return ~(((x & kLows) + kLows) | x | kLows);
}

// A pattern made ready for testing many names: its two words, and the bytes
// of it that decide a match on their own ('*' and the pad).
struct Pattern {
  const unsigned char *bytes;
  uint64_t words[2];
  uint64_t deciding[2];
};

Pattern prepare(const unsigned char *pattern) {
  Pattern prepared{pattern, {}, {}};
  for (int w = 0; w < 2; ++w) {
    const uint64_t word = load_word(pattern + 8 * w);
    prepared.words[w] = word;
    prepared.deciding[w] = bytes_equal(word, '*') | bytes_equal(word, kNamePad);
  }
  return prepared;
}

// Bytes on which pattern and name agree decide nothing unless they are '*' or
// the pad, so whole words of them are passed over at once and the rule is
// applied from the first byte that differs or decides.
int match_prepared(const Pattern &pattern, const unsigned char *name) {
  if constexpr (std::endian::native == std::endian::little) {
    for (int w = 0; w < 2; ++w) {
      const uint64_t stops = (pattern.words[w] ^ load_word(name + 8 * w)) | pattern.deciding[w];
      if (stops != 0) return match_from(pattern.bytes, name, 8 * w + std::countr_zero(stops) / 8);
    }
    return 1;
  } else {
    return match_from(pattern.bytes, name, 0);
  }
}

}  // namespace

int match_pattern(const unsigned char *pattern, const unsigned char *name) {
  return match_prepared(prepare(pattern), name);
}

// Directory walks end at a link that is not a valid block and at a block
// already visited: both count as the end of the directory (see walk_chain).
// Every open by name tests the slots before the file's own, which makes this
// the listing's inner loop; the pattern is prepared once for all of them.
FileEntry *find_file_entry(DiImage *image, const unsigned char *pattern, int type) {
  const Pattern prepared = prepare(pattern);
  return find_slot(image, [&](FileEntry *slot) {
    return (slot->type & DI_TYPE_MASK) == type && match_prepared(prepared, slot->rawname);
  });
}

namespace {

// Without a wildcard up to its end (its first pad byte, or all 16 bytes), a
// pattern matches exactly the names that agree with it up to that end and end
// there too; so both compare by their bytes up to the end, the rest padded.
bool has_wildcard(const unsigned char *pattern) {
  for (int i = 0; i < kNameSize && pattern[i] != kNamePad; ++i)
    if (pattern[i] == '*' || pattern[i] == '?') return true;
  return false;
}

void name_key(const unsigned char *name, unsigned char *key) {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr uint64_t kPads = 0x0101010101010101u * kNamePad;
    uint64_t words[2] = {load_word(name), load_word(name + 8)};
    for (int w = 0; w < 2; ++w) {
      const uint64_t pads = bytes_equal(words[w], kNamePad);
      if (pads == 0) continue;
      // Bytes below the first pad stay, the rest become pads.
      const int kept = std::countr_zero(pads) / 8 * 8;
      const uint64_t keep = kept == 0 ? 0 : ~uint64_t{0} >> (64 - kept);
      words[w] = (words[w] & keep) | (kPads & ~keep);
      if (w == 0) words[1] = kPads;
      break;
    }
    std::memcpy(key, words, sizeof words);
  } else {
    int i = 0;
    for (; i < kNameSize && name[i] != kNamePad; ++i) key[i] = name[i];
    std::memset(key + i, kNamePad, static_cast<size_t>(kNameSize - i));
  }
}

size_t key_hash(const unsigned char *key, int type) {
  uint64_t h =
      load_word(key) * 0x9E3779B97F4A7C15u ^ load_word(key + 8) ^ static_cast<uint64_t>(type);
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9u;
  h ^= h >> 29;
  return static_cast<size_t>(h);
}

}  // namespace

NameIndex::NameIndex(DiImage *image) {
  find_slot(image, [&](FileEntry *slot) {
    slots_.push_back(slot);
    return false;
  });
  size_t size = 16;
  while (size < 2 * slots_.size()) size *= 2;
  table_.assign(size, 0);
  mask_ = size - 1;
  for (size_t i = 0; i < slots_.size(); ++i) {
    unsigned char key[kNameSize];
    name_key(slots_[i]->rawname, key);
    int &at = table_[bucket_of(key, slots_[i]->type & DI_TYPE_MASK)];
    // Only the first slot of a name is ever found.
    if (at == 0) at = static_cast<int>(i) + 1;
  }
}

size_t NameIndex::bucket_of(const unsigned char *key, int type) const {
  for (size_t at = key_hash(key, type) & mask_;; at = (at + 1) & mask_) {
    if (table_[at] == 0) return at;
    const FileEntry *slot = slots_[static_cast<size_t>(table_[at] - 1)];
    unsigned char other[kNameSize];
    name_key(slot->rawname, other);
    if ((slot->type & DI_TYPE_MASK) == type && std::memcmp(key, other, kNameSize) == 0) return at;
  }
}

FileEntry *NameIndex::find(const unsigned char *pattern, int type) const {
  if (has_wildcard(pattern)) {
    const Pattern prepared = prepare(pattern);
    for (FileEntry *slot : slots_)
      if ((slot->type & DI_TYPE_MASK) == type && match_prepared(prepared, slot->rawname))
        return slot;
    return nullptr;
  }
  unsigned char key[kNameSize];
  name_key(pattern, key);
  const int slot = table_[bucket_of(key, type)];
  return slot == 0 ? nullptr : slots_[static_cast<size_t>(slot - 1)];
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
    set_status(image, DI_STATUS_FILE_EXISTS, 0, 0);
    return nullptr;
  }
  FileEntry *slot = find_slot(image, [](FileEntry *candidate) { return candidate->type == 0; });
  if (!slot) {
    TsPair block = alloc_next_dir_ts(image);
    if (block.track == 0) {
      set_status(image, DI_STATUS_DISK_FULL, 0, 0);
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

// ---- The directory as a listing reads it ------------------------------------

namespace diskimage {
namespace {

const auto *const kDirectoryName = reinterpret_cast<const unsigned char *>("$");

}  // namespace

bool dir_read_block(DiDirReader *reader) {
  // Cleared, so a short last block never shows the previous block's slots.
  std::memset(reader->data, 0, sizeof reader->data);
  reader->got = di_read(reader->dir, reader->data, kDataSize);
  reader->next = 0;
  const bool delivered = reader->got > 0;
  const int code = reader->image->status;
  // A failed header read has shown its status already; a normal end leaves
  // the status as it was, 0 after the previous block.
  if (code != 0 && (delivered || !reader->header_failed)) reader->stop = code;
  if (delivered && code == 0) return true;
  reader->ended = 1;
  return false;
}

bool dir_slot(const DiDirReader *reader, int i, DiDirEntry *entry) {
  // Slot i starts at 32 * i - 2 of the delivered bytes: its link bytes fall
  // before the data.
  const int start = i * kSlotSize - kDataStart;
  if (start >= reader->got || reader->data[start + kDataStart] == 0) return false;
  std::memset(entry, 0, sizeof *entry);
  auto *bytes = reinterpret_cast<unsigned char *>(&entry->slot);
  const int from = std::max(start, 0);
  const int to = std::min(start + kSlotSize, kDataSize);
  std::memcpy(bytes + (from - start), reader->data + from, static_cast<size_t>(to - from));
  entry->block = reader->dir->ts;
  entry->index = i;
  return true;
}

}  // namespace diskimage

extern "C" {

int di_dir_open(DiImage *image, DiDirReader *reader) {
  std::memset(reader, 0, sizeof *reader);
  reader->image = image;
  reader->next = kSlotsPerBlock;
  reader->dir = di_open(image, kDirectoryName, DI_FT_PRG, "rb");
  reader->ended = reader->dir == nullptr;
  return reader->dir != nullptr;
}

int di_dir_read_header(DiDirReader *reader) {
  if (!reader->dir) return 0;
  unsigned char header[kDataSize];
  reader->header_failed = di_read(reader->dir, header, kDataSize) != kDataSize;
  return !reader->header_failed;
}

int di_dir_next(DiDirReader *reader, DiDirEntry *entry) {
  while (!reader->ended) {
    if (reader->next >= kSlotsPerBlock && !dir_read_block(reader)) break;
    if (dir_slot(reader, reader->next++, entry)) return 1;
  }
  return 0;
}

void di_dir_close(DiDirReader *reader) {
  if (reader->dir) di_close(reader->dir);
  reader->dir = nullptr;
  reader->ended = 1;
}

}  // extern "C"
