// The digests collections identify files by: CRC-32, MD5 and SHA-1, as the
// catalogues of known dumps list them, in lower-case hex of their full width.
#ifndef KESTRIX_SCANNER_HASHES_H
#define KESTRIX_SCANNER_HASHES_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace hashes {

struct Digests {
  std::string crc32;  // 8 hex digits
  std::string md5;    // 32
  std::string sha1;   // 40
};

// Their names as the reports key them, in the order the reports give them.
inline constexpr std::pair<const char *, std::string Digests::*> kNamed[] = {
    {"crc32", &Digests::crc32}, {"md5", &Digests::md5}, {"sha1", &Digests::sha1}};

Digests of(const unsigned char *bytes, size_t size);

// The digests of bytes that stay unchanged meanwhile, begun at once and
// finished when asked for. A thread of their own works them out from the
// slowest, MD5 (about two thirds of the work), to the quickest, CRC-32;
// get() takes on those not yet begun from the quickest up, and then waits.
// So a caller that asks early works out SHA-1 and CRC-32 while the thread
// works out MD5, and one that asks late finds everything done; a thread that
// never got a core of its own leaves it all to get(). Without a thread,
// get() does it all.
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
  enum Digest { kMd5, kSha1, kCrc32, kDigests };  // slowest first
  // Works the digest out unless the other side has begun it.
  void take(Digest digest);

  // Each written by whoever took it on, and read once the worker is joined.
  unsigned char md5_[16];
  unsigned char sha1_[20];
  unsigned char crc_[4];
  std::atomic<bool> taken_[kDigests] = {};
  std::thread worker_;
};

// The digests of many buffers, worked out in the order given on a thread of
// its own while the caller goes on. Each buffer must stay unchanged, and
// each Digests in place, until finish() has filled them all in. Without a
// thread, add() works them out at once.
class Queue {
 public:
  Queue();
  ~Queue();
  Queue(const Queue &) = delete;
  Queue &operator=(const Queue &) = delete;
  void add(const unsigned char *bytes, size_t size, Digests *out);
  void finish();

 private:
  struct Job {
    const unsigned char *bytes;
    size_t size;
    Digests *out;
    unsigned char crc[4], md5[16], sha1[20];
  };
  void work();

  std::mutex mutex_;
  std::condition_variable added_;
  std::deque<Job> jobs_;  // added at the end only, so a job stays in place
  size_t next_ = 0;       // the worker's next job
  bool closing_ = false;
  std::thread worker_;
};

}  // namespace hashes

#endif  // KESTRIX_SCANNER_HASHES_H
