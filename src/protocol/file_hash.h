#pragma once

#include <cstddef>
#include <memory>

#include "protocol/extended.h"

namespace tovrin {

// The vector unit a FileHash runs its updates on. Every unit gives the same digest; the
// wider ones only hash faster, which counts because every byte sent or received is hashed.
enum class HashUnit { kBaseline, kAvx2, kAvx512 };

// True when this build has `unit` and this CPU can run it.
[[nodiscard]] bool HashUnitAvailable(HashUnit unit);

// XXH3-128 over a file's bytes, fed as they are read or written. Used by one thread at a
// time.
class FileHash final {
 public:
  // On the widest unit available.
  FileHash();
  // On `unit`, which must be available.
  explicit FileHash(HashUnit unit);
  ~FileHash();
  FileHash(FileHash&&) noexcept;
  FileHash& operator=(FileHash&&) noexcept;
  FileHash(const FileHash&) = delete;
  FileHash& operator=(const FileHash&) = delete;

  // Back to the hash of no bytes.
  void Reset();
  void Update(const void* data, std::size_t size);
  // The hash of every byte fed since the last Reset; feeding may go on afterwards.
  [[nodiscard]] Digest Value() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tovrin
