#pragma once

#include <cstddef>
#include <memory>

#include "protocol/extended.h"

namespace tovrin {

// XXH3-128 over a file's bytes, fed as they are read or written. Used by one thread at a
// time.
class FileHash final {
 public:
  FileHash();
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
