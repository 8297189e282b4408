// Gathering the facts of an image for the reports.
#include "scanner/image_facts.h"

#include <cstring>
#include <optional>

#include "diskimage/internal.h"
#include "scanner/reports.h"

namespace facts {
namespace {

using namespace diskimage;

// 664 blocks of 256 bytes: more than any D64 file can hold, so every D64 file
// is scanned to its end; longer files are scanned over their first part.
constexpr int kScanSize = 169984;

std::string status_text(DiImage *image, int *code) {
  char text[DI_STATUS_SIZE];
  *code = di_status(image, text);
  return text;
}

// What opening the file by its raw name and reading it would leave, worked
// out for every file of the listing at the cost of one pass over the image.
struct FileScan {
  explicit FileScan(DiImage *image) : names(image), reads(image, kScanSize) {}
  NameIndex names;
  ReadOutcomes reads;
};

void scan_entry(DiImage *image, Entry &entry, FileScan &scan) {
  const FileEntry &slot = entry.dir.slot;
  entry.name = display_name(slot);
  // The file is opened by its raw name as stored, so a name with '*' or '?'
  // is matched as a pattern and the first matching slot is the one read; up
  // to 169984 bytes of it, as if into a buffer of that size.
  const ReadOutcome outcome =
      scan.reads.open_and_read(scan.names, slot.rawname, slot.type & kTypeMask);
  entry.opened = outcome.opened;
  set_status(image, outcome.code, outcome.ts.track, outcome.ts.sector);
  entry.status = status_text(image, &entry.code);
  // One file's result must never show on the next file's line.
  image->status = 0;
}

}  // namespace

std::string display_text(const unsigned char *bytes, int size) {
  std::vector<unsigned char> text(bytes, bytes + size);
  text.push_back(0);
  ptoa(text.data());
  return reinterpret_cast<const char *>(text.data());
}

std::string display_name(const FileEntry &slot) {
  char name[kNameSize + 1];
  const int len = di_name_from_rawname(name, slot.rawname);
  return display_text(reinterpret_cast<const unsigned char *>(name), len);
}

Listing collect_listing(DiImage *image) {
  Listing listing;
  // On a D81 the directory is found through the header's link, while the BAM
  // block links to the second BAM block; comparing them would flag every good
  // disk. An unusable header link shows when "$" fails to open.
  if (image->type != D81) {
    const unsigned char *bam = di_get_ts_addr(image, image->bam_ts);
    listing.link_expected = di_get_dir_ts(image);
    listing.link_found = make_ts(bam[kLinkTrack], bam[kLinkSector]);
    listing.link_broken = listing.link_found.track != listing.link_expected.track ||
                          listing.link_found.sector != listing.link_expected.sector;
  }
  DiDirReader reader;
  listing.opened = di_dir_open(image, &reader);
  if (!listing.opened) {
    listing.open_status = status_text(image, &listing.open_code);
    di_dir_close(&reader);
    return listing;
  }
  const unsigned char *title = di_title(image);
  char name[kNameSize + 1];
  const int len = di_name_from_rawname(name, title);
  listing.disk_name = display_text(reinterpret_cast<const unsigned char *>(name), len);
  listing.disk_id = display_text(title + kTitleIdOffset, kTitleIdSize);
  listing.header_ok = di_dir_read_header(&reader);
  if (!listing.header_ok) listing.header_status = status_text(image, &listing.header_code);

  std::optional<FileScan> scan;
  Entry entry;
  while (di_dir_next(&reader, &entry.dir)) {
    if (!scan) scan.emplace(image);
    scan_entry(image, entry, *scan);
    listing.entries.push_back(entry);
  }
  if (reader.stop != 0) listing.stop_status = status_text(image, &listing.stop_code);
  listing.free_blocks = image->free_blocks;
  di_dir_close(&reader);
  return listing;
}

std::vector<Track> collect_tracks(DiImage *image) {
  std::vector<Track> tracks;
  for (int t = 1; t <= di_tracks(image->type); ++t) {
    Track track;
    track.track = t;
    track.sectors = di_sectors_per_track(image->type, t);
    track.free = di_track_blocks_free(image, t);
    for (int s = 0; s < track.sectors; ++s) {
      const TsPair ts = make_ts(t, s);
      track.map += di_is_ts_free(image, ts) ? '.' : '*';
      track.errors.push_back(di_get_ts_error_byte(image, ts));
    }
    tracks.push_back(std::move(track));
  }
  return tracks;
}

bool bam_message(DiImage *image, std::string *text) {
  using namespace diskimage::cbm1541;
  // On a D81 these bytes of the first BAM block are track bitmaps, not a
  // message area, so there is no message to show.
  if (image->type == D81) return false;
  *text =
      display_text(di_get_ts_addr(image, image->bam_ts) + kMessageArea, kMessageEnd - kMessageArea);
  // Empty, or nothing but spaces, is no message.
  return text->find_first_not_of(' ') != std::string::npos;
}

}  // namespace facts
