// -extract DIR: every listed file's data written into a new directory, with
// a manifest of what was read, what is missing and the digests of it all.
// DIR appears whole or not at all: everything goes into a new directory
// beside it, renamed to DIR once complete, and any failure removes what was
// written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "scanner/names.h"
#include "scanner/output.h"
#include "scanner/reports.h"

namespace {

using output::JsonWriter;

// No image may make the extraction write more than this many times its own
// size; aliases aside, an ordinary image's files come to less than its size.
constexpr long kLimitFactor = 16;
constexpr const char *kManifest = "manifest.json";
constexpr const char *kCutWords = "cut at the limit";

// Why the extraction failed, as the one line on standard error says it.
struct Failure {
  std::string message;
};

Failure failure(const std::string &what, int why) {
  return {what + ": " + std::strerror(why)};
}

// What one listed entry came to. An alias's data is its head's.
struct Entry {
  int alias_of = -1;  // the head's index, for an alias
  std::vector<int> aliases;
  facts::FileData data;
  std::string file;  // written into DIR; empty for none
  std::string info_file;
  hashes::Digests digests, info_digests;
};

// The files go into a directory of their own until the end, and are known
// by name, so that a failure removes exactly what was written.
class Directory {
 public:
  // Makes the new directory beside `target`, which must not exist.
  explicit Directory(const std::string &target) : target_(target) {
    if (target_.empty()) throw failure(target_, ENOENT);
    struct stat st {};
    if (lstat(target_.c_str(), &st) == 0) throw failure(target_, EEXIST);
    if (errno != ENOENT) throw failure(target_, errno);
    temp_ = target_ + ".XXXXXX";
    if (!mkdtemp(temp_.data())) throw failure(target_, errno);
    fd_ = open(temp_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd_ < 0) {
      const int why = errno;
      rmdir(temp_.c_str());
      throw failure(target_, why);
    }
  }

  // Unless committed, removes what was written.
  ~Directory() {
    if (committed_) return;
    for (const std::string &name : written_) unlinkat(fd_, name.c_str(), 0);
    if (fd_ >= 0) close(fd_);
    rmdir(temp_.c_str());
  }
  Directory(const Directory &) = delete;
  Directory &operator=(const Directory &) = delete;

  // Creates `name` new, never following or replacing what is there, and
  // writes the bytes. False when the name exists already (a file system
  // that folds case may see two names as one).
  bool write(const std::string &name, const unsigned char *bytes, size_t size) {
    const int fd =
        openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) return false;
    if (fd < 0) throw failure(target_ + "/" + name, errno);
    written_.push_back(name);
    while (size > 0) {
      const ssize_t n = ::write(fd, bytes, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const int why = n < 0 ? errno : ENOSPC;
        close(fd);
        throw failure(target_ + "/" + name, why);
      }
      bytes += n;
      size -= static_cast<size_t>(n);
    }
    if (close(fd) != 0) throw failure(target_ + "/" + name, errno);
    return true;
  }

  // Gives the directory the mode a new one gets and moves it to the target,
  // which must still not exist.
  void commit() {
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd_, 0777 & ~mask) != 0) throw failure(target_, errno);
    if (renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) != 0) {
      // A file system that cannot promise not to replace: rename() replaces
      // only an empty directory, so look first.
      struct stat st {};
      if (errno != EINVAL && errno != ENOSYS) throw failure(target_, errno);
      if (lstat(target_.c_str(), &st) == 0) throw failure(target_, EEXIST);
      if (std::rename(temp_.c_str(), target_.c_str()) != 0) throw failure(target_, errno);
    }
    committed_ = true;
    close(fd_);
  }

 private:
  std::string target_;
  std::string temp_;
  int fd_ = -1;
  std::vector<std::string> written_;
  bool committed_ = false;
};

// "name.prg" with a number before the dot for the n-th of equal names.
std::string numbered(const std::string &base, const std::string &extension, int n) {
  return n < 2 ? base + extension : base + "~" + std::to_string(n) + extension;
}

class Extraction {
 public:
  Extraction(facts::ImageFacts &image, const std::string &target)
      : image_(image), target_(target), limit_(kLimitFactor * image.image_size()) {}

