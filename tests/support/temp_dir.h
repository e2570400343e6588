#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tovrin::testing {

// A fresh directory removed with everything in it at the end of the test.
class TempDir final {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory, ending in '/'.
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& content);
[[nodiscard]] std::string ReadFile(const std::string& path);
// Deterministic pseudo-random content of `size` bytes.
[[nodiscard]] std::string PatternBytes(std::size_t size, uint32_t seed);
// True when both files exist and hold the same bytes; reads piece by piece, so files of any
// size can be compared.
[[nodiscard]] bool SameContent(const std::string& a, const std::string& b);
// Every regular file below `root`, as paths relative to it, sorted.
[[nodiscard]] std::vector<std::string> ListTree(const std::string& root);

}  // namespace tovrin::testing
