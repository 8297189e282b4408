// File handles: opening, reading along a chain, writing and closing.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "diskimage/internal.h"

namespace diskimage {
namespace {

// Points a read handle at block ts and takes its link; returns false (with the
// status set) when the link says the block cannot be delivered.
enum class Entered { kFull, kLast, kEmptyLast, kBadLink };

Entered enter_block(DiFile *file, TsPair ts) {
  DiImage *image = file->image;
  unsigned char *block = di_get_ts_addr(image, ts);
  file->ts = ts;
  file->buffer = block + kDataStart;
  file->next_ts = stored_link(block);
  file->buf_pos = 0;
  if (file->next_ts.track == 0) {
    file->buf_len = file->next_ts.sector == 0 ? 0 : file->next_ts.sector - 1;
    if (file->next_ts.sector != 0) return Entered::kLast;
    set_status(image, DI_STATUS_UNKNOWN, ts.track, ts.sector);
    return Entered::kEmptyLast;
  }
  if (!di_ts_is_valid(image->type, file->next_ts)) {
    // The block is not delivered; a later read steps on, meets the same link
    // and stops again.
    file->buf_len = 0;
    set_status(image, DI_STATUS_ILLEGAL_TS, file->next_ts.track, file->next_ts.sector);
    return Entered::kBadLink;
  }
  file->buf_len = kDataSize;
  return Entered::kFull;
}

bool open_read(DiFile *file, const unsigned char *name, int type) {
  DiImage *image = file->image;
  file->mode = 'r';
  if (is_directory_name(name)) {
    TsPair header = image->header_ts;
    file->ts = header;
    file->buffer = di_get_ts_addr(image, header) + kDataStart;
    file->next_ts = di_get_dir_ts(image);
    file->buf_len = kDataSize;
    if (!di_ts_is_valid(image->type, file->next_ts)) {
      set_status(image, DI_STATUS_ILLEGAL_TS, file->next_ts.track, file->next_ts.sector);
      return false;
    }
    return true;
  }
  FileEntry *entry = find_file_entry(image, name, type);
  if (!entry) {
    set_status(image, DI_STATUS_FILE_NOT_FOUND, 0, 0);
    return false;
  }
  file->entry = entry;
  if (!di_ts_is_valid(image->type, entry->first_ts)) {
    set_status(image, DI_STATUS_ILLEGAL_TS, entry->first_ts.track, entry->first_ts.sector);
    return false;
  }
  Entered first = enter_block(file, entry->first_ts);
  return first == Entered::kFull || first == Entered::kLast;
}

bool open_write(DiFile *file, const unsigned char *name, int type) {
  DiImage *image = file->image;
  file->entry = alloc_file_entry(image, name, type);
  if (!file->entry) return false;
  file->mode = 'w';
  file->ts = make_ts(0, 0);
  // Zeroed, so nothing but the file's own bytes ever reaches the image.
  file->buffer = static_cast<unsigned char *>(std::calloc(kDataSize, 1));
  if (!file->buffer) return false;
  file->buf_len = kDataSize;
  image->dirty = 1;
  return true;
}

// Writes the buffer out as the file's next block: full (link 0/255 until a
// further block follows) or, with last_len, as the last block of that length.
// Stops as for a full disk (status 72) when the count says so, and also when
// the BAM has no free block left although its counts say otherwise.
bool write_block(DiFile *file, int last_len) {
  DiImage *image = file->image;
  if (image->free_blocks == 0) {
    set_status(image, DI_STATUS_DISK_FULL, 0, 0);
    return false;
  }
  TsPair fresh = alloc_next_ts(image, file->ts);
  if (fresh.track == 0) {
    set_status(image, DI_STATUS_DISK_FULL, 0, 0);
    return false;
  }
  file->next_ts = fresh;
  if (file->ts.track == 0) {
    file->entry->first_ts = fresh;
  } else {
    unsigned char *previous = di_get_ts_addr(image, file->ts);
    previous[kLinkTrack] = fresh.track;
    previous[kLinkSector] = fresh.sector;
  }
  file->ts = fresh;
  unsigned char *block = di_get_ts_addr(image, fresh);
  block[kLinkTrack] = 0;
  block[kLinkSector] = static_cast<unsigned char>(last_len < 0 ? 0xFF : last_len + 1);
  int data_len = last_len < 0 ? kDataSize : last_len;
  std::memcpy(block + kDataStart, file->buffer, data_len);
  std::memset(block + kDataStart + data_len, 0, kDataSize - data_len);
  file->buf_pos = 0;
  FileEntry *entry = file->entry;
  int count = entry->blocks[0] + 256 * entry->blocks[1] + 1;
  entry->blocks[0] = static_cast<unsigned char>(count & 0xFF);
  entry->blocks[1] = static_cast<unsigned char>((count >> 8) & 0xFF);
  image->free_blocks--;
  image->dirty = 1;
  return true;
}

}  // namespace
}  // namespace diskimage

