#include "protocol/file_hash.h"

// The hash is compiled into the core itself: nothing to load at run time, and the sanitizer
// and fuzzing builds see its code.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstring>

namespace tovrin {

struct FileHash::State {
  XXH3_state_t xxh;
};

FileHash::FileHash() : state_(std::make_unique<State>()) { Reset(); }
FileHash::~FileHash() = default;
FileHash::FileHash(FileHash&&) noexcept = default;
FileHash& FileHash::operator=(FileHash&&) noexcept = default;

void FileHash::Reset() { XXH3_128bits_reset(&state_->xxh); }

void FileHash::Update(const void* data, std::size_t size) {
  XXH3_128bits_update(&state_->xxh, data, size);
}

Digest FileHash::Value() const {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&state_->xxh));
  Digest digest;
  static_assert(sizeof canonical.digest == sizeof(Digest));
  std::memcpy(digest.data(), canonical.digest, digest.size());
  return digest;
}

}  // namespace tovrin
