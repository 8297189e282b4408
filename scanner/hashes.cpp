// CRC-32 from zlib, MD5 and SHA-1 from OpenSSL's libcrypto. Both licences are
// permissive, so the static kestrix may carry them (nettle's LGPL would ask
// that every static copy come with a way to relink it). The digest functions
// are called directly: the EVP layer in front of them would bring libcrypto's
// providers, with dlopen and the resolver, into a static binary, about 4 MB
// more and a linker warning for each, for the same two digests.
#define OPENSSL_API_COMPAT 0x10101000L

#include "scanner/hashes.h"

#include <openssl/md5.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <system_error>

#include "scanner/output.h"

namespace hashes {
namespace {

void crc32_of(const unsigned char *bytes, size_t size, unsigned char *digest) {
  const unsigned long crc = crc32_z(crc32_z(0, Z_NULL, 0), bytes, size);
  for (int i = 0; i < 4; ++i) digest[i] = static_cast<unsigned char>(crc >> (24 - 8 * i));
}

void md5_of(const unsigned char *bytes, size_t size, unsigned char *digest) {
  MD5_CTX context;
  MD5_Init(&context);
  MD5_Update(&context, bytes, size);
  MD5_Final(digest, &context);
}

void sha1_of(const unsigned char *bytes, size_t size, unsigned char *digest) {
  SHA_CTX context;
  SHA1_Init(&context);
  SHA1_Update(&context, bytes, size);
  SHA1_Final(digest, &context);
}

void all_of(const unsigned char *bytes, size_t size, unsigned char *crc, unsigned char *md5,
            unsigned char *sha1) {
  crc32_of(bytes, size, crc);
  md5_of(bytes, size, md5);
  sha1_of(bytes, size, sha1);
}

std::string hex(const unsigned char *digest, size_t size) {
  std::string text;
  output::append_hex_bytes(text, digest, size);
  return text;
}

}  // namespace

Digests of(const unsigned char *bytes, size_t size) {
  unsigned char crc[4], md5[MD5_DIGEST_LENGTH], sha1[SHA_DIGEST_LENGTH];
  all_of(bytes, size, crc, md5, sha1);
  return {hex(crc, sizeof crc), hex(md5, sizeof md5), hex(sha1, sizeof sha1)};
}

Pending::Pending(const unsigned char *bytes, size_t size) : bytes_(bytes), size_(size) {
  // The worker allocates nothing: a thread's first allocation would make the
  // allocator set up an arena of its own, which costs more than CRC-32.
  try {
    worker_ = std::thread([this] {
      for (int d = kMd5; d < kDigests; ++d) take(static_cast<Digest>(d));
    });
  } catch (const std::system_error &) {
    // No thread to be had: get() works them out.
  }
}

Pending::~Pending() {
  if (worker_.joinable()) worker_.join();
}

void Pending::take(Digest digest) {
  if (taken_[digest].exchange(true)) return;
  switch (digest) {
    case kMd5:
      md5_of(bytes_, size_, md5_);
      break;
    case kSha1:
      sha1_of(bytes_, size_, sha1_);
      break;
    default:
      crc32_of(bytes_, size_, crc_);
  }
}

Digests Pending::get() {
  for (int d = kDigests; d-- > kMd5;) take(static_cast<Digest>(d));
  if (worker_.joinable()) worker_.join();
  return {hex(crc_, sizeof crc_), hex(md5_, sizeof md5_), hex(sha1_, sizeof sha1_)};
}

Queue::Queue() {
  try {
    worker_ = std::thread([this] { work(); });
  } catch (const std::system_error &) {
    // No thread to be had: add() works each out at once.
  }
}

Queue::~Queue() {
  finish();
}

void Queue::add(const unsigned char *bytes, size_t size, Digests *out) {
  std::unique_lock<std::mutex> lock(mutex_);
  jobs_.push_back({bytes, size, out, {}, {}, {}});
  if (!worker_.joinable()) {
    Job &job = jobs_.back();
    all_of(job.bytes, job.size, job.crc, job.md5, job.sha1);
  }
  added_.notify_one();
}

// The worker allocates nothing, as in Pending; the hex is made in finish().
void Queue::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    added_.wait(lock, [this] { return next_ < jobs_.size() || closing_; });
    if (next_ == jobs_.size()) return;
    Job &job = jobs_[next_++];
    lock.unlock();
    all_of(job.bytes, job.size, job.crc, job.md5, job.sha1);
    lock.lock();
  }
}

void Queue::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  added_.notify_one();
  if (worker_.joinable()) worker_.join();
  for (Job &job : jobs_)
    *job.out = {hex(job.crc, sizeof job.crc), hex(job.md5, sizeof job.md5),
                hex(job.sha1, sizeof job.sha1)};
  jobs_.clear();
}

}  // namespace hashes
