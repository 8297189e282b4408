// The facts of one image, gathered at most once per run and only when a
// command needs them, then rendered by each report: the listing with every
// file's read, the tracks, the BAM message and the integrity check. Reports
// see the image only through these.
#ifndef KESTRIX_SCANNER_FACTS_H
#define KESTRIX_SCANNER_FACTS_H

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diskimage/diskimage.h"
#include "scanner/hashes.h"

namespace facts {

// Disk text converted for display, up to its first zero byte.
std::string display_text(const unsigned char *bytes, int size);

// The block count a directory slot states, low byte first.
inline int stated_blocks(const FileEntry &slot) {
  return slot.blocks[0] | slot.blocks[1] << 8;
}

// One track as the map shows it. Its map and error bytes lie in buffers the
// facts own for all tracks at once.
struct Track {
  int track = 0;
  int sectors = 0;
  bool in_bam = true;                     // kept in the BAM; else neither free nor in use
  int free = 0;                           // stored free count, 0 outside the BAM
  std::string_view map;                   // '.' free, '*' in use, '-' outside the BAM
  std::span<const unsigned char> errors;  // raw error bytes, 1 = no error
};

struct FileDataDeleter {
  void operator()(DiFileData *data) const { di_file_data_free(data); }
};
using FileData = std::unique_ptr<DiFileData, FileDataDeleter>;

class ImageFacts {
 public:
  // `image_arg` is the image as typed on the command line. `scan_files`
  // says whether a report of the run shows what reading each file leaves
  // (-dir, -json): the listing then works it out, else it only reads the
  // directory, which is all the check needs. `hash_file` says that a report
  // will ask for the image file's digests, which then begin at once.
  ImageFacts(DiImage *image, std::string image_arg, bool scan_files = true, bool hash_file = false);
  ImageFacts(const ImageFacts &) = delete;
  ImageFacts &operator=(const ImageFacts &) = delete;

  const std::string &image_arg() const { return image_arg_; }
  ImageType type() const { return type_; }
  int format() const { return format_; }            // DI_FORMAT_*: the file's format
  long file_size() const { return file_size_; }     // of the file as read
  long image_size() const { return image_->size; }  // of the image it holds, decoded
  bool has_error_info() const { return has_error_info_; }
  int bam_layout() const { return bam_layout_; }  // DI_BAM_*

  // Each gathered when first asked for; out of memory throws std::bad_alloc.
  const DiListing &listing();
  // Display name of a listed file, by listing index, without quotes.
  const std::string &file_name(int index);
  const std::string &disk_name();  // display text of the header's name and id
  const std::string &disk_id();
  const std::vector<Track> &tracks();
  // The text -bammsg shows; none when it shows nothing.
  const std::optional<std::string> &bam_message();
  const DiCheck &check();
  // The digests of the image file as it was read (di_image_bytes()), which
  // needs the image unchanged since.
  const hashes::Digests &file_hashes();
  // Listed file `index`'s data read whole by its own slot, at most `limit`
  // bytes of it; made afresh on every call.
  FileData file_data(int index, long limit);

 private:
  struct ListingDeleter {
    void operator()(DiListing *listing) const { di_listing_free(listing); }
  };
  struct CheckDeleter {
    void operator()(DiCheck *check) const { di_check_free(check); }
  };

  DiImage *image_;
  std::string image_arg_;
  ImageType type_;
  int format_;
  long file_size_;
  bool has_error_info_;
  int bam_layout_;
  bool scan_files_;
  std::unique_ptr<DiListing, ListingDeleter> listing_;
  std::vector<std::optional<std::string>> file_names_;  // made when first asked for
  std::optional<std::string> disk_name_, disk_id_;
  std::optional<std::vector<Track>> tracks_;
  std::string track_maps_;                   // behind every Track's map
  std::vector<unsigned char> track_errors_;  // and its errors
  bool bam_message_read_ = false;
  std::optional<std::string> bam_message_;
  std::unique_ptr<DiCheck, CheckDeleter> check_;
  std::optional<hashes::Pending> pending_hashes_;
  std::optional<hashes::Digests> file_hashes_;
};

}  // namespace facts

#endif  // KESTRIX_SCANNER_FACTS_H
