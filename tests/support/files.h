#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace tovrin::testing {

// A fresh directory removed with everything in it at the end of the test.
class TempDir final {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tovrin-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern + "/";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory, ending in '/'.
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Writes `content` to `path`, making the directories above it.
inline void WriteFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

[[nodiscard]] inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Deterministic pseudo-random content of `size` bytes.
[[nodiscard]] inline std::string PatternBytes(std::size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return bytes;
}

// True when both files exist and hold the same bytes; reads piece by piece, so files of any
// size can be compared.
[[nodiscard]] inline bool SameContent(const std::string& a, const std::string& b) {
  std::ifstream first(a, std::ios::binary), second(b, std::ios::binary);
  if (!first || !second) return false;
  std::vector<char> x(1 << 20), y(1 << 20);
  for (;;) {
    first.read(x.data(), static_cast<std::streamsize>(x.size()));
    second.read(y.data(), static_cast<std::streamsize>(y.size()));
    if (first.gcount() != second.gcount()) return false;
    if (!std::equal(x.begin(), x.begin() + first.gcount(), y.begin())) return false;
    if (first.gcount() == 0) return true;
  }
}

// Every regular file below `root` (links to files too) by path relative to it, with its size.
[[nodiscard]] inline std::map<std::string, std::uintmax_t> ListTree(const std::string& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::uintmax_t> files;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (fs::is_regular_file(it->path(), error)) {
      files[it->path().lexically_relative(root).string()] = fs::file_size(it->path(), error);
    }
  }
  return files;
}

// How many entries a directory holds ("." and ".." aside).
[[nodiscard]] inline int CountEntries(const std::string& directory) {
  const std::filesystem::directory_iterator entries(directory);
  return static_cast<int>(std::distance(begin(entries), end(entries)));
}

// Sanitized builds run the heavy tests on less data; TOVRIN_LONG=1 asks for the long runs.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool SANITIZED = true;
#else
inline constexpr bool SANITIZED = false;
#endif
inline bool LongMode() {
  const char* value = std::getenv("TOVRIN_LONG");
  return value != nullptr && value[0] != '\0' && value[0] != '0';
}

}  // namespace tovrin::testing
