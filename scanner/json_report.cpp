// -json: everything the reports know of an image as one line of JSON, for
// collections kept in databases and spreadsheets.
#include <cstdio>
#include <string>

#include "scanner/names.h"
#include "scanner/output.h"
#include "scanner/reports.h"

namespace {

using output::JsonWriter;

void owner(JsonWriter &j, int owner) {
  if (const names::OwnerWords *words = names::owner(owner)) {
    j.string(words->json);
  } else {
    j.number(owner);
  }
}

void write_files(JsonWriter &j, facts::ImageFacts &image) {
  const DiListing &listing = image.listing();
  j.key("files").begin_array();
  for (int i = 0; i < listing.file_count; ++i) {
    const DiListedFile &file = listing.files[i];
    const FileEntry &slot = file.dir.slot;
    std::string raw_name;
    output::append_hex_bytes(raw_name, slot.rawname, sizeof slot.rawname);
    j.begin_object();
    j.key("name").string(image.file_name(i));
    j.key("raw_name").string(raw_name);
    j.key("type").string(names::file_type(slot.type));
    j.key("closed").boolean(slot.type & DI_CLOSED);
    j.key("locked").boolean(slot.type & DI_LOCKED);
    j.key("blocks").number(facts::stated_blocks(slot));
    j.key("first").pair(slot.first_ts);
    j.key("opened").boolean(file.opened);
    j.key("status");
    if (file.scan.code != 0) {
      j.string(output::status_text(image.type(), file.scan.code, file.scan.ts));
    } else {
      j.null();
    }
    j.end_object();
  }
  j.end_array();
}

void write_tracks(JsonWriter &j, facts::ImageFacts &image) {
  j.key("tracks").begin_array();
  for (const facts::Track &t : image.tracks()) {
    j.begin_object();
    j.key("track").number(t.track);
    j.key("sectors").number(t.sectors);
    j.key("free");
    if (t.in_bam) {
      j.number(t.free);
    } else {
      j.null();
    }
    j.key("map").string(t.map);
    if (image.has_error_info()) {
      j.key("errors").begin_array();
      for (int e : t.errors) j.number(e);
      j.end_array();
    }
    j.end_object();
  }
  j.end_array();
}

// The members of each alias group, head first, by the head's index.
std::vector<std::vector<int>> alias_groups(const DiCheck &check) {
  std::vector<std::vector<int>> groups(static_cast<size_t>(check.file_count));
  for (int f = 0; f < check.file_count; ++f)
    groups[static_cast<size_t>(check.alias_of[f])].push_back(f);
  return groups;
}

void write_problem(JsonWriter &j, const DiProblem &p, ImageType type,
                   const std::vector<std::vector<int>> &groups) {
  j.begin_object();
  j.key("kind").string(names::problem(p.kind));
  j.key("severity").string(names::severity(p.severity));
  if (p.file >= 0) j.key("file").number(p.file);
  if (p.part != DI_PART_NONE) {
    j.key("part").string(names::part(p.part));
    if (p.part == DI_PART_RECORD) j.key("record").number(p.record);
  }
  const auto block = [&] {
    j.key("track").number(p.block.track);
    j.key("sector").number(p.block.sector);
  };
  switch (p.kind) {
    case DI_PROBLEM_DIR_LINK:
      j.key("expected").pair(p.expected);
      j.key("found").pair(p.link);
      break;
    case DI_PROBLEM_DIRECTORY:
      j.key("status").string(output::status_text(type, p.status, p.block));
      break;
    case DI_PROBLEM_ILLEGAL_FIRST:
      j.key("link").pair(p.link);
      break;
    case DI_PROBLEM_BAD_LINK:
      block();
      j.key("link").pair(p.link);
      break;
    case DI_PROBLEM_LOOP:
    case DI_PROBLEM_ALLOCATED_UNUSED:
      block();
      break;
    case DI_PROBLEM_COUNT_MISMATCH:
      j.key("stated").number(p.stated);
      j.key("counted").number(p.counted);
      break;
    case DI_PROBLEM_SHARED:
      block();
      j.key("owners").begin_array();
      owner(j, p.owner);
      owner(j, p.second_owner);
      j.end_array();
      j.key("count").number(p.owner_count);
      break;
    case DI_PROBLEM_USED_BUT_FREE:
      block();
      j.key("owner");
      owner(j, p.owner);
      break;
    case DI_PROBLEM_DAMAGED:
      block();
      j.key("owner");
      owner(j, p.owner);
      j.key("error").number(p.error);
      break;
    case DI_PROBLEM_ALIAS:
      j.key("files").begin_array();
      for (int member : groups[static_cast<size_t>(p.file)]) j.number(member);
      j.end_array();
      block();
      break;
    case DI_PROBLEM_BAM_COUNT:
      j.key("track").number(p.block.track);
      j.key("stored").number(p.stated);
      j.key("counted").number(p.counted);
      break;
    default:
      break;
  }
  j.end_object();
}

}  // namespace

void print_json(facts::ImageFacts &image, FILE *out) {
  const DiListing &listing = image.listing();
  const DiCheck &check = image.check();
  std::string text;
  JsonWriter j(text);
  j.begin_object();
  j.key("image").string(image.image_arg());
  j.key("kind").string(names::kind(image.type()));
  j.key("format").string(names::format(image.format()));
  j.key("size").number(image.file_size());
  // The digests go here, but are asked for last: they are being worked out
  // meanwhile (see facts::ImageFacts), and the rest of the report is made
  // first to give them the time.
  const size_t digests_at = text.size();
  j.key("error_info").boolean(image.has_error_info());
  j.key("tracks_bam").string(names::bam_layout(image.bam_layout()));
  // Without a header line -dir shows no name, id or free count.
  if (listing.opened) {
    j.key("disk_name").string(image.disk_name());
    j.key("disk_id").string(image.disk_id());
    j.key("free_blocks").number(listing.free_blocks);
  } else {
    j.key("disk_name").null();
    j.key("disk_id").null();
    j.key("free_blocks").null();
  }
  write_files(j, image);
  write_tracks(j, image);
  j.key("bam_message");
  if (const std::optional<std::string> &message = image.bam_message()) {
    j.string(*message);
  } else {
    j.null();
  }
  j.key("problems").begin_array();
  const std::vector<std::vector<int>> groups = alias_groups(check);
  for (int i = 0; i < check.problem_count; ++i)
    write_problem(j, check.problems[i], image.type(), groups);
  j.end_array();
  j.key("verdict").string(names::verdict(check.verdict));
  j.end_object();
  const hashes::Digests &digests = image.file_hashes();
  std::string members;
  for (const auto &[name, hex] : hashes::kNamed) {
    members += ",\"";
    members += name;
    members += "\":";
    output::append_json_string(members, digests.*hex);
  }
  text.insert(digests_at, members);
  text += '\n';
  output::write(text, out);
}