  void run(std::string &report) {
    const DiListing &listing = image_.listing();
    const DiCheck &check = image_.check();
    Directory dir(target_);
    entries_.resize(static_cast<size_t>(listing.file_count));
    for (int i = 0; i < listing.file_count; ++i) {
      Entry &entry = entries_[static_cast<size_t>(i)];
      const int head = check.alias_of[i];
      if (head != i) {
        entry.alias_of = head;
        entries_[static_cast<size_t>(head)].aliases.push_back(i);
        continue;
      }
      extract(dir, i, entry, listing.files[i].dir.slot);
    }
    digests_.finish();
    std::string manifest = render_manifest();
    manifest += '\n';
    if (!dir.write(kManifest, reinterpret_cast<const unsigned char *>(manifest.data()),
                   manifest.size()))
      throw failure(target_ + "/" + kManifest, EEXIST);
    dir.commit();
    render_lines(report);
  }

 private:
  void extract(Directory &dir, int index, Entry &entry, const FileEntry &slot) {
    entry.data = image_.file_data(index, limit_ - written_bytes_);
    const DiFileData &data = *entry.data;
    // A file whose first block is no block has nothing to write, and one the
    // limit left out has nothing read.
    if (!di_ts_is_valid(image_.type(), slot.first_ts) || (data.cut && data.size == 0)) return;
    const std::string base = extract_file_name(image_.file_name(index));
    const std::string extension = std::string(".") + extension_of(slot.type);
    entry.file = write_new(dir, base, extension, data.data, static_cast<size_t>(data.size));
    digests_.add(data.data, static_cast<size_t>(data.size), &entry.digests);
    if (data.info_read) {
      entry.info_file = write_new(dir, entry.file, ".info", data.info, DI_INFO_SIZE);
      digests_.add(data.info, DI_INFO_SIZE, &entry.info_digests);
    }
  }

  // Writes under the first of base + extension, base~2 + extension, ... that
  // no file of the extraction has.
  std::string write_new(Directory &dir, const std::string &base, const std::string &extension,
                        const unsigned char *bytes, size_t size) {
    int &next = next_number_[base + extension];
    for (int n = next;; ++n) {
      const std::string name = numbered(base, extension, n);
      if (!taken_.insert(name).second) continue;
      // An empty file has no bytes to give write().
      static const unsigned char nothing = 0;
      if (!dir.write(name, size ? bytes : &nothing, size)) {
        // Names this extraction has not used exist only where the file
        // system folds them together; a few such are worked round, not an
        // image's worth.
        if (++folded_names_ > kMostFoldedNames) throw failure(target_ + "/" + name, EEXIST);
        continue;
      }
      next = n + 1;
      ++written_files_;
      written_bytes_ += static_cast<long>(size);
      return name;
    }
  }

  static const char *extension_of(unsigned char type_byte) {
    const char *type = names::file_type(type_byte);
    return std::strcmp(type, "???") == 0 ? "bin" : type;
  }

  void write_data(JsonWriter &j, const Entry &entry) {
    const DiFileData &data = *entry.data;
    j.key("bytes").number(data.size);
    j.key("blocks_read").number(data.blocks_read);
    j.key("complete").boolean(data.complete);
    j.key("status");
    if (data.status.code != 0) {
      j.string(output::status_text(image_.type(), data.status.code, data.status.ts));
    } else {
      j.null();
    }
    j.key("stop");
    if (data.stop.track != 0) {
      j.pair(data.stop);
    } else {
      j.null();
    }
    j.key("lost").begin_array();
    for (int l = 0; l < data.lost_count; ++l) j.pair(data.lost[l]);
    j.end_array();
    j.key("cut");
    if (data.cut) {
      j.string("limit");
    } else {
      j.null();
    }
    write_digests(j, entry.file.empty() ? nullptr : &entry.digests);
    if (data.shape == DI_DATA_REL) j.key("record_length").number(data.record_length);
    if (data.shape == DI_DATA_VLIR) {
      j.key("records").begin_array();
      for (int r = 0; r < data.record_count; ++r) {
        j.begin_object();
        j.key("offset").number(data.records[r].offset);
        j.key("length").number(data.records[r].size);
        j.end_object();
      }
      j.end_array();
    }
    if (data.shape == DI_DATA_GEOS || data.shape == DI_DATA_VLIR) {
      j.key("info").begin_object();
      j.key("block").pair(data.info_ts);
      j.key("file");
      if (!entry.info_file.empty()) {
        j.string(entry.info_file);
      } else {
        j.null();
      }
      write_digests(j, entry.info_file.empty() ? nullptr : &entry.info_digests);
      j.end_object();
    }
  }

