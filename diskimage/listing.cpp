// The listing: the directory as the drive lists it, with what reading each
// listed file by its name would leave, worked out at the cost of one pass
// over the image.
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "diskimage/internal.h"

namespace diskimage {
namespace {

DiStatus status_of(const DiImage *image) {
  return {image->status, image->status_ts};
}

// The listing's tables live beside the record that hands them out.
struct ListingStorage : DiListing {
  std::vector<DiListedFile> file_list;
  std::vector<TsPair> dir_block_list;
};

}  // namespace

ReadOutcomes::ReadOutcomes(DiImage *image, int budget)
    : image_(image),
      kind_(*kind_info(image->type)),
      budget_(budget),
      // The first block gives kDataSize bytes and so does every block stepped
      // into but the last, so step n starts with budget - n * kDataSize left.
      max_steps_(budget > 0 ? (budget - 1) / kDataSize : 0),
      chains_(ReadStep{image, &kind_}, kind_.tracks * kMaxSectors),
      known_(static_cast<size_t>(kind_.tracks * kMaxSectors)) {}

ReadOutcome ReadOutcomes::open_and_read(const NameIndex &names, const unsigned char *name,
                                        int type) {
  const ReadOutcome read{true, {DI_STATUS_OK, {0, 0}}};
  if (is_directory_name(name)) {
    const TsPair dir = di_get_dir_ts(image_);
    if (!kind_.valid(dir)) return {false, {DI_STATUS_ILLEGAL_TS, dir}};
    if (budget_ <= 0) return read;
    const int err = block_error_code(image_, kind_.block_num(image_->header_ts));
    if (err != 0) return {true, {err, image_->header_ts}};
    return read_on(dir);
  }
  const FileEntry *entry = names.find(name, type);
  if (!entry) return {false, {DI_STATUS_FILE_NOT_FOUND, {0, 0}}};
  const TsPair first = entry->first_ts;
  if (!kind_.valid(first)) return {false, {DI_STATUS_ILLEGAL_TS, first}};
  // Files that start at the same block end the same way.
  Known &known = known_[static_cast<size_t>(visited_index(first))];
  if (known.state == 0) {
    const ReadOutcome outcome = read_from(first);
    known = {static_cast<std::int8_t>(outcome.opened ? 1 : 2),
             static_cast<std::int8_t>(outcome.status.code), outcome.status.ts};
  }
  return {known.state == 1, {known.code, known.ts}};
}

ReadOutcome ReadOutcomes::read_from(TsPair first) {
  const ReadOutcome read{true, {DI_STATUS_OK, {0, 0}}};
  const TsPair link = next_ts_in_chain(image_, first);
  if (link.track == 0 && link.sector == 0) return {false, {DI_STATUS_UNKNOWN, first}};
  if (link.track != 0 && !kind_.valid(link)) return {false, {DI_STATUS_ILLEGAL_TS, link}};
  if (budget_ <= 0) return read;
  const int err = block_error_code(image_, kind_.block_num(first));
  if (err != 0) return {true, {err, first}};
  if (link.track == 0) return read;
  return read_on(read_link_after(kind_, first, link));
}

// The first block is not marked as visited, so only the walk from `second`
// counts: its blocks are new until it has gone once round its loop, and every
// block after that is entered a second time, setting 52. Whatever stops the
// read last decides the status.
ReadOutcome ReadOutcomes::read_on(TsPair second) {
  const ReadOutcome read{true, {DI_STATUS_OK, {0, 0}}};
  if (max_steps_ < 1) return read;
  const int from = visited_index(second);
  const ChainMap<ReadStep>::Lead lead = chains_.lead(from);
  if (!lead.loops) {
    // Its last block is step dist + 1; a budget used before leaves nothing.
    if (lead.dist + 1 > max_steps_) return read;
    return stop_at(ts_of_visited_index(lead.root));
  }
  if (lead.dist + chains_.loop_size(from) + 1 > max_steps_) return read;
  return {true,
          {DI_STATUS_FILE_TOO_LARGE, ts_of_visited_index(chains_.after(from, max_steps_ - 1))}};
}

// Where the read ends: an ordinary last block leaves nothing (code 0).
ReadOutcome ReadOutcomes::stop_at(TsPair ts) const {
  return {true, read_stop(image_, kind_, ts)};
}

namespace {

void read_listing(DiImage *image, const KindInfo &kind, bool scan, ListingStorage &out) {
  out.scanned = scan;
  out.free_blocks = image->free_blocks;
  // On a D81 the directory is found through the header's link, while the BAM
  // block links to the second BAM block; comparing them would flag every good
  // disk. An unusable header link shows when "$" fails to open.
  if (kind.dir_link_in_bam) {
    out.link_checked = 1;
    out.link_expected = di_get_dir_ts(image);
    out.link_found = next_ts_in_chain(image, image->bam_ts);
    out.link_broken = !same_ts(out.link_found, out.link_expected);
  }
  DiDirReader reader;
  out.opened = di_dir_open(image, &reader);
  if (!out.opened) {
    out.open_status = status_of(image);
    return;
  }
  // Closed however the reading ends, running out of memory included, so
  // that the image's count of open handles is back where it was.
  struct Closer {
    DiDirReader *reader;
    ~Closer() { di_dir_close(reader); }
  } closer{&reader};
  const unsigned char *title = di_title(image);
  std::memcpy(out.disk_name, title, kNameSize);
  std::memcpy(out.disk_id, title + kTitleIdOffset, kTitleIdSize);
  out.header_read = di_dir_read_header(&reader);
  if (!out.header_read) out.header_status = status_of(image);

  // Made when the first file is listed: an empty directory needs neither.
  std::optional<NameIndex> names;
  std::optional<ReadOutcomes> reads;
  DiListedFile file{};
  while (dir_read_block(&reader)) {
    out.dir_block_list.push_back(reader.dir->ts);
    for (int i = 0; i < kSlotsPerBlock; ++i) {
      if (!dir_slot(&reader, i, &file.dir)) continue;
      if (!scan) {
        out.file_list.push_back(file);
        continue;
      }
      if (!names) {
        names.emplace(image);
        reads.emplace(image, DI_SCAN_SIZE);
      }
      const FileEntry &slot = file.dir.slot;
      const ReadOutcome outcome =
          reads->open_and_read(*names, slot.rawname, slot.type & DI_TYPE_MASK);
      file.opened = outcome.opened;
      file.scan = outcome.status;
      out.file_list.push_back(file);
    }
  }
  if (reader.stop != 0) out.stop = status_of(image);
}

}  // namespace
}  // namespace diskimage

using namespace diskimage;

extern "C" {

DiListing *di_listing(DiImage *image, int scan) {
  const KindInfo *kind = kind_info(image->type);
  if (!kind) return nullptr;
  ListingStorage *listing = nullptr;
  try {
    listing = new ListingStorage{};
    read_listing(image, *kind, scan != 0, *listing);
  } catch (const std::bad_alloc &) {
    delete listing;
    listing = nullptr;
  }
  // As -dir leaves it after each file.
  image->status = DI_STATUS_OK;
  if (!listing) return nullptr;
  listing->file_count = static_cast<int>(listing->file_list.size());
  listing->files = listing->file_list.data();
  listing->dir_block_count = static_cast<int>(listing->dir_block_list.size());
  listing->dir_blocks = listing->dir_block_list.data();
  return listing;
}

void di_listing_free(DiListing *listing) {
  delete static_cast<ListingStorage *>(listing);
}

}  // extern "C"
