#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "net/descriptor.h"

namespace tovrin {

inline constexpr int SEEK_FROM_START = 0;
inline constexpr int SEEK_FROM_CURRENT = 1;
inline constexpr int SEEK_FROM_END = 2;

struct FileInfo {
  int64_t size = 0;
  int64_t mtime_ns = 0;  // nanoseconds since 1970 (UTC)
  uint32_t mode = 0;     // permission bits (07777)
  uint64_t device = 0;
  uint64_t inode = 0;
};

// One open regular file of a worker, on native (UTF-8) paths; closed when it goes. Every
// read and write is positional: Seek, Read and Write move a position the object keeps, the
// ...At operations never touch it. The descriptor is never 0, 1 or 2, so nothing written to
// a closed standard stream can land in a file. A closed (or never opened) File touches no
// file: Seek, Read and Write return -1, the others fail.
class File final {
 public:
  File() = default;
  File(File&&) noexcept = default;
  File& operator=(File&&) noexcept = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens for writing, creating the file when missing and keeping existing content (never
  // truncates). A symbolic link as the final component is not followed, and anything but a
  // regular file (a FIFO, a device) is refused without blocking. Closed on failure.
  [[nodiscard]] static File OpenForWrite(const std::string& path);
  // As OpenForWrite, but for reading as well: a received file's existing part is hashed
  // before it is resumed.
  [[nodiscard]] static File OpenForUpdate(const std::string& path);
  // Opens an existing regular file for reading. Closed on failure.
  [[nodiscard]] static File OpenForRead(const std::string& path);
  // Takes over a descriptor of a file opened without blocking (O_NONBLOCK), `flags` as it was
  // opened with: a regular file is switched back to blocking mode; anything else is closed
  // (also -1), and so is the result.
  [[nodiscard]] static File Adopt(int fd, int flags);

  [[nodiscard]] bool is_open() const { return fd_.valid(); }
  void Close() { fd_.Reset(); }

  // Origins 0, 1, 2 (start, current, end). Returns the new position from the start, or -1
  // for another origin, a position before the start or one that does not fit in 31 bits;
  // a refused seek leaves the position where it was.
  [[nodiscard]] int32_t Seek(int32_t offset, int origin);
  // Up to `count` bytes at the position; 0 at the end; -1 on failure.
  [[nodiscard]] int Read(void* buffer, int count);
  // All `count` bytes at the position (partial writes are completed); -1 on failure.
  [[nodiscard]] int Write(const void* buffer, int count);

  [[nodiscard]] bool GetInfo(FileInfo& info) const;
  // What GetInfo gave as the file was opened (all zero for a closed File): a caller that looks
  // at a file it has just opened needs no look of its own.
  [[nodiscard]] const FileInfo& opened_info() const { return opened_; }
  // Up to `count` bytes at `offset`; 0 at the end; -1 on failure.
  [[nodiscard]] int ReadAt(void* buffer, int count, int64_t offset) const;
  // All `count` bytes at `offset`; -1 on failure.
  [[nodiscard]] int WriteAt(const void* buffer, int count, int64_t offset) const;
  // Cuts or extends the file to `size` bytes.
  [[nodiscard]] bool Truncate(int64_t size) const;
  // Gives a received file the source's modification time, and the source's execute bits for
  // each class (owner, group, others) that may read the file; other bits (setuid, setgid,
  // sticky) never. `mode` is the file's own permission bits (FileInfo::mode).
  [[nodiscard]] bool ApplySourceStamp(int64_t mtime_ns, uint32_t source_mode, uint32_t mode) const;

 private:
  File(Descriptor fd, const FileInfo& opened) : fd_(std::move(fd)), opened_(opened) {}

  Descriptor fd_;
  FileInfo opened_;
  int64_t position_ = 0;
};

// True for an existing directory; false for anything else, including failures.
[[nodiscard]] bool IsDirectory(const std::string& path);
// Creates one directory; the path may end in '/'. The result is informational only.
bool MakeDirectory(const std::string& path);
// The current directory without trailing '/' (except for the root).
[[nodiscard]] std::string CurrentDirectory();

}  // namespace tovrin
