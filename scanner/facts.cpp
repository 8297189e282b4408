// Gathering the facts of an image through the library's public interface.
#include "scanner/facts.h"

#include <new>
#include <stdexcept>

#include "scanner/reports.h"

namespace facts {

std::string display_text(const unsigned char *bytes, int size) {
  std::string text(reinterpret_cast<const char *>(bytes), static_cast<size_t>(size));
  text.push_back('\0');
  ptoa(reinterpret_cast<unsigned char *>(text.data()));
  text.resize(text.find('\0'));
  return text;
}

ImageFacts::ImageFacts(DiImage *image, std::string image_arg, bool scan_files, bool hash_file)
    : image_(image),
      image_arg_(std::move(image_arg)),
      type_(image->type),
      format_(di_image_format(image)),
      file_size_(di_file_size(image)),
      has_error_info_(image->error_info != nullptr),
      bam_layout_(di_bam_layout(image)),
      scan_files_(scan_files) {
  long size = 0;
  const unsigned char *bytes = hash_file ? di_image_bytes(image, &size) : nullptr;
  if (bytes) pending_hashes_.emplace(bytes, static_cast<size_t>(size));
}

const DiListing &ImageFacts::listing() {
  if (!listing_) {
    listing_.reset(di_listing(image_, scan_files_));
    if (!listing_) throw std::bad_alloc();
    file_names_.resize(static_cast<size_t>(listing_->file_count));
  }
  return *listing_;
}

namespace {

std::string display_name(const unsigned char *raw) {
  char name[17];
  const int len = di_name_from_rawname(name, raw);
  return display_text(reinterpret_cast<const unsigned char *>(name), len);
}

}  // namespace

// Names are made as reports ask for them: a check of a large directory names
// only the files of its problems.
const std::string &ImageFacts::file_name(int index) {
  const DiListing &list = listing();
  std::optional<std::string> &name = file_names_[static_cast<size_t>(index)];
  if (!name) name = display_name(list.files[index].dir.slot.rawname);
  return *name;
}

const std::string &ImageFacts::disk_name() {
  if (!disk_name_) disk_name_ = display_name(listing().disk_name);
  return *disk_name_;
}

const std::string &ImageFacts::disk_id() {
  if (!disk_id_) disk_id_ = display_text(listing().disk_id, sizeof listing().disk_id);
  return *disk_id_;
}

const std::vector<Track> &ImageFacts::tracks() {
  if (!tracks_) {
    const int count = di_tracks(type_);
    size_t blocks = 0;
    for (int t = 1; t <= count; ++t) blocks += static_cast<size_t>(di_sectors_per_track(type_, t));
    track_maps_.assign(blocks, '-');
    track_errors_.resize(blocks);
    std::vector<Track> tracks(static_cast<size_t>(count));
    size_t at = 0;
    for (int t = 1; t <= count; ++t) {
      Track &track = tracks[static_cast<size_t>(t - 1)];
      track.track = t;
      track.sectors = di_sectors_per_track(type_, t);
      track.in_bam = di_track_in_bam(image_, t);
      track.free = di_track_blocks_free(image_, t);
      track.map = std::string_view(track_maps_).substr(at, static_cast<size_t>(track.sectors));
      track.errors = std::span<const unsigned char>(track_errors_)
                         .subspan(at, static_cast<size_t>(track.sectors));
      for (int s = 0; s < track.sectors; ++s, ++at) {
        const TsPair ts{static_cast<unsigned char>(t), static_cast<unsigned char>(s)};
        if (track.in_bam) track_maps_[at] = di_is_ts_free(image_, ts) ? '.' : '*';
        track_errors_[at] = static_cast<unsigned char>(get_ts_doserr(image_, ts));
      }
    }
    tracks_ = std::move(tracks);
  }
  return *tracks_;
}

const std::optional<std::string> &ImageFacts::bam_message() {
  if (!bam_message_read_) {
    bam_message_read_ = true;
    int size = 0;
    const unsigned char *area = di_bam_message_area(image_, &size);
    if (area) {
      std::string text = display_text(area, size);
      // Empty, or nothing but spaces, is no message.
      if (text.find_first_not_of(' ') != std::string::npos) bam_message_ = std::move(text);
    }
  }
  return bam_message_;
}

const DiCheck &ImageFacts::check() {
  if (!check_) {
    check_.reset(di_check_listing(image_, &listing()));
    if (!check_) throw std::bad_alloc();
  }
  return *check_;
}

const hashes::Digests &ImageFacts::file_hashes() {
  if (file_hashes_) return *file_hashes_;
  if (pending_hashes_) {
    file_hashes_ = pending_hashes_->get();
    pending_hashes_.reset();
    return *file_hashes_;
  }
  long size = 0;
  const unsigned char *bytes = di_image_bytes(image_, &size);
  if (!bytes) throw std::logic_error("the image changed since it was read");
  file_hashes_ = hashes::of(bytes, static_cast<size_t>(size));
  return *file_hashes_;
}

FileData ImageFacts::file_data(int index, long limit) {
  FileData data(di_file_data(image_, &listing().files[index].dir.slot, limit));
  if (!data) throw std::bad_alloc();
  return data;
}

}  // namespace facts
