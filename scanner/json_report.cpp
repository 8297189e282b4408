// -json: everything the reports know of an image as one line of JSON, for
// collections kept in databases and spreadsheets.
#include <cstdio>
#include <memory>
#include <string>

#include "scanner/image_facts.h"
#include "scanner/reports.h"

namespace {

const char *const kKindNames[] = {"", "d64", "d71", "d81"};
const char *const kProblemNames[] = {
    "dir-link",       "directory", "unclosed",      "illegal-first",    "bad-link", "loop",
    "count-mismatch", "shared",    "used-but-free", "allocated-unused", "damaged",  "bam-count"};
const char *const kPartNames[] = {"", "data", "record", "side-sectors", "info"};

// Length of the well-formed UTF-8 sequence at s, or 0 when it is not one.
int utf8_length(const unsigned char *s) {
  int n = s[0] >= 0xF0 && s[0] <= 0xF4 ? 4 : s[0] >= 0xE0 ? 3 : s[0] >= 0xC2 ? 2 : 0;
  if (s[0] >= 0xF5) n = 0;
  for (int i = 1; i < n; ++i)
    if ((s[i] & 0xC0) != 0x80) return 0;
  // Overlong forms, surrogates and code points past U+10FFFF.
  if (n == 3 && ((s[0] == 0xE0 && s[1] < 0xA0) || (s[0] == 0xED && s[1] >= 0xA0))) return 0;
  if (n == 4 && ((s[0] == 0xF0 && s[1] < 0x90) || (s[0] == 0xF4 && s[1] >= 0x90))) return 0;
  return n;
}

// Builds the line in memory and writes it with one call.
class Json {
 public:
  void raw(const char *text) { out_ += text; }
  void number(long long value) { out_ += std::to_string(value); }
  void boolean(bool value) { out_ += value ? "true" : "false"; }
  void null() { out_ += "null"; }

  // A string from any bytes: the image argument may be in any encoding, so
  // bytes that are not UTF-8 become U+FFFD rather than invalid JSON.
  void string(const std::string &text) {
    out_ += '"';
    const auto *s = reinterpret_cast<const unsigned char *>(text.c_str());
    const auto *end = s + text.size();
    while (s < end) {
      const unsigned char c = *s;
      if (c == '"' || c == '\\') {
        out_ += '\\';
        out_ += static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7F) {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\u%04x", c);
        out_ += esc;
      } else if (c >= 0x80) {
        // The string's terminator ends a sequence cut short.
        const int n = utf8_length(s);
        if (n == 0) {
          out_ += "\\ufffd";
        } else {
          out_.append(reinterpret_cast<const char *>(s), static_cast<size_t>(n));
          s += n - 1;
        }
      } else {
        out_ += static_cast<char>(c);
      }
      ++s;
    }
    out_ += '"';
  }

  // "key": and a comma before every key but the first of an object.
  void key(const char *name) {
    if (out_.back() != '{' && out_.back() != '[') out_ += ',';
    out_ += '"';
    out_ += name;
    out_ += "\":";
  }
  void comma_in_array() {
    if (out_.back() != '[') out_ += ',';
  }
  void pair(TsPair ts) {
    out_ += '[' + std::to_string(ts.track) + ',' + std::to_string(ts.sector) + ']';
  }
  void owner(int owner) {
    if (owner == DI_OWNER_SYSTEM) {
      string("system");
    } else if (owner == DI_OWNER_DIRECTORY) {
      string("directory");
    } else {
      number(owner);
    }
  }

  const std::string &text() const { return out_; }

