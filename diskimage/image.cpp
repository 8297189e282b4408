// The image container: loading, creating, writing back and releasing.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "diskimage/gcr.h"
#include "diskimage/internal.h"

namespace diskimage {
namespace {

// Size of the file behind fd, or -1 with errno set when it is no image
// candidate. Only regular files and block devices have a size worth reading:
// a FIFO or a terminal would block or never end, and a directory's "size"
// means nothing.
long long candidate_size(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return -1;
  if (S_ISREG(st.st_mode)) return st.st_size;
  if (S_ISBLK(st.st_mode)) {
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0 || lseek(fd, 0, SEEK_SET) != 0) return -1;
    return end;
  }
  errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  return -1;
}

// Closes fd after a failure without losing the errno that says why.
void close_keeping_errno(int fd) {
  const int why = errno;
  close(fd);
  errno = why;
}

char *copy_text(const char *text) {
  size_t len = std::strlen(text);
  auto *copy = static_cast<char *>(std::malloc(len + 1));
  if (copy) std::memcpy(copy, text, len + 1);
  return copy;
}

bool write_fully(int fd, const unsigned char *src, long long size) {
  while (size > 0) {
    ssize_t n = write(fd, src, static_cast<size_t>(size));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    src += n;
    size -= n;
  }
  return true;
}

// Mode for the replacement file: the old file's permissions when it exists,
// else what a newly created file would get.
mode_t replacement_mode(const char *path) {
  struct stat st {};
  if (stat(path, &st) == 0) return st.st_mode & 07777;
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// Puts a complete temporary file at target without replacing anything there.
// A hard link does that atomically; where the file system has none, a rename
// that refuses to replace does.
bool place_new(const std::string &temp, const std::string &target) {
  if (link(temp.c_str(), target.c_str()) == 0) return true;
#ifdef RENAME_NOREPLACE
  if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS)
    return renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
#endif
  return false;
}

// Writes size bytes to a new file beside target and puts it in place once it
// is complete: replacing target, or only where nothing is. Returns false with
// errno set; no temporary file is left behind either way.
bool write_beside(const std::string &target, const unsigned char *bytes, long long size,
                  bool replace) {
  std::string temp = target + ".XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fchmod(fd, replacement_mode(target.c_str())) == 0 && write_fully(fd, bytes, size) &&
            fsync(fd) == 0;
  if (ok) {
    ok = close(fd) == 0;
  } else {
    close_keeping_errno(fd);
  }
  if (ok) ok = replace ? std::rename(temp.c_str(), target.c_str()) == 0 : place_new(temp, target);
  // A rename took the temporary's name away; a link left it as a second name.
  if (ok && replace) return true;
  const int why = errno;
  unlink(temp.c_str());
  errno = why;
  return ok;
}

// The raw dump format whose signature the file behind fd starts with, or 0;
// its offset is left alone.
int raw_format_of_file(int fd) {
  unsigned char signature[8];
  if (pread(fd, signature, sizeof signature, 0) != static_cast<ssize_t>(sizeof signature)) return 0;
  return raw_format(signature, sizeof signature);
}

// Whether bytes of this size are a raw dump: a file of one of the plain
// images' sizes is that image, whatever its first block holds (a file that
// starts with a dump's signature text is no reason to read it as one); any
// other file is one when it starts with a signature.
bool is_raw_dump(const unsigned char *bytes, long long size) {
  bool has_error_info = false;
  return !kind_for_size(size, &has_error_info) && raw_format(bytes, size) != 0;
}

// The image from a loaded file's bytes, which it takes: as they are, or
// decoded when they are a raw dump.
DiImage *image_from_file_bytes(const char *path, unsigned char *bytes, long long size) {
  if (!is_raw_dump(bytes, size)) return image_from_buffer(path, bytes, size);
  return image_from_raw(path, bytes, size);
}

int format_of_kind(ImageType type) {
  if (type == D71) return DI_FORMAT_D71;
  if (type == D81) return DI_FORMAT_D81;
  return DI_FORMAT_D64;
}

// Maps the whole pages of a fresh buffer in one call rather than one fault per
// page while the file is read into it: a good part of a short run's time. A
// buffer whose last page is mapped already reuses memory of an earlier image,
// where asking again would cost more than it saves. Only a hint: kernels
// without it refuse, and the read faults the pages in as usual.
void prefault(unsigned char *bytes, long long size) {
#ifdef MADV_POPULATE_WRITE
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t start = (reinterpret_cast<uintptr_t>(bytes) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(bytes) + size) & ~(page - 1);
  if (end <= start) return;
  unsigned char mapped = 0;
  if (mincore(reinterpret_cast<void *>(end - page), page, &mapped) == 0 && (mapped & 1) != 0)
    return;
  madvise(reinterpret_cast<void *>(start), end - start, MADV_POPULATE_WRITE);
#else
  (void)bytes;
  (void)size;
#endif
}

}  // namespace

bool read_fully(int fd, unsigned char *dst, long long size) {
  while (size > 0) {
    ssize_t n = read(fd, dst, static_cast<size_t>(size));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    dst += n;
    size -= n;
  }
  return true;
}

