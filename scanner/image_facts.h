// The facts of one image, gathered once and then rendered by each report:
// the listing as text, JSON and the picture all start from these records.
#ifndef KESTRIX_SCANNER_IMAGE_FACTS_H
#define KESTRIX_SCANNER_IMAGE_FACTS_H

#include <memory>
#include <string>
#include <vector>

#include "diskimage/diskimage.h"

namespace facts {

// One listed slot and what reading the file along its chain left.
struct Entry {
  DiDirEntry dir;
  std::string name;  // display name, without quotes
  bool opened = false;
  int code = 0;  // status code the scan left; 0 shows nothing
  std::string status;
};

// The directory as the listing shows it.
struct Listing {
  bool link_broken = false;  // the BAM block does not link to the directory
  TsPair link_expected{};
  TsPair link_found{};
  bool opened = false;  // "$" could be opened
  int open_code = 0;
  std::string open_status;
  std::string disk_name;  // display text, without quotes and padding
  std::string disk_id;
  bool header_ok = false;
  int header_code = 0;
  std::string header_status;
  std::vector<Entry> entries;
  int stop_code = 0;  // status that ended the directory early, or 0
  std::string stop_status;
  int free_blocks = 0;
};

// Reads the directory and scans every listed file; the image's status code is
// 0 after each entry, as the listing leaves it.
Listing collect_listing(DiImage *image);

// One track as the map shows it.
struct Track {
  int track = 0;
  int sectors = 0;
  int free = 0;             // stored free count
  std::string map;          // '.' free, '*' in use, one per sector
  std::vector<int> errors;  // raw error bytes, 1 = no error
};
std::vector<Track> collect_tracks(DiImage *image);

// The text -bammsg prints after "BAM Message: "; false when it prints nothing.
bool bam_message(DiImage *image, std::string *text);

// The integrity check, released with its owner; null when out of memory.
struct CheckDeleter {
  void operator()(DiCheck *check) const { di_check_free(check); }
};
using CheckPtr = std::unique_ptr<DiCheck, CheckDeleter>;
inline CheckPtr check_image(DiImage *image) {
  return CheckPtr(di_check(image));
}

// Disk text converted for display, up to its first zero byte.
std::string display_text(const unsigned char *bytes, int size);
// A slot's name as the listing shows it, without quotes.
std::string display_name(const FileEntry &slot);

}  // namespace facts

#endif  // KESTRIX_SCANNER_IMAGE_FACTS_H
