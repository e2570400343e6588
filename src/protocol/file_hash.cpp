#include "protocol/file_hash.h"

// The hash is compiled into the core itself: nothing to load at run time, and the sanitizer
// and fuzzing builds see its code.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstring>

#include "protocol/file_hash_units.h"

namespace tovrin {

namespace {

void UpdateBaseline(void* state, const void* data, std::size_t size) {
  XXH3_128bits_update(static_cast<XXH3_state_t*>(state), data, size);
}

HashUpdate UpdateOf(HashUnit unit) {
  switch (unit) {
#ifdef TOVRIN_HASH_X86_UNITS
    case HashUnit::kAvx2:
      return UpdateAvx2;
    case HashUnit::kAvx512:
      return UpdateAvx512;
#endif
    default:
      return UpdateBaseline;
  }
}

HashUnit WidestUnit() {
  static const HashUnit widest = [] {
    for (HashUnit unit : {HashUnit::kAvx512, HashUnit::kAvx2}) {
      if (HashUnitAvailable(unit)) return unit;
    }
    return HashUnit::kBaseline;
  }();
  return widest;
}

}  // namespace

bool HashUnitAvailable(HashUnit unit) {
  switch (unit) {
    case HashUnit::kBaseline:
      return true;
#ifdef TOVRIN_HASH_X86_UNITS
    case HashUnit::kAvx2:
      return __builtin_cpu_supports("avx2");
    case HashUnit::kAvx512:
      return __builtin_cpu_supports("avx512f");
#endif
    default:
      return false;
  }
}

struct FileHash::State {
  XXH3_state_t xxh;
  HashUpdate update = UpdateBaseline;
};

FileHash::FileHash() : FileHash(WidestUnit()) {}

FileHash::FileHash(HashUnit unit) : state_(std::make_unique<State>()) {
  state_->update = UpdateOf(unit);
  Reset();
}

FileHash::~FileHash() = default;
FileHash::FileHash(FileHash&&) noexcept = default;
FileHash& FileHash::operator=(FileHash&&) noexcept = default;

void FileHash::Reset() { XXH3_128bits_reset(&state_->xxh); }

void FileHash::Update(const void* data, std::size_t size) {
  state_->update(&state_->xxh, data, size);
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
