#include "storage/disk_room.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "net/descriptor.h"

namespace tovrin {
namespace {

// Deeper trees than a received name may hold are not counted further.
constexpr int MAX_DEPTH = 64;

// Adds the regular files at `name` in the open folder `parent` to `sum`, up to `cap`.
void AddHeld(int parent, const char* name, uint64_t cap, int depth, uint64_t& sum) {
  struct stat info {};
  if (sum >= cap || fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISREG(info.st_mode)) {
    sum += std::min<uint64_t>(static_cast<uint64_t>(info.st_size), cap - sum);
    return;
  }
  if (!S_ISDIR(info.st_mode) || depth >= MAX_DEPTH) return;
  const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  // The stream owns the descriptor from here on.
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(fdopendir(fd), closedir);
  if (!dir) {
    close(fd);
    return;
  }
  // readdir is safe here: no other thread reads this stream.
  while (const dirent* entry = readdir(dir.get())) {  // NOLINT(concurrency-mt-unsafe)
    const std::string child = entry->d_name;
    if (child == "." || child == "..") continue;
    AddHeld(dirfd(dir.get()), child.c_str(), cap, depth + 1, sum);
    if (sum >= cap) return;
  }
}

}  // namespace

std::optional<DiskRoom> RoomAt(const std::string& path) {
  struct statvfs info {};
  if (statvfs(path.c_str(), &info) != 0) return std::nullopt;
  const uint64_t unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
  return DiskRoom{static_cast<uint64_t>(info.f_bavail) * unit,
                  static_cast<uint64_t>(info.f_blocks) * unit};
}

uint64_t BytesHeldBelow(const std::string& dir, const std::vector<std::string>& names,
                        uint64_t cap) {
  const Descriptor folder(
      open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  uint64_t sum = 0;
  if (!folder.valid()) return 0;
  for (const std::string& name : names) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
      continue;
    }
    AddHeld(folder.get(), name.c_str(), cap, 0, sum);
  }
  return sum;
}

}  // namespace tovrin