 private:
  std::string out_;
};

std::string hex_bytes(const unsigned char *bytes, int size) {
  std::string hex;
  for (int i = 0; i < size; ++i) {
    hex += "0123456789abcdef"[bytes[i] >> 4];
    hex += "0123456789abcdef"[bytes[i] & 0xF];
  }
  return hex;
}

void write_files(Json &j, const facts::Listing &listing) {
  j.key("files");
  j.raw("[");
  for (const facts::Entry &e : listing.entries) {
    const FileEntry &slot = e.dir.slot;
    j.comma_in_array();
    j.raw("{");
    j.key("name");
    j.string(e.name);
    j.key("raw_name");
    j.string(hex_bytes(slot.rawname, 16));
    j.key("type");
    j.string(ftype[slot.type & DI_TYPE_MASK]);
    j.key("closed");
    j.boolean(slot.type & DI_CLOSED);
    j.key("locked");
    j.boolean(slot.type & DI_LOCKED);
    j.key("blocks");
    j.number(slot.blocks[0] | slot.blocks[1] << 8);
    j.key("first");
    j.pair(slot.first_ts);
    j.key("opened");
    j.boolean(e.opened);
    j.key("status");
    if (e.code != 0) {
      j.string(e.status);
    } else {
      j.null();
    }
    j.raw("}");
  }
  j.raw("]");
}

void write_tracks(Json &j, DiImage *image) {
  j.key("tracks");
  j.raw("[");
  for (const facts::Track &t : facts::collect_tracks(image)) {
    j.comma_in_array();
    j.raw("{");
    j.key("track");
    j.number(t.track);
    j.key("sectors");
    j.number(t.sectors);
    j.key("free");
    j.number(t.free);
    j.key("map");
    j.string(t.map);
    if (image->error_info) {
      j.key("errors");
      j.raw("[");
      for (int e : t.errors) {
        j.comma_in_array();
        j.number(e);
      }
      j.raw("]");
    }
    j.raw("}");
  }
  j.raw("]");
}

void write_problem(Json &j, const DiProblem &p, const DiCheck &check) {
  j.comma_in_array();
  j.raw("{");
  j.key("kind");
  j.string(p.kind >= 0 && p.kind <= DI_PROBLEM_BAM_COUNT ? kProblemNames[p.kind] : "unknown");
  if (p.file >= 0) {
    j.key("file");
    j.number(p.file);
  }
  if (p.part != DI_PART_NONE) {
    j.key("part");
    j.string(kPartNames[p.part]);
    if (p.part == DI_PART_RECORD) {
      j.key("record");
      j.number(p.record);
    }
  }
  const auto block = [&] {
    j.key("track");
    j.number(p.block.track);
    j.key("sector");
    j.number(p.block.sector);
  };
  switch (p.kind) {
    case DI_PROBLEM_DIR_LINK:
      j.key("expected");
      j.pair(p.expected);
      j.key("found");
      j.pair(p.link);
      break;
    case DI_PROBLEM_DIRECTORY:
      j.key("status");
      j.string(check.dir_status_text);
      break;
    case DI_PROBLEM_ILLEGAL_FIRST:
      j.key("link");
      j.pair(p.link);
      break;
    case DI_PROBLEM_BAD_LINK:
      block();
      j.key("link");
      j.pair(p.link);
      break;
    case DI_PROBLEM_LOOP:
      block();
      break;
    case DI_PROBLEM_COUNT_MISMATCH:
      j.key("stated");
      j.number(p.stated);
      j.key("counted");
      j.number(p.counted);
      break;
    case DI_PROBLEM_SHARED:
      block();
      j.key("owners");
      j.raw("[");
      j.owner(p.owner);
      j.raw(",");
      j.owner(p.second_owner);
      j.raw("]");
      j.key("count");
      j.number(p.owner_count);
      break;
    case DI_PROBLEM_USED_BUT_FREE:
      block();
      j.key("owner");
      j.owner(p.owner);
      break;
    case DI_PROBLEM_ALLOCATED_UNUSED:
      block();
      break;
    case DI_PROBLEM_DAMAGED:
      block();
      j.key("owner");
      j.owner(p.owner);
      j.key("error");
      j.number(p.error);
      break;
    case DI_PROBLEM_BAM_COUNT:
      j.key("track");
      j.number(p.block.track);
      j.key("stored");
      j.number(p.stated);
      j.key("counted");
      j.number(p.counted);
      break;
    default:
      break;
  }
  j.raw("}");
}

}  // namespace

bool print_json(DiImage *image, const char *image_arg, FILE *out) {
  // The listing scans and resets the status as -dir does, so it runs first
  // and the check, which leaves the status alone, after it.
  const facts::Listing listing = facts::collect_listing(image);
  const facts::CheckPtr check = facts::check_image(image);
  if (!check) return false;

  Json j;
  j.raw("{");
  j.key("image");
  j.string(image_arg);
  j.key("kind");
  j.string(image->type >= D64 && image->type <= D81 ? kKindNames[image->type] : "");
  j.key("size");
  j.number(image->size);
  j.key("error_info");
  j.boolean(image->error_info != nullptr);
  // Without a header line -dir shows no name, id or free count.
  const bool header = listing.opened;
  j.key("disk_name");
  header ? j.string(listing.disk_name) : j.null();
  j.key("disk_id");
  header ? j.string(listing.disk_id) : j.null();
  j.key("free_blocks");
  header ? j.number(listing.free_blocks) : j.null();
  write_files(j, listing);
  write_tracks(j, image);
  j.key("bam_message");
  std::string message;
  facts::bam_message(image, &message) ? j.string(message) : j.null();
  j.key("problems");
  j.raw("[");
  for (int i = 0; i < check->problem_count; ++i) write_problem(j, check->problems[i], *check);
  j.raw("]}\n");
  std::fwrite(j.text().data(), 1, j.text().size(), out);
  return true;
}