  static void write_digests(JsonWriter &j, const hashes::Digests *digests) {
    for (const auto &[name, hex] : hashes::kNamed) {
      j.key(name);
      if (digests) {
        j.string(digests->*hex);
      } else {
        j.null();
      }
    }
  }

  std::string render_manifest() {
    const DiListing &listing = image_.listing();
    std::string text;
    JsonWriter j(text);
    j.begin_object();
    j.key("image").string(image_.image_arg());
    j.key("format").string(names::format(image_.format()));
    j.key("kind").string(names::kind(image_.type()));
    write_digests(j, &image_.file_hashes());
    j.key("limit").number(limit_);
    j.key("files").begin_array();
    for (int i = 0; i < listing.file_count; ++i) {
      const Entry &entry = entries_[static_cast<size_t>(i)];
      const FileEntry &slot = listing.files[i].dir.slot;
      std::string raw_name;
      output::append_hex_bytes(raw_name, slot.rawname, sizeof slot.rawname);
      j.begin_object();
      j.key("index").number(i);
      j.key("name").string(image_.file_name(i));
      j.key("raw_name").string(raw_name);
      j.key("type").string(names::file_type(slot.type));
      const Entry &own =
          entry.alias_of >= 0 ? entries_[static_cast<size_t>(entry.alias_of)] : entry;
      j.key("file");
      if (!own.file.empty()) {
        j.string(own.file);
      } else {
        j.null();
      }
      j.key("alias_of");
      if (entry.alias_of >= 0) {
        j.number(entry.alias_of);
      } else {
        j.null();
      }
      j.key("aliases").begin_array();
      for (int member : entry.aliases) j.number(member);
      j.end_array();
      if (entry.alias_of < 0) write_data(j, entry);
      j.end_object();
    }
    j.end_array();
    j.key("files_written").number(written_files_);
    j.key("bytes_written").number(written_bytes_);
    j.key("incomplete").number(incomplete());
    j.end_object();
    return text;
  }

  int incomplete() const {
    int count = 0;
    for (const Entry &entry : entries_) count += entry.data && !entry.data->complete;
    return count;
  }

  // One line per listed entry, an alias with its head's file, then the sums.
  void render_lines(std::string &text) const {
    for (const Entry &entry : entries_) {
      const Entry &own =
          entry.alias_of >= 0 ? entries_[static_cast<size_t>(entry.alias_of)] : entry;
      const DiFileData &data = *own.data;
      text += own.file.empty() ? "-" : own.file;
      text += '\t';
      output::append_int(text, data.size);
      if (!data.complete) {
        text += '\t';
        text += data.status.code != 0
                    ? output::status_text(image_.type(), data.status.code, data.status.ts)
                    : kCutWords;
      }
      text += '\n';
    }
    output::append_int(text, written_files_);
    text += " files written, ";
    output::append_int(text, written_bytes_);
    text += " bytes, ";
    output::append_int(text, incomplete());
    text += " incomplete\n";
  }

  facts::ImageFacts &image_;
  std::string target_;
  long limit_;
  std::vector<Entry> entries_;
  // Works out the files' digests while the next files are read and written;
  // it reads the entries' data, so it goes before them.
  hashes::Queue digests_;
  std::set<std::string> taken_;
  std::map<std::string, int> next_number_;
  int written_files_ = 0;
  long written_bytes_ = 0;
  int folded_names_ = 0;
  static constexpr int kMostFoldedNames = 1000;
};

}  // namespace

std::string extract_file_name(const std::string &shown) {
  std::string name = shown;
  for (size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c == '/' || c == '\\' || c < 0x20 || c > 0x7E || (i == 0 && c == '.')) name[i] = '_';
  }
  name.erase(name.find_last_not_of(' ') + 1);
  return name.empty() ? "_" : name;
}

bool extract_files(facts::ImageFacts &image, const char *dir, FILE *out, std::string *error) {
  std::string target = dir;
  // "out/" names the directory "out"; "/" stays itself, and exists.
  while (target.size() > 1 && target.back() == '/') target.pop_back();
  std::string report;
  try {
    Extraction(image, target).run(report);
  } catch (const Failure &f) {
    *error = f.message;
    return false;
  }
  output::write(report, out);
  return true;
}
