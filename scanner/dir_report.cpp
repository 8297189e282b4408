// The directory listing and file scan, rendered from the gathered facts.
#include <cstdio>
#include <string>

#include "scanner/names.h"
#include "scanner/output.h"
#include "scanner/reports.h"

namespace {

using namespace output;

// "   %s" with the status, where it says anything.
void append_status_suffix(std::string &text, ImageType type, DiStatus status) {
  if (status.code == DI_STATUS_OK) return;
  text += "   ";
  append_status(text, type, status.code, status.ts);
}

// An entry line: "%-5d  %-19s%c%s%c", then what its scan left.
void append_entry(std::string &text, ImageType type, const DiListedFile &file,
                  const std::string &name) {
  const FileEntry &slot = file.dir.slot;
  const size_t start = text.size();
  append_int(text, facts::stated_blocks(slot), -5);
  text += "  \"";
  text += name;
  text += '"';
  pad_to(text, start + 26);
  text += slot.type & DI_CLOSED ? ' ' : '*';
  text += names::file_type(slot.type);
  text += slot.type & DI_LOCKED ? '<' : ' ';
  if (!file.opened) text += "   [could not open]";
  append_status_suffix(text, type, file.scan);
  text += '\n';
}

}  // namespace

void print_dir(facts::ImageFacts &image, FILE *out) {
  const DiListing &listing = image.listing();
  const ImageType type = image.type();
  std::string text;
  if (listing.link_broken) {
    text += "DIR: BAM to DIR link is broken (should be ";
    append_ts(text, listing.link_expected);
    text += ", is ";
    append_ts(text, listing.link_found);
    text += ")\n";
  }
  if (!listing.opened) {
    text += "    Couldn't open directory";
    append_status_suffix(text, type, listing.open_status);
    text += '\n';
    write(text, out);
    return;
  }
  // "0 \"%-16s\" %s"
  text += "0 \"";
  const size_t name_at = text.size();
  text += image.disk_name();
  pad_to(text, name_at + 16);
  text += "\" ";
  text += image.disk_id();
  if (!listing.header_read) {
    text += "   [BAM read failed]";
    append_status_suffix(text, type, listing.header_status);
  }
  text += '\n';
  text.reserve(text.size() + static_cast<size_t>(listing.file_count) * 40);
  for (int i = 0; i < listing.file_count; ++i)
    append_entry(text, type, listing.files[i], image.file_name(i));
  // Any early end of the directory is said, not only a cycle: a listing that
  // simply stops short would pass for a complete one.
  if (listing.stop.code != 0) {
    text += "DIR: ";
    append_status(text, type, listing.stop.code, listing.stop.ts);
    text += ' ';
    if (listing.stop.code == DI_STATUS_FILE_TOO_LARGE) text += "(cyclic Track/Sector link)";
    text += '\n';
  }
  append_int(text, listing.free_blocks);
  text += " blocks free\n";
  write(text, out);
}
