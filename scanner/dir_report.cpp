// The directory listing and file scan, rendered from the gathered facts.
#include <cstdio>

#include "scanner/image_facts.h"
#include "scanner/line_buffer.h"
#include "scanner/reports.h"

namespace {

using namespace line_buffer;

// An entry line's 31 columns, or its end: "   [could not open]", three spaces,
// a status string and the newline.
constexpr int kEntrySize = 19 + 3 + DI_STATUS_SIZE + 1;

// The first 31 columns of an entry line, as "%-5d  %-19s%c%s%c" gives them.
// Formatted by hand: with one line per file, printf was most of the listing.
int format_entry(char *line, int blocks, const char *name, unsigned char type_byte,
                 const char *type_name) {
  int len = pad_to(line, append_int(line, 0, blocks, 0), 5);
  len = append_text(line, len, "  \"");
  len = append_text(line, len, name);
  line[len++] = '"';
  len = pad_to(line, len, 26);
  line[len++] = type_byte & DI_CLOSED ? ' ' : '*';
  len = append_text(line, len, type_name);
  line[len++] = type_byte & DI_LOCKED ? '<' : ' ';
  return len;
}

void render_entry(const facts::Entry &entry, FILE *out) {
  const FileEntry &slot = entry.dir.slot;
  char line[kEntrySize];
  const int blocks = slot.blocks[0] | slot.blocks[1] << 8;
  std::fwrite(
      line, 1,
      format_entry(line, blocks, entry.name.c_str(), slot.type, ftype[slot.type & DI_TYPE_MASK]),
      out);
  int len = 0;
  if (!entry.opened) len = append_text(line, len, "   [could not open]");
  if (entry.code != 0) len = append_text(line, append_text(line, len, "   "), entry.status.c_str());
  line[len++] = '\n';
  std::fwrite(line, 1, len, out);
}

}  // namespace

void render_listing(const facts::Listing &listing, FILE *out) {
  if (listing.link_broken)
    std::fprintf(out, "DIR: BAM to DIR link is broken (should be %d/%d, is %d/%d)\n",
                 listing.link_expected.track, listing.link_expected.sector,
                 listing.link_found.track, listing.link_found.sector);
  if (!listing.opened) {
    std::fputs("    Couldn't open directory", out);
    if (listing.open_code != 0) std::fprintf(out, "   %s", listing.open_status.c_str());
    std::fputc('\n', out);
    return;
  }
  std::fprintf(out, "0 \"%-16s\" %s", listing.disk_name.c_str(), listing.disk_id.c_str());
  if (!listing.header_ok) {
    std::fputs("   [BAM read failed]", out);
    if (listing.header_code != 0) std::fprintf(out, "   %s", listing.header_status.c_str());
  }
  std::fputc('\n', out);
  for (const facts::Entry &entry : listing.entries) render_entry(entry, out);
  // Any early end of the directory is said, not only a cycle: a listing that
  // simply stops short would pass for a complete one.
  if (listing.stop_code != 0) {
    std::fprintf(out, "DIR: %s ", listing.stop_status.c_str());
    if (listing.stop_code == DI_STATUS_FILE_TOO_LARGE)
      std::fputs("(cyclic Track/Sector link)", out);
    std::fputc('\n', out);
  }
  std::fprintf(out, "%d blocks free\n", listing.free_blocks);
}

void print_dir(DiImage *image) {
  render_listing(facts::collect_listing(image), stdout);
}
