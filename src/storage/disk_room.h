#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tovrin {

// Room on the file system that holds a folder, in bytes: what an unprivileged writer may
// still use (f_bavail) and the whole size.
struct DiskRoom {
  uint64_t free = 0;
  uint64_t size = 0;
};

// The room of the file system `path` (which exists) lies on; nullopt when it cannot be told.
[[nodiscard]] std::optional<DiskRoom> RoomAt(const std::string& path);

// The sizes of the regular files at and below each of `names` (single components) in the
// folder `dir`, added up without following a symbolic link anywhere (a link in `dir`'s own
// path is followed), and stopping at `cap`: what a folder already holds of a batch that
// brings these names. Names that are missing or cannot be read count nothing.
[[nodiscard]] uint64_t BytesHeldBelow(const std::string& dir, const std::vector<std::string>& names,
                                      uint64_t cap);

}  // namespace tovrin
