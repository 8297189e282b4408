// The digests collections identify files by: CRC-32, MD5 and SHA-1, as the
// catalogues of known dumps list them, in lower-case hex of their full width.
#ifndef KESTRIX_SCANNER_HASHES_H
#define KESTRIX_SCANNER_HASHES_H

#include <cstddef>
#include <string>
#include <thread>

namespace hashes {

struct Digests {
  std::string crc32;  // 8 hex digits
  std::string md5;    // 32
  std::string sha1;   // 40
};

Digests of(const unsigned char *bytes, size_t size);

// The digests of bytes that stay unchanged meanwhile, begun at once and
// finished when asked for: MD5 and CRC-32 on a thread of its own while the
// caller goes on, SHA-1, about a third of the work, when get() is called.
// Without a thread, get() does it all.
class Pending {
 public:
  Pending(const unsigned char *bytes, size_t size);
  ~Pending();
  Pending(const Pending &) = delete;
  Pending &operator=(const Pending &) = delete;
  // Once only.
  Digests get();

 private:
  const unsigned char *bytes_;
  size_t size_;
  unsigned char md5_[16];  // the worker's, read once it has been joined
  unsigned char crc_[4];
  std::thread worker_;
};

}  // namespace hashes

#endif  // KESTRIX_SCANNER_HASHES_H