using namespace diskimage;

extern "C" {

DiFile *di_open(DiImage *image, const unsigned char *name, int type, const char *mode) {
  set_status(image, DI_STATUS_FAILED, 0, 0);
  bool reading = std::strcmp(mode, "rb") == 0;
  if (!reading && std::strcmp(mode, "wb") != 0) return nullptr;
  // One allocation; calloc clears the visited flags. It comes before the
  // slot of a new file is made, so running out of memory here leaves the
  // directory untouched rather than holding an empty, unclosed entry.
  auto *file = static_cast<DiFile *>(std::calloc(1, sizeof(DiFile)));
  if (!file) return nullptr;
  file->image = image;
  bool opened = reading ? open_read(file, name, type) : open_write(file, name, type);
  if (!opened) {
    if (file->mode == 'w') std::free(file->buffer);
    std::free(file);
    return nullptr;
  }
  file->position = 0;
  file->buf_pos = 0;
  image->open_files++;
  set_status(image, DI_STATUS_OK, 0, 0);
  return file;
}

int di_read(DiFile *file, void *dst, int len) {
  // Reading through a write handle would read its private buffer as if it were
  // a block of the image.
  if (file->mode != 'r') return 0;
  DiImage *image = file->image;
  auto *out = static_cast<unsigned char *>(dst);
  int delivered = 0;
  // The current block's error information is looked up when the call starts
  // and when a block is entered; between those nothing but the caller's buffer
  // is written, so it cannot change, unless that buffer lies in the image.
  const auto at = reinterpret_cast<uintptr_t>(out);
  const auto image_at = reinterpret_cast<uintptr_t>(image->blocks);
  const bool into_image = at < image_at + image->size && image_at < at + len;
  bool checked = false;
  while (len > 0) {
    int err = checked && !into_image ? 0 : di_get_ts_err(image, file->ts);
    if (err != 0) {
      set_status(image, err, file->ts.track, file->ts.sector);
      return delivered;
    }
    checked = true;
    int rest = file->buf_len - file->buf_pos;
    if (rest > 0) {
      int n = std::min(len, rest);
      std::memcpy(out, file->buffer + file->buf_pos, n);
      out += n;
      len -= n;
      file->buf_pos += n;
      file->position += n;
      delivered += n;
      continue;
    }
    if (file->next_ts.track == 0) return delivered;
    TsPair ts =
        read_link_after(*kind_info(image->type), file->ts, next_ts_in_chain(image, file->ts));
    if (ts.track == 0) return delivered;
    // The link is read again from the image, so it is checked again: it may
    // have changed since the block was entered, and it is what stops a handle
    // for good at an illegal link.
    if (!di_ts_is_valid(image->type, ts)) {
      set_status(image, DI_STATUS_ILLEGAL_TS, ts.track, ts.sector);
      return delivered;
    }
    unsigned char &seen = file->visited[visited_index(ts)];
    if (seen) set_status(image, DI_STATUS_FILE_TOO_LARGE, ts.track, ts.sector);
    seen = 1;
    // ts is valid, so without error information there is nothing to look up.
    err = image->error_info ? di_get_ts_err(image, ts) : 0;
    if (err != 0) {
      file->ts = ts;  // every later read stops in front of this block again
      set_status(image, err, ts.track, ts.sector);
      return delivered;
    }
    if (enter_block(file, ts) == Entered::kBadLink) return delivered;
  }
  return delivered;
}

int di_write(DiFile *file, const void *src, int len) {
  // Writing through a read handle would write into the image without any of
  // the bookkeeping; refuse it.
  if (file->mode != 'w') return 0;
  auto *in = static_cast<const unsigned char *>(src);
  int taken = 0;
  while (len > 0) {
    if (file->buf_pos < kDataSize) {
      int n = std::min(len, kDataSize - file->buf_pos);
      std::memcpy(file->buffer + file->buf_pos, in, n);
      in += n;
      len -= n;
      file->buf_pos += n;
      file->position += n;
      taken += n;
      continue;
    }
    if (!write_block(file, -1)) return taken;
  }
  return taken;
}

void di_close(DiFile *file) {
  if (!file) return;
  if (file->mode == 'w') {
    // Closing marks the slot, so the image has changed even when no block
    // is written: a di_sync() since the open must not have been the last.
    if (file->buf_pos == 0 || write_block(file, file->buf_pos)) {
      file->entry->type |= DI_CLOSED;
      file->image->dirty = 1;
    }
    // Otherwise the pending bytes are lost and the file stays unclosed;
    // write_block has said so with status 72.
    std::free(file->buffer);
  }
  file->image->open_files--;
  std::free(file);
}

}  // extern "C"