DiImage *image_from_buffer(const char *path, unsigned char *bytes, long long size) {
  bool has_error_info = false;
  const KindInfo *kind = kind_for_size(size, &has_error_info);
  auto *record = kind ? static_cast<ImageRecord *>(std::calloc(1, sizeof(ImageRecord))) : nullptr;
  DiImage *image = record ? &record->image : nullptr;
  char *path_copy = image ? copy_text(path) : nullptr;
  if (!path_copy) {
    std::free(record);
    std::free(bytes);
    errno = kind ? ENOMEM : EINVAL;
    return nullptr;
  }
  record->format = format_of_kind(kind->type);
  record->file_size = size;
  record->read_only = false;
  image->path = path_copy;
  image->size = static_cast<int>(size);
  image->type = kind->type;
  image->blocks = bytes;
  image->error_info = has_error_info ? bytes + kind->image_size : nullptr;
  image->bam_ts = kind->bam_ts;
  image->bam2_ts = kind->bam2_ts;
  image->header_ts = kind->header_ts;
  image->open_files = 0;
  image->free_blocks = blocks_free(image);
  image->dirty = 0;
  image->interleave = interleave(kind->type);
  set_status(image, DI_STATUS_FRESH, 0, 0);
  return image;
}

}  // namespace diskimage

using namespace diskimage;

extern "C" {

const char *di_version(void) {
  return DI_VERSION;
}

DiImage *di_load_image(const char *path) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // The size decides, or else a raw dump's signature, so both are checked
  // before a byte is allocated: a huge or odd file costs nothing to reject.
  long long size = candidate_size(fd);
  bool has_error_info = false;
  if (!kind_for_size(size, &has_error_info) &&
      (size < 0 || size > DI_RAW_MAX_SIZE || raw_format_of_file(fd) == 0)) {
    if (size >= 0) errno = EINVAL;
    close_keeping_errno(fd);
    return nullptr;
  }
  auto *bytes = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(size)));
  if (!bytes) {
    errno = ENOMEM;
    close_keeping_errno(fd);
    return nullptr;
  }
  prefault(bytes, size);
  // Cleared first: a read that fails sets errno, an early end does not.
  errno = 0;
  bool read_ok = read_fully(fd, bytes, size);
  if (!read_ok && errno == 0) errno = EIO;
  close_keeping_errno(fd);
  if (!read_ok) {
    std::free(bytes);
    return nullptr;
  }
  return image_from_file_bytes(path, bytes, size);
}

DiImage *di_load_image_from_memory(const char *path, const void *bytes, long size) {
  // Refused before the one copy, which the image keeps.
  bool has_error_info = false;
  if (!kind_for_size(size, &has_error_info)) {
    const RawCheck check = check_raw(static_cast<const unsigned char *>(bytes), size);
    if (check.format == 0 || check.fault != RawFault::kNone) {
      errno = EINVAL;
      return nullptr;
    }
  }
  auto *copy = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(size)));
  if (!copy) {
    errno = ENOMEM;
    return nullptr;
  }
  std::memcpy(copy, bytes, static_cast<size_t>(size));
  return image_from_file_bytes(path, copy, size);
}

DiImage *di_create_image(const char *path, int size) {
  bool has_error_info = false;
  const KindInfo *kind = kind_for_size(size, &has_error_info);
  if (!kind || !kind->creatable) {
    errno = EINVAL;
    return nullptr;
  }
  auto *bytes = static_cast<unsigned char *>(std::calloc(static_cast<size_t>(size), 1));
  if (!bytes) {
    errno = ENOMEM;
    return nullptr;
  }
  DiImage *image = image_from_buffer(path, bytes, size);
  if (image) image->dirty = 1;
  return image;
}

void di_sync(DiImage *image) {
  // A raw dump's file is not what the image holds, and there is no GCR
  // writer: the drive's answer to a write it cannot make.
  if (record_of(image).read_only) {
    set_status(image, DI_STATUS_WRITE_PROTECT, 0, 0);
    return;
  }
  // Write a complete new file beside the old one and rename it into place, so
  // a failure at any point leaves the existing image exactly as it was.
  // An image reached through a symbolic link is replaced where it lies, so
  // the link stays a link.
  char *resolved = realpath(image->path, nullptr);
  std::string target = resolved ? resolved : image->path;
  std::free(resolved);
  if (write_beside(target, image->blocks, image->size, true)) image->dirty = 0;
}

const unsigned char *di_image_bytes(const DiImage *image, long *size) {
  // A raw dump's file is kept as it was read, and is never written.
  if (const unsigned char *file = record_of(image).file_bytes) {
    *size = static_cast<long>(record_of(image).file_size);
    return file;
  }
  // The buffer holds the file byte for byte, blocks then error table, until
  // something changes it.
  if (image->dirty) {
    *size = 0;
    return nullptr;
  }
  *size = image->size;
  return image->blocks;
}

void di_free_image(DiImage *image) {
  if (!image) return;
  if (image->dirty) di_sync(image);  // which leaves a raw dump's file alone
  std::free(record_of(image).file_bytes);
  std::free(image->path);
  std::free(image->blocks);
  std::free(image);
}

int di_save_new(const DiImage *image, const char *path) {
  // Refused before anything is written; the link at the end decides.
  struct stat st {};
  if (lstat(path, &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return write_beside(path, image->blocks, image->size, false) ? 0 : -1;
}

int di_image_format(const DiImage *image) {
  return record_of(image).format;
}

long di_file_size(const DiImage *image) {
  return static_cast<long>(record_of(image).file_size);
}

int di_image_read_only(const DiImage *image) {
  return record_of(image).read_only;
}

int di_raw_problem(const char *path, char *reason) {
  reason[0] = '\0';
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  const long long size = candidate_size(fd);
  const int format = size >= 0 ? raw_format_of_file(fd) : 0;
  if (format != 0 && size > DI_RAW_MAX_SIZE) {
    // Told by the size alone, without reading the file.
    RawCheck check;
    check.format = format;
    check.fault = RawFault::kTooLarge;
    describe_raw_fault(check, size, reason);
  } else if (format != 0) {
    auto *bytes = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(size)));
    if (bytes && read_fully(fd, bytes, size))
      describe_raw_fault(check_raw(bytes, size), size, reason);
    std::free(bytes);
  }
  close(fd);
  return format;
}

}  // extern "C"
